#include "bd_xml/xml_elem_index.h"

#include <algorithm>

XmlElemIndex::XmlElemIndex() {
    segments_.emplace_back(new XmlElemRecord[1]());
    capacity_ = 1;
}

void XmlElemIndex::Reserve(uint64_t records) {
    while (capacity_ < records) {
        GrowTowards(records);
    }
}

void XmlElemIndex::Grow(uint64_t used) {
    GrowTowards(std::max(used + used / 2, capacity_ + 1));
}

void XmlElemIndex::GrowTowards(uint64_t wanted) {
    const uint64_t segmentEnd = segments_.size() * kSegmentRecords;
    if (wanted <= segmentEnd) {
        ResizeLastSegment(wanted - (segmentEnd - kSegmentRecords));
        return;
    }
    if (LastSegmentSize() < kSegmentRecords) {
        ResizeLastSegment(kSegmentRecords);
    }
    const uint64_t newRecords = std::min<uint64_t>(wanted - segmentEnd, kSegmentRecords);
    segments_.emplace_back(new XmlElemRecord[newRecords]());
    capacity_ += newRecords;
}

void XmlElemIndex::ResizeLastSegment(uint64_t records) {
    const uint64_t oldRecords = LastSegmentSize();
    std::unique_ptr<XmlElemRecord[]> segment(new XmlElemRecord[records]());
    std::copy(segments_.back().get(), segments_.back().get() + std::min(oldRecords, records),
              segment.get());
    segments_.back() = std::move(segment);
    capacity_ += records - oldRecords;
}
