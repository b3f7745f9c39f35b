#ifndef RT_SERVER_RT_DATABASE_WRITER_H_
#define RT_SERVER_RT_DATABASE_WRITER_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "bd_database/bd_database.h"
#include "rt_server/rt_database_operation.h"
#include "rt_server/rt_record_writer.h"
#include "rt_server/rt_write_request.h"

// Where the writer's own database connection goes.
struct RtDatabaseAddress {
    std::string host;
    std::string user;
    std::string password;
    std::string name;
    int port = 0;
};

// The router's database writes on a thread of their own, with a connection of their own, so that
// a slow or frozen database never holds up the event loop.
//
// Threads. Submit..., TakeResults and Start/Stop belong to the event-loop thread; the writer's
// thread owns the connection and everything it runs. They meet only in the request queue and the
// result list (each under its own mutex) and in the results-waiting call the writer's thread makes
// whenever results wait (the router posts a task to its event loop there). The counters are
// atomics that any thread may read.
//
// Order. Requests run in the order they were submitted, so an offline mark and a later handshake
// of the same peer (or the other way round) leave the row as the later one says.
//
// Availability. A statement that finds its idle connection lost (closed by the server or a proxy)
// is tried once more on a fresh connection. After any other failure or time-out of the database,
// or a failed second try, the writer marks it unavailable: queued handshakes fail at once and
// offline marks are kept. It then reconnects (with the connection's usual time-outs) and tries a
// statement every kProbeIntervalMilliseconds, and at once when a handshake arrives, one try at a
// time: the handshakes that arrived meanwhile wait for that try and fail with it, or are written
// once it passes, after the kept marks. The event loop never waits for any of it.
//
// Idle probe. Off unless asked for (EnableIdleProbe, which the monitoring switches on): an
// available writer with nothing to do then asks the database every so often whether it answers,
// so that availability and the last answer's time stay true while the router is idle.
//
// Memory is bounded: at most kMaxQueuedHandshakes handshakes wait; offline marks waiting in a row
// are merged without repeats, at most kMaxQueuedOfflineMarks of them (past that a mark is dropped
// with an error entry, so only a database away for a very long time while that many distinct
// peers leave can lose one).
class RtDatabaseWriter {
  public:
    static constexpr size_t kMaxQueuedHandshakes = 16384;
    static constexpr size_t kMaxQueuedOfflineMarks = 1000000;
    // Requests run as one batch at most; a storm is written in a few round trips.
    static constexpr size_t kMaxBatchRequests = 1000;
    // How often an unavailable database is tried again; it is back in use within about this long
    // of answering again.
    static constexpr int kProbeIntervalMilliseconds = 1000;

    // An idle database is asked this often while the idle probe is on.
    static constexpr int kIdleProbeSeconds = 5;

    explicit RtDatabaseWriter(const RtDatabaseAddress &address);
    ~RtDatabaseWriter();
    RtDatabaseWriter(const RtDatabaseWriter &) = delete;
    RtDatabaseWriter &operator=(const RtDatabaseWriter &) = delete;

    // Before Start: switches the idle probe on; the thread then also connects at once.
    void EnableIdleProbe() { _idleProbe = true; }
    // Called on the writer's thread each time results wait; it must not call into the writer.
    using ResultsWaiting = std::function<void()>;
    // Starts the thread, which connects on its own; resultsWaiting may be empty (the results are
    // then only taken when asked for). Returns 0, or 1 when no descriptor can be had.
    int Start(ResultsWaiting resultsWaiting);
    // Ends the thread at once: a statement or connection attempt in flight is given up (the
    // database sees the connection break, so an open transaction rolls back), and what is still
    // queued is dropped. A caller that wants the queue written waits with WaitUntilDone first.
    void Stop();

    // Event-loop thread. Queues a peer's rows: 0, or RtRecordWriter::kQueueFull (nothing queued).
    int SubmitPeer(uint64_t ticket, const RtPeerRows &rows);
    // Event-loop thread. Queues UUIDs to mark offline after everything submitted before.
    void SubmitOffline(std::vector<std::string> uuids);
    // Event-loop thread. Moves the waiting results out.
    void TakeResults(std::vector<RtWriteResult> *results);
    // Event-loop thread. Waits until everything submitted so far has run, or until deadline (a
    // database that is away keeps its marks queued): true when nothing is left.
    bool WaitUntilDone(std::chrono::steady_clock::time_point deadline);

    // Counters, any thread.
    bool Available() const { return _available.load(std::memory_order_relaxed); }
    size_t QueuedHandshakes() const { return _queuedHandshakes.load(std::memory_order_relaxed); }
    size_t QueuedOfflineMarks() const {
        return _queuedOfflineMarks.load(std::memory_order_relaxed);
    }
    // Batches run, those the database failed (it went away), and their time added up.
    uint64_t Batches() const { return _batches.load(std::memory_order_relaxed); }
    uint64_t FailedBatches() const { return _failedBatches.load(std::memory_order_relaxed); }
    uint64_t BatchMicrosTotal() const { return _batchMicrosTotal.load(std::memory_order_relaxed); }
    // Monotonic second (BdTime::kMonotonicClock) of the database's last answer: a batch or probe
    // that went through; 0 before the first.
    int64_t LastAnswerSecond() const { return _lastAnswerSecond.load(std::memory_order_relaxed); }
    // Duration of the last batch and the longest so far, in microseconds.
    uint64_t LastBatchMicros() const { return _lastBatchMicros.load(std::memory_order_relaxed); }
    uint64_t LongestBatchMicros() const {
        return _longestBatchMicros.load(std::memory_order_relaxed);
    }

  private:
    void Run();
    // Waits for work (or the stop) and takes one batch off the queue; false when stopping.
    bool TakeBatch(std::vector<RtWriteRequest> *batch);
    // Runs a batch; on failure the database goes unavailable and the batch's offline marks go
    // back to the front of the queue.
    void RunBatch(std::vector<RtWriteRequest> *batch);
    // One run of batch over the open connection; false when the database went away.
    bool RunOnce(const std::vector<RtWriteRequest> &batch, std::vector<RtWriteResult> *results);
    // A peer refused because the tables hold its UUID under another spelling does not mark that
    // spelling's row offline when it leaves either (a table that compares keys loosely would match
    // the other peer's row): its offline mark is left out of batch, once.
    void SkipRefusedSpellings(std::vector<RtWriteRequest> *batch);
    // Marks the database unavailable and fails every peer of batch and of the queue.
    void GoUnavailable(std::vector<RtWriteRequest> *batch);
    // Whether Stop was asked for.
    bool Stopping();
    // A session of the writer on a server instance.
    struct Session {
        unsigned long id = 0;
        std::string server;  // host name and port
        long started = 0;    // the server's start, Unix seconds
    };
    // Ends the stale session of a failed batch, if it still runs on the server current is on, so
    // that nothing it was sent can be applied after what the writer writes from now on; false
    // when the server could not be asked.
    bool EndSession(const Session &stale, const Session &current);
    // Reconnects and tries a statement; true once the database answers.
    bool Probe();
    // The idle probe: one statement over the open connection (or a reconnect); goes unavailable
    // when it fails.
    void ProbeIdle();
    void NoteAnswer();
    // Hands results to the event loop.
    void Post(const std::vector<RtWriteResult> &results);

    const RtDatabaseAddress _address;
    BdDatabase _database;  // writer's thread
    RtDatabaseOperation _operation;
    size_t _maxStatementBytes;  // writer's thread
    bool _connected = false;    // writer's thread
    // The open (or last) session; whether a batch failed on it with statements in flight.
    // Writer's thread.
    Session _session;
    bool _sessionMayRun = false;
    // UUIDs of connected peers refused for another spelling of their key; writer's thread.
    std::unordered_set<std::string> _refusedSpellings;

    std::mutex _queueMutex;
    std::condition_variable _queueChanged;
    std::deque<RtWriteRequest> _queue;  // guarded by _queueMutex
    // Written under _queueMutex; atomic so that the counters may read it.
    std::atomic<size_t> _queuedOfflineMarks{0};
    bool _stopping = false;  // guarded by _queueMutex
    bool _running = false;   // a batch is out of the queue and not done; guarded by _queueMutex
    std::condition_variable _queueDone;  // the queue emptied and no batch runs
    bool _offlineDropLogged = false;     // guarded by _queueMutex
    // The UUIDs of the queue's last request while it is an offline mark, so that marks arriving
    // in a row merge into it without repeats; guarded by _queueMutex.
    std::unordered_set<std::string> _tailOffline;

    std::mutex _resultMutex;
    std::vector<RtWriteResult> _results;  // guarded by _resultMutex

    bool _idleProbe = false;         // set before Start
    ResultsWaiting _resultsWaiting;  // set before the thread starts
    // Readable once Stop gives up on the database: every wait of the writer's connection on it
    // then fails at once (BdDatabase::AbortWaitsOnThisThreadWhenReadable).
    int _abortFd = -1;
    std::thread _thread;
    std::atomic<bool> _available{true};
    std::atomic<size_t> _queuedHandshakes{0};
    std::atomic<uint64_t> _lastBatchMicros{0};
    std::atomic<uint64_t> _longestBatchMicros{0};
    std::atomic<uint64_t> _batches{0};
    std::atomic<uint64_t> _failedBatches{0};
    std::atomic<uint64_t> _batchMicrosTotal{0};
    std::atomic<int64_t> _lastAnswerSecond{0};
};

#endif  // RT_SERVER_RT_DATABASE_WRITER_H_
