#ifndef BD_XML_XML_ENCODING_H
#define BD_XML_XML_ENCODING_H

#include <cstdint>
#include <string>

#include "bd_xml/xml_result_log.h"

// Conversion of a file's text to UTF-8. UTF-16 (after the byte-order mark decided it) is decoded
// here; every other encoding goes to iconv by name. Stateless; any thread.
class XmlEncoding {
  public:
    // Appends the UTF-8 form of a code point (1 to 4 bytes). The caller keeps the value at or
    // below U+10FFFF, the most that four bytes can carry.
    static void AppendUtf8(uint32_t codePoint, std::string *out);

    // Decodes little-endian 16-bit units (an odd trailing byte is ignored). A unit in the
    // surrogate range takes the next unit with it whatever that is; one left alone at the end
    // becomes "?". Logs "converted_to".
    static std::string Utf16ToUtf8(const std::string &units, XmlResultLog *log);

    // Converts bytes in `encoding` (empty = UTF-8) to UTF-8 through iconv. Returns false, leaving
    // `out` alone, when iconv has no conversion from that encoding. Invalid input sequences are
    // replaced by "?" one byte at a time; an incomplete sequence at the very end is dropped.
    // Logs "converted_to" and, when iconv had to approximate, "conversion_loss".
    static bool IconvToUtf8(const std::string &bytes, const std::string &encoding,
                            XmlResultLog *log, std::string *out);

  private:
    // iconv's spelling of a name: upper case, and bare "UTF-16" (no mark to say otherwise) read
    // as big-endian.
    static std::string IconvName(const std::string &encoding);
};

#endif  // BD_XML_XML_ENCODING_H
