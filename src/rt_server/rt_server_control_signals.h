#ifndef RT_SERVER_RT_SERVER_CONTROL_SIGNALS_H_
#define RT_SERVER_RT_SERVER_CONTROL_SIGNALS_H_

#include <signal.h>

// SIGHUP asks the serving router to read its configuration again. Once Install has run it stays
// blocked except while the main loop waits for events (the event wait unblocks it with WaitMask),
// so a request lands only between two turns: never inside a handler, and never lost between the
// check and the wait. Before Install (start-up) it ends the process, as it always did.
//
// Process-wide, like signal dispositions themselves; main thread only.
class RtServerControlSignals {
  public:
    RtServerControlSignals() = delete;

    // Installs the handler and blocks the signal; after RtServerStopSignals::Install, whose wait
    // mask it narrows. false when a system call failed.
    static bool Install();
    // True when a reload was asked for since the last call.
    static bool TakeReload();
    // The signal mask to wait for events with: the stop signals' one without SIGHUP either.
    static const sigset_t &WaitMask();
};

#endif  // RT_SERVER_RT_SERVER_CONTROL_SIGNALS_H_
