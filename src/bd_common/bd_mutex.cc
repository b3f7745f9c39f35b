#include "bd_common/bd_mutex.h"

BdMutex::BdMutex() {
    pthread_mutex_init(&_mutex, nullptr);
}

BdMutex::~BdMutex() {
    pthread_mutex_destroy(&_mutex);
}

bool BdMutex::Lock() {
    return pthread_mutex_lock(&_mutex) == 0;
}

bool BdMutex::TryLock() {
    return pthread_mutex_trylock(&_mutex) == 0;
}

bool BdMutex::Unlock() {
    return pthread_mutex_unlock(&_mutex) == 0;
}
