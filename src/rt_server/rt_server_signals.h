#ifndef RT_SERVER_RT_SERVER_SIGNALS_H_
#define RT_SERVER_RT_SERVER_SIGNALS_H_

class BdConnManager;

// The signals an operator sends the serving router: SIGTERM and SIGINT stop it cleanly, SIGHUP
// reads its configuration again, SIGUSR2 upgrades it in place. Block, at start-up once the log and
// the database are open and before any other thread starts (so every thread inherits the mask),
// blocks all four for good; before that they end the process, as they always did. From then on
// they are read from a signalfd that Register puts in a manager's epoll set: an arrival wakes the
// loop like a packet, however busy it is, and lands only between two turns, never inside a handler
// or a database statement. A child the router starts gets an empty mask and default dispositions
// (no handler is ever installed); an image executed by an upgrade inherits the mask, so a signal
// sent during the exec waits for its loop. Release, once the stop begins, unblocks SIGTERM and
// SIGINT on the main thread, so a second one ends the process at once.
//
// Process-wide, like the signal mask itself and its one signalfd; main thread only.
class RtServerSignals {
  public:
    RtServerSignals() = delete;

    // false when the mask could not be set.
    static bool Block();
    // Takes a reload or an upgrade asked for while the signals were blocked, to be served once the
    // router serves: an image executed by an upgrade that starts afresh calls it before it unblocks
    // them as a first start does, so that neither ends the process.
    static void KeepPendingRequests();
    // Watches the signalfd in manager's loop, after its Init; false when that cannot be done.
    static bool Register(BdConnManager *manager);
    // True once a stop was asked for.
    static bool StopRequested();
    // True when a stop was asked for or a stop signal waits, outside a turn (a router that cannot
    // bind its port never turns its loop).
    static bool StopPending();
    // True when a reload, or an upgrade, was asked for since the last call.
    static bool TakeReload();
    static bool TakeUpgrade();
    static void Release();
};

#endif  // RT_SERVER_RT_SERVER_SIGNALS_H_
