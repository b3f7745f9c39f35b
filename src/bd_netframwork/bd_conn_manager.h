// BdConnManager: the event loop and the registries of a process's connections.
//
// It owns one epoll instance (BdPoll) and every connection registered with it, and maps socket
// descriptor -> connection and peer UUID -> connection. Registration gives every connection a
// serial never used before in the process; UUID entries and epoll events name a connection by
// descriptor and serial, so a reused descriptor number inherits nothing of an older connection.
//
// The main loop drives it from one thread: CheckTimeout (reap connections that are closed, idle
// or stalled; report the UUIDs that went), then WaitAndHandleEvent. One turn writes what the
// log gathered, waits (not at all while a ready list holds a connection), dispatches the events,
// serves the input-ready list, writes the log again, then lets every connection on the
// output-ready list send one write slice: every line about a packet is out before the packet, and
// a connection with more to read or send waits for the next turn instead of holding the loop.
//
// Ownership. Registered connections belong to the manager, which destroys them in DelConnByFD,
// CheckTimeout and Destroy (never while their own handler runs: a failing connection sets its
// close flag); RemoveConnByFD hands one back to the caller. The destructor releases only the
// manager's own members: call Destroy to close every connection.
//
// Scheduling. The manager alone keeps a connection's scheduling state (ready-list places, input
// pause, same-target run, admission held, write-stall clock) in one record, made at registration
// and dropped at unregistration; a connection asks for it and keeps none. An unregistered
// connection is not scheduled. So is the turn's share of TLS handshake work.
//
// Threads and locks. Other threads hand work to the loop only through Post. Everything runs on
// the event-loop thread except what a connection does from other threads when it queues data:
// CtlFD, the write-stall clock, the reap schedule and the lookups, which are safe from any
// thread. _fdMapMutex guards the descriptor map, the records' set (not their fields: see
// Schedule) and the serial counter; _uuidMapMutex the UUID map, each connection's UUIDs and the
// retiring ones; _nodeUuidMutex the node UUID; _postMutex the posted tasks. No operation holds two
// at once; removing a connection releases its map lock first, as the removal takes the locks
// itself. A connection's write-queue lock always comes before _fdMapMutex. Values found by a lookup
// are copied out before the lock is released. The process and platform UUIDs, the ready flag, the
// remote server descriptor and both ready lists belong to the event-loop thread.
#ifndef BD_NETFRAMWORK_BD_CONN_MANAGER_H
#define BD_NETFRAMWORK_BD_CONN_MANAGER_H

#include <sys/epoll.h>

#include <atomic>
#include <chrono>
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

    // One turn (see above): events go, in the order epoll returned them, to the connection or
    // watched descriptor they were registered for; one for a connection that is gone is skipped.
    // Returns the number of events, or -1 when none arrived.
    virtual int WaitAndHandleEvent(int timeoutSeconds);

    // True on the thread that runs WaitAndHandleEvent. Any thread.
    bool InLoopThread() const { return _loopThread.load() == std::this_thread::get_id(); }

    // The one road by which another thread hands work to the loop: task runs on the event-loop
    // thread in a later turn, tasks in the order they were posted. The loop is woken by an eventfd
    // in its epoll set. A task posted while the manager is not initialised is dropped, so whoever
    // posts must outlive only the manager's Destroy, not its tasks. Any thread.
    void Post(std::function<void()> task);

    // Watches fd, a descriptor that is no peer (no deadline, queue or UUIDs), in this loop's epoll
    // set, edge-triggered for input: onReady runs on the event-loop thread in each turn that
    // reports it and reads fd to its end. fd stays the caller's; Destroy ends the watch.
    // Event-loop thread, after Init. BD_ERROR when epoll refuses fd.
    int WatchDescriptor(int fd, std::function<void()> onReady);
    // Watches the log's directory watch (BdLog::HandOverWatch), so the log looks at it only after
    // it reported something. Event-loop thread, after the log gathers on it; Destroy hands it back.
    void WatchLogDirectory();

    // Creates the epoll instance, empties the node UUID, clears the server ready flag and sets the
    // allocator for packets (BdKeepHeapForPackets).
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
    int AddMapUUIDToFD(std::string uuid, int fd) { return BindUuid(uuid, fd, false); }
    // The same for a peer that needs no handshake (the web side): such a binding may replace only
    // an earlier binding of the same kind. BD_OBJECT_REPEAT when uuid is held by a connection that
    // bound it by AddMapUUIDToFD (nothing changes).
    int AddWebMapUUIDToFD(std::string uuid, int fd) { return BindUuid(uuid, fd, true); }
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
    // that long first, and a connection with bytes unread on its socket is not idle.
    //
    // Destroys every connection whose deadline has passed or whose close flag is set (closing
    // first those whose write deadline has passed) and appends to lost the UUIDs that went since
    // the last call: those removed meanwhile first, then the reaped ones by ascending descriptor,
    // each connection's in binding order; at most kUuidsRetiredPerTurn a call, the rest at the
    // next. Losing the server platform's UUID clears the server ready flag. Gives freed memory
    // back to the system. Returns 0, or BD_PARAMETER_INVALID for a null lost.
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
    void StopReading() { _readingStopped = true; }
    void FinishPacketsInFlight() { _finishingOnly = true; }
    bool FinishingOnly() const { return _finishingOnly; }
    // One turn reads slices of kReadSliceBytes until all connections together have received
    // kTurnReadBytes; past that a connection reads what an idle read buffer holds, enough for a
    // quiet peer's packets, and the rest waits for its next turn. Filling fresh buffers costs
    // page faults (about 1.5 ms a MiB on a small machine): eight long packets read a slice each
    // held a neighbouring pair 15-25 ms a turn. Four slices still read four busy senders a whole
    // slice each turn. Event-loop thread.
    static constexpr int64_t kTurnReadBytes = 4 * BdConnection::kReadSliceBytes;
    int ReadSliceBytes() const {
        return _turnReadBytes < kTurnReadBytes ? BdConnection::kReadSliceBytes
                                               : BdConnection::kReadBufferInitialSize;
    }
    void CountRead(int bytes) { _turnReadBytes += bytes; }
    // TLS handshake steps take at most kTlsTurnMicros of each turn (and one step more): a step
    // that runs a key exchange costs 0.3 ms (ECDSA P-256) to 1.8 ms (RSA-2048), so thousands of
    // peers connecting at once would otherwise hold every other peer for seconds. 2 ms is one to a
    // few handshakes, so a ping-pong pair's round trip stays well under 50 ms however many wait;
    // 5 ms gave the same storm time and longer pauses. Event-loop thread.
    static constexpr int64_t kTlsTurnMicros = 2000;
    bool TlsHandshakeAllowed() const { return _tlsSpentMicros < kTlsTurnMicros; }
    void SpendOnTlsHandshake(std::chrono::steady_clock::duration spent) {
        _tlsSpentMicros += std::chrono::duration_cast<std::chrono::microseconds>(spent).count();
    }
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

    // CheckTimeout walks the registry only on a turn when something may be due, so a connection
    // reports to this schedule every event that can make it due. Any thread.
    BdReapSchedule *ReapSchedule() { return &_reapSchedule; }

    // Flow control (docs/flow-control.md): whether sender may now take a packet of bytes whose
    // work (the packet or an answer) lands on target's queue; target may be sender. Below its
    // allowance a queue takes everything; past it a stream is paced and a target fed by a sender
    // that feeds others is closed as a slow consumer; past the budget only small queues grow.
    // False when the sender was paused and must take nothing more now. Event-loop thread.
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

    // Scheduling, used by the connections; event-loop thread. QueueInput: conn has input left
    // after its slice and is served after the next wait. QueueOutput: conn has a packet to send and
    // a socket that took the last one, so it sends a write slice at the end of this turn (of the
    // next while the list is served). Queuing twice is a no-op. ResumeInput: the connection fd
    // with serial may read again; nothing when it is gone. InputPaused: conn must read nothing.
    void QueueInput(BdConnection *conn) { Enqueue(conn, &Schedule::inputQueued, &_inputReady); }
    void QueueOutput(BdConnection *conn) { Enqueue(conn, &Schedule::outputQueued, &_outputReady); }
    void ResumeInput(int fd, uint64_t serial);
    bool InputPaused(const BdConnection &conn) const { return Flag(conn, &Schedule::inputPaused); }
    bool InputQueued(const BdConnection &conn) const { return Flag(conn, &Schedule::inputQueued); }
    bool OutputQueued(const BdConnection &conn) const {
        return Flag(conn, &Schedule::outputQueued);
    }

    // The write deadline's clock, under conn's write-queue lock, any thread: StartWriteWait when
    // the queue began to hold packets or moved, StopWriteWait when it holds nothing to send.
    // WatchOverflow, after that lock is released: the queue is at or past its allowance, so the
    // reaper looks once it may have stood still for kNoProgressSeconds.
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
    // Connections (descriptor, serial) due for a turn; a connection gone meanwhile is skipped.
    using ReadyList = std::deque<std::pair<int, uint64_t>>;
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
    const Schedule *ScheduleOf(const BdConnection &conn) const {
        return const_cast<BdConnManager *>(this)->ScheduleOf(conn);
    }
    // The flag of conn's record; false when it is not registered.
    bool Flag(const BdConnection &conn, bool Schedule::*flag) const;
    // Puts conn on list once: mark is its place there.
    void Enqueue(BdConnection *conn, bool Schedule::*mark, ReadyList *list);
    // Resumes every waiter that is still registered.
    void ResumeAll(const ReadyList &waiters);
    // Sets conn's write-stall clock, if conn is registered. Any thread.
    void SetStallClock(const BdConnection &conn, long since);
    // The second at which conn's write stall ends: kNoProgressSeconds after its queue last moved
    // while at or past its allowance, else kWriteStallSeconds; LONG_MAX while it holds nothing to
    // send. Event-loop thread, or under _fdMapMutex.
    long StallEnd(const BdConnection &conn) const;
    // Stops reading conn until ResumeInput, and appends it to waiters.
    void PauseInput(BdConnection *conn, ReadyList *waiters);

    // Where a UUID is bound: the connection by descriptor and serial, and whether a web packet
    // bound it.
    struct UuidBinding {
        int fd;
        uint64_t serial;
        bool web;
    };

    // Collects and destroys the finished connections; plans the next walk.
    void ReapFinished(long now);
    // Removes the entry under fd from the descriptor map and from epoll, drops its UUID entries
    // (kept as lost) and wakes the connections paused behind it; the connection or null.
    BdConnection *Unregister(int fd);
    // The live connection uuid is bound to, else null.
    BdConnection *BoundConnection(const std::string &uuid);
    // The connection registered under fd if its serial is serial, else null.
    BdConnection *FindConnection(int fd, uint64_t serial);
    // Binding step shared by both kinds; see AddMapUUIDToFD.
    int BindUuid(const std::string &uuid, int fd, bool web);
    // epoll_ctl of a registered connection, whose events carry its descriptor and serial, so an
    // event left over from a connection that is gone never reaches one that reused its number.
    void ArmConnection(int fd, const BdConnection *conn, int op, unsigned int mask);
    // The connection an event was registered for, or null when it is gone.
    BdConnection *FindByEventKey(uint64_t key);
    // Runs the tasks posted before this call; tasks they post wait for the next turn.
    void RunPosted();
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
    // Drops a slice of the retiring UUIDs' entries, each appended to lost unless bound elsewhere.
    void RetireUuids(std::list<std::string> *lost);
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
    // Watched descriptors by number; their events carry the number and serial 0. Event-loop
    // thread.
    std::unordered_map<int, std::function<void()>> _watched;
    BdMutex _postMutex;
    std::vector<std::function<void()>> _posted;  // guarded by _postMutex
    int _postFd = -1;                            // eventfd, owned; guarded by _postMutex
    bool _watchingLog = false;    // the log handed its watch to this loop; event-loop thread
    int64_t _tlsSpentMicros = 0;  // on TLS handshake steps this turn; event-loop thread
    int64_t _turnReadBytes = 0;   // received by all connections this turn; event-loop thread
};

#endif  // BD_NETFRAMWORK_BD_CONN_MANAGER_H
