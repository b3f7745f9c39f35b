#ifndef RT_TOOLS_RT_BENCH_PAIR_H_
#define RT_TOOLS_RT_BENCH_PAIR_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "rt_tools/rt_peer_client.h"

// The ping-pong pair a workload runs beside its load: one packet in flight at a time, the longest
// gap between two deliveries. Runs on a thread of its own between Start and Stop; the longest
// pause and the exchanges may be read at any time, the gaps' percentiles only after Stop. The
// clients are not owned; the platform gets a keep-alive now and then so that the router keeps it.
class RtBenchPair {
  public:
    using Clock = std::chrono::steady_clock;
    // Keep-alives well inside the router's idle time-out.
    static constexpr int kKeepAliveSeconds = 10;

    RtBenchPair(RtPeerClient *ping, RtPeerClient *pong, RtPeerClient *platform, std::string prefix)
        : _ping(ping), _pong(pong), _platform(platform), _prefix(std::move(prefix)) {}
    ~RtBenchPair() { Stop(); }
    void Start() { _thread = std::thread(&RtBenchPair::Run, this); }
    void Stop();
    double LongestPauseMs() const { return _longestMs; }
    // Starts the longest pause afresh, for a phase of its own.
    void ResetLongestPause() { _longestMs = 0; }
    long Exchanges() const { return _exchanges; }
    bool Failed() const { return _failed; }
    // The gap between two deliveries at fraction (0.99) of the sorted gaps, after Stop.
    double GapPercentileMs(double fraction);

  private:
    void Run();

    RtPeerClient *_ping, *_pong, *_platform;
    std::string _prefix;
    std::atomic<bool> _stop{false};
    std::atomic<bool> _failed{false};
    std::atomic<double> _longestMs{0};
    std::atomic<long> _exchanges{0};
    std::vector<uint32_t> _gapsUs;  // written by the pair's thread only
    std::thread _thread;
};

double RtBenchMillisecondsBetween(RtBenchPair::Clock::time_point from,
                                  RtBenchPair::Clock::time_point to);

#endif  // RT_TOOLS_RT_BENCH_PAIR_H_
