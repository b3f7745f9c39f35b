#ifndef BD_XML_XML_ELEM_INDEX_H
#define BD_XML_XML_ELEM_INDEX_H

#include <cstdint>
#include <memory>
#include <vector>

#include "bd_xml/xml_elem_record.h"

// The element records of one document, kept in segments of 65,536 records reached through an
// array of segment pointers. Every segment but the last is full and never moves once full, so
// growing a large index copies at most one segment. Owned by its reader; not thread-safe.
class XmlElemIndex {
  public:
    static constexpr uint32_t kSegmentRecords = 65536;

    // Starts with room for record 0 only.
    XmlElemIndex();
    XmlElemIndex(const XmlElemIndex &) = delete;
    XmlElemIndex &operator=(const XmlElemIndex &) = delete;

    uint64_t Capacity() const { return _capacity; }
    // Makes room for at least `records` records (the existing ones are kept).
    void Reserve(uint64_t records);
    // Called when `used` records fill the capacity: grows to one and a half times that, but by
    // no more than one new segment at a time.
    void Grow(uint64_t used);

    // `i` must be below Capacity().
    XmlElemRecord &operator[](uint32_t i) {
        return _segments[i / kSegmentRecords][i % kSegmentRecords];
    }
    const XmlElemRecord &operator[](uint32_t i) const {
        return _segments[i / kSegmentRecords][i % kSegmentRecords];
    }

  private:
    // Grows towards `wanted` records, adding at most one segment; a partly filled last segment
    // is first filled up, so only full segments are left behind.
    void GrowTowards(uint64_t wanted);
    // Reallocates the last segment to `records` records, copying what it holds.
    void ResizeLastSegment(uint64_t records);
    uint64_t LastSegmentSize() const {
        return _capacity - (_segments.size() - 1) * kSegmentRecords;
    }

    std::vector<std::unique_ptr<XmlElemRecord[]>> _segments;
    uint64_t _capacity = 0;
};

#endif  // BD_XML_XML_ELEM_INDEX_H
