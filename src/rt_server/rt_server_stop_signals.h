#ifndef RT_SERVER_RT_SERVER_STOP_SIGNALS_H_
#define RT_SERVER_RT_SERVER_STOP_SIGNALS_H_

#include <signal.h>

// SIGTERM and SIGINT ask the router to stop cleanly. Once Install has run, both stay blocked
// except while the main loop waits for events (the event wait unblocks them with WaitMask), so a
// request lands only between two turns: never inside a handler or a database statement, and
// never lost between the check and the wait. Release, called once the stop begins, gives both
// signals back their default action and unblocks them, so a second signal ends the process at
// once. Other signals are left alone.
//
// Process-wide, like signal dispositions themselves; main thread only.
class RtServerStopSignals {
  public:
    RtServerStopSignals() = delete;

    // Installs the handler and blocks both signals. false when a system call failed.
    static bool Install();
    // True once a stop was asked for; takes a stop signal still pending (see the loop's wait).
    static bool Requested();
    // True when a stop was asked for or a stop signal waits, blocked, outside the event wait (a
    // router that cannot bind its port never waits for events).
    static bool Pending();
    // The signal mask to wait for events with: the current one without SIGTERM and SIGINT.
    static const sigset_t &WaitMask();
    static void Release();
};

#endif  // RT_SERVER_RT_SERVER_STOP_SIGNALS_H_
