// BdTlsServerContext: the TLS settings that every connection accepted on one TLS listener shares.
//
// TLS 1.2 and 1.3 only, the library's default ciphers, server-side session resumption, a bounded
// depth and size of the peer's certificate chain. With a CA
// file, peers are asked for a certificate signed by it (and refused at the TLS handshake when
// they present one it does not verify); with a required peer certificate, a peer that presents
// none is refused too.
//
// Owns its SSL_CTX. Each session made from it holds its own reference, so sessions may outlive
// the context object. Loaded on the main thread; the context is then only read.
#ifndef BD_NETFRAMWORK_BD_TLS_CONTEXT_H
#define BD_NETFRAMWORK_BD_TLS_CONTEXT_H

#include <string>
#include <utility>

#include <openssl/ssl.h>

class BdTlsServerContext {
  public:
    // Certificates a peer's chain may hold between its own and the CA: a CA signs peers directly
    // or through an intermediate or two, and every further one is a signature the event loop
    // checks before it can refuse the chain.
    static constexpr int kVerifyDepth = 4;
    // Largest certificate list a peer may send, in bytes: a leaf and kVerifyDepth intermediates
    // of RSA-4096 fit (about 2 KiB each). A longer list is refused on its length, before any
    // certificate in it is parsed, so a chain of a hundred costs the loop nothing.
    static constexpr long kMaxCertificateListBytes = 16 * 1024;

    struct Settings {
        std::string certificate_file;  // PEM, the certificate (and any intermediates)
        std::string key_file;          // PEM, its private key
        std::string ca_file;           // PEM; empty: peers are not asked for a certificate
        bool require_peer_certificate = false;
    };

    BdTlsServerContext() = default;
    ~BdTlsServerContext();
    BdTlsServerContext(const BdTlsServerContext &) = delete;
    BdTlsServerContext &operator=(const BdTlsServerContext &) = delete;

    // Builds a fresh context from settings, replacing any earlier one only on success. 0, or
    // BD_ERROR with *failure naming the file and the reason (a missing file, a damaged one, a key
    // that does not match the certificate).
    int Load(const Settings &settings, std::string *failure);
    // Null until a load succeeded.
    SSL_CTX *Get() const { return _context; }
    // Exchanges the contexts of the two objects; sessions made from either keep theirs.
    void Swap(BdTlsServerContext *other) { std::swap(_context, other->_context); }

  private:
    SSL_CTX *_context = nullptr;  // owned
};

#endif  // BD_NETFRAMWORK_BD_TLS_CONTEXT_H
