#ifndef RT_SERVER_RT_SERVER_CONTROL_SIGNALS_H_
#define RT_SERVER_RT_SERVER_CONTROL_SIGNALS_H_

#include <signal.h>

// SIGHUP asks the serving router to read its configuration again, SIGUSR2 to upgrade in place.
// Once Install has run both stay blocked except while the main loop waits for events (the event
// wait unblocks them with WaitMask), so a request lands only between two turns: never inside a
// handler, and never lost between the check and the wait. Before Install (start-up) they end the
// process, as they always did.
//
// Process-wide, like signal dispositions themselves; main thread only.
class RtServerControlSignals {
  public:
    RtServerControlSignals() = delete;

    // Installs the handlers and blocks the signals; after RtServerStopSignals::Install, whose wait
    // mask it narrows. false when a system call failed.
    static bool Install();
    // Once a turn: takes a signal that is still pending. A loop that always finds events ready
    // waits with a zero time-out, which the kernel never interrupts, so a busy router would
    // otherwise never see the signal.
    static void CollectPending();
    // True when a reload was asked for since the last call.
    static bool TakeReload();
    // True when an upgrade was asked for since the last call.
    static bool TakeUpgrade();
    // The signal mask to wait for events with: the stop signals' one without SIGHUP and SIGUSR2
    // either.
    static const sigset_t &WaitMask();
};

#endif  // RT_SERVER_RT_SERVER_CONTROL_SIGNALS_H_
