#include "rt_server/rt_database_writer.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "bd_common/bd_error.h"
#include "bd_common/bd_log_entry.h"
#include "bd_common/bd_time.h"
#include "bd_netframwork/bd_packet.h"
#include "rt_server/rt_record_batch.h"
#include "rt_server/rt_server_error.h"

BD_LOG_SOURCE_FILE("rt_database_writer");

namespace {

// Tells a server that answers statements from one that only accepts connections, and reads the
// largest text it takes.
const char kProbeStatements[] = "SELECT @@max_allowed_packet;SELECT 1 FROM bd_agent LIMIT 0";
const char kIdleProbeStatement[] = "SELECT 1";

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
        _thread.join();
    }
}

int RtDatabaseWriter::SubmitPeer(uint64_t ticket, const RtPeerRows &rows) {
    {
        std::lock_guard<std::mutex> lock(_queueMutex);
        // The peer is back before its offline mark ran: it ends online, whatever its handshake
        // gets now (its row was written online before it left).
        const std::string &uuid =
            rows.kind == kBdHandShakeClient ? rows.agent.agent_uuid : rows.server.module_uuid;
        if (_tailOffline.erase(uuid) != 0) {
            std::vector<std::string> &tail = _queue.back().uuids;
            tail.erase(std::find(tail.begin(), tail.end(), uuid));
            --_queuedOfflineMarks;
            if (tail.empty()) {
                _queue.pop_back();
            }
        }
        if (!Available()) {
            return RtRecordWriter::kUnavailable;
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
    _operation.Init(&_database);
    std::vector<RtWriteRequest> batch;
    // Whoever watches the database learns at once whether it answers.
    if (_idleProbe) {
        ProbeIdle();
    }
    for (;;) {
        if (!Available()) {
            {
                std::unique_lock<std::mutex> lock(_queueMutex);
                _queueChanged.wait_for(lock, std::chrono::milliseconds(kProbeIntervalMilliseconds),
                                       [this] { return _stopping; });
                if (_stopping) {
                    return;
                }
            }
            if (Probe()) {
                NoteAnswer();
                _available.store(true, std::memory_order_relaxed);
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
    if (_connected ? _database.RunStatements(kIdleProbeStatement, &rows) == 1 : Probe()) {
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
            _queuedHandshakes.fetch_sub(1, std::memory_order_relaxed);
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
    bool done = false;
    std::vector<RtWriteResult> results;
    if (_connected || Probe()) {
        RtRecordBatch run(&_database, &_operation, _maxStatementBytes);
        done = run.Run(*batch, &results);
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

void RtDatabaseWriter::GoUnavailable(std::vector<RtWriteRequest> *batch) {
    _available.store(false, std::memory_order_relaxed);
    _connected = false;
    std::vector<RtWriteResult> failed;
    std::vector<RtPeerRows> unwritten;
    std::unique_lock<std::mutex> lock(_queueMutex);
    std::deque<RtWriteRequest> kept;
    auto sort = [&](RtWriteRequest &request) {
        if (request.kind == RtWriteRequest::kPeer) {
            failed.push_back({request.ticket, RT_DATABASE_OPERATION_ERROR});
            unwritten.push_back(std::move(request.rows));
        } else {
            kept.push_back(std::move(request));
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
    // The kept marks become one, so that a peer coming back can still take its own out of it.
    if (!kept.empty()) {
        RtWriteRequest merged;
        merged.kind = RtWriteRequest::kOffline;
        for (RtWriteRequest &request : kept) {
            for (std::string &uuid : request.uuids) {
                if (_tailOffline.insert(uuid).second) {
                    merged.uuids.push_back(std::move(uuid));
                }
            }
        }
        _queuedOfflineMarks = merged.uuids.size();
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
    if (_database.InitOnce(_address.host, _address.user, _address.password, _address.name,
                           _address.port) != 1) {
        return false;
    }
    std::vector<std::vector<std::vector<std::string>>> rows;
    if (_database.RunStatements(kProbeStatements, &rows) != 2) {
        return false;
    }
    const unsigned long serverLimit = rows[0].empty() || rows[0][0].empty()
                                          ? 0
                                          : std::strtoul(rows[0][0][0].c_str(), nullptr, 10);
    _maxStatementBytes = serverLimit > 0
                             ? std::min<size_t>(serverLimit, RtRecordBatch::kMaxStatementBytes)
                             : RtRecordBatch::kMaxStatementBytes;
    _connected = true;
    return true;
}
