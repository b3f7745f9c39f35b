#include "bd_netframwork/bd_conn_manager.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <new>
#include <vector>

#include "bd_common/bd_error.h"
#include "bd_common/bd_log.h"
#include "bd_common/bd_time.h"
#include "bd_netframwork/bd_connection.h"
#include "bd_netframwork/bd_memory_return.h"
#include "bd_netframwork/bd_poll.h"

namespace {

long WallClockSeconds() {
    return BdTime::Now().ToSecond();
}

}  // namespace

BdConnManager::BdConnManager()
    : _poll(nullptr),
      _maxUuidsPerConnection(0),
      _lastSerial(0),
      _serverReadyFlag(0),
      _remoteServerFd(-1),
      _clock(WallClockSeconds),
      _reapSchedule(),
      _lastWaitReturn(0),
      _loopThread(std::thread::id()) {}

BdConnManager::~BdConnManager() {
    delete _poll;
}

int BdConnManager::Init() {
    BdKeepHeapForPackets();
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
    {
        BdMutexLocker lock(_postMutex);
        // Tasks posted for an earlier life of the loop name objects that are gone.
        _posted.clear();
        if (_postFd < 0) {
            _postFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        }
    }
    if (_postFd < 0 || WatchDescriptor(_postFd, [this] { RunPosted(); }) != BD_SUCCESS) {
        return BD_ERROR;
    }
    _serverReadyFlag = 0;
    _readingStopped = false;
    _finishingOnly = false;
    return BD_SUCCESS;
}

size_t BdConnManager::OfferPacketsInFlight() {
    BdMutexLocker lock(_fdMapMutex);
    size_t inFlight = 0;
    for (const auto &entry : _fdToConn) {
        if (entry.second->SendInProgress()) {
            QueueOutput(entry.second);
            ++inFlight;
        }
    }
    return inFlight;
}

void BdConnManager::Post(std::function<void()> task) {
    BdMutexLocker lock(_postMutex);
    if (_postFd < 0) {
        return;
    }
    _posted.push_back(std::move(task));
    // One wake-up per batch of posts: the loop takes the whole list at once.
    if (_posted.size() == 1) {
        const uint64_t one = 1;
        while (write(_postFd, &one, sizeof(one)) < 0 && errno == EINTR) {
        }
    }
}

void BdConnManager::RunPosted() {
    std::vector<std::function<void()>> tasks;
    {
        BdMutexLocker lock(_postMutex);
        uint64_t count = 0;
        while (read(_postFd, &count, sizeof(count)) < 0 && errno == EINTR) {
        }
        tasks.swap(_posted);
    }
    for (const std::function<void()> &task : tasks) {
        task();
    }
}

void BdConnManager::WatchLogDirectory() {
    if (_poll == nullptr || _watchingLog) {
        return;
    }
    BdLog *log = BdLog::GetLogger();
    const int watchFd = log->HandOverWatch();
    if (watchFd < 0) {
        return;
    }
    // Read by the log when it next checks.
    _watchingLog = WatchDescriptor(watchFd, [] { BdLog::GetLogger()->WatchReported(); }) == 0;
    if (!_watchingLog) {
        log->HandBackWatch();
    }
}

int BdConnManager::WatchDescriptor(int fd, std::function<void()> onReady) {
    if (_poll == nullptr ||
        _poll->BdPollCtl(fd, BdPoll::kCtlAdd, EPOLLIN | EPOLLET, static_cast<uint32_t>(fd)) != 0) {
        return BD_ERROR;
    }
    _watched[fd] = std::move(onReady);
    return BD_SUCCESS;
}

int BdConnManager::Destroy() {
    if (_watchingLog) {
        BdLog::GetLogger()->HandBackWatch();
        _watchingLog = false;
    }
    if (_poll != nullptr) {
        _poll->Destroy();
        delete _poll;
        _poll = nullptr;
    }
    _watched.clear();
    {
        BdMutexLocker lock(_postMutex);
        _posted.clear();
        if (_postFd >= 0) {
            close(_postFd);
            _postFd = -1;
        }
    }
    {
        BdMutexLocker lock(_fdMapMutex);
        for (auto &entry : _fdToConn) {
            entry.second->Destroy();
            delete entry.second;
        }
        _fdToConn.clear();
        _schedules.clear();
    }
    _admittedBytes = 0;
    BdMutexLocker lock(_uuidMapMutex);
    _uuidToFd.clear();
    _uuidsOf.clear();
    _retiring.clear();
    _inputReady.clear();
    _outputReady.clear();
    _budgetWaiters.clear();
    _drainWaits.clear();
    return BD_SUCCESS;
}

int BdConnManager::WaitAndHandleEvent(int timeoutSeconds) {
    if (_poll == nullptr) {
        return -1;
    }
    if (!InLoopThread()) {
        _loopThread.store(std::this_thread::get_id());
    }
    _tlsSpentMicros = 0;
    _turnReadBytes = 0;
    // What the loop thread's log gathered since the last turn is written before it sleeps.
    BdLog *log = BdLog::GetLogger();
    log->FlushGathered();
    // Not zeroed first: epoll fills exactly the n entries that are read below.
    epoll_event events[BdPoll::kMaxEvents];
    ResumeBudgetWaiters();
    // Connections on either ready list are served right after this wait, and UUIDs still to
    // retire are retired at the next check, so it must not block.
    const bool ready = !_inputReady.empty() || !_outputReady.empty() || !_retiring.empty();
    int n = _poll->BdPollWait(events, ready ? 0 : timeoutSeconds);
    _lastWaitReturn = NowSeconds();
    for (int i = 0; i < n; ++i) {
        // Serial 0: a watched descriptor (or a connection's 2^32nd serial, found below).
        const auto watch = events[i].data.u64 >> 32 == 0
                               ? _watched.find(static_cast<int>(events[i].data.u64))
                               : _watched.end();
        if (watch != _watched.end()) {
            // A copy: the callback may end watches.
            std::function<void()>(watch->second)();
            continue;
        }
        // Looked up per event, not per batch: a handler earlier in the batch may have removed it,
        // and a connection accepted since may have its descriptor number.
        BdConnection *conn = FindByEventKey(events[i].data.u64);
        if (conn == nullptr) {
            continue;
        }
        // A writable socket sends with the others after the batch, once its lines are out.
        if (events[i].events & EPOLLOUT) {
            QueueOutput(conn);
            events[i].events &= ~EPOLLOUT;
        }
        if (_readingStopped) {
            events[i].events &= ~(EPOLLIN | EPOLLRDHUP);
        }
        if (events[i].events != 0) {
            conn->OnEvent(&events[i]);
        }
    }
    if (_readingStopped) {
        _inputReady.clear();
    }
    ServeReadyList(&_inputReady, &Schedule::inputQueued, &BdConnection::OnIn);
    // Every line about the packets this turn queued is written before any of them is sent.
    log->FlushGathered();
    ServeReadyList(&_outputReady, &Schedule::outputQueued, &BdConnection::OnOut);
    return n;
}

void BdConnManager::ServeReadyList(ReadyList *list, bool Schedule::*mark,
                                   int (BdConnection::*serve)(epoll_event *)) {
    // Only the connections queued before this pass: one that queues itself again waits for the
    // next turn, after the others' events.
    for (size_t pending = list->size(); pending > 0; --pending) {
        const std::pair<int, uint64_t> entry = list->front();
        list->pop_front();
        BdConnection *conn = FindConnection(entry.first, entry.second);
        Schedule *schedule = conn != nullptr ? ScheduleOf(*conn) : nullptr;
        if (schedule == nullptr) {
            continue;
        }
        schedule->*mark = false;
        if (!schedule->inputPaused || mark != &Schedule::inputQueued) {
            (conn->*serve)(nullptr);
        }
    }
}

BdConnManager::Schedule *BdConnManager::ScheduleOf(const BdConnection &conn) {
    auto found = _schedules.find(conn.GetSerial());
    return found != _schedules.end() ? &found->second : nullptr;
}

bool BdConnManager::Flag(const BdConnection &conn, bool Schedule::*flag) const {
    const Schedule *schedule = ScheduleOf(conn);
    return schedule != nullptr && schedule->*flag;
}

bool BdConnManager::AdmitPacket(BdConnection *sender, BdConnection *target, int64_t bytes) {
    Schedule *schedule = ScheduleOf(*sender);
    if (schedule == nullptr) {
        return true;
    }
    // Counted once admitted: a packet asked about again after each pause would otherwise make a
    // hub held back by the budget look like a stream to that packet's target.
    const int run = (schedule->lastTarget == target->GetSerial() ? schedule->sameTargetRun : 0) + 1;
    const bool streams = run >= kStreamPackets || sender == target;
    const int64_t queued = target->QueuedBytes();
    if (queued >= BdConnection::kQueueAllowanceBytes) {
        if (streams) {
            PaceBehind(sender, target, BdConnection::kQueueResumeBytes);
            return false;
        }
        if (target->GetCloseFlag() == 0) {
            target->CloseStalled(
                "slow consumer fd: ", " past its allowance while its senders feed others",
                "CloseAsSlowConsumer");
        }
    } else if (_queueBudget > 0 && queued + bytes >= kBudgetReserveBytes &&
               QueuedTotal() + _admittedBytes + bytes > _queueBudget) {
        // O(1): an even share of the budget stands in for ranking every queue.
        const int holding = std::max(1, _queuesHolding.load(std::memory_order_relaxed));
        if (streams && queued >= _queueBudget / holding) {
            PaceBehind(sender, target, queued / 2);
        } else {
            PauseInput(sender, &_budgetWaiters);
        }
        return false;
    }
    _admittedBytes += bytes;
    schedule->admissionHeld = bytes;
    schedule->lastTarget = target->GetSerial();
    schedule->sameTargetRun = std::min(run, 255);
    return true;
}

void BdConnManager::ReleaseAdmission(const BdConnection &conn) {
    Schedule *schedule = ScheduleOf(conn);
    if (schedule != nullptr) {
        _admittedBytes -= std::exchange(schedule->admissionHeld, 0);
    }
}

void BdConnManager::PauseInput(BdConnection *conn, ReadyList *waiters) {
    Schedule *schedule = ScheduleOf(*conn);
    if (schedule != nullptr) {
        schedule->inputPaused = true;
        schedule->pausedSince = NowSeconds();
    }
    waiters->emplace_back(conn->GetFD(), conn->GetSerial());
}

void BdConnManager::PaceBehind(BdConnection *sender, BdConnection *target, int64_t resumeBelow) {
    DrainWait &wait = _drainWaits[target->GetSerial()];
    wait.resumeBelow = wait.waiters.empty() ? resumeBelow : std::min(wait.resumeBelow, resumeBelow);
    PauseInput(sender, &wait.waiters);
}

void BdConnManager::ResumeDrainWaiters(uint64_t serial, int64_t queued) {
    auto wait = _drainWaits.find(serial);
    if (wait == _drainWaits.end() || queued >= wait->second.resumeBelow) {
        return;
    }
    const ReadyList waiters = std::move(wait->second.waiters);
    _drainWaits.erase(wait);
    ResumeAll(waiters);
}

void BdConnManager::ResumeAll(const ReadyList &waiters) {
    for (const auto &waiter : waiters) {
        ResumeInput(waiter.first, waiter.second);
    }
}

void BdConnManager::ResumeBudgetWaiters() {
    if (_budgetWaiters.empty() || QueuedTotal() + _admittedBytes >= _queueBudget / 8 * 7) {
        return;
    }
    ResumeAll(std::exchange(_budgetWaiters, {}));
}

void BdConnManager::Enqueue(BdConnection *conn, bool Schedule::*mark, ReadyList *list) {
    Schedule *schedule = ScheduleOf(*conn);
    if (schedule != nullptr && !std::exchange(schedule->*mark, true)) {
        list->emplace_back(conn->GetFD(), conn->GetSerial());
    }
}

void BdConnManager::ResumeInput(int fd, uint64_t serial) {
    BdConnection *conn = FindConnection(fd, serial);
    Schedule *schedule = conn != nullptr ? ScheduleOf(*conn) : nullptr;
    if (schedule == nullptr || !schedule->inputPaused) {
        return;
    }
    schedule->inputPaused = false;
    // The idle deadline does not run while the input is held: the peer may well have been
    // sending all along.
    conn->SetTimeout(conn->GetTimeout() + (NowSeconds() - schedule->pausedSince));
    QueueInput(conn);
}

void BdConnManager::SetStallClock(const BdConnection &conn, long since) {
    const auto set = [&] {
        Schedule *schedule = ScheduleOf(conn);
        if (schedule != nullptr) {
            schedule->waitingSince = since;
        }
    };
    // Records come and go on the loop thread only, so it alone may find one without the lock: a
    // forwarded packet costs no lock for this.
    if (InLoopThread()) {
        set();
        return;
    }
    BdMutexLocker lock(_fdMapMutex);
    set();
}

void BdConnManager::StartWriteWait(const BdConnection &conn) {
    const long now = NowSeconds();
    SetStallClock(conn, now);
    _reapSchedule.DueBy(now + BdConnection::kWriteStallSeconds);
}

void BdConnManager::StopWriteWait(const BdConnection &conn) {
    SetStallClock(conn, kNotWaiting);
}

void BdConnManager::WatchOverflow(const BdConnection &conn) {
    BdMutexLocker lock(_fdMapMutex);
    _reapSchedule.DueBy(StallEnd(conn));
}

long BdConnManager::StallEnd(const BdConnection &conn) const {
    const Schedule *schedule = ScheduleOf(conn);
    const long since = schedule != nullptr ? schedule->waitingSince.load() : kNotWaiting;
    if (since == kNotWaiting) {
        return LONG_MAX;
    }
    return since + (conn.QueuedBytes() >= BdConnection::kQueueAllowanceBytes
                        ? BdConnection::kNoProgressSeconds
                        : BdConnection::kWriteStallSeconds);
}

bool BdConnManager::IsWriteStalled(const BdConnection &conn, long now) const {
    // Nothing behind a reserved slot can leave, so a queue past its limit there only grows.
    return (conn.HoldsReservedSlot() && conn.QueuedBytes() >= BdConnection::kQueueAllowanceBytes) ||
           now >= StallEnd(conn);
}

namespace {

uint64_t EventKey(int fd, uint64_t serial) {
    return (serial << 32) | static_cast<uint32_t>(fd);
}

}  // namespace

void BdConnManager::ArmConnection(int fd, const BdConnection *conn, int op, unsigned int mask) {
    if (_poll != nullptr) {
        _poll->BdPollCtl(fd, op, mask, EventKey(fd, conn->GetSerial()));
    }
}

BdConnection *BdConnManager::FindByEventKey(uint64_t key) {
    const int fd = static_cast<int>(static_cast<uint32_t>(key));
    BdConnection *conn = nullptr;
    // The key holds the low 32 bits of the serial: a descriptor reused within one batch is
    // reused by a connection registered just now, never 2^32 registrations later.
    return QueryConnFromFD(fd, &conn) == BD_SUCCESS && EventKey(fd, conn->GetSerial()) == key
               ? conn
               : nullptr;
}

BdConnection *BdConnManager::FindConnection(int fd, uint64_t serial) {
    BdConnection *conn = nullptr;
    return QueryConnFromFD(fd, &conn) == BD_SUCCESS && conn->GetSerial() == serial ? conn : nullptr;
}

int BdConnManager::AddMapFdToConn(int fd, BdConnection *conn, unsigned int mask) {
    if (conn == nullptr) {
        return BD_PARAMETER_INVALID;
    }
    bool stale = false;
    {
        BdMutexLocker lock(_fdMapMutex);
        auto found = _fdToConn.find(fd);
        if (conn->GetSerial() == 0) {
            conn->SetSerial(++_lastSerial);
        }
        if (found != _fdToConn.end() && found->second == conn) {
            // Registered already: only re-arm, and a queue with data keeps its write interest.
            mask |= conn->GetEventMask() & EPOLLOUT;
            ArmConnection(fd, conn, BdPoll::kCtlModify, mask);
            conn->SetEventMask(mask);
            return BD_SUCCESS;
        }
        stale = found != _fdToConn.end();
    }
    // A descriptor number reused while a stale entry remained: the stale connection goes, with
    // its UUID entries.
    if (stale) {
        DelConnByFD(fd);
    }
    {
        BdMutexLocker lock(_fdMapMutex);
        _fdToConn[fd] = conn;
        _schedules.try_emplace(conn->GetSerial());
    }
    conn->SetEventMask(mask);
    ArmConnection(fd, conn, BdPoll::kCtlAdd, mask);
    _reapSchedule.DueBy(conn->GetTimeout());
    return BD_SUCCESS;
}

int BdConnManager::BindUuid(const std::string &uuid, int fd, bool web) {
    if (uuid.empty()) {
        return BD_PARAMETER_INVALID;
    }
    BdConnection *conn = nullptr;
    int rc = QueryConnFromFD(fd, &conn);
    if (rc != BD_SUCCESS) {
        return rc;
    }
    const uint64_t serial = conn->GetSerial();
    UuidBinding old{-1, 0, false};
    {
        BdMutexLocker lock(_uuidMapMutex);
        auto found = _uuidToFd.find(uuid);
        if (found != _uuidToFd.end() && found->second.serial == serial) {
            // Bound here already; a handshake makes it a handshake binding.
            found->second.web = found->second.web && web;
            conn->SetUUID(uuid);
            return BD_SUCCESS;
        }
        if (found != _uuidToFd.end() && web && !found->second.web) {
            return BD_OBJECT_REPEAT;
        }
        std::vector<std::string> &held = _uuidsOf[serial];
        if (_maxUuidsPerConnection > 0 &&
            held.size() >= static_cast<size_t>(_maxUuidsPerConnection)) {
            return BD_ERROR;
        }
        held.push_back(uuid);
        conn->SetUUID(uuid);
        if (found == _uuidToFd.end()) {
            _uuidToFd.emplace(uuid, UuidBinding{fd, serial, web});
            return BD_SUCCESS;
        }
        // Rebound before the older connection goes, so that its removal does not report uuid.
        old = found->second;
        found->second = UuidBinding{fd, serial, web};
        // A connection already gone keeps the UUID among those it retires; that step skips it.
        auto oldHeld = _uuidsOf.find(old.serial);
        if (oldHeld != _uuidsOf.end()) {
            oldHeld->second.erase(std::remove(oldHeld->second.begin(), oldHeld->second.end(), uuid),
                                  oldHeld->second.end());
        }
    }
    // The peer came back on a new connection: its previous one goes at once.
    if (FindConnection(old.fd, old.serial) != nullptr && DelConnByFD(old.fd) == BD_SUCCESS) {
        _closed[BdConnection::kCloseReplaced].Add();
    }
    return BD_SUCCESS;
}

size_t BdConnManager::CountBoundPeers() {
    BdMutexLocker lock(_uuidMapMutex);
    return _uuidToFd.size();
}

size_t BdConnManager::CountWritePending() {
    BdMutexLocker lock(_fdMapMutex);
    size_t pending = 0;
    for (const auto &entry : _fdToConn) {
        // A queue with a packet to send has its connection on the output-ready list, or write
        // interest armed while its socket refuses data (or another thread queued).
        if (OutputQueued(*entry.second) || (entry.second->GetEventMask() & EPOLLOUT) != 0) {
            ++pending;
        }
    }
    return pending;
}

std::list<std::string> BdConnManager::BoundUuids() {
    std::list<std::string> uuids;
    BdMutexLocker lock(_uuidMapMutex);
    for (const auto &entry : _uuidToFd) {
        uuids.push_back(entry.first);
    }
    return uuids;
}

std::vector<std::pair<std::string, bool>> BdConnManager::BindingsOf(const BdConnection &conn) {
    std::vector<std::pair<std::string, bool>> bindings;
    BdMutexLocker lock(_uuidMapMutex);
    const auto held = _uuidsOf.find(conn.GetSerial());
    if (held == _uuidsOf.end()) {
        return bindings;
    }
    for (const std::string &uuid : held->second) {
        // A UUID taken over by another connection since stays in this list until retired.
        const auto binding = _uuidToFd.find(uuid);
        if (binding != _uuidToFd.end() && binding->second.serial == conn.GetSerial()) {
            bindings.emplace_back(uuid, binding->second.web);
        }
    }
    return bindings;
}

bool BdConnManager::LostUuidsPending() {
    BdMutexLocker lock(_uuidMapMutex);
    return !_retiring.empty();
}

void BdConnManager::ForEachConnection(const std::function<void(BdConnection &)> &visit) {
    BdMutexLocker lock(_fdMapMutex);
    for (const auto &entry : _fdToConn) {
        visit(*entry.second);
    }
}

uint64_t BdConnManager::ClosedCount(int reason) const {
    return reason >= 0 && reason < BdConnection::kCloseReasonCount ? _closed[reason].Get() : 0;
}

int BdConnManager::QueryFDFromUUID(const std::string &uuid, int *fd) {
    if (uuid.empty() || fd == nullptr) {
        return BD_PARAMETER_INVALID;
    }
    BdConnection *conn = BoundConnection(uuid);
    if (conn == nullptr) {
        return BD_SOCKET_FD_NOT_EXIST;
    }
    *fd = conn->GetFD();
    return BD_SUCCESS;
}

BdConnection *BdConnManager::BoundConnection(const std::string &uuid) {
    UuidBinding binding{};
    {
        BdMutexLocker lock(_uuidMapMutex);
        auto found = _uuidToFd.find(uuid);
        if (found == _uuidToFd.end()) {
            return nullptr;
        }
        binding = found->second;
    }
    // An entry still being retired names a connection that is gone: not bound.
    return FindConnection(binding.fd, binding.serial);
}

void BdConnManager::RetireUuids(std::list<std::string> *lost) {
    size_t budget = kUuidsRetiredPerTurn;
    BdMutexLocker lock(_uuidMapMutex);
    while (budget > 0 && !_retiring.empty()) {
        Retiring &front = _retiring.front();
        for (; budget > 0 && front.next < front.uuids.size(); --budget, ++front.next) {
            const std::string &uuid = front.uuids[front.next];
            auto found = _uuidToFd.find(uuid);
            // Bound to another connection since: not lost.
            if (found == _uuidToFd.end() || found->second.serial != front.serial) {
                continue;
            }
            _uuidToFd.erase(found);
            if (uuid == _ptServerUuid) {
                _serverReadyFlag = 0;
            }
            lost->push_back(uuid);
        }
        if (front.next == front.uuids.size()) {
            BdNoteFreed(front.uuids.size() * kBytesPerBinding);
            _retiring.pop_front();
        }
    }
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
    *conn = BoundConnection(uuid);
    return *conn != nullptr ? BD_SUCCESS : BD_SOCKET_FD_NOT_EXIST;
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
        auto schedule = _schedules.find(conn->GetSerial());
        if (schedule != _schedules.end()) {
            _admittedBytes -= schedule->second.admissionHeld;
            _schedules.erase(schedule);
        }
    }
    if (_poll != nullptr) {
        _poll->BdPollCtl(fd, BdPoll::kCtlDelete, conn->GetEventMask());
    }
    {
        BdMutexLocker lock(_uuidMapMutex);
        auto held = _uuidsOf.find(conn->GetSerial());
        if (held != _uuidsOf.end()) {
            // Retired a slice per turn (RetireUuids): a web connection may hold hundreds of
            // thousands. Meanwhile its entries name a connection that is gone, which every lookup
            // treats as unbound.
            _retiring.push_back({conn->GetSerial(), std::move(held->second), 0});
            _uuidsOf.erase(held);
        }
    }
    // Senders paused behind this connection's queue would otherwise wait for good.
    ResumeDrainWaiters(conn->GetSerial(), -1);
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
    DelFDByUUID(uuid);
    return BD_SUCCESS;
}

int BdConnManager::DelFDByUUID(const std::string &uuid) {
    if (uuid.empty()) {
        return BD_PARAMETER_INVALID;
    }
    BdMutexLocker lock(_uuidMapMutex);
    auto found = _uuidToFd.find(uuid);
    if (found == _uuidToFd.end()) {
        return BD_SOCKET_FD_NOT_EXIST;
    }
    std::vector<std::string> &held = _uuidsOf[found->second.serial];
    held.erase(std::remove(held.begin(), held.end(), uuid), held.end());
    _uuidToFd.erase(found);
    return BD_SUCCESS;
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
    ArmConnection(fd, found->second, BdPoll::kCtlModify, mask);
    found->second->SetEventMask(mask);
    return BD_SUCCESS;
}

int BdConnManager::CtlFDByUUID(const std::string &uuid, unsigned int mask) {
    int fd = -1;
    const int rc = QueryFDFromUUID(uuid, &fd);
    return rc == BD_SUCCESS ? CtlFD(fd, mask) : rc;
}

int BdConnManager::CheckTimeout(std::list<std::string> *lost) {
    if (lost == nullptr) {
        return BD_PARAMETER_INVALID;
    }
    long now = NowSeconds();
    // The peers could not be heard while the loop was busy since its last wait.
    if (_lastWaitReturn > 0 && now - _lastWaitReturn >= kStallForgivenSeconds) {
        BdMutexLocker lock(_fdMapMutex);
        for (const auto &entry : _fdToConn) {
            entry.second->SetTimeout(entry.second->GetTimeout() + (now - _lastWaitReturn));
        }
    }
    _lastWaitReturn = 0;
    // Nothing can be due before the earliest deadline seen at the last walk unless a connection
    // said so since; on such turns the registry is not walked at all.
    if (_reapSchedule.IsDue(now)) {
        ReapFinished(now);
    }
    RetireUuids(lost);
    BdReturnFreedMemory();
    return BD_SUCCESS;
}

void BdConnManager::ReapFinished(long now) {
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
            } else if (conn->GetTimeout() <= now && !InputPaused(*conn)) {
                // A connection whose input the router holds back is not idle by its own doing.
                // Bytes it sent are waiting for the loop: not idle; the dispatch reads them.
                if (conn->HasUnreadInput()) {
                    next = std::min(next, now);
                } else {
                    finished.push_back(entry);
                }
            } else if (IsWriteStalled(*conn, now)) {
                stalled.push_back(conn);
                finished.push_back(entry);
            } else {
                next = std::min({next, conn->GetTimeout(), StallEnd(*conn)});
            }
        }
    }
    _reapSchedule.DueBy(next);
    // Logged outside the map lock. Past its allowance, standing still is what makes a slow
    // consumer; below it, only the long stall does.
    for (BdConnection *conn : stalled) {
        const Schedule *schedule = ScheduleOf(*conn);
        const long since = schedule != nullptr ? schedule->waitingSince.load() : now;
        conn->CloseStalled(
            conn->QueuedBytes() >= BdConnection::kQueueAllowanceBytes ? "slow consumer fd: "
                                                                      : "write queue stalled fd: ",
            " seconds without progress: " + std::to_string(now - since), "CloseForWriteStall");
    }
    // Their UUID entries go with them, into the lost list.
    for (const auto &entry : finished) {
        BdConnection *conn = entry.second;
        _closed[conn->GetCloseFlag() == 1 ? conn->GetCloseReason() : BdConnection::kCloseIdle]
            .Add();
        DelConnByFD(entry.first);
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
