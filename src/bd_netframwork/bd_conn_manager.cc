#include "bd_netframwork/bd_conn_manager.h"

#include <algorithm>
#include <climits>
#include <new>
#include <vector>

#include "bd_common/bd_error.h"
#include "bd_common/bd_log.h"
#include "bd_common/bd_time.h"
#include "bd_netframwork/bd_connection.h"
#include "bd_netframwork/bd_poll.h"

namespace {

long WallClockSeconds() {
    return BdTime::Now().ToSecond();
}

}  // namespace

BdConnManager::BdConnManager()
    : _poll(nullptr),
      _serverReadyFlag(0),
      _remoteServerFd(-1),
      _clock(WallClockSeconds),
      _staleUuidsPossible(false),
      _lastWaitReturn(0) {}

BdConnManager::~BdConnManager() {
    delete _poll;
}

int BdConnManager::Init() {
    if (_poll == nullptr) {
        _poll = new (std::nothrow) BdPoll();
        if (_poll == nullptr) {
            return BD_MEMORY_ERROR;
        }
    }
    {
        BdMutexLocker lock(_nodeUuidMutex);
        _nodeUuid.clear();
    }
    if (_poll->Init() != 0) {
        return BD_ERROR;
    }
    _serverReadyFlag = 0;
    return BD_SUCCESS;
}

int BdConnManager::Destroy() {
    if (_poll != nullptr) {
        _poll->Destroy();
        delete _poll;
        _poll = nullptr;
    }
    {
        BdMutexLocker lock(_fdMapMutex);
        for (auto &entry : _fdToConn) {
            entry.second->Destroy();
            delete entry.second;
        }
        _fdToConn.clear();
    }
    BdMutexLocker lock(_uuidMapMutex);
    _uuidToFd.clear();
    return BD_SUCCESS;
}

int BdConnManager::WaitAndHandleEvent(int timeoutSeconds) {
    if (_poll == nullptr) {
        return -1;
    }
    // What the loop thread's log gathered since the last turn is written before it sleeps.
    BdLog::GetLogger()->FlushGathered();
    // Not zeroed first: epoll fills exactly the n entries that are read below.
    epoll_event events[BdPoll::kMaxEvents];
    int n = _poll->BdPollWait(events, timeoutSeconds);
    _lastWaitReturn = NowSeconds();
    for (int i = 0; i < n; ++i) {
        BdConnection *conn = nullptr;
        // Looked up per event, not per batch: a handler earlier in the batch may have removed it.
        if (QueryConnFromFD(events[i].data.fd, &conn) != BD_SUCCESS) {
            continue;
        }
        conn->OnEvent(&events[i]);
    }
    return n;
}

int BdConnManager::AddMapFdToConn(int fd, BdConnection *conn, unsigned int mask) {
    if (conn == nullptr) {
        return BD_PARAMETER_INVALID;
    }
    BdConnection *old = nullptr;
    {
        BdMutexLocker lock(_fdMapMutex);
        auto found = _fdToConn.find(fd);
        if (found == _fdToConn.end()) {
            _fdToConn.emplace(fd, conn);
        } else if (found->second == conn) {
            // Registered already: only re-arm, and a queue with data keeps its write interest.
            mask |= conn->GetEventMask() & EPOLLOUT;
            if (_poll != nullptr) {
                _poll->BdPollCtl(fd, BdPoll::kCtlModify, mask);
            }
            conn->SetEventMask(mask);
            return BD_SUCCESS;
        } else {
            old = found->second;
        }
    }
    if (old != nullptr) {
        // A descriptor number reused while a stale entry remained: the stale connection goes,
        // with the UUID entry that still names this descriptor.
        std::string oldUuid = old->GetUUID();
        int boundFd = -1;
        if (!oldUuid.empty() && QueryFDFromUUID(oldUuid, &boundFd) == BD_SUCCESS && boundFd == fd) {
            DelFDByUUID(oldUuid);
        }
        DelConnByFD(fd);
        BdMutexLocker lock(_fdMapMutex);
        _fdToConn[fd] = conn;
    }
    conn->SetEventMask(mask);
    if (_poll != nullptr) {
        _poll->BdPollCtl(fd, BdPoll::kCtlAdd, mask);
    }
    _reapSchedule.DueBy(conn->GetTimeout());
    return BD_SUCCESS;
}

int BdConnManager::AddMapUUIDToFD(std::string uuid, int fd) {
    if (uuid.empty()) {
        return BD_PARAMETER_INVALID;
    }
    BdConnection *conn = nullptr;
    int rc = QueryConnFromFD(fd, &conn);
    if (rc != BD_SUCCESS) {
        return rc;
    }
    int oldFd = -1;
    {
        BdMutexLocker lock(_uuidMapMutex);
        conn->SetUUID(uuid);
        auto found = _uuidToFd.find(uuid);
        if (found == _uuidToFd.end()) {
            _uuidToFd.emplace(uuid, fd);
            return BD_SUCCESS;
        }
        if (found->second == fd) {
            return BD_SUCCESS;
        }
        oldFd = found->second;
    }
    // The peer came back on a new connection: its previous one goes at once.
    DelConnByFD(oldFd);
    BdMutexLocker lock(_uuidMapMutex);
    _uuidToFd[uuid] = fd;
    return BD_SUCCESS;
}

size_t BdConnManager::CountBoundPeers() {
    BdMutexLocker lock(_uuidMapMutex);
    return _uuidToFd.size();
}

int BdConnManager::QueryFDFromUUID(const std::string &uuid, int *fd) {
    if (uuid.empty() || fd == nullptr) {
        return BD_PARAMETER_INVALID;
    }
    BdMutexLocker lock(_uuidMapMutex);
    auto found = _uuidToFd.find(uuid);
    if (found == _uuidToFd.end()) {
        return BD_SOCKET_FD_NOT_EXIST;
    }
    *fd = found->second;
    return BD_SUCCESS;
}

int BdConnManager::QueryConnFromFD(const int &fd, BdConnection **conn) {
    if (fd < 0 || conn == nullptr) {
        return BD_PARAMETER_INVALID;
    }
    BdMutexLocker lock(_fdMapMutex);
    auto found = _fdToConn.find(fd);
    if (found == _fdToConn.end()) {
        return BD_CONNECTION_NOT_EXIST;
    }
    *conn = found->second;
    return BD_SUCCESS;
}

int BdConnManager::QueryConnFromUUID(const std::string &uuid, BdConnection **conn) {
    if (uuid.empty() || conn == nullptr) {
        return BD_PARAMETER_INVALID;
    }
    int fd = -1;
    int rc = QueryFDFromUUID(uuid, &fd);
    if (rc != BD_SUCCESS) {
        return rc;
    }
    return QueryConnFromFD(fd, conn);
}

BdConnection *BdConnManager::Unregister(int fd) {
    BdConnection *conn = nullptr;
    {
        BdMutexLocker lock(_fdMapMutex);
        auto found = _fdToConn.find(fd);
        if (found == _fdToConn.end()) {
            return nullptr;
        }
        conn = found->second;
        _fdToConn.erase(found);
    }
    if (_poll != nullptr) {
        _poll->BdPollCtl(fd, BdPoll::kCtlDelete, conn->GetEventMask());
    }
    _staleUuidsPossible.store(true, std::memory_order_relaxed);
    return conn;
}

int BdConnManager::DelConnByFD(const int &fd) {
    BdConnection *conn = Unregister(fd);
    if (conn == nullptr) {
        return BD_CONNECTION_NOT_EXIST;
    }
    conn->CloseConnection();
    conn->Destroy();
    delete conn;
    return BD_SUCCESS;
}

int BdConnManager::DelConnByUUID(const std::string &uuid) {
    if (uuid.empty()) {
        return BD_PARAMETER_INVALID;
    }
    int fd = -1;
    if (QueryFDFromUUID(uuid, &fd) == BD_SUCCESS) {
        DelConnByFD(fd);
    }
    BdMutexLocker lock(_uuidMapMutex);
    _uuidToFd.erase(uuid);
    return BD_SUCCESS;
}

int BdConnManager::DelFDByUUID(const std::string &uuid) {
    if (uuid.empty()) {
        return BD_PARAMETER_INVALID;
    }
    BdMutexLocker lock(_uuidMapMutex);
    return _uuidToFd.erase(uuid) == 0 ? BD_SOCKET_FD_NOT_EXIST : BD_SUCCESS;
}

int BdConnManager::RemoveConnByFD(const int &fd) {
    return Unregister(fd) == nullptr ? BD_CONNECTION_NOT_EXIST : BD_SUCCESS;
}

int BdConnManager::CtlFD(int fd, unsigned int mask) {
    if (fd < 0) {
        return BD_PARAMETER_INVALID;
    }
    // Under the map lock so that the stored mask always equals the one epoll holds, whichever
    // threads re-arm the descriptor.
    BdMutexLocker lock(_fdMapMutex);
    auto found = _fdToConn.find(fd);
    if (found == _fdToConn.end()) {
        return BD_CONNECTION_NOT_EXIST;
    }
    if (_poll != nullptr) {
        _poll->BdPollCtl(fd, BdPoll::kCtlModify, mask);
    }
    found->second->SetEventMask(mask);
    return BD_SUCCESS;
}

int BdConnManager::CtlFDByUUID(const std::string &uuid, unsigned int mask) {
    if (uuid.empty()) {
        return BD_PARAMETER_INVALID;
    }
    int fd = -1;
    int rc = QueryFDFromUUID(uuid, &fd);
    if (rc != BD_SUCCESS) {
        return rc;
    }
    return CtlFD(fd, mask);
}

int BdConnManager::CheckTimeout(std::list<std::string> *lost) {
    if (lost == nullptr) {
        return BD_PARAMETER_INVALID;
    }
    long now = NowSeconds();
    // The peers could not be heard while the loop was busy since its last wait.
    if (_lastWaitReturn > 0 && now - _lastWaitReturn >= kStallForgivenSeconds) {
        ForgiveStall(now - _lastWaitReturn);
    }
    _lastWaitReturn = 0;
    // Nothing can be due before the earliest deadline seen at the last walk unless a connection
    // said so since; on such turns the registry is not walked at all.
    if (_reapSchedule.IsDue(now)) {
        ReapFinished(now, lost);
    }
    if (_staleUuidsPossible.load() && _staleUuidsPossible.exchange(false)) {
        DropStaleUuids(lost);
    }
    return BD_SUCCESS;
}

void BdConnManager::ReapFinished(long now, std::list<std::string> *lost) {
    std::vector<std::pair<int, BdConnection *>> finished;
    std::vector<BdConnection *> stalled;
    // Planned afresh from what the walk sees; a connection that schedules a check meanwhile
    // lowers the plan again below.
    _reapSchedule.Restart();
    long next = LONG_MAX;
    {
        BdMutexLocker lock(_fdMapMutex);
        for (const auto &entry : _fdToConn) {
            BdConnection *conn = entry.second;
            if (conn->GetCloseFlag() == 1) {
                finished.push_back(entry);
            } else if (conn->GetTimeout() <= now) {
                // Bytes it sent are waiting for the loop: not idle; the dispatch reads them.
                if (conn->HasUnreadInput()) {
                    next = std::min(next, now);
                } else {
                    finished.push_back(entry);
                }
            } else if (conn->IsWriteStalled(now)) {
                stalled.push_back(conn);
                finished.push_back(entry);
            } else {
                next = std::min(next, conn->NextReapSecond());
            }
        }
    }
    _reapSchedule.DueBy(next);
    // Logged outside the map lock.
    for (BdConnection *conn : stalled) {
        conn->CloseForWriteStall(now);
    }
    for (const auto &entry : finished) {
        std::string uuid = entry.second->GetUUID();
        if (!uuid.empty()) {
            if (uuid == _ptServerUuid) {
                _serverReadyFlag = 0;
            }
            lost->push_back(uuid);
            DelFDByUUID(uuid);
        }
        DelConnByFD(entry.first);
    }
}

void BdConnManager::ForgiveStall(long seconds) {
    BdMutexLocker lock(_fdMapMutex);
    for (const auto &entry : _fdToConn) {
        entry.second->SetTimeout(entry.second->GetTimeout() + seconds);
    }
}

void BdConnManager::DropStaleUuids(std::list<std::string> *lost) {
    std::vector<int> liveFds;
    {
        BdMutexLocker lock(_fdMapMutex);
        liveFds.reserve(_fdToConn.size());
        for (const auto &entry : _fdToConn) {
            liveFds.push_back(entry.first);  // ascending, as the map is ordered
        }
    }
    std::vector<std::string> stale;
    {
        BdMutexLocker lock(_uuidMapMutex);
        for (const auto &entry : _uuidToFd) {
            if (!std::binary_search(liveFds.begin(), liveFds.end(), entry.second)) {
                stale.push_back(entry.first);
            }
        }
    }
    for (const std::string &uuid : stale) {
        lost->push_back(uuid);
        DelFDByUUID(uuid);
    }
}

void BdConnManager::SetPTServerUUID(const std::string &uuid) {
    _ptServerUuid = uuid;
    _serverReadyFlag = 1;
}

std::string BdConnManager::GetNodeUuid() {
    BdMutexLocker lock(_nodeUuidMutex);
    return _nodeUuid;
}
