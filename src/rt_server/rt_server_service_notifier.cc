#include "rt_server/rt_server_service_notifier.h"

#include <systemd/sd-daemon.h>
#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace {

uint64_t MonotonicUsec() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

const uint64_t kStatusIntervalUsec = 1000000;
// A changed status waits for the next turn at most this long.
const int kStatusWaitSeconds = 1;

}  // namespace

RtServerServiceNotifier::RtServerServiceNotifier() {
    const char *socket = std::getenv("NOTIFY_SOCKET");
    _listening = socket != nullptr && socket[0] != '\0';
    uint64_t interval = 0;
    // Keeps the environment: a router entered again after its listener closed pings on.
    if (sd_watchdog_enabled(0, &interval) > 0) {
        _watchdogHalfUsec = interval / 2;
    }
}

void RtServerServiceNotifier::Ready(const std::string &status) {
    _lastStatus = status;
    _lastPingUsec = MonotonicUsec();
    Send("READY=1\nSTATUS=" + status);
}

void RtServerServiceNotifier::Reloading() {
    Send("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(MonotonicUsec()));
}

bool RtServerServiceNotifier::StatusDue() {
    if (!_listening) {
        return false;
    }
    const uint64_t now = MonotonicUsec();
    if (now - _lastStatusUsec < kStatusIntervalUsec) {
        return false;
    }
    _lastStatusUsec = now;
    return true;
}

void RtServerServiceNotifier::Status(const std::string &status) {
    if (status == _lastStatus) {
        return;
    }
    _lastStatus = status;
    Send("STATUS=" + status);
}

void RtServerServiceNotifier::Alive() {
    if (_watchdogHalfUsec == 0) {
        return;
    }
    const uint64_t now = MonotonicUsec();
    if (now - _lastPingUsec < _watchdogHalfUsec) {
        return;
    }
    _lastPingUsec = now;
    Send("WATCHDOG=1");
}

int RtServerServiceNotifier::WaitSeconds(int usual) const {
    int longest = _listening ? std::min(usual, kStatusWaitSeconds) : usual;
    if (_watchdogHalfUsec > 0) {
        const uint64_t halfSeconds = std::max<uint64_t>(_watchdogHalfUsec / 1000000u, 1);
        longest = static_cast<int>(std::min<uint64_t>(static_cast<uint64_t>(longest), halfSeconds));
    }
    return longest;
}

void RtServerServiceNotifier::Stopping(const std::string &status) {
    _lastStatus = status;
    Send("STOPPING=1\nSTATUS=" + status);
}

void RtServerServiceNotifier::Send(const std::string &state) {
    // Failure only means no manager is listening; the router serves all the same.
    sd_notify(0, state.c_str());
}
