#ifndef RT_TOOLS_RT_BENCH_TRAFFIC_H_
#define RT_TOOLS_RT_BENCH_TRAFFIC_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "rt_tools/rt_bench_peer_set.h"

// One stream of normal packets from one peer to another through the router.
struct RtBenchFlow {
    size_t sender;    // peer numbers in the RtBenchPeerSet
    size_t receiver;  // with echo, the peer that answers each packet back to the sender
};

struct RtBenchTrafficSpec {
    int payload_size = 256;  // bytes of JSON payload per packet (at least kMinPayload)
    int messages = 1000;     // per flow
    int window = 64;         // packets in flight per flow; 1 for strict ping-pong
    bool echo = false;       // the receiver answers each packet; latency is the round trip

    // The smallest payload that still carries a flow number and a sequence number.
    static const int kMinPayload = 39;
};

struct RtBenchTrafficResult {
    uint64_t delivered = 0;  // packets (round trips with echo) verified at their destination
    uint64_t bytes = 0;      // bytes of those packets, both ways with echo
    double seconds = 0;      // first send to last delivery
    std::vector<uint32_t> latencies_us;  // per delivered packet, send to arrival
};

// Drives flows through the router and checks every packet that arrives: it must be the next
// sequence number of its flow, at the flow's destination, equal byte for byte to what was sent.
// Any loss (time bound reached), corruption, reordering or stray packet ends the run with an
// error. Works on the caller's peer set, on the caller's thread.
class RtBenchTraffic {
  public:
    RtBenchTraffic(RtBenchPeerSet *peers, const std::vector<RtBenchFlow> &flows,
                   const RtBenchTrafficSpec &spec);
    RtBenchTraffic(const RtBenchTraffic &) = delete;
    RtBenchTraffic &operator=(const RtBenchTraffic &) = delete;

    bool Run(RtBenchPeerSet::Clock::time_point deadline, RtBenchTrafficResult *result,
             std::string *error);

  private:
    using Clock = RtBenchPeerSet::Clock;

    struct FlowState {
        RtBenchFlow ends;
        std::vector<char> request;  // the packet as sent, its sequence digits patched per send
        std::vector<char> reply;    // with echo: the answer, addressed the other way
        int next_send = 0;
        int next_request = 0;   // with echo: next sequence number the receiver expects
        int next_delivery = 0;  // next sequence number to arrive where the flow ends
        int in_flight = 0;
        std::vector<Clock::time_point> sent_at;  // by sequence number modulo the window
    };

    void TopUp(size_t flow);
    // Takes one arrived packet at peer; false with *error when it is not the expected one.
    bool Take(size_t peer, const char *packet, int length, std::string *error);
    // The flow number a packet carries; false when it does not carry a valid one.
    bool FlowOf(const char *packet, int length, size_t *flow, int *sequence) const;

    RtBenchPeerSet *_peers;
    RtBenchTrafficSpec _spec;
    std::vector<FlowState> _flows;
    std::vector<bool> _dirty;  // peers with packets queued since the last flush
    RtBenchTrafficResult *_result = nullptr;
};

#endif  // RT_TOOLS_RT_BENCH_TRAFFIC_H_
