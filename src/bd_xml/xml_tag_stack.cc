#include "bd_xml/xml_tag_stack.h"

void XmlTagStack::Push(std::string_view name, uint32_t record) {
    depths_by_name_[name].push_back(entries_.size());
    entries_.push_back({name, record});
}

void XmlTagStack::Pop() {
    auto found = depths_by_name_.find(entries_.back().name);
    found->second.pop_back();
    if (found->second.empty()) {
        depths_by_name_.erase(found);
    }
    entries_.pop_back();
}

bool XmlTagStack::FindInnermost(std::string_view name, size_t *depth) const {
    auto found = depths_by_name_.find(name);
    if (found == depths_by_name_.end()) {
        return false;
    }
    *depth = found->second.back();
    return true;
}
