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
    if (_text.size() > kMaxLength) {
        return;
    }
    _text.push_back('<');
    _text.append(event);
    for (const auto &attribute : attributes) {
        _text.push_back(' ');
        _text.append(attribute.first);
        _text.append("=\"");
        AppendEscaped(attribute.second, &_text);
        _text.push_back('"');
    }
    _text.append("/>");
}
