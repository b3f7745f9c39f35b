#include "bd_common/bd_thread.h"

#include <time.h>

#include "bd_common/bd_util.h"

BdThread::BdThread() : _joinable(true), _threadExitFlag(false), _thread(0) {}

void *BdThread::StartRoutine(void *self) {
    static_cast<BdThread *>(self)->Run();
    return nullptr;
}

int BdThread::Start() {
    // One object, one thread: a second start would lose the handle of the first.
    if (_thread != 0) {
        return 0;
    }
    pthread_t thread;
    if (pthread_create(&thread, nullptr, StartRoutine, this) != 0) {
        return 0;
    }
    _thread = thread;
    return 1;
}

int BdThread::Join() {
    if (_thread == 0 || !_joinable || pthread_join(_thread, nullptr) != 0) {
        return 0;
    }
    _thread = 0;
    return 1;
}

int BdThread::TimedJoin(int milliseconds) {
    if (_thread == 0 || !_joinable) {
        return 0;
    }
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    if (pthread_timedjoin_np(_thread, nullptr, &deadline) != 0) {
        return 0;
    }
    _thread = 0;
    return 1;
}

int BdThread::Detach() {
    if (_thread == 0 || pthread_detach(_thread) != 0) {
        return 0;
    }
    _thread = 0;
    _joinable = false;
    return 1;
}

int BdThread::Cancel() {
    if (_thread == 0) {
        return 0;
    }
    return pthread_cancel(_thread) == 0 ? 1 : 0;
}

void BdThread::InternalSleep(long seconds) {
    for (long slept = 0; slept < seconds && !GetThreadExitFlag(); ++slept) {
        BdUtil::BdSleep(1);
    }
}
