#include "bd_common/bd_mutex.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

bool TryLockFromAnotherThread(BdMutex &mutex) {
    bool locked = false;
    std::thread([&] {
        locked = mutex.TryLock();
        if (locked) {
            mutex.Unlock();
        }
    }).join();
    return locked;
}

TEST(BdMutexTest, TryLockFailsWhileHeldAndSucceedsAfterUnlock) {
    BdMutex mutex;
    EXPECT_TRUE(mutex.Lock());
    EXPECT_FALSE(TryLockFromAnotherThread(mutex));
    EXPECT_TRUE(mutex.Unlock());
    EXPECT_TRUE(TryLockFromAnotherThread(mutex));
}

TEST(BdMutexTest, LockerReleasesAtScopeEnd) {
    BdMutex mutex;
    {
        BdMutexLocker locker(mutex);
        EXPECT_FALSE(TryLockFromAnotherThread(mutex));
    }
    EXPECT_TRUE(TryLockFromAnotherThread(mutex));
}

TEST(BdMutexTest, SerialisesConcurrentIncrements) {
    BdMutex mutex;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                BdMutexLocker locker(mutex);
                ++counter;
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counter, 80000);
}

}  // namespace
