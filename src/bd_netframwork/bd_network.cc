#include "bd_netframwork/bd_network.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <openssl/err.h>

#include "bd_common/bd_error.h"
#include "bd_common/bd_log.h"
#include "bd_common/bd_path.h"

const char *const BdNetwork::kCertificateFile = "/etc/norvale/certificate.pem";
const char *const BdNetwork::kPrivateKeyFile = "/etc/norvale/private_key.pem";

namespace {

// A storm of thousands of peers connecting at once must not overflow the accept queue (each
// overflow costs its peer a SYN retry, a second or more): the queue is as long as the system
// allows, which is net.core.somaxconn (the kernel caps any longer request to it).
int ListenBacklog() {
    int backlog = 0;
    if (FILE *file = std::fopen("/proc/sys/net/core/somaxconn", "r")) {
        if (std::fscanf(file, "%d", &backlog) != 1) {
            backlog = 0;
        }
        std::fclose(file);
    }
    return backlog > 0 ? backlog : SOMAXCONN;
}

sockaddr_in Ipv4Address(in_addr_t address, int port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(static_cast<uint16_t>(port));
    result.sin_addr.s_addr = address;
    return result;
}

// Maps the outcome of one send or recv call.
int MapTransferResult(ssize_t n, const char *what) {
    if (n > 0) {
        return BD_SUCCESS;
    }
    if (n == 0) {
        return BD_PEER_CLOSE_CONNECTION;
    }
    if (errno == EINTR) {
        return BD_SOCKET_EINTR;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        return BD_SOCKET_EAGAIN;
    }
    BdLog::GetLogger()->WriteStderrLine({what, std::to_string(errno)});
    return BD_ERROR;
}

// Result of SSL_read / SSL_write that moved nothing. A non-blocking TLS socket is not retried
// here: wanting more I/O is reported like a receive time-out.
int MapSslFailure(SSL *ssl, int result, int otherFailure) {
    switch (SSL_get_error(ssl, result)) {
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
            return BD_RECV_TIMEOUT;
        case SSL_ERROR_ZERO_RETURN:
            return BD_SOCKET_CLOSED_BY_PEER;
        default:
            return otherFailure;
    }
}

}  // namespace

BdNetwork::BdNetwork()
    : _port(0),
      _fd(0),
      _sslContext(nullptr),
      _ssl(nullptr),
      _socketType(kPlainSocket),
      _initialised(false) {}

BdNetwork::~BdNetwork() {
    if (_initialised) {
        Destroy();
    }
}

int BdNetwork::Init(const std::string &address, int port, SocketType type) {
    if (_initialised || address.empty()) {
        return -1;
    }
    // Close-on-exec: a child the process starts must not hold peers' sockets open.
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    _fd = fd;
    _address = address;
    _port = port;
    _socketType = type;
    _initialised = true;
    return 0;
}

int BdNetwork::Init(int fd, SocketType type) {
    if (_initialised || fd < 0) {
        return -1;
    }
    _fd = fd;
    _socketType = type;
    _initialised = true;
    return 0;
}

int BdNetwork::GetSocket() const {
    return _initialised ? _fd : -1;
}

int BdNetwork::SetReuseAddr() {
    int on = 1;
    if (!_initialised || setsockopt(_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0) {
        return -1;
    }
    return 0;
}

int BdNetwork::SetNonBlocking() {
    int on = 1;
    if (!_initialised || ioctl(_fd, FIONBIO, &on) != 0) {
        return -1;
    }
    return 0;
}

int BdNetwork::SetRecvTimeout(int seconds) {
    if (!_initialised || seconds < 1) {
        return -1;
    }
    timeval timeout{};
    timeout.tv_sec = seconds;
    if (setsockopt(_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0) {
        return -1;
    }
    return 0;
}

int BdNetwork::Bind() {
    if (!_initialised || _address.empty()) {
        return -1;
    }
    in_addr_t address = inet_addr(_address.c_str());
    // inet_addr has no distinct failure value: 255.255.255.255 is the only address refused with
    // a host name, and nobody binds to the broadcast address.
    if (address == INADDR_NONE) {
        return -1;
    }
    sockaddr_in local = Ipv4Address(address, _port);
    if (bind(_fd, reinterpret_cast<sockaddr *>(&local), sizeof(local)) != 0) {
        return -1;
    }
    return 0;
}

int BdNetwork::Listen() {
    if (!_initialised || listen(_fd, ListenBacklog()) != 0) {
        return -1;
    }
    return 0;
}

int BdNetwork::Connect() {
    if (!_initialised || _address.empty()) {
        return -1;
    }
    // getaddrinfo rather than gethostbyname: the same first IPv4 address, without the shared
    // static result that makes gethostbyname unsafe when several threads connect.
    in_addr_t address = INADDR_NONE;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(_address.c_str(), nullptr, &hints, &found) == 0 && found != nullptr) {
        address = reinterpret_cast<sockaddr_in *>(found->ai_addr)->sin_addr.s_addr;
    } else {
        address = inet_addr(_address.c_str());
    }
    if (found != nullptr) {
        freeaddrinfo(found);
    }
    sockaddr_in remote = Ipv4Address(address, _port);
    if (connect(_fd, reinterpret_cast<sockaddr *>(&remote), sizeof(remote)) != 0) {
        return -1;
    }
    return 0;
}

int BdNetwork::Accept(sockaddr *peer, int *fd) {
    if (!_initialised) {
        return BD_OBJECT_NOT_INIT;
    }
    if (fd == nullptr) {
        return BD_PARAMETER_INVALID;
    }
    for (;;) {
        socklen_t peerLength = sizeof(sockaddr_in);
        int accepted = accept4(_fd, peer, peer != nullptr ? &peerLength : nullptr, SOCK_CLOEXEC);
        if (accepted >= 0) {
            *fd = accepted;
            return BD_SUCCESS;
        }
        if (errno == EINTR) {
            continue;
        }
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? BD_SOCKET_EAGAIN : BD_ERROR;
    }
}

int BdNetwork::OriginSend(const char *data, int length, int flags, int *sent) {
    if (!_initialised) {
        return BD_OBJECT_NOT_INIT;
    }
    if (data == nullptr || length < 1 || sent == nullptr) {
        return BD_PARAMETER_INVALID;
    }
    if (_socketType == kSslSocket && _ssl != nullptr) {
        return TlsSend(data, length, sent);
    }
    ssize_t n = send(_fd, data, static_cast<size_t>(length), flags);
    *sent = static_cast<int>(n);
    return MapTransferResult(n, "send error:");
}

int BdNetwork::OriginRecv(int length, int flags, char *buffer, int *received) {
    if (!_initialised) {
        return BD_OBJECT_NOT_INIT;
    }
    // A zero-length receive would look like a closed peer.
    if (buffer == nullptr || length < 1 || received == nullptr) {
        return BD_PARAMETER_INVALID;
    }
    if (_socketType == kSslSocket && _ssl != nullptr) {
        return TlsRecv(length, buffer, received);
    }
    ssize_t n = recv(_fd, buffer, static_cast<size_t>(length), flags);
    *received = static_cast<int>(n);
    return MapTransferResult(n, "recv error:");
}

int BdNetwork::Send(const char *data, int length) {
    if (!_initialised) {
        return BD_OBJECT_NOT_INIT;
    }
    return _socketType == kSslSocket ? SslSend(data, length) : CommonSend(data, length);
}

int BdNetwork::Recv(int length, char *buffer) {
    if (!_initialised) {
        return BD_OBJECT_NOT_INIT;
    }
    return _socketType == kSslSocket ? SslRecv(length, buffer) : CommonRecv(length, buffer);
}

int BdNetwork::CommonSend(const char *data, int length) {
    if (data == nullptr || length < 1) {
        return BD_PARAMETER_INVALID;
    }
    int done = 0;
    while (done < length) {
        ssize_t n = send(_fd, data + done, static_cast<size_t>(length - done), MSG_NOSIGNAL);
        if (n >= 0) {
            done += static_cast<int>(n);
            continue;
        }
        int error = errno;
        BdLog::GetLogger()->WriteStdoutLine({"rpc send error no:", std::to_string(error)});
        if (error == EINTR) {
            continue;
        }
        return error == ECONNRESET ? BD_SOCKET_CLOSED_BY_PEER : BD_SEND_ERROR;
    }
    return BD_SUCCESS;
}

int BdNetwork::CommonRecv(int length, char *buffer) {
    if (buffer == nullptr || length < 1) {
        return BD_PARAMETER_INVALID;
    }
    int done = 0;
    while (done < length) {
        ssize_t n = recv(_fd, buffer + done, static_cast<size_t>(length - done), 0);
        if (n == 0) {
            return BD_SOCKET_CLOSED_BY_PEER;
        }
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? BD_RECV_TIMEOUT : BD_RECV_ERROR;
    }
    return BD_SUCCESS;
}

int BdNetwork::SslSend(const char *data, int length) {
    if (data == nullptr || length < 1 || _ssl == nullptr) {
        return BD_PARAMETER_INVALID;
    }
    int done = 0;
    while (done < length) {
        int n = SSL_write(_ssl, data + done, length - done);
        if (n <= 0) {
            return MapSslFailure(_ssl, n, BD_SEND_ERROR);
        }
        done += n;
    }
    return BD_SUCCESS;
}

int BdNetwork::SslRecv(int length, char *buffer) {
    if (buffer == nullptr || length < 1 || _ssl == nullptr) {
        return BD_PARAMETER_INVALID;
    }
    int done = 0;
    while (done < length) {
        int n = SSL_read(_ssl, buffer + done, length - done);
        if (n <= 0) {
            return MapSslFailure(_ssl, n, BD_RECV_ERROR);
        }
        done += n;
    }
    return BD_SUCCESS;
}

int BdNetwork::GetCurrentSocketIP(std::string *ip) {
    if (!_initialised || ip == nullptr) {
        return 0;
    }
    sockaddr_in peer{};
    socklen_t length = sizeof(peer);
    if (getpeername(_fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0) {
        BdLog::GetLogger()->WriteStderrLine(
            {"get socket ip failed in ", __FUNCTION__, ":", std::to_string(__LINE__)});
        return 0;
    }
    char text[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof(text));
    *ip = text;
    return 1;
}

int BdNetwork::GetLoacalScoketIP(std::string *ip) {
    if (!_initialised || ip == nullptr) {
        return 0;
    }
    sockaddr_in local{};
    socklen_t length = sizeof(local);
    if (getsockname(_fd, reinterpret_cast<sockaddr *>(&local), &length) != 0) {
        BdLog::GetLogger()->WriteStderrLine({"get local socket ip failed "});
        return 0;
    }
    char text[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &local.sin_addr, text, sizeof(text));
    *ip = text;
    return 1;
}

void BdNetwork::SslLoad() {
    static std::once_flag loaded;
    std::call_once(loaded, [] {
        OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    });
}

void BdNetwork::DropSsl() {
    if (_ssl != nullptr) {
        SSL_shutdown(_ssl);
        SSL_free(_ssl);
        _ssl = nullptr;
    }
    if (_sslContext != nullptr) {
        SSL_CTX_free(_sslContext);
        _sslContext = nullptr;
    }
    ERR_clear_error();
}

int BdNetwork::ServerSslInit() {
    if (!_initialised) {
        return BD_OBJECT_NOT_INIT;
    }
    _sslContext = SSL_CTX_new(TLS_server_method());
    if (_sslContext == nullptr) {
        return 1;
    }
    std::string certificate = BdPath::Resolve(kCertificateFile);
    std::string key = BdPath::Resolve(kPrivateKeyFile);
    if (SSL_CTX_use_certificate_file(_sslContext, certificate.c_str(), SSL_FILETYPE_PEM) < 1 ||
        SSL_CTX_use_PrivateKey_file(_sslContext, key.c_str(), SSL_FILETYPE_PEM) < 1 ||
        SSL_CTX_check_private_key(_sslContext) != 1) {
        DropSsl();
        return 1;
    }
    _ssl = SSL_new(_sslContext);
    // A handshake that ended (0) is as failed as one that broke (-1): a session that never
    // started must not be reported as a TLS socket.
    if (_ssl == nullptr || SSL_set_fd(_ssl, _fd) != 1 || SSL_accept(_ssl) <= 0) {
        DropSsl();
        return 1;
    }
    _socketType = kSslSocket;
    return 0;
}

int BdNetwork::ClientSslInit() {
    if (!_initialised) {
        return BD_OBJECT_NOT_INIT;
    }
    _sslContext = SSL_CTX_new(TLS_client_method());
    if (_sslContext == nullptr) {
        ERR_print_errors_fp(stdout);
        return 1;
    }
    _ssl = SSL_new(_sslContext);
    if (_ssl == nullptr || SSL_set_fd(_ssl, _fd) != 1 || SSL_connect(_ssl) <= 0) {
        DropSsl();
        return 1;
    }
    _socketType = kSslSocket;
    return 0;
}

int BdNetwork::AcceptTls(SSL_CTX *context) {
    if (!_initialised) {
        return BD_OBJECT_NOT_INIT;
    }
    if (context == nullptr || _ssl != nullptr) {
        return 1;
    }
    _ssl = SSL_new(context);
    if (_ssl == nullptr || SSL_set_fd(_ssl, _fd) != 1) {
        DropSsl();
        return 1;
    }
    SSL_set_accept_state(_ssl);
    _socketType = kSslSocket;
    _tlsHandshakePending = true;
    return 0;
}

int BdNetwork::ContinueTlsHandshake(bool *wantsWrite, std::string *failure) {
    if (!_tlsHandshakePending || _ssl == nullptr) {
        return _ssl != nullptr ? BD_SUCCESS : BD_ERROR;
    }
    ERR_clear_error();
    const int rc = SSL_do_handshake(_ssl);
    if (rc == 1) {
        _tlsHandshakePending = false;
        return BD_SUCCESS;
    }
    const int error = SSL_get_error(_ssl, rc);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        *wantsWrite = error == SSL_ERROR_WANT_WRITE;
        return BD_SOCKET_EAGAIN;
    }
    _tlsBroken = true;
    const long verified = SSL_get_verify_result(_ssl);
    const unsigned long reason = ERR_peek_error();
    if (verified != X509_V_OK) {
        *failure = std::string("certificate refused: ") + X509_verify_cert_error_string(verified);
    } else if (reason != 0 && ERR_reason_error_string(reason) != nullptr) {
        *failure = ERR_reason_error_string(reason);
    } else if (error == SSL_ERROR_SYSCALL || error == SSL_ERROR_ZERO_RETURN) {
        *failure = errno != 0 && rc < 0 ? std::strerror(errno) : "peer closed the connection";
    } else {
        *failure = "TLS error " + std::to_string(error);
    }
    ERR_clear_error();
    return BD_ERROR;
}

X509 *BdNetwork::PeerCertificate() const {
    if (_ssl == nullptr || _tlsHandshakePending) {
        return nullptr;
    }
    // get0: the session keeps the reference; a presented certificate was verified by then, or
    // the handshake would have failed.
    return SSL_get0_peer_certificate(_ssl);
}

std::string BdNetwork::DescribeTls() const {
    if (_ssl == nullptr) {
        return "";
    }
    return std::string(SSL_state_string_long(_ssl)) +
           (_tlsHandshakePending ? ", handshake pending" : "") + (_tlsBroken ? ", broken" : "");
}

// Maps the outcome of an SSL_read / SSL_write that moved nothing.
int BdNetwork::MapTlsTransfer(int result) {
    const int error = SSL_get_error(_ssl, result);
    int code = BD_ERROR;
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        code = BD_SOCKET_EAGAIN;
    } else if (error == SSL_ERROR_ZERO_RETURN) {
        code = BD_PEER_CLOSE_CONNECTION;
    } else if (error == SSL_ERROR_SYSCALL && result < 0 && errno == EINTR) {
        code = BD_SOCKET_EINTR;
    } else if (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
        // The transport ended without TLS saying goodbye: a peer that just went away.
        code = BD_PEER_CLOSE_CONNECTION;
    }
    if (code == BD_ERROR || code == BD_PEER_CLOSE_CONNECTION) {
        _tlsBroken = code == BD_ERROR || error != SSL_ERROR_ZERO_RETURN;
    }
    ERR_clear_error();
    return code;
}

int BdNetwork::TlsSend(const char *data, int length, int *sent) {
    *sent = 0;
    // With partial writes each call writes at most one record, so keep going until the socket
    // refuses: a sender that stopped after one record with the socket still writable would wait
    // for a writable edge that never comes.
    while (*sent < length) {
        ERR_clear_error();
        const int n = SSL_write(_ssl, data + *sent, length - *sent);
        if (n > 0) {
            *sent += n;
            continue;
        }
        const int code = MapTlsTransfer(n);
        if (code == BD_SOCKET_EINTR) {
            continue;
        }
        if (*sent > 0 && code == BD_SOCKET_EAGAIN) {
            break;
        }
        return code;
    }
    return BD_SUCCESS;
}

int BdNetwork::TlsRecv(int length, char *buffer, int *received) {
    ERR_clear_error();
    const int n = SSL_read(_ssl, buffer, length);
    *received = n > 0 ? n : 0;
    return n > 0 ? BD_SUCCESS : MapTlsTransfer(n);
}

int BdNetwork::Destroy() {
    if (!_initialised) {
        return 1;
    }
    if (_fd < 1) {
        return -1;
    }
    if (_ssl != nullptr) {
        // A goodbye only on a session that is whole; a broken one may not even have a peer.
        if (_socketType == kSslSocket && !_tlsBroken && !_tlsHandshakePending) {
            SSL_shutdown(_ssl);
        }
        SSL_free(_ssl);
        _ssl = nullptr;
    }
    close(_fd);
    if (_sslContext != nullptr) {
        SSL_CTX_free(_sslContext);
        _sslContext = nullptr;
    }
    _address.clear();
    _port = 0;
    _fd = 0;
    _socketType = kPlainSocket;
    _tlsHandshakePending = false;
    _tlsBroken = false;
    _initialised = false;
    return 0;
}
