// BdWorkThread: a long-running thread serving one task, reachable by packets that name it.
//
// Created by the task's owner and handed to a BdWorkThreadManager, which owns it from then on and
// stops, joins, cleans up and deletes it once its destroy flag is set (or at Destroy).
//
// Threads: InputPacket is called by the event-loop thread while the work thread runs, so a
// subclass guards what it shares between the two; GetTaskUuid and GetDestroyFlag may be called
// from any thread; CleanUp runs on the manager's thread after the join.
#ifndef BD_NETFRAMWORK_BD_WORK_THREAD_H
#define BD_NETFRAMWORK_BD_WORK_THREAD_H

#include <atomic>
#include <string>

#include "bd_common/bd_thread.h"

class BdWorkThread : public BdThread {
  public:
    BdWorkThread() : _destroyFlag(false) {}

    // UUID of the task served; may be empty.
    virtual std::string GetTaskUuid() = 0;
    // Takes one packet: data is a malloc block of length bytes, owned by the thread when 0 is
    // returned and still the caller's on any other code.
    virtual int InputPacket(char *data, int length) = 0;
    // Releases what the thread kept; runs after the join, before delete. Returns 0.
    virtual int CleanUp() { return 0; }

    // Set by the thread once its work is over; the manager then reaps it.
    bool GetDestroyFlag() const { return _destroyFlag.load(); }

  protected:
    void SetDestroyFlag() { _destroyFlag.store(true); }

  private:
    std::atomic<bool> _destroyFlag;
};

#endif  // BD_NETFRAMWORK_BD_WORK_THREAD_H
