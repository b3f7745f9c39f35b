#include "rt_tools/rt_bench_pair.h"

#include <algorithm>

#include "rt_tools/rt_bench_record.h"

double RtBenchMillisecondsBetween(RtBenchPair::Clock::time_point from,
                                  RtBenchPair::Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

void RtBenchPair::Stop() {
    _stop = true;
    if (_thread.joinable()) {
        _thread.join();
    }
}

double RtBenchPair::GapPercentileMs(double fraction) {
    return RtBenchRecord::Percentile(&_gapsUs, fraction) / 1000.0;
}

void RtBenchPair::Run() {
    Clock::time_point last = Clock::now(), keptAlive = last;
    const RtPeerRoute there{_prefix + "ping", _prefix + "pong"};
    const RtPeerRoute back{_prefix + "pong", _prefix + "ping"};
    RtPeerPacket got;
    while (!_stop) {
        if (_ping->SendNormal(there, "ping") != 0 || _pong->Receive(&got, 60000) != 0 ||
            _pong->SendNormal(back, "pong") != 0 || _ping->Receive(&got, 60000) != 0) {
            _failed = true;
            return;
        }
        const Clock::time_point now = Clock::now();
        const double gapMs = RtBenchMillisecondsBetween(last, now);
        _longestMs = std::max(_longestMs.load(), gapMs);
        _gapsUs.push_back(static_cast<uint32_t>(gapMs * 1000));
        last = now;
        ++_exchanges;
        if (now - keptAlive > std::chrono::seconds(kKeepAliveSeconds)) {
            _platform->SendKeepAlive();
            keptAlive = now;
        }
    }
}
