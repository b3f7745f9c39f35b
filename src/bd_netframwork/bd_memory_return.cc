#include "bd_netframwork/bd_memory_return.h"

#include <malloc.h>

#include <atomic>
#include <chrono>

namespace {

std::atomic<size_t> g_freed_since_trim{0};
std::chrono::steady_clock::time_point g_last_trim;  // event-loop thread

}  // namespace

void BdKeepHeapForPackets() {
    // Left to itself the allocator gives back the top of its heap whenever more than twice its
    // mapping threshold is free there (about 512 KiB once 256 KiB packets have passed), and the
    // next packets fault every page in again: a third of the router's time with 256 KiB packets.
    mallopt(M_MMAP_THRESHOLD, static_cast<int>(kBdMappedBlockBytes));
    mallopt(M_TRIM_THRESHOLD, static_cast<int>(kBdHeapTopKeptBytes));
}

void BdNoteFreed(size_t size) {
    if (size >= kBdLargeBlockBytes) {
        g_freed_since_trim.fetch_add(size, std::memory_order_relaxed);
    }
}

bool BdReturnFreedMemory() {
    if (g_freed_since_trim.load(std::memory_order_relaxed) < kBdTrimAfterFreedBytes) {
        return false;
    }
    // Trimmed pages fault in again when the heap grows back, so a router that keeps moving large
    // packets trims at most this often.
    const auto now = std::chrono::steady_clock::now();
    if (now - g_last_trim < kBdTrimInterval) {
        return false;
    }
    g_last_trim = now;
    g_freed_since_trim.store(0, std::memory_order_relaxed);
    malloc_trim(0);
    return true;
}
