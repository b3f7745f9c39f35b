#include "bd_netframwork/bd_memory_return.h"

#include <malloc.h>

#include <atomic>

namespace {

std::atomic<size_t> g_freed_since_trim{0};

}  // namespace

void BdNoteFreed(size_t size) {
    if (size >= kBdLargeBlockBytes) {
        g_freed_since_trim.fetch_add(size, std::memory_order_relaxed);
    }
}

bool BdReturnFreedMemory() {
    if (g_freed_since_trim.load(std::memory_order_relaxed) < kBdTrimAfterFreedBytes) {
        return false;
    }
    g_freed_since_trim.store(0, std::memory_order_relaxed);
    malloc_trim(0);
    return true;
}
