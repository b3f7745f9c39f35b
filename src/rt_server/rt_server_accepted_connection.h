#ifndef RT_SERVER_RT_SERVER_ACCEPTED_CONNECTION_H_
#define RT_SERVER_RT_SERVER_ACCEPTED_CONNECTION_H_

#include <cstdint>
#include <deque>
#include <string>
#include <utility>

#include "bd_netframwork/bd_client_connection.h"
#include "bd_netframwork/bd_packet.h"
#include "rt_server/rt_address_quota.h"
#include "rt_server/rt_pending_answer.h"
#include "rt_server/rt_record_writer.h"
#include "rt_server/rt_server_handover.h"
#include "rt_server/rt_server_metrics.h"

// One peer's socket at the router: created by the listener, owned by the connection manager. Every
// whole packet the framing layer cuts from the stream arrives in ParsePacket, which keeps the peer
// alive, refuses traffic while no server platform is registered, registers peers by their
// handshake and forwards normal and log packets to the connection of their target UUID.
//
// A peer that proved an identity with a certificate at its TLS handshake may hand-shake, and send
// as the web side, only under that identity; refused claims register nothing and write no row.
//
// A handshake binds the peer's UUID at once and hands its rows to the record writer; the answer
// (success once the rows are written, server-not-ready when they failed) is queued when the writer
// reports back. Its place on the write queue is kept meanwhile, so whatever is queued for the peer
// later (forwarded packets, other answers) still follows it. The connection is served as usual
// while it waits.
//
// Main thread only (inside the manager's event dispatch, and the record writer's call backs, which
// come from there too). Like every connection it never deletes itself: failures set the close flag
// and the manager reaps it. Before a packet is taken, the manager's flow control is asked about
// the queue it will land on: its target's, or this connection's own for answers and packets to
// itself (BdConnManager::AdmitPacket). The peer's UUID, deadline and
// buffers are the base connection's; it keeps the handshakes waiting for their rows, the place it
// holds in the per-address connection quota and, for monitoring, the kind of peer it registered.
// What it answers and forwards is counted in g_rt_server_metrics.
class RtServerAcceptedConnection : public BdClientConnection, private RtRecordsDone {
  public:
    // A peer that sends nothing, not even a keep-alive, for this long is reaped.
    static constexpr long kIdleTimeoutSeconds = 30;

    // writer is not owned and outlives the connection; without one every handshake is answered
    // server-not-ready.
    explicit RtServerAcceptedConnection(RtRecordWriter *writer) : _recordWriter(writer) {}

    // Forgets the handshakes still waiting and gives the quota place back, then releases what the
    // base connection holds.
    int Destroy() override;

    // Classifies and dispatches one whole packet that lives in the read buffer for this call only.
    int ParsePacket(const char *packet, int length) override;
    // Asks the manager's flow control about the queue the packet's work lands on.
    bool AdmitPacket(const char *packet, int available, int total) override;
    // Queues a copy of the packet on the connection registered under its target UUID, or answers
    // the sender with a target-connection-lost packet.
    int HandleNormalPacket(const char *packet, int length) override;

    // The TLS handshake deadline gives way to the idle deadline.
    void OnTlsHandshakeDone() override;
    // Gives the quota place taken for address back when the connection is destroyed; quota may be
    // null (nothing held).
    void HoldQuotaPlace(RtAddressQuota *quota, uint32_t address) {
        _quota = quota;
        _address = address;
    }

    // Dispatches a handshake by peer kind (kBdHandShake...); BD_PARAMETER_INVALID for any
    // other kind.
    int HandleHandshakePacket(int level2Type, const char *packet, int length);
    int HandleClientHandShakePacket(const char *packet, int length);
    int HandleServerModuleShakePacket(const char *packet, int length);
    int HandleServerPlatformHandShakePacket(const char *packet, int length);

    // RtPeerKind of the peer registered here; kRtPeerUnknown before that.
    int GetPeerKind() const { return _peerKind; }
    // Hand-over to a new image: the address the quota place was taken for (0: none), and the
    // kind a handed-over peer had.
    uint32_t QuotaAddress() const { return _quota != nullptr ? _address : 0; }
    void RestorePeerKind(int kind) { _peerKind = kind; }
    // Hand-over to a new image, between two turns: the bytes read and not handled, the write
    // queue as it stands (a slot kept for an answer as an empty entry) with how much of its front
    // is sent, and the handshakes waiting for their answers.
    void HandOver(RtHandoverConnection *handed);
    // The same, taken over by a connection just initialised on the descriptor and registered:
    // the handshakes whose rows are not written yet wait for them from the record writer again.
    // BD_MEMORY_ERROR when the buffers cannot hold it.
    int TakeOver(const RtHandoverConnection &handed);
    // The peer's dotted IPv4 address as the listener accepted it, without a system call (the
    // monitoring snapshot asks for every connection every second); the socket's answer when the
    // listener gave none.
    std::string PeerAddress();

  private:
    // ParsePacket but for forgetting what admission found.
    int DispatchPacket(const char *packet, int length);
    // The connection bound to uuid: the one admission found, when it still is.
    BdConnection *TargetOf(const std::string &uuid);
    // HandleNormalPacket with the router header ParsePacket has read already.
    int Forward(const BdRouterHeader &router, const char *packet, int length);
    // A server-not-ready answer to packet, counted, and counted as a refused handshake when it is
    // one.
    int AnswerNotReady(const char *packet, int length, bool handshake);
    // The sequence the three handshake kinds share; kind selects the records and messages.
    int RegisterPeer(int kind, const char *packet, int length);
    // The rows a handshake of kind writes.
    RtPeerRows PeerRows(int kind, const BdRouterHeader &router, const BdHandShakePacket &data);
    void OnPeerRecordsWritten(uint64_t ticket, int code) override;
    // Answers the finished handshakes at the front, in the order they arrived.
    void AnswerFinished();
    int Answer(const RtPendingAnswer &pending);
    // The routing step of a normal or log packet: binds a web peer to this connection first,
    // forwards the packet with HandleNormalPacket and logs the result.
    int RoutePacket(const BdRouterHeader &router, const char *packet, int length);
    // A web peer needs no handshake: its packets bind its source UUID to the connection they
    // arrive on, replacing an older web connection of the same UUID, never a hand-shaken peer's.
    // false when the claim was refused (the connection is closed then).
    bool BindWebPeer(const BdRouterHeader &router);
    // Whether this connection may act as uuid of kind (a BdPeerIdentity kind): a peer with a
    // certificate only as what it names, and nobody without one in place of a peer that proved
    // its UUID with a certificate. A refusal is logged with both sides and closes the connection.
    bool MayClaim(const std::string &uuid, unsigned kind);
    // A binding refused by the connection manager (code); logged at error level.
    void LogUuidRefused(const std::string &uuid, int code);
    // The per-packet trace line on standard output.
    void TraceForward(const std::string &target) const;

    RtRecordWriter *_recordWriter;  // not owned
    std::deque<RtPendingAnswer> _pendingAnswers;
    RtAddressQuota *_quota = nullptr;  // not owned; null when no place is held
    uint32_t _address = 0;  // the peer's IPv4 address, network order, as accepted; 0: not given
    int _peerKind = kRtPeerUnknown;
    // Descriptor and serial of the queue AdmitPacket judged the packet being read by, so that its
    // routing need not look the target up again.
    std::pair<int, uint64_t> _admittedTarget{-1, 0};
};

#endif  // RT_SERVER_RT_SERVER_ACCEPTED_CONNECTION_H_
