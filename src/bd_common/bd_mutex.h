#ifndef BD_COMMON_BD_MUTEX_H_
#define BD_COMMON_BD_MUTEX_H_

#include <pthread.h>

// A non-recursive POSIX mutex with default attributes. Owned by whoever declares it; not copyable,
// since a copied pthread_mutex_t is not a mutex. Lock, TryLock and Unlock may be called from any
// thread and return true when the underlying call succeeded.
class BdMutex {
  public:
    BdMutex();
    ~BdMutex();
    BdMutex(const BdMutex &) = delete;
    BdMutex &operator=(const BdMutex &) = delete;

    bool Lock();
    bool TryLock();
    bool Unlock();

  private:
    pthread_mutex_t _mutex;
};

// Holds a BdMutex for the lifetime of the scope, so early returns cannot leave it locked.
class BdMutexLocker {
  public:
    explicit BdMutexLocker(BdMutex &mutex) : _mutex(mutex) { _mutex.Lock(); }
    ~BdMutexLocker() { _mutex.Unlock(); }
    BdMutexLocker(const BdMutexLocker &) = delete;
    BdMutexLocker &operator=(const BdMutexLocker &) = delete;

  private:
    BdMutex &_mutex;
};

#endif  // BD_COMMON_BD_MUTEX_H_
