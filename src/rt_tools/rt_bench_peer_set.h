#ifndef RT_TOOLS_RT_BENCH_PEER_SET_H_
#define RT_TOOLS_RT_BENCH_PEER_SET_H_

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "rt_tools/rt_bench_connection.h"

// The benchmark's peers of one run: every connection to the router, one epoll set over them, and
// the hand-shaking of a batch of new peers all at once. The set owns its connections; peers are
// numbered in the order they were added and keep their number. One thread.
class RtBenchPeerSet {
  public:
    using Clock = std::chrono::steady_clock;

    // Peers connect to 127.0.0.1:port, over TLS with tls (not owned) unless it is null.
    RtBenchPeerSet(int port, SSL_CTX *tls) : _port(port), _tls(tls) {}
    RtBenchPeerSet(const RtBenchPeerSet &) = delete;
    RtBenchPeerSet &operator=(const RtBenchPeerSet &) = delete;

    // Connects one peer per UUID, all at once, hand-shakes each as kind, and waits until every
    // one has its handshake-success answer. false with *error when a connect fails, an answer is
    // anything else, or the deadline passes.
    bool Join(const std::vector<std::string> &uuids, int kind, Clock::time_point deadline,
              std::string *error);

    size_t Size() const { return _peers.size(); }
    RtBenchConnection &Peer(size_t index) { return *_peers[index]; }
    RtBenchPoller &Poller() { return _poller; }

    // Queues a keep-alive on every peer when the last ones are 10 s old, so that peers that only
    // listen are not reaped during a long run.
    void KeepAlive(Clock::time_point now);
    // Flushes peer and arms writing interest while it still has output. false when it failed.
    bool Flush(size_t index);
    // Reads what peer index has available into its framer. false with *error when the router
    // closed the connection.
    bool Read(size_t index, std::string *error);

  private:
    int _port;
    SSL_CTX *_tls;  // not owned
    RtBenchPoller _poller;
    std::vector<std::unique_ptr<RtBenchConnection>> _peers;
    std::vector<bool> _writing;  // writing interest armed, per peer
    Clock::time_point _lastKeepalive = Clock::now();
};

#endif  // RT_TOOLS_RT_BENCH_PEER_SET_H_
