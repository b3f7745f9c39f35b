#ifndef RT_TOOLS_RT_PEER_CLIENT_H_
#define RT_TOOLS_RT_PEER_CLIENT_H_

#include <memory>
#include <string>

#include "rt_tools/rt_peer_framer.h"
#include "rt_tools/rt_peer_packet.h"
#include "rt_tools/rt_peer_tls.h"

// One peer's TCP connection to a router, blocking and simple: every send writes the whole packet,
// every receive waits at most the receive time-out, so a caller never hangs on a silent router.
// Results are the framework's error codes (0 = success). The object owns its socket and closes it
// on destruction; it is used by one thread at a time and cannot be copied. With UseTls, every
// connection speaks TLS to the router's TLS port.
class RtPeerClient {
  public:
    static const int kDefaultReceiveTimeoutMs = 5000;
    static const int kDefaultConnectTimeoutMs = 10000;

    RtPeerClient() = default;
    ~RtPeerClient();
    RtPeerClient(const RtPeerClient &) = delete;
    RtPeerClient &operator=(const RtPeerClient &) = delete;

    // Makes later connections TLS with context (not owned; it must outlive them), or plain again
    // with null.
    void UseTls(SSL_CTX *context) { _tlsContext = context; }
    // Why the last TLS handshake or transfer failed; empty when none did.
    std::string TlsFailure() const { return _tls ? _tls->Failure() : std::string(); }

    // Connects to an IPv4 host:port (dotted address or host name). BD_SOCKET_CONNECT_ERROR when
    // the name does not resolve, the connection is refused or unreachable, or the TLS handshake
    // fails (TlsFailure says why), BD_SOCKET_TIMEOUT when it is not established within
    // timeoutMs; an open connection is closed first.
    int Connect(const std::string &host, int port) {
        return Connect(host, port, kDefaultConnectTimeoutMs);
    }
    int Connect(const std::string &host, int port, int timeoutMs);
    void Close();
    bool IsConnected() const { return _fd >= 0; }
    int GetFD() const { return _fd; }
    void SetReceiveTimeout(int milliseconds) { _receiveTimeoutMs = milliseconds; }

    // Writes every byte; BD_SEND_ERROR when the connection fails on the way.
    int SendBytes(const char *data, size_t length);
    int Send(const RtPeerPacket &packet) { return SendBytes(packet.Data(), packet.Length()); }
    int SendKeepAlive() { return Send(RtPeerPacket::KeepAlive()); }
    int SendNormal(const RtPeerRoute &route, const std::string &payload) {
        return Send(RtPeerPacket::Normal(route, payload));
    }
    int SendLog(const RtPeerRoute &route, int level2Type, const std::string &data) {
        return Send(RtPeerPacket::Log(route, level2Type, data));
    }
    // Sends a handshake of kind and waits for the router's answer: a handshake-success packet, or a
    // server-not-ready packet while no server platform is registered.
    int HandShake(int kind, const RtPeerIdentity &identity, RtPeerPacket *answer);

    // Reads one whole packet. BD_RECV_TIMEOUT when none completed in time (bytes received so far
    // are kept for the next call), BD_PEER_CLOSE_CONNECTION when the router closed the connection,
    // BD_NET_HEADER_MAGIC_INVALID or BD_NET_PACKET_INVALID for a stream that is not packets,
    // BD_RECV_ERROR otherwise.
    int Receive(RtPeerPacket *packet) { return Receive(packet, _receiveTimeoutMs); }
    int Receive(RtPeerPacket *packet, int timeoutMs);
    // True when the router closes the connection within timeoutMs; packets arriving meanwhile are
    // discarded.
    bool WaitForClose(int timeoutMs);

  private:
    // Waits for readable data and appends what one recv returns to the framer; the codes of
    // Receive.
    int ReadSome(int timeoutMs);

    // The TLS handshake on the connected, still non-blocking socket, within timeoutMs.
    int StartTls(const std::string &host, int timeoutMs);

    int _fd = -1;
    SSL_CTX *_tlsContext = nullptr;          // not owned; null: plain TCP
    std::unique_ptr<RtPeerTlsSession> _tls;  // the connection's TLS state, when it has one
    int _receiveTimeoutMs = kDefaultReceiveTimeoutMs;
    RtPeerFramer _framer;  // received bytes not yet returned as a packet
};

#endif  // RT_TOOLS_RT_PEER_CLIENT_H_
