#include "bd_common/bd_mutex.h"

#include <gtest/gtest.h>

#include <thread>

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

}  // namespace
