#include "rt_tools/rt_http_get.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

namespace {

using Clock = std::chrono::steady_clock;

// Waits until fd is ready for events or the deadline passes.
bool WaitReady(int fd, short events, Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
        return false;
    }
    pollfd entry{fd, events, 0};
    return poll(&entry, 1, static_cast<int>(left)) == 1;
}

// A transfer that would block, or was interrupted, is waited for again.
bool Retryable(ssize_t result) {
    return result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
}

// The socket is non-blocking, so a host that never answers the connection costs the time-out,
// not the kernel's minutes of retries.
bool Connect(int fd, const sockaddr_in &address, Clock::time_point deadline) {
    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0) {
        return true;
    }
    int error = 0;
    socklen_t length = sizeof(error);
    return errno == EINPROGRESS && WaitReady(fd, POLLOUT, deadline) &&
           getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

int Exchange(int fd, const sockaddr_in &address, const std::string &request,
             Clock::time_point deadline, std::string *reply) {
    if (!Connect(fd, address, deadline)) {
        return -1;
    }
    size_t sent = 0;
    while (sent < request.size()) {
        if (!WaitReady(fd, POLLOUT, deadline)) {
            return -1;
        }
        const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (Retryable(n)) {
            continue;
        }
        if (n <= 0) {
            return -1;
        }
        sent += static_cast<size_t>(n);
    }
    char chunk[16384];
    for (;;) {
        if (!WaitReady(fd, POLLIN, deadline)) {
            return -1;
        }
        const ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
        if (Retryable(n)) {
            continue;
        }
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            return 0;
        }
        reply->append(chunk, static_cast<size_t>(n));
    }
}

}  // namespace

int RtHttpGet(const std::string &host, int port, const std::string &path, int timeoutMs,
              std::string *body) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        return -1;
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    std::string reply;
    const int rc = Exchange(fd, address, "GET " + path + " HTTP/1.0\r\nHost: " + host + "\r\n\r\n",
                            Clock::now() + std::chrono::milliseconds(timeoutMs), &reply);
    close(fd);
    // "HTTP/1.x NNN reason" then headers, an empty line and the body.
    const size_t headersEnd = reply.find("\r\n\r\n");
    if (rc != 0 || reply.compare(0, 5, "HTTP/") != 0 || headersEnd == std::string::npos) {
        return -1;
    }
    const size_t space = reply.find(' ');
    const int status = std::atoi(reply.c_str() + space + 1);
    *body = reply.substr(headersEnd + 4);
    return status > 0 ? status : -1;
}
