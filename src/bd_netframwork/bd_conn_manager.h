// BdConnManager: the event loop and the registries of a process's connections.
//
// It owns one epoll instance (BdPoll) and every connection registered with it, and keeps two
// registries: socket descriptor -> connection, and peer UUID -> connection. It also holds this
// process's UUID, the server platform's UUID with the server ready flag, and a node UUID.
//
// Identity. Registration gives every connection a serial number never used before in the process.
// A UUID entry names its connection by descriptor and serial, so a descriptor number reused by a
// newer connection never inherits an older connection's UUIDs; and every UUID entry of a
// connection goes with it when it is unregistered, reported lost at the next CheckTimeout (unless
// the UUID was bound to another connection first, which is how a peer changes connection).
//
// The main loop drives it from one thread, forever: CheckTimeout (reap connections whose deadline
// has passed or whose close flag is set, collect the UUIDs that went away), then
// WaitAndHandleEvent (wait for socket events, dispatch each to its connection's OnEvent).
// Connections are destroyed only by the manager and never while their own handler runs: a failing
// connection sets its close flag and the next CheckTimeout removes it.
//
// One turn of WaitAndHandleEvent: write what the loop thread's log gathered; wait (not at all while
// either ready list holds a connection); dispatch the events, a writable one by putting its
// connection on the output-ready list; serve the input-ready list; write the log again; then let
// every connection on the output-ready list send one write slice (see BdClientConnection). So every
// line about a packet is out before the packet, and no connection holds the loop for more than a
// slice's writing.
//
// Fairness. A connection reads at most one slice per turn (see BdClientConnection). One that still
// has input when its slice ends is put on the input-ready list, which stands in for the edge epoll
// will not repeat; so a busy peer is read in turn with the others instead of holding the loop until
// its socket is empty. Likewise a connection with more to send stays on the output-ready list for
// the next turn instead of re-arming epoll; write interest is armed only while its socket refuses
// data (or when another thread queues), and its writable event puts it back on the list.
//
// Ownership. Registered connections belong to the manager, which destroys them in DelConnByFD,
// CheckTimeout and Destroy; RemoveConnByFD hands one back to the caller instead. The destructor
// releases only the manager's own members: call Destroy to close every connection.
//
// Scheduling. The manager alone keeps every piece of a connection's scheduling state: its places
// on the ready lists, whether its input is held back and since when, the run of packets it sent to
// one target, what is counted for the packet it is reading, the clock of its write queue's stall,
// and the turn's share of TLS handshake work. A connection asks for what it needs
// (InputPaused, ...) and keeps none of it. Its record is made when it is registered and goes when
// it is unregistered; an unregistered connection is not scheduled (it reads when called).
//
// Threads and locks. Other threads hand work to the loop only through Post. Everything runs on
// the event-loop thread except what a packet connection does from other threads when it queues
// data: CtlFD (through PutWriteQueueItem), the write-stall clock, the reap schedule and the
// lookups, which are safe from any thread. The descriptor map, the scheduling records' set (not
// their fields: see Schedule) and the serial counter are guarded by _fdMapMutex; the UUID map, the
// UUIDs of each connection and the UUIDs lost between checks by _uuidMapMutex; the node UUID by
// _nodeUuidMutex; the posted tasks by _postMutex. No operation holds two of them at once; an
// operation that removes a connection releases its map lock first, because the removal takes the
// locks itself. A connection may call CtlFD and the write-stall clock while holding its write-queue
// lock, so that lock always comes before the descriptor-map lock. Values found by a lookup are
// copied out before the lock is released. The process UUID, the server platform UUID, the ready
// flag, the remote server descriptor and both ready lists belong to the event-loop thread.
#ifndef BD_NETFRAMWORK_BD_CONN_MANAGER_H
#define BD_NETFRAMWORK_BD_CONN_MANAGER_H

#include <sys/epoll.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bd_common/bd_counter.h"
#include "bd_common/bd_mutex.h"
#include "bd_netframwork/bd_connection.h"
#include "bd_netframwork/bd_reap_schedule.h"
#include "bd_netframwork/bd_tls_handshake_budget.h"

class BdPoll;

class BdConnManager {
  public:
    // Deadlines are whole seconds, so a pause is only sure to have cost a peer time once it spans
    // this many of them.
    static constexpr long kStallForgivenSeconds = 2;

    // Reads the wall clock in whole seconds; tests replace it to cross deadlines without waiting.
    using SecondsClock = long (*)();

    BdConnManager();
    ~BdConnManager();
    BdConnManager(const BdConnManager &) = delete;
    BdConnManager &operator=(const BdConnManager &) = delete;

    // Waits at most timeoutSeconds for events and calls OnEvent of the connection registered under
    // each event's descriptor, in the order epoll returned them; an event whose descriptor has no
    // connection any more is skipped. Returns the number of events, or -1 when none arrived.
    virtual int WaitAndHandleEvent(int timeoutSeconds);

    // True on the thread that runs WaitAndHandleEvent. Any thread.
    bool InLoopThread() const { return _loopThread.load() == std::this_thread::get_id(); }

    // The one road by which another thread hands work to the loop: task runs on the event-loop
    // thread in a later turn, tasks in the order they were posted. The loop is woken by an eventfd
    // in its epoll set. A task posted while the manager is not initialised is dropped, so whoever
    // posts must outlive only the manager's Destroy, not its tasks. Any thread.
    void Post(std::function<void()> task);

    // Puts the log's directory watch in this loop's epoll set (BdLog::HandOverWatch), so the log
    // looks at the watch only after it reported something. Event-loop thread, after the log
    // gathers on it; Destroy hands the watch back.
    void WatchLogDirectory();

    // Creates the epoll instance, empties the node UUID and clears the server ready flag.
    // BD_MEMORY_ERROR when the poll object cannot be created, BD_ERROR when the epoll instance
    // cannot.
    int Init();
    // Closes epoll and destroys every connection; returns 0.
    int Destroy();

    // Registers conn (taking ownership) under fd with mask and adds fd to epoll. A stale connection
    // still registered under a reused fd is destroyed first. The very connection already registered
    // under fd keeps its entry and is only re-armed, keeping write interest while it has data.
    // BD_PARAMETER_INVALID for a null conn.
    int AddMapFdToConn(int fd, BdConnection *conn, unsigned int mask);
    // Binds uuid to the connection under fd and writes uuid into it. When uuid was bound to another
    // connection, that older connection is destroyed at once; uuid itself is not reported lost, its
    // other UUIDs are. BD_PARAMETER_INVALID for an empty uuid; BD_CONNECTION_NOT_EXIST when no
    // connection is registered under fd; BD_ERROR when the connection already holds the most UUIDs
    // allowed (nothing bound).
    int AddMapUUIDToFD(std::string uuid, int fd);
    // The same for a peer that needs no handshake (the web side): such a binding may replace only
    // an earlier binding of the same kind. BD_OBJECT_REPEAT when uuid is held by a connection that
    // bound it by AddMapUUIDToFD (nothing changes).
    int AddWebMapUUIDToFD(std::string uuid, int fd);
    // The most UUIDs one connection may hold; 0, the default, for no limit. Event-loop thread,
    // before connections bind.
    void SetMaxUuidsPerConnection(int most) { _maxUuidsPerConnection = most; }

    // BD_PARAMETER_INVALID for an empty uuid or null output; BD_SOCKET_FD_NOT_EXIST when uuid is
    // not bound (or bound to a connection that is gone).
    int QueryFDFromUUID(const std::string &uuid, int *fd);
    // The pointer stays valid only until the connection is reaped: event-loop thread.
    // BD_PARAMETER_INVALID for fd < 0 or a null output; BD_CONNECTION_NOT_EXIST when nothing is
    // registered under fd.
    int QueryConnFromFD(const int &fd, BdConnection **conn);
    // The connection bound to uuid: BD_PARAMETER_INVALID or BD_SOCKET_FD_NOT_EXIST as above, the
    // latter also while the entry of a connection that is gone waits to be retired.
    int QueryConnFromUUID(const std::string &uuid, BdConnection **conn);

    // Unregisters and destroys the connection under fd. BD_CONNECTION_NOT_EXIST when nothing is
    // registered there.
    int DelConnByFD(const int &fd);
    // DelConnByFD on uuid's descriptor if uuid is bound, then drops the uuid entry.
    // BD_PARAMETER_INVALID for an empty uuid, else 0 even when nothing was bound.
    int DelConnByUUID(const std::string &uuid);
    // Drops only the uuid entry. BD_PARAMETER_INVALID for an empty uuid; BD_SOCKET_FD_NOT_EXIST
    // when it is not bound.
    int DelFDByUUID(const std::string &uuid);
    // Unregisters the connection under fd and hands it back to the caller, who owns it from now on
    // (not destroyed); its UUID entries go as they would with DelConnByFD.
    // BD_CONNECTION_NOT_EXIST when nothing is registered there.
    int RemoveConnByFD(const int &fd);

    // Changes the epoll mask of a registered descriptor and stores it in its connection. Any
    // thread. BD_PARAMETER_INVALID for fd < 0; BD_CONNECTION_NOT_EXIST when nothing is registered
    // under fd.
    int CtlFD(int fd, unsigned int mask);
    // The same, found by UUID: BD_PARAMETER_INVALID, BD_SOCKET_FD_NOT_EXIST or
    // BD_CONNECTION_NOT_EXIST.
    int CtlFDByUUID(const std::string &uuid, unsigned int mask);

    // Time the loop itself spent away from the sockets is not charged to the peers: when the last
    // dispatch kept the loop busy for kStallForgivenSeconds or more, every deadline moves on by
    // that long first, and a connection with bytes waiting unread on its socket is not idle
    // (it is left for the dispatch that reads them).
    //
    // Destroys every connection whose deadline has passed or whose close flag is set (closing
    // first those whose write deadline has passed) and appends to lost the UUIDs that went with
    // connections since the last call: those removed meanwhile first, then the reaped ones in
    // ascending descriptor order, each connection's in the order they were bound; at most
    // kUuidsRetiredPerTurn a call, the rest at the next. Losing the server platform's UUID clears
    // the server ready flag. Gives freed memory back to the system
    // when much was freed. lost is appended to, never cleared. Returns 0, or BD_PARAMETER_INVALID
    // for a null lost.
    int CheckTimeout(std::list<std::string> *lost);

    void SetCurrentProcessUUID(const std::string &uuid) { _currentProcessUuid = uuid; }
    std::string GetCurrentProcessUUID() const { return _currentProcessUuid; }
    // Records the server platform and sets the server ready flag to 1.
    void SetPTServerUUID(const std::string &uuid);
    std::string GetPTServerUUID() const { return _ptServerUuid; }
    uint32_t GetServerReadyFlag() const { return _serverReadyFlag; }
    void SetRemoteServerFD(const int &fd) { _remoteServerFd = fd; }
    int GetRemoteServerFD() const { return _remoteServerFd; }
    // A copy taken under the node-UUID lock. Any thread.
    std::string GetNodeUuid();
    // Bound peer UUIDs. Any thread.
    size_t CountBoundPeers();
    // Connections whose write queue still holds data. Event-loop thread.
    size_t CountWritePending();
    // The stop, event-loop thread: from StopReading on no connection is read (a hang-up still
    // closes one), so the queues can only empty; from FinishPacketsInFlight on a connection only
    // completes the packet it has begun. Init ends both.
    void StopReading();
    void FinishPacketsInFlight() { _finishingOnly = true; }
    bool FinishingOnly() const { return _finishingOnly; }
    // Turns of WaitAndHandleEvent begun so far. Event-loop thread.
    uint64_t Turn() const { return _turn; }
    // The share of this loop's turns that TLS handshake steps may take. Event-loop thread.
    BdTlsHandshakeBudget &TlsHandshakeBudget() { return _tlsHandshakeBudget; }
    // Puts every connection that has sent part of a packet on the output-ready list, without
    // waiting for its socket to report room (which it does only once a third of its buffer is
    // free: slower than a slow reader needs for the rest of one packet); their number.
    // Event-loop thread.
    size_t OfferPacketsInFlight();
    // Every bound peer UUID, in ascending order. Any thread.
    std::list<std::string> BoundUuids();
    // The UUIDs bound to conn, in binding order, each with whether a web packet bound it. Any
    // thread.
    std::vector<std::pair<std::string, bool>> BindingsOf(const BdConnection &conn);
    // True while UUIDs of connections that went are still to be reported lost by CheckTimeout.
    // Any thread.
    bool LostUuidsPending();
    // Calls visit for every registered connection, under the descriptor-map lock: visit must not
    // call back into the manager. Event-loop thread.
    void ForEachConnection(const std::function<void(BdConnection &)> &visit);
    // Connections reaped so far for reason (BdConnection::CloseReason). Any thread.
    uint64_t ClosedCount(int reason) const;
    // The signal mask event waits run with, from the next Init on; see BdPoll::SetWaitSignalMask.
    void SetWaitSignalMask(const sigset_t &mask);

    // CheckTimeout walks the registry only on a turn when something may be due, so a connection
    // reports to this schedule every event that can make it due. Any thread.
    BdReapSchedule *ReapSchedule() { return &_reapSchedule; }

    // Flow control: whether sender may now take a packet of bytes whose work (the packet itself,
    // or an answer) lands on target's queue; target may be sender. Event-loop thread.
    //  - Below its allowance a queue takes everything: bursts pass.
    //  - At or past it, a sender that streams to target (its last kStreamPackets packets all went
    //    there, or target is itself) is paced: not read until the queue is below
    //    BdConnection::kQueueResumeBytes. Any other sender is not held back by one slow target:
    //    the target is closed as a slow consumer, and the packet admitted (and dropped with it).
    //  - Past the budget (SetQueueBudget), only packets that leave their queue under
    //    kBudgetReserveBytes are taken; the sender of any other waits: a stream behind its
    //    target's queue until it halves when that queue is among the largest (at least an even
    //    share of the budget), any other sender until the total is back under seven eighths of the
    //    budget, so that no slow target holds back a sender that feeds others.
    // False when the sender was paused and must take nothing more now. An unregistered sender is
    // not scheduled: everything is admitted.
    bool AdmitPacket(BdConnection *sender, BdConnection *target, int64_t bytes);
    // The packet conn was admitted for has been handled: what was counted for it is released.
    // Event-loop thread.
    void ReleaseAdmission(const BdConnection &conn);
    // Stops reading sender until target's queue (target may be sender) is below resumeBelow or
    // target is unregistered. Event-loop thread.
    void PaceBehind(BdConnection *sender, BdConnection *target, int64_t resumeBelow);
    // conn's queue shrank: resumes the senders paced behind it once it is below their mark.
    // Event-loop thread.
    void NoteDrained(const BdConnection &conn) {
        if (!_drainWaits.empty()) {
            ResumeDrainWaiters(conn.GetSerial(), conn.QueuedBytes());
        }
    }
    // Packets in a row to one target that make their sender a stream.
    static constexpr int kStreamPackets = 8;
    // Past the budget, packets to queues below this still pass, so a quiet pair never waits behind
    // bulk traffic.
    static constexpr int64_t kBudgetReserveBytes = 1024 * 1024;
    // The most bytes all write queues together should hold; 0 for no limit. Event-loop thread,
    // between turns: senders waiting for the sum are judged by the new budget at the next turn.
    void SetQueueBudget(int64_t bytes) { _queueBudget = bytes; }
    // Bytes on every write queue together. Any thread.
    int64_t QueuedTotal() const { return _queuedTotal.load(std::memory_order_relaxed); }
    // A connection's queue changed by delta bytes, and began (1) or ceased (-1) to hold any. Any
    // thread, called by the connections.
    void NoteQueuedBytes(int64_t delta, int holdingDelta) {
        _queuedTotal.fetch_add(delta, std::memory_order_relaxed);
        _queuesHolding.fetch_add(holdingDelta, std::memory_order_relaxed);
    }

    // Input scheduling, used by the connections; event-loop thread. QueueInput: conn ended its read
    // slice with input left, so it is served after the next wait (once; queuing twice is a no-op).
    // ResumeInput: the connection registered as fd with serial may read again (see
    // PaceBehind); nothing when it is gone. InputPaused: conn is held back until resumed, and
    // must read nothing. InputQueued: conn waits on the input-ready list, which reads it.
    void QueueInput(BdConnection *conn);
    void ResumeInput(int fd, uint64_t serial);
    bool InputPaused(const BdConnection &conn) const;
    bool InputQueued(const BdConnection &conn) const;
    // Output scheduling, event-loop thread: conn has a packet to send and a socket that took the
    // last one, so it sends a write slice at the end of this turn (of the next when the list is
    // being served); queuing twice is a no-op. OutputQueued: conn waits on the output-ready list.
    void QueueOutput(BdConnection *conn);
    bool OutputQueued(const BdConnection &conn) const;

    // The write deadline's clock, kept per queue. Any thread, under conn's write-queue lock:
    // conn's queue began to hold packets, or its socket took bytes, or a packet was taken
    // (StartWriteWait: the clock starts again now); it holds nothing to send any more
    // (StopWriteWait). WatchOverflow: conn's queue is at or past its allowance, so the reaper
    // looks once it may have stood still for kNoProgressSeconds; any thread, after the write-queue
    // lock is released.
    void StartWriteWait(const BdConnection &conn);
    void StopWriteWait(const BdConnection &conn);
    void WatchOverflow(const BdConnection &conn);
    // True when conn's packets have waited BdConnection::kWriteStallSeconds without its socket
    // accepting a byte, or kNoProgressSeconds while its queue is at or past its allowance.
    // Event-loop thread, with or without the descriptor-map lock.
    bool IsWriteStalled(const BdConnection &conn, long now) const;

    // Seconds of the manager's clock, the one CheckTimeout compares deadlines with.
    long NowSeconds() const { return _clock(); }
    // Replaces that clock; call before the loop runs. Tests only.
    void SetSecondsClock(SecondsClock clock) { _clock = clock; }

  private:
    // Scheduling state of one registered connection (see Scheduling above). Its fields belong to
    // the event-loop thread, except waitingSince, which whoever queues on the connection sets.
    struct Schedule {
        bool inputQueued = false;   // on _inputReady
        bool outputQueued = false;  // on _outputReady
        bool inputPaused = false;   // not read until resumed (PaceBehind, the budget's waiters)
        long pausedSince = 0;       // second of the manager's clock when the pause began
        uint64_t lastTarget = 0;    // serial of the target of the last packet admitted
        int sameTargetRun = 0;      // packets admitted in a row to lastTarget, at most 255
        int64_t admissionHeld = 0;  // counted for the packet being read, as good as queued
        // While the queue holds packets: the second its socket last accepted a byte, or the queue
        // stopped being empty, whichever is later. kNotWaiting while it holds nothing to send.
        std::atomic<long> waitingSince{kNotWaiting};
    };
    static constexpr long kNotWaiting = -1;
    // The record of conn, or null when it is not registered. Event-loop thread, which alone adds
    // and removes records; any other thread holds _fdMapMutex.
    Schedule *ScheduleOf(const BdConnection &conn);
    const Schedule *ScheduleOf(const BdConnection &conn) const;
    // Sets conn's write-stall clock, if conn is registered. Any thread.
    void SetStallClock(const BdConnection &conn, long since);
    // The second at which conn's write stall ends: kNoProgressSeconds after its queue last moved
    // while at or past its allowance, else kWriteStallSeconds; LONG_MAX while it holds nothing to
    // send. Event-loop thread, or under _fdMapMutex.
    long StallEnd(const BdConnection &conn) const;
    // Logs conn's stalled queue and closes it.
    void CloseForWriteStall(BdConnection *conn, long now);
    // Stops reading conn until ResumeInput.
    void PauseInput(BdConnection *conn);

    // Where a UUID is bound: the connection by descriptor and serial, and whether a web packet
    // bound it.
    struct UuidBinding {
        int fd;
        uint64_t serial;
        bool web;
    };

    // Collects and destroys the finished connections; plans the next walk.
    void ReapFinished(long now);
    // Moves every deadline on by seconds.
    void ForgiveStall(long seconds);
    // Removes the entry under fd from the descriptor map and from epoll, drops its UUID entries
    // (kept as lost) and wakes the connections paused behind it; the connection or null.
    BdConnection *Unregister(int fd);
    // The live connection uuid is bound to, else null.
    BdConnection *BoundConnection(const std::string &uuid);
    // The connection registered under fd if its serial is serial, else null.
    BdConnection *FindConnection(int fd, uint64_t serial);
    // Binding step shared by both kinds; see AddMapUUIDToFD.
    int BindUuid(const std::string &uuid, int fd, bool web);
    // Destroys the connection under fd if it is still the one with serial; true when it did.
    bool DestroyIfCurrent(int fd, uint64_t serial);
    // epoll_ctl of a registered connection, whose events carry its descriptor and serial, so an
    // event left over from a connection that is gone never reaches one that reused its number.
    void ArmConnection(int fd, const BdConnection *conn, int op, unsigned int mask);
    // The connection an event was registered for, or null when it is gone.
    BdConnection *FindByEventKey(uint64_t key);
    // Runs the tasks posted before this call; tasks they post wait for the next turn.
    void RunPosted();
    // Connections (descriptor, serial) due for a turn; a connection gone meanwhile is skipped.
    using ReadyList = std::deque<std::pair<int, uint64_t>>;
    // Gives every connection that was on list when it begins its turn: mark is its place on the
    // list, cleared first; serve is its handler. A connection whose input is held back is not
    // read.
    void ServeReadyList(ReadyList *list, bool Schedule::*mark,
                        int (BdConnection::*serve)(epoll_event *));

    BdPoll *_poll;  // owned
    BdMutex _fdMapMutex;
    BdMutex _uuidMapMutex;
    std::map<int, BdConnection *> _fdToConn;  // owns the connections; guarded by _fdMapMutex
    std::unordered_map<uint64_t, Schedule> _schedules;  // by serial; see ScheduleOf
    std::map<std::string, UuidBinding> _uuidToFd;       // guarded by _uuidMapMutex
    // UUIDs bound to each connection, by serial, in binding order; guarded by _uuidMapMutex.
    std::map<uint64_t, std::vector<std::string>> _uuidsOf;
    // UUIDs whose connection was unregistered since the last CheckTimeout; guarded by
    // _uuidMapMutex.
    std::vector<std::string> _lostUuids;
    // The UUIDs of unregistered connections, retired kUuidsRetiredPerTurn a turn so that the
    // close of a connection holding hundreds of thousands costs no turn more than a few
    // milliseconds, nor the offline marks they become; guarded by _uuidMapMutex.
    struct Retiring {
        uint64_t serial;
        std::vector<std::string> uuids;
        size_t next;
    };
    std::deque<Retiring> _retiring;
    static constexpr size_t kUuidsRetiredPerTurn = 4096;
    // About what one binding holds in the maps, for the memory given back to the system.
    static constexpr size_t kBytesPerBinding = 256;
    // Drops a slice of the retiring UUIDs' entries, each reported lost unless bound elsewhere.
    void RetireUuids();
    int _maxUuidsPerConnection;
    uint64_t _lastSerial;  // guarded by _fdMapMutex
    // Connections with input left over from their last slice / with packets to send and a socket
    // that took the last one. Event-loop thread.
    ReadyList _inputReady;
    ReadyList _outputReady;
    std::string _currentProcessUuid;
    std::string _ptServerUuid;
    uint32_t _serverReadyFlag;
    int _remoteServerFd;
    BdMutex _nodeUuidMutex;
    std::string _nodeUuid;  // guarded by _nodeUuidMutex

    BdCounter _closed[BdConnection::kCloseReasonCount];  // per CloseReason; event-loop thread
    bool _hasWaitMask = false;
    sigset_t _waitMask;
    SecondsClock _clock;
    BdReapSchedule _reapSchedule;
    // Second at which the last wait returned; 0 before the first. Event-loop thread.
    long _lastWaitReturn;
    std::atomic<std::thread::id> _loopThread;  // the last thread that ran WaitAndHandleEvent
    bool _readingStopped = false;              // event-loop thread
    bool _finishingOnly = false;               // event-loop thread
    // Senders (descriptor, serial) paced behind a queue, by the serial of its connection, and the
    // mark it must fall below (the lowest asked for, so nobody resumes before its own);
    // event-loop thread.
    struct DrainWait {
        int64_t resumeBelow;
        ReadyList waiters;
    };
    std::unordered_map<uint64_t, DrainWait> _drainWaits;
    // Resumes those paced behind the queue of serial when queued is below their mark (always
    // when queued is negative: the connection went).
    void ResumeDrainWaiters(uint64_t serial, int64_t queued);
    // Senders waiting for the total to fall back under the budget; event-loop thread.
    ReadyList _budgetWaiters;
    int64_t _queueBudget = 0;
    // Admitted packets still being read count against the budget as if queued; event-loop thread.
    int64_t _admittedBytes = 0;
    std::atomic<int64_t> _queuedTotal{0};
    std::atomic<int> _queuesHolding{0};
    // Resumes the budget's waiters once the total is back under seven eighths of the budget.
    void ResumeBudgetWaiters();
    // Event data of the log's directory watch and of the post queue's eventfd: no descriptor
    // number and serial 0, so never a connection's.
    static constexpr uint64_t kLogWatchTag = static_cast<uint32_t>(-2);
    static constexpr uint64_t kPostTag = static_cast<uint32_t>(-3);
    BdMutex _postMutex;
    std::vector<std::function<void()>> _posted;  // guarded by _postMutex
    int _postFd = -1;                            // eventfd, owned; guarded by _postMutex
    bool _watchingLog = false;  // the log handed its watch to this loop; event-loop thread
    uint64_t _turn = 0;         // event-loop thread
    BdTlsHandshakeBudget _tlsHandshakeBudget;
};

#endif  // BD_NETFRAMWORK_BD_CONN_MANAGER_H
