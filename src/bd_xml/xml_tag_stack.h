#ifndef BD_XML_XML_TAG_STACK_H
#define BD_XML_XML_TAG_STACK_H

#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

// The elements still open while a document is parsed, outermost first. Names are views into
// the document text, which must outlive the stack. Finding the innermost open element of a name
// is a hash lookup rather than a walk down the stack, so a deep document full of stray end tags
// still parses in linear time. Used by one parse at a time.
class XmlTagStack {
  public:
    XmlTagStack() = default;
    XmlTagStack(const XmlTagStack &) = delete;
    XmlTagStack &operator=(const XmlTagStack &) = delete;

    void Push(std::string_view name, uint32_t record);
    void Pop();
    bool Empty() const { return _entries.empty(); }
    size_t Size() const { return _entries.size(); }
    // Record of the open element at `depth` (0 = outermost); depth must be below Size().
    uint32_t RecordAt(size_t depth) const { return _entries[depth].record; }
    // Depth of the innermost open element named exactly `name`; false when none is open.
    bool FindInnermost(std::string_view name, size_t *depth) const;

  private:
    struct Entry {
        std::string_view name;
        uint32_t record;
    };

    std::vector<Entry> _entries;
    std::unordered_map<std::string_view, std::vector<size_t>> _depthsByName;
};

#endif  // BD_XML_XML_TAG_STACK_H
