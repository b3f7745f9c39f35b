#ifndef RT_SERVER_RT_SERVER_ACCEPTED_CONNECTION_H_
#define RT_SERVER_RT_SERVER_ACCEPTED_CONNECTION_H_

#include "bd_netframwork/bd_client_connection.h"
#include "bd_netframwork/bd_packet.h"

// One peer's socket at the router: created by the listener, owned by the connection manager. Every
// whole packet the framing layer cuts from the stream arrives in ParsePacket, which keeps the peer
// alive, refuses traffic while no server platform is registered, registers peers by their
// handshake and forwards normal and log packets to the connection of their target UUID.
//
// A peer that proved an identity with a certificate at its TLS handshake may hand-shake, and send
// as the web side, only under that identity; refused claims register nothing and write no row.
//
// Main thread only (inside the manager's event dispatch). Like every connection it never deletes
// itself: failures set the close flag and the manager reaps it. It adds no fields: the peer's UUID,
// deadline and buffers are the base connection's.
class RtServerAcceptedConnection : public BdClientConnection {
  public:
    // A peer that sends nothing, not even a keep-alive, for this long is reaped.
    static constexpr long kIdleTimeoutSeconds = 30;

    // Classifies and dispatches one whole packet that lives in the read buffer for this call only.
    int ParsePacket(const char *packet, int length) override;
    // Queues a copy of the packet on the connection registered under its target UUID, or answers
    // the sender with a target-connection-lost packet.
    int HandleNormalPacket(const char *packet, int length) override;

    // The TLS handshake deadline gives way to the idle deadline.
    void OnTlsHandshakeDone() override;

    // Dispatches a handshake by peer kind (kBdHandShake...); BD_PARAMETER_INVALID for any
    // other kind.
    int HandleHandshakePacket(int level2Type, const char *packet, int length);
    int HandleClientHandShakePacket(const char *packet, int length);
    int HandleServerModuleShakePacket(const char *packet, int length);
    int HandleServerPlatformHandShakePacket(const char *packet, int length);

  private:
    // The sequence the three handshake kinds share; kind selects the records and messages.
    int RegisterPeer(int kind, const char *packet, int length);
    // Writes the peer's rows for kind; 0 or the failing write's code.
    int WritePeerRecords(int kind, const BdRouterHeader &router, const BdHandShakePacket &data);
    // The routing step of a normal or log packet: binds a web peer to this connection first,
    // forwards the packet with HandleNormalPacket and logs the result.
    int RoutePacket(const BdRouterHeader &router, const char *packet, int length);
    // A web peer needs no handshake: its packets bind its source UUID to the connection they
    // arrive on, replacing an older connection of the same UUID. false when the claim was
    // refused (the connection is closed then).
    bool BindWebPeer(const BdRouterHeader &router);
    // Whether this connection may act as uuid of kind (a BdPeerIdentity kind): a peer with a
    // certificate only as what it names, and nobody without one in place of a peer that proved
    // its UUID with a certificate. A refusal is logged with both sides and closes the connection.
    bool MayClaim(const std::string &uuid, unsigned kind);
};

#endif  // RT_SERVER_RT_SERVER_ACCEPTED_CONNECTION_H_
