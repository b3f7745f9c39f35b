#include "rt_server/rt_database_writer.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <unordered_map>

#include "bd_common/bd_error.h"
#include "bd_common/bd_log_entry.h"
#include "bd_common/bd_time.h"
#include "rt_server/rt_record_batch.h"
#include "rt_server/rt_server_error.h"
#include "rt_server/rt_server_timeline.h"

BD_LOG_SOURCE_FILE("rt_database_writer");

RtDatabaseWriter::RtDatabaseWriter(const RtDatabaseAddress &address) {
    for (size_t i = 0; i < kThreads; ++i) {
        _lanes.push_back(std::make_unique<Lane>(address));
    }
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
    for (std::unique_ptr<Lane> &lane : _lanes) {
        lane->thread = std::thread(&RtDatabaseWriter::Run, this, lane.get());
    }
    return BD_SUCCESS;
}

void RtDatabaseWriter::Stop() {
    {
        std::lock_guard<std::mutex> lock(_queueMutex);
        _stopping = true;
    }
    _queueChanged.notify_all();
    if (_abortFd >= 0) {
        // Whatever the database does, the statements and connection attempts in flight end now.
        const uint64_t one = 1;
        while (write(_abortFd, &one, sizeof(one)) < 0 && errno == EINTR) {
        }
    }
    for (std::unique_ptr<Lane> &lane : _lanes) {
        if (lane->thread.joinable()) {
            lane->thread.join();
        }
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
        // Ahead of the marks waiting at the queue's back.
        RtWriteRequest request;
        request.ticket = ticket;
        request.rows = rows;
        const bool marksWait = !_queue.empty() && _queue.back().kind == RtWriteRequest::kOffline;
        _queue.insert(marksWait ? _queue.end() - 1 : _queue.end(), std::move(request));
        _queuedHandshakes.fetch_add(1, std::memory_order_relaxed);
    }
    // The threads wait for different things (the first one also for a handshake to try an
    // unavailable database with): every one looks.
    _queueChanged.notify_all();
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
    _queueChanged.notify_all();
}

void RtDatabaseWriter::TakeResults(std::vector<RtWriteResult> *results) {
    std::lock_guard<std::mutex> lock(_resultMutex);
    results->insert(results->end(), _results.begin(), _results.end());
    _results.clear();
}

bool RtDatabaseWriter::WaitUntilDone(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(_queueMutex);
    return _queueDone.wait_until(lock, deadline,
                                 [this] { return _queue.empty() && _running == 0; });
}

RtWriterBacklog RtDatabaseWriter::HandOver() {
    RtWriterBacklog backlog;
    std::lock_guard<std::mutex> queueLock(_queueMutex);
    _handingOver = true;
    std::lock_guard<std::mutex> resultLock(_resultMutex);
    backlog.results = _results;
    for (const auto &early : _early) {
        backlog.results.insert(backlog.results.end(), early.second.begin(), early.second.end());
    }
    // A batch whose results are in is done; the others run again in the new image, since the
    // database may or may not have taken what they sent, and their sessions are ended first.
    std::vector<const Lane *> running;
    for (const std::unique_ptr<Lane> &lane : _lanes) {
        if (!lane->batch.empty() && lane->order >= _nextPosted && _early.count(lane->order) == 0) {
            running.push_back(lane.get());
        }
    }
    std::sort(running.begin(), running.end(),
              [](const Lane *a, const Lane *b) { return a->order < b->order; });
    for (const Lane *lane : running) {
        backlog.requests.insert(backlog.requests.end(), lane->batch.begin(), lane->batch.end());
        backlog.stale_sessions.push_back(lane->session);
    }
    backlog.requests.insert(backlog.requests.end(), _queue.begin(), _queue.end());
    backlog.stale_sessions.insert(backlog.stale_sessions.end(), _staleSessions.begin(),
                                  _staleSessions.end());
    backlog.refused_spellings.assign(_refusedSpellings.begin(), _refusedSpellings.end());
    return backlog;
}

void RtDatabaseWriter::ResumeAfterHandOver() {
    {
        std::lock_guard<std::mutex> lock(_queueMutex);
        _handingOver = false;
    }
    _queueChanged.notify_all();
}

void RtDatabaseWriter::TakeOver(RtWriterBacklog *backlog) {
    std::lock_guard<std::mutex> lock(_queueMutex);
    for (RtWriteRequest &request : backlog->requests) {
        if (request.kind == RtWriteRequest::kOffline) {
            _queuedOfflineMarks += request.uuids.size();
        } else if (request.ticket != RtWriteRequest::kNoAnswer) {
            ++_queuedHandshakes;
        }
        _queue.push_back(std::move(request));
    }
    if (!_queue.empty() && _queue.back().kind == RtWriteRequest::kOffline) {
        _tailOffline.insert(_queue.back().uuids.begin(), _queue.back().uuids.end());
    }
    _staleSessions = backlog->stale_sessions;
    _refusedSpellings.insert(backlog->refused_spellings.begin(), backlog->refused_spellings.end());
}

void RtDatabaseWriter::NoteAnswer() {
    _lastAnswerSecond.store(BdTime::Now(BdTime::kMonotonicClock).ToSecond(),
                            std::memory_order_relaxed);
}

void RtDatabaseWriter::NoteBatch(uint64_t micros) {
    uint64_t longest = _longestBatchMicros.load(std::memory_order_relaxed);
    while (micros > longest &&
           !_longestBatchMicros.compare_exchange_weak(longest, micros, std::memory_order_relaxed)) {
    }
    _batches.fetch_add(1, std::memory_order_relaxed);
    _batchMicrosTotal.fetch_add(micros, std::memory_order_relaxed);
}

void RtDatabaseWriter::Post(uint64_t order, std::vector<RtWriteResult> results) {
    bool handed = false;
    {
        std::lock_guard<std::mutex> lock(_resultMutex);
        _early[order] = std::move(results);
        // A batch that finished before an earlier one waits for it: the event loop gets the
        // results in the order it asked.
        for (auto next = _early.begin(); next != _early.end() && next->first == _nextPosted;
             next = _early.begin()) {
            handed = handed || !next->second.empty();
            _results.insert(_results.end(), next->second.begin(), next->second.end());
            _early.erase(next);
            ++_nextPosted;
        }
    }
    if (handed && _resultsWaiting) {
        _resultsWaiting();
    }
}

void RtDatabaseWriter::Run(Lane *lane) {
    BdDatabase::AbortWaitsOnThisThreadWhenReadable(_abortFd);
    // Whoever watches the database learns at once whether it answers. Every connection is opened
    // at once, while descriptors are to be had: a storm may take them all before its first batch.
    if (First(lane) && _idleProbe) {
        ProbeIdle(lane);
    } else {
        Probe(lane);  // a failure is tried again with the first batch
    }
    for (;;) {
        switch (TakeBatch(lane)) {
            case Take::kStop:
                return;
            case Take::kUnavailable:
                TryAgain(lane);
                break;
            case Take::kIdle:
                if (_idleProbe) {
                    ProbeIdle(lane);
                }
                break;
            case Take::kBatch:
                RunBatch(lane);
                break;
        }
    }
}

void RtDatabaseWriter::TryAgain(Lane *lane) {
    {
        // A waiting handshake has the database tried at once, so that the first one after it is
        // back succeeds; otherwise it is tried on the probe's schedule.
        std::unique_lock<std::mutex> lock(_queueMutex);
        _queueChanged.wait_for(lock, std::chrono::milliseconds(kProbeIntervalMilliseconds),
                               [this] { return _stopping || _queuedHandshakes > 0; });
        if (_stopping) {
            return;
        }
    }
    if (!Probe(lane)) {
        // The handshakes that waited for this try fail with it; marks stay queued.
        GoUnavailable(lane, nullptr, 0);
        return;
    }
    NoteAnswer();
    {
        std::lock_guard<std::mutex> lock(_queueMutex);
        _available.store(true, std::memory_order_relaxed);
    }
    _queueChanged.notify_all();
}

void RtDatabaseWriter::ProbeIdle(Lane *lane) {
    RtWriterConnection &connection = lane->connection;
    bool answered = connection.Ask();
    // An idle connection the server or a proxy closed is replaced before anything is concluded.
    if (!answered && (!connection.IsOpen() || connection.LastFailureLostTheConnection())) {
        answered = Probe(lane);
    }
    if (answered) {
        NoteAnswer();
        return;
    }
    GoUnavailable(lane, nullptr, 0);
}

bool RtDatabaseWriter::FrontMayStart() const {
    if (!Available() || _queue.empty() || _alone || _handingOver) {
        return false;
    }
    const RtWriteRequest &front = _queue.front();
    if (front.kind == RtWriteRequest::kOffline) {
        return _running == 0;
    }
    const std::vector<std::string> keys = RtRecordBatch::Keys(front);
    return std::none_of(keys.begin(), keys.end(),
                        [this](const std::string &key) { return _busyKeys.count(key) != 0; });
}

RtDatabaseWriter::Take RtDatabaseWriter::TakeBatch(Lane *lane) {
    std::vector<RtWriteRequest> *batch = &lane->batch;
    std::unique_lock<std::mutex> lock(_queueMutex);
    batch->clear();
    const bool first = First(lane);
    auto ready = [this, first] { return _stopping || (first && !Available()) || FrontMayStart(); };
    // The first thread wakes when idle, so that the probe can be switched on while it waits.
    if (!first) {
        _queueChanged.wait(lock, ready);
    } else if (!_queueChanged.wait_for(lock, std::chrono::seconds(kIdleProbeSeconds), ready)) {
        return Take::kIdle;
    }
    if (_stopping) {
        return Take::kStop;
    }
    if (!Available()) {
        return Take::kUnavailable;
    }
    lane->order = _nextOrder++;
    lane->alone = false;
    ++_running;
    while (!_queue.empty() && batch->size() < kMaxBatchRequests) {
        RtWriteRequest &front = _queue.front();
        if (front.kind == RtWriteRequest::kOffline) {
            if (_running > 1) {
                break;
            }
            lane->alone = true;
            TakeMarks(batch);
            if (!_queue.empty() && _queue.front().kind == RtWriteRequest::kOffline) {
                break;  // the rest of a long run of marks is the next batch's
            }
            continue;
        }
        if (!batch->empty() && !FrontMayStart()) {
            break;  // a running batch writes one of its keys
        }
        if (!RtRecordBatch::Fits(front, &lane->keys)) {
            break;
        }
        if (front.ticket != RtWriteRequest::kNoAnswer) {
            _queuedHandshakes.fetch_sub(1, std::memory_order_relaxed);
        }
        batch->push_back(std::move(front));
        _queue.pop_front();
    }
    if (_queue.empty()) {
        _tailOffline.clear();
    }
    _busyKeys.insert(lane->keys.begin(), lane->keys.end());
    _alone = _alone || lane->alone;
    SkipRefusedSpellings(batch);
    return Take::kBatch;
}

void RtDatabaseWriter::TakeMarks(std::vector<RtWriteRequest> *batch) {
    std::vector<std::string> &queued = _queue.front().uuids;
    const auto end =
        queued.begin() + static_cast<std::ptrdiff_t>(std::min(queued.size(), kMaxBatchMarks));
    RtWriteRequest marks;
    marks.kind = RtWriteRequest::kOffline;
    marks.uuids.assign(std::make_move_iterator(queued.begin()), std::make_move_iterator(end));
    queued.erase(queued.begin(), end);
    for (const std::string &uuid : marks.uuids) {
        _tailOffline.erase(uuid);
    }
    _queuedOfflineMarks -= marks.uuids.size();
    batch->push_back(std::move(marks));
    if (queued.empty()) {
        _queue.pop_front();
    }
}

void RtDatabaseWriter::BatchDone(Lane *lane, const std::vector<std::string> &refused) {
    {
        std::lock_guard<std::mutex> lock(_queueMutex);
        for (const std::string &key : lane->keys) {
            _busyKeys.erase(key);
        }
        lane->keys.clear();
        lane->batch.clear();
        if (lane->alone) {
            _alone = false;
            lane->alone = false;
        }
        --_running;
        _refusedSpellings.insert(refused.begin(), refused.end());
    }
    _queueChanged.notify_all();
    _queueDone.notify_all();
}

void RtDatabaseWriter::RunBatch(Lane *lane) {
    std::vector<RtWriteRequest> *batch = &lane->batch;
    const auto started = std::chrono::steady_clock::now();
    RtWriterConnection &connection = lane->connection;
    bool done = false;
    std::vector<RtWriteResult> results;
    std::vector<std::string> refused;
    const bool reused = connection.IsOpen();
    if (reused || Probe(lane)) {
        done = RunOnce(lane, *batch, &results, &refused);
    }
    // A connection that sat idle may have been closed by the server or a proxy meanwhile: that
    // is found at once (a frozen server takes the read time-out instead) and is worth one try on
    // a fresh connection before the database is called unavailable.
    if (!done && reused && connection.LastFailureLostTheConnection() &&
        std::chrono::steady_clock::now() - started <
            std::chrono::seconds(BdDatabase::kReadTimeoutSeconds) &&
        Probe(lane)) {
        done = RunOnce(lane, *batch, &results, &refused);
    }
    NoteBatch(std::chrono::duration_cast<std::chrono::microseconds>(
                  std::chrono::steady_clock::now() - started)
                  .count());
    if (done) {
        NoteAnswer();
        g_rt_server_timeline.Note(RtServerTimeline::kWritten,
                                  static_cast<uint32_t>(results.size()));
        Post(lane->order, std::move(results));
    } else {
        _failedBatches.fetch_add(1, std::memory_order_relaxed);
        GoUnavailable(lane, batch, lane->order);
    }
    BatchDone(lane, refused);
}

bool RtDatabaseWriter::RunOnce(Lane *lane, const std::vector<RtWriteRequest> &batch,
                               std::vector<RtWriteResult> *results,
                               std::vector<std::string> *refused) {
    if (lane->connection.Run(batch, results, refused)) {
        return true;
    }
    // Statements sent before the failure may still run on the server: a frozen one runs them
    // when it is thawed, though their connection is gone.
    std::lock_guard<std::mutex> lock(_queueMutex);
    _staleSessions.push_back(lane->connection.Current());
    return false;
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
    // A mark left with no UUID writes nothing, and a hand-over must not carry it: the next image
    // refuses a mark without UUIDs as damage.
    batch->erase(std::remove_if(batch->begin(), batch->end(),
                                [](const RtWriteRequest &request) {
                                    return request.kind == RtWriteRequest::kOffline &&
                                           request.uuids.empty();
                                }),
                 batch->end());
}

void RtDatabaseWriter::GoUnavailable(Lane *lane, std::vector<RtWriteRequest> *batch,
                                     uint64_t batchOrder) {
    lane->connection.Lost();
    std::vector<RtWriteResult> batchFailed;
    std::vector<RtWriteResult> queueFailed;
    std::vector<RtPeerRows> unwritten;
    std::unique_lock<std::mutex> lock(_queueMutex);
    _available.store(false, std::memory_order_relaxed);
    // What is kept, in order, comes down to a set of UUIDs to mark offline and of peers to write
    // online again, each UUID in one of them at most. A peer whose handshake came after its mark
    // is connected again, whatever its handshake gets now: the mark no longer holds, and since the
    // database may have applied it before it went away, the peer's rows are written again. A
    // batch running beside this one writes none of these UUIDs.
    std::vector<std::string> order;
    std::unordered_set<std::string> live;
    std::unordered_map<std::string, RtWriteRequest> restores;
    auto sort = [&](RtWriteRequest &request, std::vector<RtWriteResult> *failed) {
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
            failed->push_back({request.ticket, RT_DATABASE_OPERATION_ERROR});
            unwritten.push_back(request.rows);
        }
        if (back || request.ticket == RtWriteRequest::kNoAnswer) {
            request.ticket = RtWriteRequest::kNoAnswer;
            restores[uuid] = std::move(request);
        }
    };
    if (batch != nullptr) {
        for (RtWriteRequest &request : *batch) {
            sort(request, &batchFailed);
        }
    }
    for (RtWriteRequest &request : _queue) {
        sort(request, &queueFailed);
    }
    const uint64_t queueOrder = _nextOrder++;
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
    // What the batch held is in the queue or among the failures now.
    if (batch != nullptr) {
        batch->clear();
    }
    lock.unlock();
    // The log tells of each peer what it would if its own statements had failed one by one.
    lane->connection.ReportUnwritten(unwritten);
    if (batch != nullptr) {
        Post(batchOrder, std::move(batchFailed));
    }
    Post(queueOrder, std::move(queueFailed));
}

bool RtDatabaseWriter::Probe(Lane *lane) {
    {
        std::lock_guard<std::mutex> lock(_queueMutex);
        if (_stopping) {
            return false;  // a stop gives up on the database rather than wait for a connection
        }
    }
    RtWriterConnection &connection = lane->connection;
    if (!connection.Open()) {
        return false;
    }
    std::vector<RtWriterConnection::Session> stale;
    {
        std::lock_guard<std::mutex> lock(_queueMutex);
        lane->session = connection.Current();
        stale = _staleSessions;
    }
    for (const RtWriterConnection::Session &session : stale) {
        if (!connection.EndSession(session)) {
            connection.Lost();
            return false;
        }
    }
    // Another lane may have ended some of them meanwhile, and taken them off.
    std::lock_guard<std::mutex> lock(_queueMutex);
    const auto ended = [&stale](const RtWriterConnection::Session &kept) {
        return std::any_of(stale.begin(), stale.end(),
                           [&kept](const RtWriterConnection::Session &session) {
                               return kept.id == session.id && kept.server == session.server;
                           });
    };
    _staleSessions.erase(std::remove_if(_staleSessions.begin(), _staleSessions.end(), ended),
                         _staleSessions.end());
    return true;
}
