#ifndef BD_XML_XML_CHAR_REFERENCE_H
#define BD_XML_XML_CHAR_REFERENCE_H

#include <cstddef>
#include <cstdint>
#include <string>

// Decoding of character references in element text: numeric ones (&#65; &#x42;) and the 253
// named ones (the HTML 4 set plus "apos"). Anything that is not a usable reference is kept as
// written, so an ampersand in a company name survives. Stateless; any thread.
class XmlCharReference {
  public:
    // Appends `text` to `out` with every reference replaced by its UTF-8 form.
    static void AppendDecoded(const char *text, size_t length, std::string *out);

  private:
    // The code point `name` (the bytes between "&" and ";") stands for, or 0 when none.
    static uint32_t Value(const std::string &name);
    static uint32_t NumericValue(const std::string &foldedName);
    // An exact-case match wins, so "Oslash" and "oslash" differ; otherwise the name is matched
    // without regard to case, which lets "AMP" and "Quot" through.
    static uint32_t NamedValue(const std::string &name, const std::string &foldedName);
};

#endif  // BD_XML_XML_CHAR_REFERENCE_H
