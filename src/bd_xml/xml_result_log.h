#ifndef BD_XML_XML_RESULT_LOG_H
#define BD_XML_XML_RESULT_LOG_H

#include <string>
#include <utility>
#include <vector>

// The record of what one load and parse did: each event is appended as an empty element named
// after it, e.g. <bom encoding="UTF-8"/>. Nothing in the router reads it; it is kept for
// diagnostics and tests. The log is capped so that a document full of errors cannot make it
// grow without bound. Not thread-safe; owned by one reader.
class XmlResultLog {
  public:
    using Attributes = std::vector<std::pair<const char *, std::string>>;

    void Clear() { _text.clear(); }
    void Add(const char *event, const Attributes &attributes = {});
    const std::string &Text() const { return _text; }

  private:
    // Entries are dropped once the text is longer than this.
    static constexpr size_t kMaxLength = 999;

    std::string _text;
};

#endif  // BD_XML_XML_RESULT_LOG_H
