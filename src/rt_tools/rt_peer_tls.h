#ifndef RT_TOOLS_RT_PEER_TLS_H_
#define RT_TOOLS_RT_PEER_TLS_H_

#include <cstddef>
#include <string>

#include <openssl/ssl.h>

// The client end of TLS to a router, for the operator tools and the tests.
//
// RtPeerTlsContext holds what every connection of a tool shares: the CA that the router's
// certificate must be signed by (without one the router is not verified: traffic is encrypted,
// but a man in the middle goes unnoticed) and this peer's own certificate and key, when it has
// them. RtPeerTlsSession is one connection's TLS state over a socket it does not own. Both are
// used by one thread at a time. Creating a context makes the process ignore SIGPIPE: the TLS
// library writes to the socket without MSG_NOSIGNAL, and a router that closed the connection must
// not end the tool.
struct RtPeerTlsFiles {
    std::string ca_file;           // PEM; empty: the router is not verified
    std::string certificate_file;  // PEM; empty: no certificate is presented
    std::string key_file;          // PEM, the certificate's key
};

class RtPeerTlsContext {
  public:
    RtPeerTlsContext() = default;
    ~RtPeerTlsContext();
    RtPeerTlsContext(const RtPeerTlsContext &) = delete;
    RtPeerTlsContext &operator=(const RtPeerTlsContext &) = delete;

    // false with *failure naming the file and the reason.
    bool Load(const RtPeerTlsFiles &files, std::string *failure);
    SSL_CTX *Get() const { return _context; }

  private:
    SSL_CTX *_context = nullptr;  // owned
};

class RtPeerTlsSession {
  public:
    RtPeerTlsSession() = default;
    ~RtPeerTlsSession();
    RtPeerTlsSession(const RtPeerTlsSession &) = delete;
    RtPeerTlsSession &operator=(const RtPeerTlsSession &) = delete;

    // Client side on the connected socket fd; host (a name or a dotted address) is what the
    // router's certificate must name when the context has a CA. false when the session cannot
    // be made.
    bool Start(SSL_CTX *context, int fd, const std::string &host);
    // Moves the handshake on: 1 done, 0 waiting for the socket (readable, or writable with
    // *wantsWrite), -1 failed (Failure() says why).
    int Handshake(bool *wantsWrite);
    // Like recv / send: bytes moved (> 0), 0 when the router closed the connection or TLS failed,
    // -1 when a non-blocking socket has nothing now (or, on a blocking one, the call was
    // interrupted).
    long Read(char *buffer, size_t length);
    long Write(const char *data, size_t length);
    // Decrypted bytes waiting inside the session, which polling the socket cannot see.
    bool Pending() const;
    const std::string &Failure() const { return _failure; }

  private:
    // Classifies a Read or Write that moved nothing.
    long Stalled(int result);

    SSL *_ssl = nullptr;  // owned
    std::string _failure;
};

#endif  // RT_TOOLS_RT_PEER_TLS_H_
