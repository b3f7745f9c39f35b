#ifndef RT_TOOLS_RT_BENCH_CONNECTION_H_
#define RT_TOOLS_RT_BENCH_CONNECTION_H_

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "rt_tools/rt_peer_framer.h"
#include "rt_tools/rt_peer_tls.h"

// One peer connection of the benchmark: a non-blocking socket to the router, the packets received
// but not yet taken, and the bytes queued but not yet sent. Many of them share one thread and one
// epoll set (RtBenchPoller). The connection owns its socket and closes it when destroyed; it is
// neither copied nor moved, so a socket is closed exactly once. With a TLS context the
// connection speaks TLS once connected: queued bytes wait until the TLS handshake is done.
class RtBenchConnection {
  public:
    RtBenchConnection() = default;
    ~RtBenchConnection();
    RtBenchConnection(const RtBenchConnection &) = delete;
    RtBenchConnection &operator=(const RtBenchConnection &) = delete;

    // Starts a non-blocking connect to 127.0.0.1:port, TLS with tls (not owned) unless it is
    // null. false when the socket cannot be made.
    bool StartConnect(int port, SSL_CTX *tls);
    // After the socket reported writable for the first time: true when the connect succeeded.
    bool FinishConnect();

    void Queue(const char *data, size_t length);
    // Sends what the kernel takes now. false when the connection failed.
    bool Flush();
    // Bytes to send that the socket could take now: none while the TLS handshake waits to read.
    bool HasOutput() const {
        return _sent < _out.size() && !(_handshaking && !_handshakeWantsWrite);
    }

    // Reads what is available into the framer. BD_SUCCESS, or BD_PEER_CLOSE_CONNECTION /
    // BD_RECV_ERROR when the connection ended.
    int ReadAvailable();
    RtPeerFramer &Input() { return _in; }

    int Fd() const { return _fd; }
    bool connected = false;  // the connect completed
    bool answered = false;   // the handshake answer arrived
    std::chrono::steady_clock::time_point connected_at;
    std::chrono::steady_clock::time_point answered_at;
    std::string uuid;

  private:
    // Moves the TLS handshake on; false when it failed.
    bool Handshake();
    // ReadAvailable over TLS.
    int ReadTls();

    int _fd = -1;
    SSL_CTX *_tlsContext = nullptr;  // not owned; null: plain TCP
    RtPeerTlsSession _tls;
    bool _handshaking = false;
    bool _handshakeWantsWrite = false;
    RtPeerFramer _in;
    // Room offered to one recv: small for a crowd's connections, each of which reads one answer
    // (their buffers are allocated and zeroed per connection), doubled whenever a read fills it.
    size_t _readSize = kFirstReadBytes;
    static constexpr size_t kFirstReadBytes = 4 * 1024;
    static constexpr size_t kMaxReadBytes = 256 * 1024;
    std::vector<char> _out;
    size_t _sent = 0;  // bytes of _out already sent
};

// A level-triggered epoll set over connections, for one thread. Does not own the connections;
// they must outlive their registration.
class RtBenchPoller {
  public:
    RtBenchPoller();
    ~RtBenchPoller();
    RtBenchPoller(const RtBenchPoller &) = delete;
    RtBenchPoller &operator=(const RtBenchPoller &) = delete;

    bool Ok() const { return _epollFd >= 0; }
    // Registers conn under index for reading, plus writing while it has output or is connecting.
    bool Add(RtBenchConnection *conn, size_t index, bool writable);
    // Re-arms writing interest to match whether conn has output.
    void Update(RtBenchConnection *conn, size_t index, bool writable);
    // Waits at most timeoutMs and fills ready with (index, readable, writable) triples.
    struct Event {
        size_t index;
        bool readable;
        bool writable;
    };
    int Wait(int timeoutMs, std::vector<Event> *ready);

  private:
    int _epollFd = -1;
};

#endif  // RT_TOOLS_RT_BENCH_CONNECTION_H_
