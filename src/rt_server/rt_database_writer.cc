#include "rt_server/rt_database_writer.h"

#include <errmsg.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <unordered_map>

#include "bd_common/bd_error.h"
#include "bd_common/bd_log_entry.h"
#include "bd_common/bd_time.h"
#include "bd_netframwork/bd_packet.h"
#include "rt_server/rt_record_batch.h"
#include "rt_server/rt_server_error.h"

BD_LOG_SOURCE_FILE("rt_database_writer");

namespace {

// Tells a server that answers statements from one that only accepts connections, reads the
// largest text it takes, and names this session and the server instance it runs on (the server's
// start time tells a restarted server, whose session numbers begin again, from the same one).
const char kProbeStatements[] =
    "SELECT @@max_allowed_packet;SELECT 1 FROM bd_agent LIMIT 0;"
    "SELECT CONNECTION_ID(), CONCAT(@@hostname, ':', @@port), UNIX_TIMESTAMP();"
    "SHOW GLOBAL STATUS LIKE 'Uptime'";
const size_t kProbeStatementCount = 4;
// How far apart two readings of one server's start time may be (each is whole seconds).
const long kStartTimeSlackSeconds = 2;
const char kIdleProbeStatement[] = "SELECT 1";

// The server went away (2006) or the connection broke during a statement (2013).
bool IsLostConnection(unsigned int error) {
    return error == CR_SERVER_GONE_ERROR || error == CR_SERVER_LOST;
}

}  // namespace

RtDatabaseWriter::RtDatabaseWriter(const RtDatabaseAddress &address)
    : _address(address), _maxStatementBytes(RtRecordBatch::kMaxStatementBytes) {
    _database.EnableMultiStatements();
    // A lost connection must end the open transaction visibly, not be replaced behind its back.
    _database.DisableAutoReconnect();
}

RtDatabaseWriter::~RtDatabaseWriter() {
    Stop();
}

int RtDatabaseWriter::Start(ResultsWaiting resultsWaiting) {
    _abortFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (_abortFd < 0) {
        return BD_ERROR;
    }
    _resultsWaiting = std::move(resultsWaiting);
    _thread = std::thread(&RtDatabaseWriter::Run, this);
    return BD_SUCCESS;
}

void RtDatabaseWriter::Stop() {
    {
        std::lock_guard<std::mutex> lock(_queueMutex);
        _stopping = true;
    }
    _queueChanged.notify_all();
    if (_thread.joinable()) {
        // Whatever the database does, the statement or connection attempt in flight ends now.
        const uint64_t one = 1;
        while (write(_abortFd, &one, sizeof(one)) < 0 && errno == EINTR) {
        }
        _thread.join();
    }
    if (_abortFd >= 0) {
        close(_abortFd);
        _abortFd = -1;
    }
}

int RtDatabaseWriter::SubmitPeer(uint64_t ticket, const RtPeerRows &rows) {
    {
        std::lock_guard<std::mutex> lock(_queueMutex);
        // The peer is back before its offline mark ran: it ends online, whatever its handshake
        // gets now (its row was written online before it left).
        const std::string &uuid = RtPeerUuid(rows);
        if (_tailOffline.erase(uuid) != 0) {
            std::vector<std::string> &tail = _queue.back().uuids;
            tail.erase(std::find(tail.begin(), tail.end(), uuid));
            --_queuedOfflineMarks;
            if (tail.empty()) {
                _queue.pop_back();
            }
        }
        if (_queuedHandshakes.load(std::memory_order_relaxed) >= kMaxQueuedHandshakes) {
            return RtRecordWriter::kQueueFull;
        }
        RtWriteRequest request;
        request.ticket = ticket;
        request.rows = rows;
        _queue.push_back(std::move(request));
        _tailOffline.clear();
        _queuedHandshakes.fetch_add(1, std::memory_order_relaxed);
    }
    _queueChanged.notify_one();
    return BD_SUCCESS;
}

void RtDatabaseWriter::SubmitOffline(std::vector<std::string> uuids) {
    {
        std::lock_guard<std::mutex> lock(_queueMutex);
        if (_queue.empty() || _queue.back().kind != RtWriteRequest::kOffline) {
            RtWriteRequest request;
            request.kind = RtWriteRequest::kOffline;
            _queue.push_back(std::move(request));
            _tailOffline.clear();
        }
        std::vector<std::string> &tail = _queue.back().uuids;
        for (std::string &uuid : uuids) {
            if (_tailOffline.count(uuid) != 0) {
                continue;
            }
            if (_queuedOfflineMarks >= kMaxQueuedOfflineMarks) {
                if (!_offlineDropLogged) {
                    BD_LOG(BD_LOG_ERROR, RT_DATABASE_OPERATION_ERROR,
                           "too many offline marks waiting for the database, dropped uuid: " + uuid,
                           "SubmitOffline");
                    _offlineDropLogged = true;
                }
                continue;
            }
            _tailOffline.insert(uuid);
            tail.push_back(std::move(uuid));
            ++_queuedOfflineMarks;
        }
        if (tail.empty()) {
            _queue.pop_back();
        }
    }
    _queueChanged.notify_one();
}

void RtDatabaseWriter::TakeResults(std::vector<RtWriteResult> *results) {
    std::lock_guard<std::mutex> lock(_resultMutex);
    results->insert(results->end(), _results.begin(), _results.end());
    _results.clear();
}

bool RtDatabaseWriter::WaitUntilDone(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(_queueMutex);
    return _queueDone.wait_until(lock, deadline, [this] { return _queue.empty() && !_running; });
}

bool RtDatabaseWriter::Stopping() {
    std::lock_guard<std::mutex> lock(_queueMutex);
    return _stopping;
}

void RtDatabaseWriter::NoteAnswer() {
    _lastAnswerSecond.store(BdTime::Now(BdTime::kMonotonicClock).ToSecond(),
                            std::memory_order_relaxed);
}

void RtDatabaseWriter::Post(const std::vector<RtWriteResult> &results) {
    if (results.empty()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(_resultMutex);
        _results.insert(_results.end(), results.begin(), results.end());
    }
    if (_resultsWaiting) {
        _resultsWaiting();
    }
}

void RtDatabaseWriter::Run() {
    BdDatabase::AbortWaitsOnThisThreadWhenReadable(_abortFd);
    _operation.Init(&_database);
    std::vector<RtWriteRequest> batch;
    // Whoever watches the database learns at once whether it answers.
    if (_idleProbe) {
        ProbeIdle();
    }
    for (;;) {
        if (!Available()) {
            {
                // A waiting handshake has the database tried at once, so that the first one after
                // it is back succeeds; otherwise it is tried on the probe's schedule.
                std::unique_lock<std::mutex> lock(_queueMutex);
                _queueChanged.wait_for(lock, std::chrono::milliseconds(kProbeIntervalMilliseconds),
                                       [this] { return _stopping || _queuedHandshakes > 0; });
                if (_stopping) {
                    return;
                }
            }
            if (Probe()) {
                NoteAnswer();
                _available.store(true, std::memory_order_relaxed);
            } else {
                // The handshakes that waited for this try fail with it; marks stay queued.
                std::vector<RtWriteRequest> none;
                GoUnavailable(&none);
            }
            continue;
        }
        if (!TakeBatch(&batch)) {
            return;
        }
        if (batch.empty()) {
            ProbeIdle();
            continue;
        }
        RunBatch(&batch);
        {
            std::lock_guard<std::mutex> lock(_queueMutex);
            _running = false;
        }
        _queueDone.notify_all();
    }
}

void RtDatabaseWriter::ProbeIdle() {
    std::vector<std::vector<std::vector<std::string>>> rows;
    bool answered = _connected && _database.RunStatements(kIdleProbeStatement, &rows) == 1;
    // An idle connection the server or a proxy closed is replaced before anything is concluded.
    if (!answered && (!_connected || IsLostConnection(_database.LastErrorNumber()))) {
        answered = Probe();
    }
    if (answered) {
        NoteAnswer();
        return;
    }
    std::vector<RtWriteRequest> none;
    GoUnavailable(&none);
}

bool RtDatabaseWriter::TakeBatch(std::vector<RtWriteRequest> *batch) {
    batch->clear();
    std::unique_lock<std::mutex> lock(_queueMutex);
    auto ready = [this] { return _stopping || !_queue.empty(); };
    if (!_idleProbe) {
        _queueChanged.wait(lock, ready);
    } else if (!_queueChanged.wait_for(lock, std::chrono::seconds(kIdleProbeSeconds), ready)) {
        return true;  // idle: an empty batch
    }
    if (_stopping) {
        return false;
    }
    _running = true;
    std::set<std::string> keys;
    while (!_queue.empty() && batch->size() < kMaxBatchRequests &&
           RtRecordBatch::Fits(_queue.front(), &keys)) {
        RtWriteRequest &front = _queue.front();
        if (front.kind == RtWriteRequest::kPeer) {
            if (front.ticket != RtWriteRequest::kNoAnswer) {
                _queuedHandshakes.fetch_sub(1, std::memory_order_relaxed);
            }
        } else {
            _queuedOfflineMarks -= front.uuids.size();
        }
        batch->push_back(std::move(front));
        _queue.pop_front();
    }
    if (_queue.empty()) {
        _tailOffline.clear();
    }
    return true;
}

void RtDatabaseWriter::RunBatch(std::vector<RtWriteRequest> *batch) {
    const auto started = std::chrono::steady_clock::now();
    SkipRefusedSpellings(batch);
    bool done = false;
    std::vector<RtWriteResult> results;
    const bool reused = _connected;
    if (_connected || Probe()) {
        done = RunOnce(*batch, &results);
    }
    // A connection that sat idle may have been closed by the server or a proxy meanwhile: that
    // is found at once (a frozen server takes the read time-out instead) and is worth one try on
    // a fresh connection before the database is called unavailable.
    if (!done && reused && IsLostConnection(_database.LastErrorNumber()) &&
        std::chrono::steady_clock::now() - started <
            std::chrono::seconds(BdDatabase::kReadTimeoutSeconds) &&
        Probe()) {
        done = RunOnce(*batch, &results);
    }
    const uint64_t micros = std::chrono::duration_cast<std::chrono::microseconds>(
                                std::chrono::steady_clock::now() - started)
                                .count();
    _lastBatchMicros.store(micros, std::memory_order_relaxed);
    if (micros > _longestBatchMicros.load(std::memory_order_relaxed)) {
        _longestBatchMicros.store(micros, std::memory_order_relaxed);
    }
    _batches.fetch_add(1, std::memory_order_relaxed);
    _batchMicrosTotal.fetch_add(micros, std::memory_order_relaxed);
    if (done) {
        NoteAnswer();
        Post(results);
        return;
    }
    _failedBatches.fetch_add(1, std::memory_order_relaxed);
    GoUnavailable(batch);
}

bool RtDatabaseWriter::RunOnce(const std::vector<RtWriteRequest> &batch,
                               std::vector<RtWriteResult> *results) {
    RtRecordBatch run(&_database, &_operation, _maxStatementBytes);
    if (!run.Run(batch, results)) {
        // Statements sent before the failure may still run on the server: a frozen one runs them
        // when it is thawed, though their connection is gone.
        _sessionMayRun = true;
        return false;
    }
    _refusedSpellings.insert(run.Refused().begin(), run.Refused().end());
    return true;
}

void RtDatabaseWriter::SkipRefusedSpellings(std::vector<RtWriteRequest> *batch) {
    if (_refusedSpellings.empty()) {
        return;
    }
    for (RtWriteRequest &request : *batch) {
        if (request.kind != RtWriteRequest::kOffline) {
            continue;
        }
        std::vector<std::string> &uuids = request.uuids;
        uuids.erase(std::remove_if(uuids.begin(), uuids.end(),
                                   [this](const std::string &uuid) {
                                       return _refusedSpellings.erase(uuid) != 0;
                                   }),
                    uuids.end());
    }
}

void RtDatabaseWriter::GoUnavailable(std::vector<RtWriteRequest> *batch) {
    _available.store(false, std::memory_order_relaxed);
    _connected = false;
    std::vector<RtWriteResult> failed;
    std::vector<RtPeerRows> unwritten;
    std::unique_lock<std::mutex> lock(_queueMutex);
    // What is kept, in order, comes down to a set of UUIDs to mark offline and of peers to write
    // online again, each UUID in one of them at most. A peer whose handshake came after its mark
    // is connected again, whatever its handshake gets now: the mark no longer holds, and since the
    // database may have applied it before it went away, the peer's rows are written again.
    std::vector<std::string> order;
    std::unordered_set<std::string> live;
    std::unordered_map<std::string, RtWriteRequest> restores;
    auto sort = [&](RtWriteRequest &request) {
        if (request.kind == RtWriteRequest::kOffline) {
            for (std::string &uuid : request.uuids) {
                restores.erase(uuid);
                if (live.insert(uuid).second) {
                    order.push_back(std::move(uuid));
                }
            }
            return;
        }
        const std::string uuid = RtPeerUuid(request.rows);
        const bool back = live.erase(uuid) != 0;
        if (request.ticket != RtWriteRequest::kNoAnswer) {
            failed.push_back({request.ticket, RT_DATABASE_OPERATION_ERROR});
            unwritten.push_back(request.rows);
        }
        if (back || request.ticket == RtWriteRequest::kNoAnswer) {
            request.ticket = RtWriteRequest::kNoAnswer;
            restores[uuid] = std::move(request);
        }
    };
    for (RtWriteRequest &request : *batch) {
        sort(request);
    }
    for (RtWriteRequest &request : _queue) {
        sort(request);
    }
    _queuedHandshakes.store(0, std::memory_order_relaxed);
    _queue.clear();
    _tailOffline.clear();
    for (auto &restore : restores) {
        _queue.push_back(std::move(restore.second));
    }
    // The marks go last and as one, so that a peer coming back can still take its own out.
    RtWriteRequest merged;
    merged.kind = RtWriteRequest::kOffline;
    for (std::string &uuid : order) {
        if (live.erase(uuid) != 0) {
            _tailOffline.insert(uuid);
            merged.uuids.push_back(std::move(uuid));
        }
    }
    _queuedOfflineMarks = merged.uuids.size();
    if (!merged.uuids.empty()) {
        _queue.push_back(std::move(merged));
    }
    lock.unlock();
    // The log tells of each peer what it would if its own statements had failed one by one.
    for (const RtPeerRows &rows : unwritten) {
        _operation.ReportUnwritten(rows);
    }
    Post(failed);
}

bool RtDatabaseWriter::Probe() {
    _database.Destroy();
    if (Stopping()) {
        return false;  // a stop gives up on the database rather than wait for a connection
    }
    if (_database.InitOnce(_address.host, _address.user, _address.password, _address.name,
                           _address.port) != 1) {
        return false;
    }
    std::vector<std::vector<std::vector<std::string>>> rows;
    if (_database.RunStatements(kProbeStatements, &rows) != kProbeStatementCount) {
        return false;
    }
    const unsigned long serverLimit = rows[0].empty() || rows[0][0].empty()
                                          ? 0
                                          : std::strtoul(rows[0][0][0].c_str(), nullptr, 10);
    _maxStatementBytes = serverLimit > 0
                             ? std::min<size_t>(serverLimit, RtRecordBatch::kMaxStatementBytes)
                             : RtRecordBatch::kMaxStatementBytes;
    Session session;
    if (rows[2].size() == 1 && rows[2][0].size() == 3 && rows[3].size() == 1 &&
        rows[3][0].size() == 2) {
        session.id = std::strtoul(rows[2][0][0].c_str(), nullptr, 10);
        session.server = rows[2][0][1];
        session.started = std::strtol(rows[2][0][2].c_str(), nullptr, 10) -
                          std::strtol(rows[3][0][1].c_str(), nullptr, 10);
    }
    if (_sessionMayRun && !EndSession(_session, session)) {
        return false;
    }
    _sessionMayRun = false;
    _session = session;
    _connected = true;
    return true;
}

bool RtDatabaseWriter::EndSession(const Session &stale, const Session &current) {
    const bool sameServer = stale.id != 0 && stale.id != current.id &&
                            stale.server == current.server &&
                            std::labs(stale.started - current.started) <= kStartTimeSlackSeconds;
    if (!sameServer) {
        return true;  // another server, or a restarted one: the session is gone with it
    }
    const std::string id = std::to_string(stale.id);
    std::vector<std::vector<std::vector<std::string>>> rows;
    if (_database.RunStatements(
            "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = " + id, &rows) != 1) {
        return false;
    }
    if (rows[0].empty() || rows[0][0].empty() || rows[0][0][0] == "0") {
        return true;
    }
    rows.clear();
    return _database.RunStatements("KILL CONNECTION " + id, &rows) == 1;
}
