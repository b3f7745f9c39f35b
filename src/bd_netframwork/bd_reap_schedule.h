// BdReapSchedule: when the connection manager's reaper next has to walk its connections.
//
// Walking every connection costs about 200 us a turn at 10,000 idle peers (bd_reaper_bench), the
// router CPU of 25 to 40 forwarded packets on every loop turn; with the schedule a turn on which
// nothing can be due costs about 50 ns. The connections only report: the second at which one may
// fall due (a deadline, the end of a write stall) and, for a close flag or a queue beyond its
// limit, that one is due at once. The manager asks at the start of each turn and plans afresh
// from what each walk sees.
//
// Owned by the connection manager, which hands it to its connections. Lock-free: connections
// report from any thread; only the event-loop thread asks.
#ifndef BD_NETFRAMWORK_BD_REAP_SCHEDULE_H
#define BD_NETFRAMWORK_BD_REAP_SCHEDULE_H

#include <atomic>
#include <climits>

class BdReapSchedule {
  public:
    // Something may fall due at second.
    void DueBy(long second) {
        long planned = _nextSecond.load();
        while (second < planned && !_nextSecond.compare_exchange_weak(planned, second)) {
        }
    }
    // Something is due now.
    void DueNow() { _requested.store(true); }

    // True when a walk is due at now; a walk that follows must call Restart first.
    bool IsDue(long now) {
        const bool requested = _requested.load() && _requested.exchange(false);
        return requested || now >= _nextSecond.load();
    }
    // Forgets the plan; the walk about to start plans again with DueBy, and a connection that
    // reports meanwhile lowers the plan as ever.
    void Restart() { _nextSecond.store(LONG_MAX); }

  private:
    std::atomic<long> _nextSecond{0};
    std::atomic<bool> _requested{false};
};

#endif  // BD_NETFRAMWORK_BD_REAP_SCHEDULE_H
