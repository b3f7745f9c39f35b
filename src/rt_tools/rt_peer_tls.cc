#include "rt_tools/rt_peer_tls.h"

#include <arpa/inet.h>

#include <cerrno>
#include <csignal>

#include <openssl/err.h>
#include <openssl/x509v3.h>

namespace {

std::string LastError(const std::string &fallback) {
    const unsigned long error = ERR_peek_last_error();
    const char *text = error != 0 ? ERR_reason_error_string(error) : nullptr;
    ERR_clear_error();
    return text != nullptr ? text : fallback;
}

}  // namespace

RtPeerTlsContext::~RtPeerTlsContext() {
    SSL_CTX_free(_context);
}

bool RtPeerTlsContext::Load(const RtPeerTlsFiles &files, std::string *failure) {
    std::signal(SIGPIPE, SIG_IGN);
    SSL_CTX_free(_context);
    _context = SSL_CTX_new(TLS_client_method());
    if (_context == nullptr) {
        *failure = "TLS context: " + LastError("cannot be created");
        return false;
    }
    SSL_CTX_set_min_proto_version(_context, TLS1_2_VERSION);
    SSL_CTX_set_mode(_context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (!files.ca_file.empty()) {
        if (SSL_CTX_load_verify_locations(_context, files.ca_file.c_str(), nullptr) != 1) {
            *failure = "CA file " + files.ca_file + ": " + LastError("unreadable");
            return false;
        }
        SSL_CTX_set_verify(_context, SSL_VERIFY_PEER, nullptr);
    }
    if (!files.certificate_file.empty() &&
        SSL_CTX_use_certificate_chain_file(_context, files.certificate_file.c_str()) != 1) {
        *failure = "certificate file " + files.certificate_file + ": " + LastError("unreadable");
        return false;
    }
    if (!files.key_file.empty() &&
        (SSL_CTX_use_PrivateKey_file(_context, files.key_file.c_str(), SSL_FILETYPE_PEM) != 1 ||
         SSL_CTX_check_private_key(_context) != 1)) {
        *failure = "key file " + files.key_file + ": " + LastError("does not match");
        return false;
    }
    return true;
}

RtPeerTlsSession::~RtPeerTlsSession() {
    SSL_free(_ssl);
}

bool RtPeerTlsSession::Start(SSL_CTX *context, int fd, const std::string &host) {
    SSL_free(_ssl);
    _ssl = SSL_new(context);
    if (_ssl == nullptr || SSL_set_fd(_ssl, fd) != 1) {
        return false;
    }
    // The router's certificate must name the address or host name the peer dialled.
    in_addr address{};
    X509_VERIFY_PARAM *param = SSL_get0_param(_ssl);
    if (inet_pton(AF_INET, host.c_str(), &address) == 1) {
        X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
    } else {
        SSL_set_tlsext_host_name(_ssl, host.c_str());
        X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0);
    }
    SSL_set_connect_state(_ssl);
    return true;
}

int RtPeerTlsSession::Handshake(bool *wantsWrite) {
    ERR_clear_error();
    const int rc = SSL_do_handshake(_ssl);
    if (rc == 1) {
        return 1;
    }
    const int error = SSL_get_error(_ssl, rc);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        *wantsWrite = error == SSL_ERROR_WANT_WRITE;
        return 0;
    }
    const long verified = SSL_get_verify_result(_ssl);
    _failure = verified != X509_V_OK ? X509_verify_cert_error_string(verified)
                                     : LastError("the router closed the connection");
    return -1;
}

long RtPeerTlsSession::Stalled(int result) {
    const int error = SSL_get_error(_ssl, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ||
        (error == SSL_ERROR_SYSCALL && errno == EINTR)) {
        ERR_clear_error();
        return -1;
    }
    // A closed connection and an alert (the router refused our certificate) end the same way.
    _failure = LastError("connection closed");
    return 0;
}

long RtPeerTlsSession::Read(char *buffer, size_t length) {
    ERR_clear_error();
    const int n = SSL_read(_ssl, buffer, static_cast<int>(length));
    return n > 0 ? n : Stalled(n);
}

long RtPeerTlsSession::Write(const char *data, size_t length) {
    ERR_clear_error();
    const int n = SSL_write(_ssl, data, static_cast<int>(length));
    return n > 0 ? n : Stalled(n);
}

bool RtPeerTlsSession::Pending() const {
    return _ssl != nullptr && SSL_pending(_ssl) > 0;
}
