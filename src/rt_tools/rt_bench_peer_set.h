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
    RtBenchPeerSet(int port, SSL_CTX *tls) : port_(port), tls_(tls) {}
    RtBenchPeerSet(const RtBenchPeerSet &) = delete;
    RtBenchPeerSet &operator=(const RtBenchPeerSet &) = delete;

    // Connects one peer per UUID, all at once, hand-shakes each as kind, and waits until every
    // one has its handshake-success answer. false with *error when a connect fails, an answer is
    // anything else, or the deadline passes.
    bool Join(const std::vector<std::string> &uuids, int kind, Clock::time_point deadline,
              std::string *error);

    size_t Size() const { return peers_.size(); }
    RtBenchConnection &Peer(size_t index) { return *peers_[index]; }
    RtBenchPoller &Poller() { return poller_; }

    // Queues a keep-alive on every peer when the last ones are 10 s old, so that peers that only
    // listen are not reaped during a long run.
    void KeepAlive(Clock::time_point now);
    // Flushes peer and arms writing interest while it still has output. false when it failed.
    bool Flush(size_t index);
    // Reads what peer index has available into its framer. false with *error when the router
    // closed the connection.
    bool Read(size_t index, std::string *error);

  private:
    int port_;
    SSL_CTX *tls_;  // not owned
    RtBenchPoller poller_;
    std::vector<std::unique_ptr<RtBenchConnection>> peers_;
    std::vector<bool> writing_;  // writing interest armed, per peer
    Clock::time_point last_keepalive_ = Clock::now();
};

#endif  // RT_TOOLS_RT_BENCH_PEER_SET_H_
