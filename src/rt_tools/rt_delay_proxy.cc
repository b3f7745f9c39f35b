#include "rt_tools/rt_delay_proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <memory>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Bytes on their way to one end: released at their time, then written as the socket takes them.
struct Chunk {
    Clock::time_point due;
    std::string bytes;
};

struct Direction {
    int from = -1;
    int to = -1;
    std::deque<Chunk> chunks;
};

// One client connection and its connection to the server.
struct Link {
    Direction toServer;
    Direction toClient;
    bool closed = false;
};

void NonBlocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

int ConnectTo(const std::string &host, int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    NonBlocking(fd);
    return fd;
}

// Reads what from has; false when it closed or failed.
bool Receive(Direction *direction, Clock::time_point due) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = recv(direction->from, buffer, sizeof(buffer), 0);
        if (n > 0) {
            direction->chunks.push_back({due, std::string(buffer, static_cast<size_t>(n))});
            continue;
        }
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
    }
}

// Writes the chunks that are due; false when the socket failed.
bool Deliver(Direction *direction, Clock::time_point now) {
    while (!direction->chunks.empty() && direction->chunks.front().due <= now) {
        std::string &bytes = direction->chunks.front().bytes;
        const ssize_t n = send(direction->to, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        }
        bytes.erase(0, static_cast<size_t>(n));
        if (!bytes.empty()) {
            return true;
        }
        direction->chunks.pop_front();
    }
    return true;
}

}  // namespace

RtDelayProxy::RtDelayProxy(std::string targetHost, int targetPort)
    : _targetHost(std::move(targetHost)), _targetPort(targetPort) {}

RtDelayProxy::~RtDelayProxy() {
    _stop = true;
    if (_thread.joinable()) {
        _thread.join();
    }
    if (_listenFd >= 0) {
        close(_listenFd);
    }
}

bool RtDelayProxy::Start() {
    _listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (_listenFd < 0 || bind(_listenFd, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        listen(_listenFd, 128) != 0 ||
        getsockname(_listenFd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        return false;
    }
    _port = ntohs(address.sin_port);
    NonBlocking(_listenFd);
    _thread = std::thread(&RtDelayProxy::Loop, this);
    return true;
}

void RtDelayProxy::Loop() {
    std::vector<std::unique_ptr<Link>> links;
    while (!_stop) {
        const bool frozen = _frozen, down = _down;
        for (int fd; (fd = accept4(_listenFd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
            const int server = down ? -1 : ConnectTo(_targetHost, _targetPort);
            if (server < 0) {
                close(fd);
                continue;
            }
            NonBlocking(fd);
            auto link = std::make_unique<Link>();
            link->toServer.from = link->toClient.to = fd;
            link->toServer.to = link->toClient.from = server;
            links.push_back(std::move(link));
        }

        std::vector<pollfd> polled{{_listenFd, POLLIN, 0}};
        for (const auto &link : links) {
            polled.push_back({link->toServer.from, static_cast<short>(frozen ? 0 : POLLIN), 0});
            polled.push_back({link->toClient.from, static_cast<short>(frozen ? 0 : POLLIN), 0});
        }
        // Short waits keep delayed chunks close to their time; the proxy is a test tool.
        poll(polled.data(), polled.size(), 1);

        const Clock::time_point now = Clock::now();
        const Clock::time_point due = now + std::chrono::milliseconds(_delayMs.load());
        for (auto &link : links) {
            if (down) {
                link->closed = true;
            } else if (!frozen) {
                link->closed = !Receive(&link->toServer, due) || !Receive(&link->toClient, now) ||
                               !Deliver(&link->toServer, now) || !Deliver(&link->toClient, now);
            }
            if (link->closed) {
                close(link->toServer.from);
                close(link->toServer.to);
            }
        }
        for (size_t i = links.size(); i-- > 0;) {
            if (links[i]->closed) {
                links.erase(links.begin() + static_cast<long>(i));
            }
        }
    }
    for (auto &link : links) {
        close(link->toServer.from);
        close(link->toServer.to);
    }
}
