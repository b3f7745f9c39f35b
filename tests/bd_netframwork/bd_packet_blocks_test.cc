#include "bd_netframwork/bd_packet_blocks.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

namespace {

// Every block handed out is written to its full requested length: under the address sanitizer a
// block too small for its class fails here.
char *Filled(size_t length) {
    char *block = BdPacketBlocks::Allocate(length);
    EXPECT_NE(block, nullptr);
    memset(block, 0x5a, length);
    return block;
}

TEST(BdPacketBlocksTest, ReleasedBlocksServeOnlyPacketsTheyHold) {
    char *block = Filled(600);
    BdPacketBlocks::Release(block);
    char *again = Filled(700);
    EXPECT_EQ(again, block) << "600 and 700 bytes share a class";
    BdPacketBlocks::Release(again);

    // Any malloc block is taken, and serves only packets it can hold.
    char *foreign = static_cast<char *>(malloc(300));
    BdPacketBlocks::Release(foreign);
    char *bigger = Filled(384);
    EXPECT_NE(bigger, foreign);
    char *fitting = Filled(256);
    EXPECT_EQ(fitting, foreign);
    char *huge = Filled(1 << 20);  // beyond every class: plain malloc and free
    for (char *b : {bigger, fitting, huge, Filled(1)})
        free(b);  // handed-out blocks are ordinary malloc blocks
}

TEST(BdPacketBlocksTest, KeepsUpToItsCapPerClassAndFreesThemWhenTheThreadEnds) {
    // In a thread of its own, so that the blocks it keeps are freed at its end (the leak
    // sanitizer would report them otherwise).
    std::thread([] {
        const size_t kept = BdPacketBlocks::kCachedBytesPerClass / 1024;
        std::vector<char *> blocks;
        for (size_t i = 0; i < kept + 10; ++i)
            blocks.push_back(Filled(1000));
        std::set<char *> released(blocks.begin(), blocks.end());
        for (char *block : blocks)
            BdPacketBlocks::Release(block);
        size_t reused = 0;
        for (size_t i = 0; i < kept + 10; ++i) {
            blocks[i] = Filled(1000);
            reused += released.count(blocks[i]);
        }
        // The blocks beyond the cap were freed (malloc may hand their addresses out again).
        EXPECT_GE(reused, kept);
        for (char *block : blocks)
            BdPacketBlocks::Release(block);
    }).join();
}

}  // namespace
