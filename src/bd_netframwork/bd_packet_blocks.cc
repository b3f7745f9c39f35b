#include "bd_netframwork/bd_packet_blocks.h"

#include <malloc.h>
#include <stdlib.h>
#include <string.h>

#include <iterator>
#include <type_traits>

namespace {

// Powers of two and the steps halfway between, so a packet wastes at most a third of its block.
constexpr size_t kClassSizes[] = {256,  384,  512,   768,   1024,  1536,  2048,  3072, 4096,
                                  6144, 8192, 12288, 16384, 24576, 32768, 49152, 65536};
constexpr int kClasses = static_cast<int>(std::size(kClassSizes));

// Idle blocks of one class, linked through their first bytes.
struct Bin {
    char *head;
    size_t count;
};

// Plain data, so that blocks released while the thread's objects are destroyed still find it.
struct ThreadBlocks {
    Bin bins[kClasses];
    bool closed;  // the thread is ending: released blocks are freed
};
static_assert(std::is_trivially_destructible<ThreadBlocks>::value, "usable during thread exit");
thread_local ThreadBlocks t_blocks;

// Frees the thread's idle blocks when it ends.
struct ThreadBlocksOwner {
    ~ThreadBlocksOwner() {
        t_blocks.closed = true;
        for (Bin &bin : t_blocks.bins) {
            while (bin.head != nullptr) {
                char *block = bin.head;
                memcpy(&bin.head, block, sizeof(char *));
                free(block);
            }
            bin.count = 0;
        }
    }
};
thread_local ThreadBlocksOwner t_blocks_owner;

// The smallest class holding length bytes; -1 above the largest.
int ClassFor(size_t length) {
    for (int c = 0; c < kClasses; ++c) {
        if (length <= kClassSizes[c]) {
            return c;
        }
    }
    return -1;
}

// The largest class a block of usable bytes can serve; -1 when it is smaller than every class or
// so much larger than the largest that keeping it would hoard memory.
int ClassServedBy(size_t usable) {
    if (usable < kClassSizes[0] || usable >= 2 * kClassSizes[kClasses - 1]) {
        return -1;
    }
    int c = kClasses - 1;
    while (kClassSizes[c] > usable) {
        --c;
    }
    return c;
}

}  // namespace

char *BdPacketBlocks::Allocate(size_t length) {
    int c = ClassFor(length);
    if (c < 0) {
        return static_cast<char *>(malloc(length));
    }
    Bin &bin = t_blocks.bins[c];
    if (bin.head == nullptr) {
        (void)&t_blocks_owner;  // the first block of this thread: make sure its end frees them
        return static_cast<char *>(malloc(kClassSizes[c]));
    }
    char *block = bin.head;
    memcpy(&bin.head, block, sizeof(char *));
    --bin.count;
    return block;
}

void BdPacketBlocks::Release(char *block) {
    if (block == nullptr) {
        return;
    }
    int c = ClassServedBy(malloc_usable_size(block));
    if (c < 0 || t_blocks.closed ||
        (t_blocks.bins[c].count + 1) * kClassSizes[c] > kCachedBytesPerClass) {
        free(block);
        return;
    }
    (void)&t_blocks_owner;
    Bin &bin = t_blocks.bins[c];
    memcpy(block, &bin.head, sizeof(char *));
    bin.head = block;
    ++bin.count;
}
