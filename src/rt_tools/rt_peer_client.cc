#include "rt_tools/rt_peer_client.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "bd_common/bd_error.h"

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// poll() on one descriptor, asked again when a signal interrupts it; poll's answer.
int PollOne(int fd, short events, int timeoutMs) {
    pollfd ready{fd, events, 0};
    int rc;
    do {
        rc = poll(&ready, 1, timeoutMs);
    } while (rc < 0 && errno == EINTR);
    return rc;
}

// Waits for a non-blocking connect to finish: BD_SUCCESS, BD_SOCKET_TIMEOUT, or
// BD_SOCKET_CONNECT_ERROR when the attempt failed (refused, unreachable).
int AwaitConnected(int fd, int timeoutMs) {
    const int rc = PollOne(fd, POLLOUT, timeoutMs);
    if (rc == 0) {
        return BD_SOCKET_TIMEOUT;
    }
    int error = 0;
    socklen_t size = sizeof(error);
    if (rc < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
        return BD_SOCKET_CONNECT_ERROR;
    }
    return BD_SUCCESS;
}

}  // namespace

RtPeerClient::~RtPeerClient() {
    Close();
}

int RtPeerClient::Connect(const std::string &host, int port, int timeoutMs) {
    Close();
    addrinfo hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        return BD_SOCKET_CONNECT_ERROR;
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int rc = fd < 0 ? BD_SOCKET_CONNECT_ERROR : BD_SUCCESS;
    if (rc == BD_SUCCESS && connect(fd, found->ai_addr, found->ai_addrlen) != 0) {
        rc = errno == EINPROGRESS ? AwaitConnected(fd, timeoutMs) : BD_SOCKET_CONNECT_ERROR;
    }
    freeaddrinfo(found);
    _fd = fd;
    if (rc == BD_SUCCESS && _tlsContext != nullptr) {
        rc = StartTls(host, timeoutMs);
    }
    if (rc != BD_SUCCESS) {
        if (fd >= 0) {
            close(fd);
        }
        _fd = -1;
        return rc;
    }
    // Every later call blocks with its own time-out; only the connect needed to be bounded.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    // Small packets (handshakes, keep-alives) should leave at once.
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    return BD_SUCCESS;
}

int RtPeerClient::StartTls(const std::string &host, int timeoutMs) {
    _tls = std::make_unique<RtPeerTlsSession>();
    if (!_tls->Start(_tlsContext, _fd, host)) {
        return BD_SOCKET_CONNECT_ERROR;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        bool wantsWrite = false;
        const int rc = _tls->Handshake(&wantsWrite);
        if (rc > 0) {
            return BD_SUCCESS;
        }
        if (rc < 0) {
            return BD_SOCKET_CONNECT_ERROR;
        }
        const int ready = PollOne(_fd, wantsWrite ? POLLOUT : POLLIN, RemainingMs(deadline));
        if (ready == 0) {
            return BD_SOCKET_TIMEOUT;
        }
        if (ready < 0) {
            return BD_SOCKET_CONNECT_ERROR;
        }
    }
}

void RtPeerClient::Close() {
    _tls.reset();
    if (_fd >= 0) {
        close(_fd);
    }
    _fd = -1;
    _framer.Clear();
}

int RtPeerClient::SendBytes(const char *data, size_t length) {
    if (_fd < 0) {
        return BD_OBJECT_NOT_INIT;
    }
    size_t sent = 0;
    while (sent < length) {
        const ssize_t n = _tls ? _tls->Write(data + sent, length - sent)
                               : send(_fd, data + sent, length - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return BD_SEND_ERROR;
        }
        sent += static_cast<size_t>(n);
    }
    return BD_SUCCESS;
}

int RtPeerClient::HandShake(int kind, const RtPeerIdentity &identity, RtPeerPacket *answer) {
    const int sent = Send(RtPeerPacket::HandShake(kind, identity));
    return sent != BD_SUCCESS ? sent : Receive(answer);
}

int RtPeerClient::ReadSome(int timeoutMs) {
    if (_fd < 0) {
        return BD_OBJECT_NOT_INIT;
    }
    // Bytes the TLS session already decrypted are not seen by poll.
    if (!(_tls && _tls->Pending())) {
        const int rc = PollOne(_fd, POLLIN, timeoutMs);
        if (rc == 0) {
            return BD_RECV_TIMEOUT;
        }
        if (rc < 0) {
            return BD_RECV_ERROR;
        }
    }

    const size_t kReadSize = 65536;
    char *room = _framer.Reserve(kReadSize);
    ssize_t n;
    do {
        n = _tls ? _tls->Read(room, kReadSize) : recv(_fd, room, kReadSize, 0);
    } while (n < 0 && errno == EINTR);
    // A TLS record that carried no data (a session ticket): nothing to add, ask again.
    if (n < 0 && _tls) {
        return BD_SUCCESS;
    }
    if (n == 0 || (n < 0 && errno == ECONNRESET)) {
        return BD_PEER_CLOSE_CONNECTION;
    }
    if (n < 0) {
        return BD_RECV_ERROR;
    }
    _framer.Commit(static_cast<size_t>(n));
    return BD_SUCCESS;
}

int RtPeerClient::Receive(RtPeerPacket *packet, int timeoutMs) {
    if (packet == nullptr) {
        return BD_PARAMETER_INVALID;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const char *whole = nullptr;
        int length = 0;
        const int framed = _framer.Next(&whole, &length);
        if (framed == BD_SUCCESS) {
            *packet = RtPeerPacket(std::vector<char>(whole, whole + length));
            return BD_SUCCESS;
        }
        if (framed != BD_NET_HEADER_INCOMPLETE) {
            return framed;
        }
        const int rc = ReadSome(RemainingMs(deadline));
        if (rc != BD_SUCCESS) {
            return rc;
        }
    }
}

bool RtPeerClient::WaitForClose(int timeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        _framer.Clear();
        const int rc = ReadSome(RemainingMs(deadline));
        if (rc == BD_PEER_CLOSE_CONNECTION) {
            return true;
        }
        if (rc != BD_SUCCESS) {
            return false;
        }
    }
}
