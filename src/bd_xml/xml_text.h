#ifndef BD_XML_XML_TEXT_H
#define BD_XML_XML_TEXT_H

#include <string>

// A borrowed, zero-terminated text argument: either a character pointer or the contents of a
// std::string. It never owns the text, so the argument must outlive the call it is passed to
// (a temporary std::string lives until the end of the full expression, which is enough).
// A null pointer means "no text".
class XmlText {
  public:
    XmlText(const char *text = nullptr) : _text(text) {}
    XmlText(const std::string &text) : _text(text.c_str()) {}

    const char *Get() const { return _text; }
    bool IsEmpty() const { return _text == nullptr || _text[0] == '\0'; }

  private:
    const char *_text;
};

#endif  // BD_XML_XML_TEXT_H
