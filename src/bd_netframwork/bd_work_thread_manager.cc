#include "bd_netframwork/bd_work_thread_manager.h"

#include <vector>

#include "bd_common/bd_error.h"
#include "bd_common/bd_log_entry.h"
#include "bd_netframwork/bd_work_thread.h"

BD_LOG_SOURCE_FILE("src/bd_netframwork/bd_work_thread_manager")

int BdWorkThreadManager::Init() {
    return BD_SUCCESS;
}

int BdWorkThreadManager::AddMapTaskUuidToThreadUuid(const std::string &task,
                                                    const std::string &thread) {
    if (task.empty() || thread.empty()) {
        return BD_PARAMETER_INVALID;
    }
    BdMutexLocker lock(_taskMapMutex);
    return _taskToThread.emplace(task, thread).second ? BD_SUCCESS : BD_WORK_THREAD_UUID_EXIST;
}

int BdWorkThreadManager::AddMapThreadUuidToThreadObj(const std::string &thread, BdWorkThread *obj) {
    if (thread.empty() || obj == nullptr) {
        return BD_PARAMETER_INVALID;
    }
    BdMutexLocker lock(_threadMapMutex);
    BdWorkThread *&slot = _threadToObj[thread];
    if (slot != nullptr) {
        return BD_WORK_THREAD_EXIST;
    }
    slot = obj;
    return BD_SUCCESS;
}

int BdWorkThreadManager::QueryThreadUuidFromTaskUuid(const std::string &task, std::string *thread) {
    if (task.empty() || thread == nullptr) {
        return BD_PARAMETER_INVALID;
    }
    BdMutexLocker lock(_taskMapMutex);
    auto found = _taskToThread.find(task);
    if (found == _taskToThread.end()) {
        return BD_WORK_THREAD_UUID_NOT_EXIST;
    }
    *thread = found->second;
    return BD_SUCCESS;
}

int BdWorkThreadManager::QueryThreadObjFromThreadUuid(const std::string &thread,
                                                      BdWorkThread **obj) {
    if (thread.empty() || obj == nullptr) {
        return BD_PARAMETER_INVALID;
    }
    BdMutexLocker lock(_threadMapMutex);
    auto found = _threadToObj.find(thread);
    if (found == _threadToObj.end() || found->second == nullptr) {
        return BD_WORK_THREAD_NOT_EXIST;
    }
    *obj = found->second;
    return BD_SUCCESS;
}

int BdWorkThreadManager::QueryThreadObjFromTaskUuid(const std::string &task, BdWorkThread **obj) {
    if (task.empty() || obj == nullptr) {
        return BD_PARAMETER_INVALID;
    }
    std::string thread;
    int rc = QueryThreadUuidFromTaskUuid(task, &thread);
    if (rc != BD_SUCCESS) {
        return rc;
    }
    return QueryThreadObjFromThreadUuid(thread, obj);
}

void BdWorkThreadManager::StopAndDelete(BdWorkThread *obj) {
    obj->Exit();
    obj->Join();
    obj->CleanUp();
    delete obj;
}

int BdWorkThreadManager::DelThreadObjByThreadUuid(const std::string &thread) {
    if (thread.empty()) {
        return BD_PARAMETER_INVALID;
    }
    BdWorkThread *obj = nullptr;
    {
        BdMutexLocker lock(_threadMapMutex);
        auto found = _threadToObj.find(thread);
        if (found == _threadToObj.end()) {
            return BD_WORK_THREAD_NOT_EXIST;
        }
        obj = found->second;
        _threadToObj.erase(found);
    }
    if (obj != nullptr) {
        StopAndDelete(obj);
    }
    return BD_SUCCESS;
}

int BdWorkThreadManager::DelThreadObjByTaskUuid(const std::string &task) {
    if (task.empty()) {
        return BD_PARAMETER_INVALID;
    }
    std::string thread;
    if (QueryThreadUuidFromTaskUuid(task, &thread) == BD_SUCCESS) {
        DelThreadObjByThreadUuid(thread);
    }
    BdMutexLocker lock(_taskMapMutex);
    _taskToThread.erase(task);
    return BD_SUCCESS;
}

int BdWorkThreadManager::DelThreadUuidByTaskUuid(const std::string &task) {
    if (task.empty()) {
        return BD_PARAMETER_INVALID;
    }
    BdMutexLocker lock(_taskMapMutex);
    return _taskToThread.erase(task) == 0 ? BD_WORK_THREAD_UUID_NOT_EXIST : BD_SUCCESS;
}

int BdWorkThreadManager::PushPacket(char *, int) {
    return BD_SUCCESS;
}

int BdWorkThreadManager::CheckAndDestroy() {
    std::map<std::string, BdWorkThread *> threads;
    {
        BdMutexLocker lock(_threadMapMutex);
        threads = _threadToObj;
    }
    for (const auto &entry : threads) {
        const std::string &thread = entry.first;
        BdWorkThread *obj = entry.second;
        if (obj == nullptr) {
            DelThreadObjByThreadUuid(thread);
            continue;
        }
        if (!obj->GetDestroyFlag()) {
            continue;
        }
        std::string task = obj->GetTaskUuid();
        std::string message = "thread: " + thread + " exit";
        if (!task.empty() && DelThreadUuidByTaskUuid(task) == BD_SUCCESS) {
            message = "task: " + task + ", " + message;
        }
        BD_LOG(BD_LOG_DEBUG, 0, message, "");
        DelThreadObjByThreadUuid(thread);
    }
    return BD_SUCCESS;
}

int BdWorkThreadManager::Destroy() {
    {
        BdMutexLocker lock(_taskMapMutex);
        _taskToThread.clear();
    }
    std::vector<BdWorkThread *> threads;
    {
        BdMutexLocker lock(_threadMapMutex);
        for (const auto &entry : _threadToObj) {
            if (entry.second != nullptr) {
                threads.push_back(entry.second);
            }
        }
        _threadToObj.clear();
    }
    for (BdWorkThread *obj : threads) {
        StopAndDelete(obj);
    }
    return BD_SUCCESS;
}
