// BdThread: base of a class whose objects each run one POSIX thread.
//
// A subclass implements Run(), the thread body, and watches GetThreadExitFlag() to stop when asked
// (Exit). Whoever starts the thread owns the object and must Join or Detach it before deleting it;
// the destructor does neither, since the subclass part of the object is gone by then.
//
// Threads: Start, Join, TimedJoin, Detach and Cancel are called by the owner's thread; Exit may be
// called from any thread; GetThreadExitFlag and InternalSleep are called by the body.
#ifndef BD_COMMON_BD_THREAD_H_
#define BD_COMMON_BD_THREAD_H_

#include <pthread.h>

#include <atomic>

class BdThread {
  public:
    BdThread();
    virtual ~BdThread() = default;
    // A copy would share the running thread's handle.
    BdThread(const BdThread &) = delete;
    BdThread &operator=(const BdThread &) = delete;

    // The thread body.
    virtual void Run() = 0;

    // Creates the thread running Run(): 1, or 0 when it cannot be created or one runs already.
    int Start();
    // Waits for the thread: 1, or 0 when none runs, it is not joinable or the join fails.
    int Join();
    // Like Join, waiting at most milliseconds: 0 on time-out.
    int TimedJoin(int milliseconds);
    // 1, or 0 when none runs or the detach fails. The thread is no longer joinable.
    int Detach();
    // Asks for cancellation: 1 when pthread_cancel accepted it, 0 when none runs.
    int Cancel();

    // Asks the body to stop; it is expected to watch the flag.
    void Exit() { _threadExitFlag.store(true); }
    bool GetThreadExitFlag() const { return _threadExitFlag.load(); }

  protected:
    // Sleeps seconds in steps of one second, returning early once Exit was called.
    void InternalSleep(long seconds);

  private:
    static void *StartRoutine(void *self);

    bool _joinable;
    std::atomic<bool> _threadExitFlag;
    pthread_t _thread;  // 0 while no thread runs
};

#endif  // BD_COMMON_BD_THREAD_H_
