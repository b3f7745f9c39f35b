#include "rt_tools/rt_bench_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "bd_common/bd_error.h"

RtBenchConnection::~RtBenchConnection() {
    if (_fd >= 0) {
        close(_fd);
    }
}

bool RtBenchConnection::StartConnect(int port, SSL_CTX *tls) {
    _tlsContext = tls;
    _fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (_fd < 0) {
        return false;
    }
    const int on = 1;
    setsockopt(_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int rc = connect(_fd, reinterpret_cast<sockaddr *>(&address), sizeof(address));
    return rc == 0 || errno == EINPROGRESS;
}

bool RtBenchConnection::FinishConnect() {
    int error = 0;
    socklen_t size = sizeof(error);
    connected = getsockopt(_fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
    if (connected && _tlsContext != nullptr) {
        connected = _tls.Start(_tlsContext, _fd, "127.0.0.1");
        _handshaking = true;
    }
    return connected;
}

bool RtBenchConnection::Handshake() {
    const int rc = _tls.Handshake(&_handshakeWantsWrite);
    _handshaking = rc == 0;
    return rc >= 0;
}

void RtBenchConnection::Queue(const char *data, size_t length) {
    // Small packets are gathered and sent together; a large one goes straight to the socket when
    // nothing waits before it, which spares copying it into the queue first.
    const size_t kDirectSend = 64 * 1024;
    if (length >= kDirectSend && _out.empty() && _tlsContext == nullptr) {
        const ssize_t n = send(_fd, data, length, MSG_NOSIGNAL);
        const size_t sent = n > 0 ? static_cast<size_t>(n) : 0;
        data += sent;
        length -= sent;
    }
    _out.insert(_out.end(), data, data + length);
}

bool RtBenchConnection::Flush() {
    if (_handshaking) {
        if (!Handshake()) {
            return false;
        }
        if (_handshaking) {
            return true;  // the handshake waits; the queue goes once it is done
        }
    }
    while (_sent < _out.size()) {
        const ssize_t n = _tlsContext != nullptr
                              ? _tls.Write(_out.data() + _sent, _out.size() - _sent)
                              : send(_fd, _out.data() + _sent, _out.size() - _sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        if (n <= 0) {
            return false;
        }
        _sent += static_cast<size_t>(n);
    }
    if (_sent == _out.size()) {
        _out.clear();
        _sent = 0;
    }
    return true;
}

int RtBenchConnection::ReadAvailable() {
    if (_tlsContext != nullptr) {
        return ReadTls();
    }
    // A bounded number of reads per event keeps one busy connection from starving the others.
    for (int reads = 0; reads < 4; ++reads) {
        char *room = _in.Reserve(_readSize);
        const ssize_t n = recv(_fd, room, _readSize, 0);
        if (n > 0) {
            _in.Commit(static_cast<size_t>(n));
            if (static_cast<size_t>(n) < _readSize) {
                return BD_SUCCESS;
            }
            _readSize = std::min(2 * _readSize, kMaxReadBytes);
            continue;
        }
        if (n == 0) {
            return BD_PEER_CLOSE_CONNECTION;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            return BD_SUCCESS;
        }
        return errno == ECONNRESET ? BD_PEER_CLOSE_CONNECTION : BD_RECV_ERROR;
    }
    return BD_SUCCESS;
}

int RtBenchConnection::ReadTls() {
    if (_handshaking) {
        if (!Handshake()) {
            return BD_RECV_ERROR;
        }
        // Done: what was queued meanwhile goes now, as no writable event was asked for it.
        if (!_handshaking && !Flush()) {
            return BD_RECV_ERROR;
        }
        if (_handshaking) {
            return BD_SUCCESS;
        }
    }
    // One record per read; a bounded number of them per event, as for plain sockets.
    const size_t kReadSize = 64 * 1024;
    for (int reads = 0; reads < 64; ++reads) {
        char *room = _in.Reserve(kReadSize);
        const long n = _tls.Read(room, kReadSize);
        if (n > 0) {
            _in.Commit(static_cast<size_t>(n));
            continue;
        }
        return n == 0 ? BD_PEER_CLOSE_CONNECTION : BD_SUCCESS;
    }
    return BD_SUCCESS;
}

RtBenchPoller::RtBenchPoller() : _epollFd(epoll_create1(EPOLL_CLOEXEC)) {}

RtBenchPoller::~RtBenchPoller() {
    if (_epollFd >= 0) {
        close(_epollFd);
    }
}

bool RtBenchPoller::Add(RtBenchConnection *conn, size_t index, bool writable) {
    epoll_event event{};
    event.events = EPOLLIN | (writable ? static_cast<uint32_t>(EPOLLOUT) : 0u);
    event.data.u64 = index;
    return epoll_ctl(_epollFd, EPOLL_CTL_ADD, conn->Fd(), &event) == 0;
}

void RtBenchPoller::Update(RtBenchConnection *conn, size_t index, bool writable) {
    epoll_event event{};
    event.events = EPOLLIN | (writable ? static_cast<uint32_t>(EPOLLOUT) : 0u);
    event.data.u64 = index;
    epoll_ctl(_epollFd, EPOLL_CTL_MOD, conn->Fd(), &event);
}

int RtBenchPoller::Wait(int timeoutMs, std::vector<Event> *ready) {
    epoll_event events[256];
    ready->clear();
    const int n = epoll_wait(_epollFd, events, 256, timeoutMs);
    for (int i = 0; i < n; ++i) {
        ready->push_back({static_cast<size_t>(events[i].data.u64),
                          (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0,
                          (events[i].events & EPOLLOUT) != 0});
    }
    return n < 0 && errno != EINTR ? -1 : 0;
}
