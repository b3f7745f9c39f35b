#include "bd_xml/xml_elem_index.h"

#include <algorithm>

XmlElemIndex::XmlElemIndex() {
    _segments.emplace_back(new XmlElemRecord[1]());
    _capacity = 1;
}

void XmlElemIndex::Reserve(uint64_t records) {
    while (_capacity < records) {
        GrowTowards(records);
    }
}

void XmlElemIndex::Grow(uint64_t used) {
    GrowTowards(std::max(used + used / 2, _capacity + 1));
}

void XmlElemIndex::GrowTowards(uint64_t wanted) {
    const uint64_t segmentEnd = _segments.size() * kSegmentRecords;
    if (wanted <= segmentEnd) {
        ResizeLastSegment(wanted - (segmentEnd - kSegmentRecords));
        return;
    }
    if (LastSegmentSize() < kSegmentRecords) {
        ResizeLastSegment(kSegmentRecords);
    }
    const uint64_t newRecords = std::min<uint64_t>(wanted - segmentEnd, kSegmentRecords);
    _segments.emplace_back(new XmlElemRecord[newRecords]());
    _capacity += newRecords;
}

void XmlElemIndex::ResizeLastSegment(uint64_t records) {
    const uint64_t oldRecords = LastSegmentSize();
    std::unique_ptr<XmlElemRecord[]> segment(new XmlElemRecord[records]());
    std::copy(_segments.back().get(), _segments.back().get() + std::min(oldRecords, records),
              segment.get());
    _segments.back() = std::move(segment);
    _capacity += records - oldRecords;
}
