#include "bd_xml/xml_result_log.h"

namespace {

// Attribute values may come from the document (tag names), so they are cut short and escaped to
// keep each entry small and the log itself well formed.
constexpr size_t kMaxValueLength = 100;

void AppendEscaped(const std::string &value, std::string *out) {
    for (char c : value.substr(0, kMaxValueLength)) {
        switch (c) {
            case '&':
                out->append("&amp;");
                break;
            case '<':
                out->append("&lt;");
                break;
            case '"':
                out->append("&quot;");
                break;
            default:
                out->push_back(c);
        }
    }
}

}  // namespace

void XmlResultLog::Add(const char *event, const Attributes &attributes) {
    if (text_.size() > kMaxLength) {
        return;
    }
    text_.push_back('<');
    text_.append(event);
    for (const auto &attribute : attributes) {
        text_.push_back(' ');
        text_.append(attribute.first);
        text_.append("=\"");
        AppendEscaped(attribute.second, &text_);
        text_.push_back('"');
    }
    text_.append("/>");
}
