#include "rt_server/rt_address_quota.h"

bool RtAddressQuota::Take(uint32_t address) {
    int &held = _held[address];
    if (_most > 0 && held >= _most) {
        return false;
    }
    ++held;
    return true;
}

void RtAddressQuota::Release(uint32_t address) {
    auto found = _held.find(address);
    if (found != _held.end() && --found->second <= 0) {
        _held.erase(found);
    }
}
