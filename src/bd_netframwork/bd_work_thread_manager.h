// BdWorkThreadManager: registries of work threads, by task UUID and by thread UUID.
//
// The manager owns every thread object in its thread map: it stops (Exit), joins, cleans up and
// deletes a thread when it is removed, when CheckAndDestroy finds its destroy flag set, and at
// Destroy. The task map only names threads; it owns nothing.
//
// Threads and locks: every operation may be called from any thread. The task map is guarded by
// _taskMapMutex, the thread map by _threadMapMutex; each lock is held only for the map operation
// itself, never while a thread is joined, and no operation holds both. A thread is joined only
// after its entry is gone, so it can no longer be found while it stops. A pointer returned by a
// lookup stays valid only until the thread is removed.
#ifndef BD_NETFRAMWORK_BD_WORK_THREAD_MANAGER_H
#define BD_NETFRAMWORK_BD_WORK_THREAD_MANAGER_H

#include <map>
#include <string>

#include "bd_common/bd_mutex.h"

class BdWorkThread;

class BdWorkThreadManager {
  public:
    BdWorkThreadManager() = default;
    // Releases only the maps; call Destroy to stop the threads.
    ~BdWorkThreadManager() = default;
    BdWorkThreadManager(const BdWorkThreadManager &) = delete;
    BdWorkThreadManager &operator=(const BdWorkThreadManager &) = delete;

    // Nothing to prepare; returns 0.
    int Init();

    // BD_PARAMETER_INVALID for an empty argument; BD_WORK_THREAD_UUID_EXIST when task is mapped
    // already (the first mapping stays).
    int AddMapTaskUuidToThreadUuid(const std::string &task, const std::string &thread);
    // Takes ownership of obj. BD_PARAMETER_INVALID for an empty thread or null obj;
    // BD_WORK_THREAD_EXIST when thread has an object already (obj stays the caller's).
    int AddMapThreadUuidToThreadObj(const std::string &thread, BdWorkThread *obj);

    // BD_PARAMETER_INVALID; BD_WORK_THREAD_UUID_NOT_EXIST when task is not mapped.
    int QueryThreadUuidFromTaskUuid(const std::string &task, std::string *thread);
    // BD_PARAMETER_INVALID; BD_WORK_THREAD_NOT_EXIST when thread has no object.
    int QueryThreadObjFromThreadUuid(const std::string &thread, BdWorkThread **obj);
    // Both lookups: BD_PARAMETER_INVALID, BD_WORK_THREAD_UUID_NOT_EXIST or
    // BD_WORK_THREAD_NOT_EXIST.
    int QueryThreadObjFromTaskUuid(const std::string &task, BdWorkThread **obj);

    // Removes the thread, then stops, joins, cleans up and deletes it. BD_PARAMETER_INVALID;
    // BD_WORK_THREAD_NOT_EXIST when not mapped.
    int DelThreadObjByThreadUuid(const std::string &thread);
    // Removes the task's thread if it has one, then the task entry. BD_PARAMETER_INVALID for an
    // empty task, else 0.
    int DelThreadObjByTaskUuid(const std::string &task);
    // Removes only the task entry. BD_PARAMETER_INVALID; BD_WORK_THREAD_UUID_NOT_EXIST when task is
    // not mapped.
    int DelThreadUuidByTaskUuid(const std::string &task);

    // Accepts nothing and does nothing; returns 0.
    int PushPacket(char *data, int length);

    // Reaps the threads whose destroy flag is set, logging each at debug level; returns 0.
    int CheckAndDestroy();
    // Stops, joins, cleans up and deletes every thread and empties both maps; returns 0.
    int Destroy();

  private:
    // Exit, Join, CleanUp, delete.
    static void StopAndDelete(BdWorkThread *obj);

    BdMutex _taskMapMutex;
    BdMutex _threadMapMutex;
    std::map<std::string, std::string> _taskToThread;    // guarded by _taskMapMutex
    std::map<std::string, BdWorkThread *> _threadToObj;  // owning; guarded by _threadMapMutex
};

#endif  // BD_NETFRAMWORK_BD_WORK_THREAD_MANAGER_H
