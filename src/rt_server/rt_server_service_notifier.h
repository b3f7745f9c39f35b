#ifndef RT_SERVER_RT_SERVER_SERVICE_NOTIFIER_H_
#define RT_SERVER_RT_SERVER_SERVICE_NOTIFIER_H_

#include <cstdint>
#include <string>

// Tells a service manager how the router is doing over the notification socket it names in
// NOTIFY_SOCKET: ready once the listener is open, a one-line status, and a watchdog ping from
// every turn of the main loop, so a loop that stops turning gets the process restarted. Without
// NOTIFY_SOCKET (a manager that does not listen, no manager at all) every call does nothing.
//
// Main thread only; the object holds no resources.
class RtServerServiceNotifier {
  public:
    // Reads whether a watchdog is asked for, and its interval, from the environment.
    RtServerServiceNotifier();

    // READY=1 with a status line: the first, or the one that ends a reload.
    void Ready(const std::string &status);
    // RELOADING=1 with the monotonic time the manager wants beside it; Ready ends the reload.
    void Reloading();
    // True at most once a second while a manager listens: time to build a fresh status line.
    bool StatusDue();
    // STATUS=status, only when it differs from the last one sent.
    void Status(const std::string &status);
    // WATCHDOG=1, at most every half interval; nothing when no watchdog is asked for.
    void Alive();
    // The longest the main loop may wait for events, in seconds, given the usual longest: half
    // the watchdog interval (at least 1 s, so a WatchdogSec below 2 s is not kept), so a ping
    // sent after at least half an interval is never later than a whole one; and 1 s while a
    // manager listens, so the status line it shows is never more than a second old.
    int WaitSeconds(int usual) const;
    // STOPPING=1 with a last status line.
    void Stopping(const std::string &status);

  private:
    void Send(const std::string &state);

    bool _listening = false;         // NOTIFY_SOCKET names a socket
    uint64_t _watchdogHalfUsec = 0;  // 0: no watchdog
    uint64_t _lastPingUsec = 0;
    uint64_t _lastStatusUsec = 0;
    std::string _lastStatus;
};

#endif  // RT_SERVER_RT_SERVER_SERVICE_NOTIFIER_H_
