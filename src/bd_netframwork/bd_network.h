// BdNetwork: one IPv4 TCP socket and, optionally, a TLS session on it.
//
// Every connection owns exactly one BdNetwork; the socket descriptor and the TLS objects belong
// to it and are released by Destroy() (or by the destructor, for an object still initialised).
// A BdNetwork has no lock: it is used by one thread at a time, the thread that owns its connection.
//
// Two transfer families:
//   OriginSend / OriginRecv  one non-blocking transfer, the outcome mapped to an error code; what
//                            the event-driven connections use. On the plain socket one system
//                            call; once AcceptTls made the socket TLS, through the TLS session.
//   Send / Recv              the whole buffer, looping, over TLS when the socket type is TLS and
//                            over the plain socket otherwise; meant for blocking sockets.
//
// Return conventions differ by group and callers rely on them: socket set-up returns 0 or -1; the
// TLS set-up returns 0, 1 on failure, or BD_OBJECT_NOT_INIT; the transfers and
// Accept return error codes (bd_common/bd_error.h); the address queries return 1 on success, 0 on
// failure.
#ifndef BD_NETFRAMWORK_BD_NETWORK_H
#define BD_NETFRAMWORK_BD_NETWORK_H

#include <sys/socket.h>

#include <string>

#include <openssl/ssl.h>

class BdNetwork {
  public:
    enum SocketType { kPlainSocket = 0, kSslSocket = 1 };

    // Read by the server-side TLS set-up, relocated by NORVALE_ROOT.
    static const char *const kCertificateFile;
    static const char *const kPrivateKeyFile;

    BdNetwork();
    ~BdNetwork();
    // A copy would close the same descriptor twice.
    BdNetwork(const BdNetwork &) = delete;
    BdNetwork &operator=(const BdNetwork &) = delete;

    // Creates a socket to bind or connect to address:port later. -1 when already initialised, when
    // address is empty or when no socket can be created.
    int Init(const std::string &address, int port, SocketType type);
    // Adopts an accepted socket. -1 when already initialised or fd < 0.
    int Init(int fd, SocketType type);

    // The descriptor, -1 when not initialised.
    int GetSocket() const;

    // Socket options and set-up: 0, or -1 when not initialised or on failure.
    int SetReuseAddr();
    int SetNonBlocking();
    int SetRecvTimeout(int seconds);  // also -1 for seconds < 1
    // Needs a dotted IPv4 address (0.0.0.0 binds every interface); a host name fails.
    int Bind();
    int Listen();  // backlog net.core.somaxconn, the longest the system allows
    // Host name or dotted address; blocks as the socket does.
    int Connect();

    // One accept on the listening socket; the peer's address goes to peer when it is not null.
    // 0 and *fd = new descriptor; BD_SOCKET_EAGAIN when nothing is pending; BD_ERROR on any other
    // failure.
    int Accept(sockaddr *peer, int *fd);

    // One send / recv call with the given flags; *sent / *received = what the call returned.
    // 0 when bytes moved; BD_PEER_CLOSE_CONNECTION when the peer closed (0 bytes); BD_SOCKET_EINTR
    // on EINTR; BD_SOCKET_EAGAIN on EAGAIN; BD_ERROR on any other failure (printed to standard
    // error). Over TLS the flags are not used (the process must ignore or block SIGPIPE); a
    // receive yields at most one record, a send writes records until the whole buffer went or the
    // socket is full, and a session that needs the other direction to move first reports
    // BD_SOCKET_EAGAIN too.
    int OriginSend(const char *data, int length, int flags, int *sent);
    int OriginRecv(int length, int flags, char *buffer, int *received);

    // The whole buffer, over TLS or plain. BD_OBJECT_NOT_INIT when not initialised; see CommonSend,
    // CommonRecv, SslSend and SslRecv for the rest.
    int Send(const char *data, int length);
    int Recv(int length, char *buffer);

    // Dotted address of the peer / of the local end; 1 on success, 0 (ip unchanged) otherwise.
    int GetCurrentSocketIP(std::string *ip);
    int GetLoacalScoketIP(std::string *ip);

    // Prepares the TLS library; runs once per process however often it is called.
    static void SslLoad();
    // TLS handshake on an accepted / a connected socket that is still blocking. On success the
    // socket type becomes TLS and 0 is returned; 1 on failure (the socket stays plain);
    // BD_OBJECT_NOT_INIT when not initialised. No certificate verification is configured on either
    // side.
    int ServerSslInit();
    int ClientSslInit();

    // Starts the server side of a non-blocking TLS session on an accepted socket, from context
    // (shared; the session keeps its own reference). The socket type becomes TLS with the
    // handshake pending. 0; 1 when the session cannot be made; BD_OBJECT_NOT_INIT when not
    // initialised.
    int AcceptTls(SSL_CTX *context);
    // Moves the pending handshake on as far as the socket allows. 0 once it is complete;
    // BD_SOCKET_EAGAIN when it waits for the socket, readable or, with *wantsWrite set, writable;
    // BD_ERROR when it failed,
    // with *failure saying why (a certificate refused, bytes that are not TLS, the peer gone).
    int ContinueTlsHandshake(bool *wantsWrite, std::string *failure);
    bool TlsHandshakePending() const { return _tlsHandshakePending; }
    // True once AcceptTls made the socket TLS: OriginRecv then reads through the session, which
    // may hold decrypted bytes the socket no longer shows.
    bool UsesTls() const { return _socketType == kSslSocket && _ssl != nullptr; }
    // The certificate the peer presented and the handshake verified; borrowed, valid until
    // Destroy. Null without TLS or without a certificate.
    X509 *PeerCertificate() const;
    // Where the TLS session stands, for a failure report: the library's state text and whether
    // the handshake is pending or the session broken. Empty without TLS.
    std::string DescribeTls() const;

    // Closes the socket (shutting TLS down first) and returns to the uninitialised state: 0.
    // 1 when not initialised; -1, closing nothing, for a descriptor below 1.
    int Destroy();

  private:
    int CommonSend(const char *data, int length);
    int CommonRecv(int length, char *buffer);
    int SslSend(const char *data, int length);
    int SslRecv(int length, char *buffer);
    // Frees the TLS objects of a failed set-up; the socket stays plain.
    void DropSsl();
    // The non-blocking TLS transfers behind OriginSend / OriginRecv.
    int TlsSend(const char *data, int length, int *sent);
    int MapTlsTransfer(int result);
    int TlsRecv(int length, char *buffer, int *received);

    std::string _address;  // empty for an accepted socket
    int _port;
    int _fd;
    SSL_CTX *_sslContext;  // owned
    SSL *_ssl;             // owned
    SocketType _socketType;
    bool _initialised;
    bool _tlsHandshakePending = false;
    // A TLS failure left the session unusable, so no close_notify is attempted on it.
    bool _tlsBroken = false;
};

#endif  // BD_NETFRAMWORK_BD_NETWORK_H
