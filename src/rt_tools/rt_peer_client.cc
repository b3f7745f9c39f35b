#include "rt_tools/rt_peer_client.h"

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
#include "bd_netframwork/bd_packet_handler.h"

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

RtPeerClient::~RtPeerClient() {
    Close();
}

int RtPeerClient::Connect(const std::string &host, int port) {
    Close();
    addrinfo hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        return BD_SOCKET_CONNECT_ERROR;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool connected = fd >= 0 && connect(fd, found->ai_addr, found->ai_addrlen) == 0;
    freeaddrinfo(found);
    if (!connected) {
        if (fd >= 0)
            close(fd);
        return BD_SOCKET_CONNECT_ERROR;
    }
    // Small packets (handshakes, keep-alives) should leave at once.
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    fd_ = fd;
    return BD_SUCCESS;
}

void RtPeerClient::Close() {
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
    pending_.clear();
}

int RtPeerClient::SendBytes(const char *data, size_t length) {
    if (fd_ < 0)
        return BD_OBJECT_NOT_INIT;
    size_t sent = 0;
    while (sent < length) {
        const ssize_t n = send(fd_, data + sent, length - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return BD_SEND_ERROR;
        sent += static_cast<size_t>(n);
    }
    return BD_SUCCESS;
}

int RtPeerClient::HandShake(int kind, const RtPeerIdentity &identity, RtPeerPacket *answer) {
    const int sent = Send(RtPeerPacket::HandShake(kind, identity));
    return sent != BD_SUCCESS ? sent : Receive(answer);
}

int RtPeerClient::ReadSome(int timeoutMs) {
    if (fd_ < 0)
        return BD_OBJECT_NOT_INIT;
    pollfd ready{fd_, POLLIN, 0};
    int rc;
    do {
        rc = poll(&ready, 1, timeoutMs);
    } while (rc < 0 && errno == EINTR);
    if (rc == 0)
        return BD_RECV_TIMEOUT;
    if (rc < 0)
        return BD_RECV_ERROR;

    char chunk[65536];
    ssize_t n;
    do {
        n = recv(fd_, chunk, sizeof(chunk), 0);
    } while (n < 0 && errno == EINTR);
    if (n == 0 || (n < 0 && errno == ECONNRESET))
        return BD_PEER_CLOSE_CONNECTION;
    if (n < 0)
        return BD_RECV_ERROR;
    pending_.insert(pending_.end(), chunk, chunk + n);
    return BD_SUCCESS;
}

int RtPeerClient::Receive(RtPeerPacket *packet, int timeoutMs) {
    if (packet == nullptr)
        return BD_PARAMETER_INVALID;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const BdHeader *header = nullptr;
        if (BdPacketHandler::GetPacketHeader(pending_.data(), static_cast<int>(pending_.size()),
                                             &header) == BD_SUCCESS) {
            if (header->magic != kBdPacketMagic || header->data_len < 0) {
                return BD_NET_HEADER_MAGIC_INVALID;
            }
            const size_t total = static_cast<size_t>(header->data_len) + sizeof(BdHeader);
            if (pending_.size() >= total) {
                *packet =
                    RtPeerPacket(std::vector<char>(pending_.begin(), pending_.begin() + total));
                pending_.erase(pending_.begin(), pending_.begin() + total);
                return BD_SUCCESS;
            }
        }
        const int rc = ReadSome(RemainingMs(deadline));
        if (rc != BD_SUCCESS)
            return rc;
    }
}

bool RtPeerClient::WaitForClose(int timeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pending_.clear();
        const int rc = ReadSome(RemainingMs(deadline));
        if (rc == BD_PEER_CLOSE_CONNECTION)
            return true;
        if (rc != BD_SUCCESS)
            return false;
    }
}
