// BdConnection: the base of every connection a BdConnManager owns.
//
// Ownership. A connection is created on the heap by whoever accepts or opens its socket, and from
// BdConnManager::AddMapFdToConn on the manager owns it: the manager alone calls CloseConnection(),
// Destroy() and deletes it. A connection never deletes itself or another connection inside a
// handler (OnEvent, OnIn, OnOut, OnErr, ParsePacket and what they call): a failing connection only
// sets its close flag (CloseSelf) and the manager reaps it on its next CheckTimeout. The connection
// owns its BdNetwork (and with it the socket), its read buffer and every packet on its write queue.
//
// Framing. Every packet starts with the 16-byte BdHeader, read by BdParseNetHeader (bd_packet.h).
// ExtractPackets cuts whole packets out of the read buffer and hands each, in arrival order, to
// ParsePacket. A packet announcing fewer than 16 bytes (a negative data_len) or more than
// kBdMaxPacketLength is refused before anything is allocated.
//
// Reading in slices. One call of the packet connection's OnIn reads at most kReadSliceBytes and
// hands over at most kReadSlicePackets packets; what is left waits for the connection's next turn
// on the manager's input-ready list. The read buffer grows for a packet longer than it and shrinks
// back to kReadBufferInitialSize once no such packet is held.
//
// Admission. Once a packet's router header has arrived (or the whole packet, when shorter),
// AdmitPacket asks whether it may be taken now (BdConnManager::AdmitPacket). A packet not admitted
// stays in the read buffer and the connection is not read until the manager resumes it; its bytes
// wait in the kernel, and TCP slows its peer down.
//
// Write queue. PutWriteQueueItem appends a malloc block holding one complete packet; the queue owns
// it from that moment and frees it once sent or when the connection is destroyed. A packet queued
// on the event-loop thread puts the connection on the manager's output-ready list; one queued by
// another thread arms write interest, which wakes the loop. The queue tells the manager when its
// stall clock starts, moves and stops, so that a peer that stops reading is closed.
//
// Write slots. An answer that is still being prepared (a handshake waiting for its rows) keeps its
// place with ReserveWriteSlot: packets queued later wait behind the slot, nothing behind it is
// sent, and AnswerInWriteSlot puts the answer where the slot was. The bytes waiting behind a slot
// count towards kQueueAllowanceBytes like any others, so a flood cannot outgrow it.
//
// Threads and locks. PutWriteQueueItem, GetWriteQueueItem and QueuedBytes may be called from any
// thread; the write queue and the queued byte count are guarded by the write-queue lock, which is
// always taken before the manager's descriptor-map lock. Every other operation, and every other
// field (the input state included), belongs to the thread that runs the manager's event loop.
// Only OnOut's sends tell the manager a queue drained (NoteDrained): a queue drained by
// GetWriteQueueItem must not be waited for.
#ifndef BD_NETFRAMWORK_BD_CONNECTION_H
#define BD_NETFRAMWORK_BD_CONNECTION_H

#include <sys/epoll.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "bd_common/bd_counter.h"
#include "bd_common/bd_mutex.h"
#include "bd_netframwork/bd_peer_identity.h"

class BdConnManager;
class BdReapSchedule;
class BdNetwork;
class BdWorkThreadManager;

// One write-queue entry: a malloc block holding one complete packet, and its length.
struct _BD_SEND_ITEM {
    char *data;
    int length;
};

class BdConnection {
  public:
    static constexpr int kReadBufferInitialSize = 40960;
    // A connection whose queued packets have waited this long with its socket accepting no byte
    // is closed: its peer has stopped reading.
    static constexpr long kWriteStallSeconds = 30;
    // What a target's queue absorbs before anyone is held back or the target closed: a burst of
    // this much (the largest packet the framing takes) always passes.
    static constexpr int64_t kQueueAllowanceBytes = 64 * 1024 * 1024;
    // A queue at or past its allowance whose socket has taken no byte for this long is a slow
    // consumer's, and closed: whole seconds, so between one and two.
    static constexpr long kNoProgressSeconds = 2;
    // A sender paced behind a target's queue is read again once that queue is below this: half
    // the allowance, so a paced stream moves in large steps rather than packet by packet.
    static constexpr int64_t kQueueResumeBytes = kQueueAllowanceBytes / 2;
    // One turn's reading from one connection, so that a peer sending at line rate cannot keep
    // the loop from the others: at most this many bytes received (enough for a 256 KiB payload
    // in one turn; a smaller slice delays every such packet by a whole turn)...
    static constexpr int kReadSliceBytes = 1024 * 1024;
    // ...and this many packets handled, whichever comes first.
    static constexpr int kReadSlicePackets = 64;

    BdConnection();
    BdConnection(const BdConnection &) = delete;
    BdConnection &operator=(const BdConnection &) = delete;

    // Virtual operations, in slot order.

    // For a socket this process opens itself (listening or outgoing): a plain TCP socket for
    // address:port, taken as the descriptor by Bind or Connect. BD_PARAMETER_INVALID for an empty
    // address, port < 1 or a null manager; BD_OBJECT_REPEAT when already initialised;
    // BD_MEMORY_ERROR when the read buffer cannot be allocated. A socket that cannot be created is
    // not a failure here; Bind or Connect then fails.
    virtual int Init(const std::string &address, int port, BdConnManager *manager);
    // For an accepted socket, which the connection owns from now on. BD_PARAMETER_INVALID for fd <
    // 1 or a null manager; BD_OBJECT_REPEAT when already initialised; BD_MEMORY_ERROR when the read
    // buffer cannot be allocated.
    virtual int Init(int fd, BdConnManager *manager);
    // Closes the socket and frees the read buffer and every queued packet; the close flag becomes
    // 1 and the descriptor -1. Called by the manager only, never concurrently with the queue
    // operations. Returns 0.
    virtual int Destroy();
    // Dispatches one epoll event: OnOut for EPOLLOUT, then OnIn for EPOLLIN or EPOLLRDHUP, then
    // OnErr for EPOLLHUP; results are ignored. An EPOLLERR alone calls nothing: the deadline reaps
    // such a connection. BD_PARAMETER_INVALID for a null event, else 0.
    virtual int OnEvent(epoll_event *event);
    // Base versions: OnIn and OnOut do nothing and return 0; OnErr sets the close flag.
    virtual int OnIn(epoll_event *event);
    virtual int OnOut(epoll_event *event);
    virtual int OnErr(epoll_event *event);
    // Reads the net header at data with BdParseNetHeader: BD_SUCCESS and *packetLength, or its
    // refusals; BD_PARAMETER_INVALID for null data or length 0.
    virtual int ParsePacketHeader(char *data, int length, int *packetLength);
    // One whole packet; data is valid only during the call (it lies in the read buffer), so whoever
    // keeps the packet copies it. The result is ignored by the framing.
    virtual int ParsePacket(const char *data, int length) = 0;
    // Asked once per packet, when available bytes of its total have arrived (at least the net and
    // router headers, or the whole packet when shorter): false holds the packet back, and the
    // connection must have been paused. The base admits everything.
    virtual bool AdmitPacket(const char *data, int available, int total);
    // Frees what Destroy did not run for. Declared last so the slots above keep their order.
    virtual ~BdConnection();

    // Socket set-up for a connection opened by Init(address, port, manager); BD_OBJECT_NOT_INIT
    // when not initialised. Bind sets SO_REUSEADDR, binds (BD_SOCKET_BIND_ERROR) and takes the
    // socket as the descriptor; Listen (BD_SOCKET_LISTEN_ERROR); Connect (BD_SOCKET_CONNECT_ERROR)
    // takes the socket as the descriptor; SetNonBlocking (BD_SOCKET_NONBLOCKING_ERROR).
    int Bind();
    int Listen();
    int Connect();
    int SetNonBlocking();

    // Why a connection ended, for monitoring.
    enum CloseReason {
        kCloseIdle,           // its deadline passed
        kClosePeer,           // the peer closed its end
        kCloseError,          // a socket or framing failure
        kCloseWriteDeadline,  // its write queue stalled
        kCloseReplaced,       // its UUID was bound to a newer connection
        kCloseReasonCount
    };
    // What went through this connection: packets cut from its stream and packets queued for it,
    // with their bytes. Counted on the event-loop thread (queued ones under the queue lock),
    // readable from any thread.
    struct Traffic {
        BdCounter packets_in;
        BdCounter bytes_in;
        BdCounter packets_out;
        BdCounter bytes_out;
    };

    // Hook the manager calls right before Destroy; returns 0.
    int CloseConnection();
    // Marks the connection finished; the manager reaps it on its next CheckTimeout.
    void CloseSelf();
    // The same, remembering why (the first reason given wins).
    void CloseSelf(CloseReason reason);
    uint32_t GetCloseFlag() const { return _closeFlag; }
    // The reason given when the close flag was set; kCloseError when none was.
    CloseReason GetCloseReason() const { return _closeReason; }
    const Traffic &GetTraffic() const { return _traffic; }
    // Wall-clock second at which Init made the connection.
    long GetStartSecond() const { return _startSecond; }

    int GetFD() const { return _fd; }
    // Who the peer proved to be at its TLS handshake; unproven for a plain connection, a TLS one
    // without a certificate, and until the handshake completes. Event-loop thread.
    const BdPeerIdentity &GetPeerIdentity() const { return _peerIdentity; }
    void SetUUID(std::string uuid) { _uuid = std::move(uuid); }
    std::string GetUUID() const { return _uuid; }
    // The deadline in absolute wall-clock seconds; the manager reaps the connection once it is
    // reached. Whoever created the connection owns it.
    void SetTimeout(long deadline);
    long GetTimeout() const { return _timeout; }
    // The mask registered in epoll for the descriptor; written by the manager under its
    // descriptor-map lock, readable from any thread.
    void SetEventMask(unsigned int mask) { _eventMask.store(mask, std::memory_order_relaxed); }
    unsigned int GetEventMask() const { return _eventMask.load(std::memory_order_relaxed); }

    // Dotted IPv4 address of the peer / the local end; empty when not initialised or unknown.
    std::string GetPeerIP();
    std::string GetLocalIP();

    // Appends one packet to the write queue and schedules its send. Any thread. On success the
    // queue owns data; on failure (BD_OBJECT_NOT_INIT when not initialised) the caller still does.
    int PutWriteQueueItem(char *data, const int &length);
    // Removes the front packet and hands it, with ownership, to the caller. Any thread.
    // BD_OBJECT_NOT_INIT when not initialised, BD_PARAMETER_INVALID for null outputs,
    // BD_QUEUE_EMPTY when the queue is empty. A connection's queue is drained either by its OnOut
    // or by this call, never both.
    int GetWriteQueueItem(char **data, int *length);

    // Event-loop thread. Keeps a place on the write queue for an answer that is not ready yet.
    void ReserveWriteSlot();
    // Event-loop thread. Runs queueAnswer, whose queued packets take the place of the oldest
    // reserved slot, ahead of what waits behind it; returns its result. Without a reserved slot it
    // simply runs queueAnswer. No other thread may queue on this connection meanwhile.
    int AnswerInWriteSlot(const std::function<int()> &queueAnswer);
    // Event-loop thread. Bytes have arrived on the socket and are not read yet.
    bool HasUnreadInput() const;
    // Event-loop thread, inside ParsePacket of the packet data (length bytes): a malloc block
    // holding it, the caller's from now on; null without memory. A packet that filled a read
    // buffer grown for it hands over that buffer itself, and reading goes on in a fresh one.
    char *PacketBlock(const char *data, int length);

    // Lets the packet connection hand packets that name a work thread to pool (not owned, must
    // outlive the connection). Until this is called packets for work threads are refused.
    void EnableWorkThreads(BdWorkThreadManager *pool);

    // Identity given by the manager at registration, never reused in the process; 0 before.
    uint64_t GetSerial() const { return _serial; }
    void SetSerial(uint64_t serial) { _serial = serial; }

    // Bytes waiting on the write queue. Any thread, lock-free.
    int64_t QueuedBytes() const { return _queuedBytes.load(std::memory_order_relaxed); }
    // A reserved slot holds the queue's place: nothing behind it can leave. Any thread, lock-free.
    bool HoldsReservedSlot() const { return _reservedSlots.load(std::memory_order_relaxed) > 0; }
    // Part of the front packet has been sent.
    bool SendInProgress() const { return _sendOffset > 0; }

    // Logs what + descriptor, UUID, queued bytes and why at error level, in function's name, and
    // sets the close flag: the manager closes a stalled queue or a slow consumer with it.
    void CloseStalled(const char *what, const std::string &why, const char *function);

    // Hand-over to a new image of the process (event-loop thread, between turns): the bytes read
    // and not handled yet.
    std::string HeldInput() const { return std::string(_readBuffer, _bytesHeld); }
    // The same put back on a connection just initialised on the descriptor and registered, before
    // its queued packets are: the held bytes come before anything read from now on, the front
    // packet goes on from sentOfFront, and the connection was made at startSecond.
    // BD_MEMORY_ERROR when the buffer cannot hold the bytes.
    int RestoreHandedOver(const std::string &heldInput, int sentOfFront, long startSecond);

  protected:
    // Runs after received bytes were appended at _readBuffer + _bytesHeld (0 to cut what is held
    // already): cuts and hands over whole packets while the slice allows (_slicePacketsLeft, input
    // not paused), keeps the rest at the start of the buffer and grows the buffer for a packet
    // longer than it. 0 when more bytes are needed or the slice is used up;
    // BD_NET_HEADER_MAGIC_INVALID or BD_NET_PACKET_INVALID for an invalid net header and
    // BD_MEMORY_ERROR when the buffer cannot grow, after which the connection must be closed.
    int ExtractPackets(int received);
    // Back to a kReadBufferInitialSize buffer (or what is held, if more) when a larger one holds
    // no admitted packet.
    void ShrinkReadBuffer();
    // Moves the bytes held to a new buffer of capacity; false, nothing changed, without memory.
    bool ResizeReadBuffer(int capacity);

    // Front item of the write queue, left in place; false when the queue is empty or its front is
    // a reserved slot, after dropping write interest, since there is nothing to send now.
    bool PeekWriteQueueItem(char **data, int *length);
    // Removes and frees the front item; while the next can be sent the connection goes on the
    // manager's output-ready list for the next turn, else write interest is dropped (the queue is
    // empty or its front is a reserved slot, which AnswerInWriteSlot makes sendable).
    void DropWriteQueueItem();
    // Arms write interest unless it is armed already: for a socket that refused data, whose
    // writable event puts the connection back on the output-ready list.
    void ArmWriteInterest();

    BdConnManager *_manager;        // not owned
    BdReapSchedule *_reapSchedule;  // the manager's; not owned
    BdNetwork *_network;            // owned
    int _fd;
    std::atomic<uint32_t> _eventMask;
    std::string _uuid;
    long _timeout;
    uint32_t _closeFlag;
    CloseReason _closeReason = kCloseError;
    bool _closeReasonSet = false;
    Traffic _traffic;
    long _startSecond = 0;
    char *_readBuffer;  // owned malloc block
    int _bytesHeld;
    int _readBufferCapacity;
    std::deque<_BD_SEND_ITEM> _writeQueue;  // guarded by _writeQueueMutex
    BdMutex _writeQueueMutex;
    int _sendOffset;  // bytes of the front item already sent; event-loop thread
    bool _initialised;
    BdWorkThreadManager *_workThreadManager;  // not owned
    bool _workThreadsEnabled;
    BdPeerIdentity _peerIdentity;
    int _slicePacketsLeft;  // packets the current read slice may still hand over

  private:
    uint64_t _serial;
    bool _packetAdmitted = false;  // the packet at the front of the read buffer was admitted

    // Bytes on the write queue, kept beside it under its lock but readable without it.
    std::atomic<int64_t> _queuedBytes;
    // Reserved slots on the write queue (entries with null data and kReservedSlotLength).
    static constexpr int kReservedSlotLength = -1;
    std::atomic<int> _reservedSlots;
    // The front entry can be sent (the queue is not empty and its front is no reserved slot);
    // under the write-queue lock.
    bool FrontSendable() const;
    // Adds delta to the queued bytes, and to the manager's total; under the write-queue lock.
    void CountQueued(int64_t delta);
    // What both Inits share around openSocket, which sets up the new network object:
    // BD_OBJECT_REPEAT when already initialised, BD_MEMORY_ERROR without memory.
    int InitCommon(BdConnManager *manager, const std::function<void()> &openSocket);
    // After Bind or Connect: takes the socket as the descriptor when the step (its result 0)
    // succeeded, else returns failure.
    int TakeSocket(int stepResult, int failure);
    void ReleaseResources();
    // Back to read interest unless it is there already.
    void DropWriteInterest();
    // The front packet can be sent: on the event-loop thread the connection goes on the
    // output-ready list, from another thread write interest is armed, which wakes the loop.
    // Nothing when write interest is armed already.
    void ScheduleSend();
};

#endif  // BD_NETFRAMWORK_BD_CONNECTION_H
