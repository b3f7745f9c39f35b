#ifndef BD_XML_XML_ELEM_RECORD_H
#define BD_XML_XML_ELEM_RECORD_H

#include <cstdint>

// One element's place in the document text: offsets and links only, never copied text.
// Record 0 stands for the document itself; its first child is the root element.
struct XmlElemRecord {
    // Widths of the packed fields; the parser refuses anything that would not fit.
    static constexpr uint32_t kMaxStartTagLength = 0x3FFFFF;  // 22 bits
    static constexpr uint32_t kMaxEndTagLength = 0x3FF;       // 10 bits
    static constexpr uint32_t kMaxLevel = 0xFFFF;             // 16 bits

    // State bits above the level.
    static constexpr uint32_t kFirstChild = 0x80000;
    static constexpr uint32_t kNeverEnded = 0x100000;
    static constexpr uint32_t kErrorInside = 0x200000;
    static constexpr uint32_t kDocumentHasErrors = 0x800000;  // on record 0 only

    uint32_t start = 0;        // offset of the start tag
    uint32_t length = 0;       // start tag to the end of the end tag
    uint32_t tag_lengths = 0;  // start-tag length low 22 bits, end-tag length high 10 bits
    uint32_t level_flags = 0;  // nesting level low 16 bits, state bits above
    uint32_t parent = 0;
    uint32_t first_child = 0;   // 0 = no child elements
    uint32_t next_sibling = 0;  // 0 = last
    uint32_t prev_sibling = 0;  // the first child's points to the last child

    uint32_t StartTagLength() const { return tag_lengths & kMaxStartTagLength; }
    uint32_t EndTagLength() const { return tag_lengths >> 22; }
    void SetTagLengths(uint32_t startTag, uint32_t endTag) {
        tag_lengths = (startTag & kMaxStartTagLength) | (endTag & kMaxEndTagLength) << 22;
    }
    uint32_t Level() const { return level_flags & kMaxLevel; }
    void SetLevel(uint32_t level) {
        level_flags = (level_flags & ~kMaxLevel) | (level & kMaxLevel);
    }
    // Self-closing, or a start tag that was never ended.
    bool IsEmpty() const { return StartTagLength() == length; }
};

static_assert(sizeof(XmlElemRecord) == 32, "element records are eight 32-bit words");

#endif  // BD_XML_XML_ELEM_RECORD_H
