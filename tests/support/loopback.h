// Loopback TCP sockets for tests that talk to network code over real sockets.
#ifndef TESTS_SUPPORT_LOOPBACK_H_
#define TESTS_SUPPORT_LOOPBACK_H_

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

// A listening loopback socket on an ephemeral port.
inline int ListenLoopback(int *port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address));
    listen(fd, 64);
    socklen_t length = sizeof(address);
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    *port = ntohs(address.sin_port);
    return fd;
}

// A loopback port nobody listens on: bound once by the kernel's choice, then released. Another
// process may take it before the caller does; tests accept that small race.
inline int FreeLoopbackPort() {
    int port = 0;
    close(ListenLoopback(&port));
    return port;
}

inline int ConnectLoopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address));
    return fd;
}

// Two connected TCP sockets over loopback: first the accepted end (for the connection under
// test, made non-blocking), then the peer's end (blocking).
struct LoopbackPair {
    int local = -1;
    int peer = -1;
    LoopbackPair() {
        int port = 0;
        int listener = ListenLoopback(&port);
        peer = ConnectLoopback(port);
        local = accept(listener, nullptr, nullptr);
        close(listener);
        fcntl(local, F_SETFL, fcntl(local, F_GETFL) | O_NONBLOCK);
    }
    ~LoopbackPair() {
        if (peer >= 0) {
            close(peer);
        }
    }
    void ClosePeer() {
        close(peer);
        peer = -1;
    }
};

inline void SendAll(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        done += static_cast<size_t>(n);
    }
}

// True once fd has something to read (or has ended) within waitMs.
inline bool WaitReadable(int fd, int waitMs = 2000) {
    pollfd readable{fd, POLLIN, 0};
    return poll(&readable, 1, waitMs) == 1;
}

// What has arrived at fd within waitMs, without blocking beyond it.
inline std::string ReceiveAvailable(int fd, int waitMs = 200) {
    std::string bytes;
    pollfd readable{fd, POLLIN, 0};
    while (poll(&readable, 1, bytes.empty() ? waitMs : 0) > 0) {
        char chunk[65536];
        ssize_t n = recv(fd, chunk, sizeof(chunk), MSG_DONTWAIT);
        if (n <= 0) {
            break;
        }
        bytes.append(chunk, static_cast<size_t>(n));
    }
    return bytes;
}

#endif  // TESTS_SUPPORT_LOOPBACK_H_
