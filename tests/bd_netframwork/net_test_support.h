// Loopback sockets, packets and a recording packet connection for the network framework tests.
#ifndef TESTS_BD_NETFRAMWORK_NET_TEST_SUPPORT_H
#define TESTS_BD_NETFRAMWORK_NET_TEST_SUPPORT_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "bd_netframwork/bd_client_connection.h"

// A net header announcing dataLen bytes after it.
inline std::string NetHeader(int32_t dataLen, uint32_t magic = 0xFAFBFCFDu) {
    std::string header(16, '\0');
    memcpy(&header[0], &magic, 4);
    memcpy(&header[4], &dataLen, 4);
    return header;
}

// A whole packet: net header, then dataLen bytes of fill.
inline std::string NetPacket(int32_t dataLen, char fill = 'x', uint32_t magic = 0xFAFBFCFDu) {
    return NetHeader(dataLen, magic) + std::string(static_cast<size_t>(dataLen), fill);
}

// A listening loopback socket on an ephemeral port.
inline int ListenLoopback(int *port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
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

// A malloc copy of bytes, as the write queue takes it.
inline char *MallocCopy(const std::string &bytes) {
    char *block = static_cast<char *>(malloc(bytes.size()));
    memcpy(block, bytes.data(), bytes.size());
    return block;
}

// Records every packet and exposes the read buffer.
class RecordingConnection : public BdClientConnection {
  public:
    int ParsePacket(const char *data, int length) override {
        packets.emplace_back(data, static_cast<size_t>(length));
        if (echo) {
            char *copy = static_cast<char *>(malloc(static_cast<size_t>(length)));
            memcpy(copy, data, static_cast<size_t>(length));
            PutWriteQueueItem(copy, length);
        }
        return 0;
    }
    int Capacity() const { return _readBufferCapacity; }
    int BytesHeld() const { return _bytesHeld; }
    std::string Held() const { return std::string(_readBuffer, static_cast<size_t>(_bytesHeld)); }

    std::vector<std::string> packets;
    bool echo = false;
};

#endif  // TESTS_BD_NETFRAMWORK_NET_TEST_SUPPORT_H
