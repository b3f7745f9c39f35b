#ifndef BD_XML_XML_TEXT_H
#define BD_XML_XML_TEXT_H

#include <string>

// A borrowed, zero-terminated text argument: either a character pointer or the contents of a
// std::string. It never owns the text, so the argument must outlive the call it is passed to
// (a temporary std::string lives until the end of the full expression, which is enough).
// A null pointer means "no text".
class XmlText {
  public:
    XmlText(const char *text = nullptr) : text_(text) {}
    XmlText(const std::string &text) : text_(text.c_str()) {}

    const char *Get() const { return text_; }
    bool IsEmpty() const { return text_ == nullptr || text_[0] == '\0'; }

  private:
    const char *text_;
};

#endif  // BD_XML_XML_TEXT_H
