#ifndef RT_SERVER_RT_SERVER_LISTEN_CONNECTION_H_
#define RT_SERVER_RT_SERVER_LISTEN_CONNECTION_H_

#include <netinet/in.h>

#include <string>

#include <openssl/ssl.h>

#include "bd_netframwork/bd_connection.h"
#include "rt_server/rt_address_quota.h"

class RtRecordWriter;

// The router's listening socket. Registered with the connection manager like any connection and
// owned by it from then on; woken (edge-triggered) when connection requests are pending, it turns
// each into an RtServerAcceptedConnection handed to the same manager. It never reads or writes
// packets and never closes itself: only its Destroy sets its close flag. Main thread only.
//
// A TLS listener (SetTlsContext) starts a TLS session on every connection it accepts; the TLS
// handshake then runs inside the event loop and must complete within kTlsHandshakeSeconds.
class RtServerListenConnection : public BdConnection {
  public:
    // A peer that opens a TLS connection and stalls holds a descriptor and nothing else; it is
    // closed after this long, well before the idle deadline of a peer that has spoken.
    static constexpr long kTlsHandshakeSeconds = 10;

    RtServerListenConnection();
    ~RtServerListenConnection() override;

    // The listener must never be reaped by the idle check: about 9.5 years.
    static constexpr long kListenDeadlineSeconds = 300000000L;

    // Opens a listening socket on ip:port, a TLS one when context (not owned) is given, and
    // registers it with manager, which owns it from then on; every connection it accepts writes
    // its peer's rows through writer (not owned; outlives them). 0 and *listener;
    // BD_SOCKET_BIND_ERROR or BD_SOCKET_LISTEN_ERROR, with nothing left behind.
    static int Open(BdConnManager *manager, const std::string &ip, int port, SSL_CTX *context,
                    RtRecordWriter *writer, RtServerListenConnection **listener);
    // The same for a socket that listens already (handed over by the image this process ran
    // before); 0, or BD_PARAMETER_INVALID when fd cannot be taken.
    static int Adopt(BdConnManager *manager, int fd, SSL_CTX *context, RtRecordWriter *writer,
                     RtServerListenConnection **listener);

    // Makes this a TLS listener; context (not owned) must outlive the listener. Before the
    // listener is registered, or, on a TLS listener, between two turns to change what the next
    // accepted connections use (each session holds its own reference to the context it began
    // with).
    void SetTlsContext(SSL_CTX *context) { _tlsContext = context; }

    // Connections accepted in one turn of the event loop, so that a storm of connections does not
    // hold up the traffic of the peers already connected.
    static constexpr int kMaxAcceptsPerTurn = 64;

    // Accepts the pending connections, at most kMaxAcceptsPerTurn of them; past that the listener
    // queues itself on the manager's input-ready list and takes the rest next turn. 0 once none
    // is left or the turn is used up, 1 when accept failed otherwise (the rest is taken on the
    // next wake-up). When the process is out of descriptors, pending
    // connections are accepted and closed at once: an edge-triggered listener would not report
    // them again, so they would wait unanswered until some later peer happened to connect.
    int OnIn(epoll_event *event) override;
    // A hang-up on the listening socket is ignored: the router keeps accepting.
    int OnErr(epoll_event *event) override;
    int ParsePacket(const char *data, int length) override;

    // Connections from one address beyond quota's limit are closed as every listener accepts
    // them, with an error entry. quota is not owned and must outlive every accepted connection;
    // without one nothing is limited. Before any listener accepts.
    static void SetAddressQuota(RtAddressQuota *quota) { _quota = quota; }

  private:
    // The steps Open and Adopt share once the socket listens: non-blocking, never reaped,
    // registered for input.
    static void Register(BdConnManager *manager, RtServerListenConnection *opened,
                         RtServerListenConnection **listener);
    // Closes an accepted descriptor from an address over its limit and logs it.
    void RefuseConnection(int fd, const sockaddr_in &peer);
    // Accepts one pending connection into the reserve descriptor's room and closes it: 0 when one
    // was dropped, BD_SOCKET_EAGAIN when none was pending, BD_ERROR on any other failure.
    int DropPendingConnection();

    // A descriptor (/dev/null) kept in reserve, owned, so that one pending connection can still
    // be accepted and closed when every other descriptor is taken; -1 while it could not be had.
    int _reserveFd;
    SSL_CTX *_tlsContext = nullptr;           // not owned; null for the plain listener
    RtRecordWriter *_recordWriter = nullptr;  // not owned
    static RtAddressQuota *_quota;            // not owned; shared by every listener
};

#endif  // RT_SERVER_RT_SERVER_LISTEN_CONNECTION_H_
