#ifndef RT_SERVER_RT_DATABASE_WRITER_H_
#define RT_SERVER_RT_DATABASE_WRITER_H_

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "rt_server/rt_record_writer.h"
#include "rt_server/rt_write_request.h"
#include "rt_server/rt_writer_connection.h"

// The router's database writes on threads of their own, each with a connection of its own, so that
// a slow or frozen database never holds up the event loop.
//
// Threads. Submit..., TakeResults and Start/Stop belong to the event-loop thread; each writer
// thread owns its connection and everything it runs. They meet only in the request queue and the
// result list (each under its own mutex) and in the results-waiting call a writer thread makes
// whenever results wait (the router posts a task to its event loop there). The counters are
// atomics that any thread may read.
//
// Order. kThreads threads take batches off the queue, each a run of requests that follows the one
// taken before it, so that one handshake's lookups and writes overlap another's on the database.
// A UUID's requests are never in two batches at once: a batch ends before a request that writes a
// key a running batch writes, and before an offline mark while another batch runs (a mark's
// statement names many keys, and would lock the rows the other batch inserts); a batch with marks
// runs alone. So an offline mark and a later handshake of the same peer (or the other way round)
// leave the row as the later one says, and results are handed back in the order the requests
// were submitted. The marks not yet taken wait as one run at the queue's back: marks that arrive
// merge into it, a handshake goes ahead of it (taking its own peer's mark out of it: the peer is
// back), and it is written kMaxBatchMarks at a time, so a peer that connects waits for one such
// slice at most, not for thousands of others that left.
//
// Availability. A statement that finds its idle connection lost (closed by the server or a proxy)
// is tried once more on a fresh connection. After any other failure or time-out of the database,
// or a failed second try, the writer marks it unavailable: queued handshakes fail at once and
// offline marks are kept. The first thread then reconnects (with the connection's usual
// time-outs) and tries a statement every kProbeIntervalMilliseconds, and at once when a handshake
// arrives, one try at a time; the others take no batch meanwhile. The handshakes that arrived
// meanwhile wait for that try and fail with it, or are written once it passes, after the kept
// marks. Before anything is written again, every session of the writer that failed with
// statements in flight is ended on the server. The event loop never waits for any of it.
//
// Idle probe. Off unless asked for (SetIdleProbe, which the monitoring switches on): the first
// thread, available and with nothing to do, then asks the database every so often whether it
// answers, so that availability and the last answer's time stay true while the router is idle.
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
    // Offline marks one batch writes at most: a handshake waits behind one such batch, not behind
    // every UUID that a connection which held many had bound.
    static constexpr size_t kMaxBatchMarks = 4096;
    // Writer threads, each with its own connection: one batch's lookups and writes keep the
    // database busy while another's answers travel, which halves a storm's time on two cores.
    static constexpr size_t kThreads = 2;
    // How often an unavailable database is tried again; it is back in use within about this long
    // of answering again.
    static constexpr int kProbeIntervalMilliseconds = 1000;

    // An idle database is asked this often while the idle probe is on.
    static constexpr int kIdleProbeSeconds = 5;

    explicit RtDatabaseWriter(const RtDatabaseAddress &address);
    ~RtDatabaseWriter();
    RtDatabaseWriter(const RtDatabaseWriter &) = delete;
    RtDatabaseWriter &operator=(const RtDatabaseWriter &) = delete;

    // Any time: switches the idle probe on or off. On at Start, the first thread also asks at
    // once; switched on later, within kIdleProbeSeconds.
    void SetIdleProbe(bool on) { _idleProbe = on; }
    // Called on a writer thread each time results wait; it must not call into the writer.
    using ResultsWaiting = std::function<void()>;
    // Starts the threads, which connect at once, on their own; resultsWaiting may be empty (the
    // results are then only taken when asked for). Returns 0, or 1 when no descriptor can be had.
    int Start(ResultsWaiting resultsWaiting);
    // Ends the threads at once: a statement or connection attempt in flight is given up (the
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

    // Event-loop thread, for an upgrade in place: no batch is taken from here on, and what is not
    // finished is told (see RtWriterBacklog): the results not yet taken, then the requests of the
    // batches running and of the queue, in order, with the sessions those batches run on. The
    // writer is left as it was, so that ResumeAfterHandOver lets it go on when the exec failed.
    RtWriterBacklog HandOver();
    void ResumeAfterHandOver();
    // Before Start, in the new image: the requests of backlog are queued as they come, and the
    // sessions it names are ended before anything is written.
    void TakeOver(RtWriterBacklog *backlog);

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
    // Duration of the longest batch so far, in microseconds.
    uint64_t LongestBatchMicros() const {
        return _longestBatchMicros.load(std::memory_order_relaxed);
    }

  private:
    // A writer thread, its connection, and the batch it runs (its fields under _queueMutex).
    struct Lane {
        explicit Lane(const RtDatabaseAddress &address) : connection(address) {}
        RtWriterConnection connection;  // the lane's thread
        std::thread thread;
        uint64_t order = 0;          // where its batch's results go among all results
        std::set<std::string> keys;  // what its batch writes (RtRecordBatch::Keys)
        bool alone = false;          // its batch holds offline marks
        // The batch it runs, empty between batches; changed under _queueMutex only, so that a
        // hand-over may read it while the lane's thread runs it.
        std::vector<RtWriteRequest> batch;
        RtWriterSession session;  // of its open connection
    };
    enum class Take { kBatch, kIdle, kUnavailable, kStop };

    void Run(Lane *lane);
    // The first lane does the tries of an unavailable database and the idle probe.
    bool First(const Lane *lane) const { return lane == _lanes.front().get(); }
    // Waits for work (or the stop) and takes one batch off the queue. The first lane is also
    // woken when the database is unavailable (kUnavailable), and when idle while the idle probe
    // is on (kIdle).
    Take TakeBatch(Lane *lane);
    // Takes the queue's front, an offline mark, into batch: whole, or its first kMaxBatchMarks
    // UUIDs. Under _queueMutex.
    void TakeMarks(std::vector<RtWriteRequest> *batch);
    // Whether the queue's front may start a batch now; under _queueMutex.
    bool FrontMayStart() const;
    // Gives the batch's keys back and notes the spellings it refused.
    void BatchDone(Lane *lane, const std::vector<std::string> &refused);
    // Runs the lane's batch; on failure the database goes unavailable and the batch's offline
    // marks go back to the front of the queue.
    void RunBatch(Lane *lane);
    // One run of batch over the lane's open connection; false when the database went away.
    bool RunOnce(Lane *lane, const std::vector<RtWriteRequest> &batch,
                 std::vector<RtWriteResult> *results, std::vector<std::string> *refused);
    // A peer refused because the tables hold its UUID under another spelling does not mark that
    // spelling's row offline when it leaves either (a table that compares keys loosely would match
    // the other peer's row): its offline mark is left out of batch, once. Under _queueMutex.
    void SkipRefusedSpellings(std::vector<RtWriteRequest> *batch);
    // Marks the database unavailable and fails every peer of batch (its results going where
    // batchOrder says) and of the queue. batch is null for a failed try.
    void GoUnavailable(Lane *lane, std::vector<RtWriteRequest> *batch, uint64_t batchOrder);
    // Opens the lane's connection afresh and ends the writer's stale sessions over it; true once
    // the database answers.
    bool Probe(Lane *lane);
    // The first lane's wait and try while the database is unavailable.
    void TryAgain(Lane *lane);
    // The idle probe: one statement over the open connection (or a reconnect); goes unavailable
    // when it fails.
    void ProbeIdle(Lane *lane);
    void NoteAnswer();
    void NoteBatch(uint64_t micros);
    // Hands results to the event loop once the results of everything taken before order are
    // handed: each order is posted exactly once, possibly empty.
    void Post(uint64_t order, std::vector<RtWriteResult> results);

    std::vector<std::unique_ptr<Lane>> _lanes;

    std::mutex _queueMutex;
    std::condition_variable _queueChanged;
    std::deque<RtWriteRequest> _queue;  // guarded by _queueMutex
    // Written under _queueMutex; atomic so that the counters may read it.
    std::atomic<size_t> _queuedOfflineMarks{0};
    bool _stopping = false;     // guarded by _queueMutex
    bool _handingOver = false;  // no batch is taken; guarded by _queueMutex
    size_t _running = 0;        // batches out of the queue and not done; guarded by _queueMutex
    bool _alone = false;        // a running batch holds offline marks; guarded by _queueMutex
    std::set<std::string> _busyKeys;     // the keys running batches write; guarded by _queueMutex
    uint64_t _nextOrder = 0;             // guarded by _queueMutex
    std::condition_variable _queueDone;  // the queue emptied and no batch runs
    bool _offlineDropLogged = false;     // guarded by _queueMutex
    // The UUIDs of the queue's last request while it is an offline mark, so that marks arriving
    // in a row merge into it without repeats; guarded by _queueMutex.
    std::unordered_set<std::string> _tailOffline;
    // UUIDs of connected peers refused for another spelling of their key; guarded by _queueMutex.
    std::unordered_set<std::string> _refusedSpellings;
    // Sessions whose batch failed with statements in flight: a frozen server may still apply
    // them when thawed, so they are ended before anything is written again. Guarded by
    // _queueMutex.
    std::vector<RtWriterConnection::Session> _staleSessions;

    std::mutex _resultMutex;
    std::vector<RtWriteResult> _results;  // guarded by _resultMutex
    // Results of later batches that finished first, by order; guarded by _resultMutex.
    std::map<uint64_t, std::vector<RtWriteResult>> _early;
    uint64_t _nextPosted = 0;  // guarded by _resultMutex

    std::atomic<bool> _idleProbe{false};
    ResultsWaiting _resultsWaiting;  // set before the threads start
    // Readable once Stop gives up on the database: every wait of the writer's connections on it
    // then fails at once (BdDatabase::AbortWaitsOnThisThreadWhenReadable).
    int _abortFd = -1;
    std::atomic<bool> _available{true};
    std::atomic<size_t> _queuedHandshakes{0};
    std::atomic<uint64_t> _longestBatchMicros{0};
    std::atomic<uint64_t> _batches{0};
    std::atomic<uint64_t> _failedBatches{0};
    std::atomic<uint64_t> _batchMicrosTotal{0};
    std::atomic<int64_t> _lastAnswerSecond{0};
};

#endif  // RT_SERVER_RT_DATABASE_WRITER_H_
