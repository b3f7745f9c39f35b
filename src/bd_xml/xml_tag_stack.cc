#include "bd_xml/xml_tag_stack.h"

void XmlTagStack::Push(std::string_view name, uint32_t record) {
    _depthsByName[name].push_back(_entries.size());
    _entries.push_back({name, record});
}

void XmlTagStack::Pop() {
    auto found = _depthsByName.find(_entries.back().name);
    found->second.pop_back();
    if (found->second.empty()) {
        _depthsByName.erase(found);
    }
    _entries.pop_back();
}

bool XmlTagStack::FindInnermost(std::string_view name, size_t *depth) const {
    auto found = _depthsByName.find(name);
    if (found == _depthsByName.end()) {
        return false;
    }
    *depth = found->second.back();
    return true;
}
