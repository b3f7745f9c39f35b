// The reaper's share of a loop turn with 10,000 idle peers: the connection manager's CheckTimeout
// when nothing is due, as scheduled (the registry is walked only when a deadline, a write stall or
// a close may be due) and as a plain walk of every connection on every turn (forced by asking for
// a check before each turn).
//
// Built only on request and never run by ctest; build it Release and run it on a quiet machine:
//   cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release
//   cmake --build build-release --target bd_reaper_bench
//   build-release/bench/bd_reaper_bench [peers] [turns]
#include <stdio.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <time.h>

#include <list>
#include <string>

#include "bd_netframwork/bd_conn_manager.h"
#include "bd_netframwork/bd_connection.h"
#include "bd_netframwork/bd_poll.h"

namespace {

long FixedClock() {
    return 1000000;
}

double Seconds(clockid_t clock) {
    struct timespec now;
    clock_gettime(clock, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

// A registered peer that never sends anything.
class IdleConnection : public BdConnection {
  public:
    int ParsePacket(const char *, int) override { return 0; }
};

void Run(const char *label, BdConnManager *manager, long turns, bool walkEveryTurn) {
    std::list<std::string> lost;
    double cpu = Seconds(CLOCK_PROCESS_CPUTIME_ID);
    for (long i = 0; i < turns; ++i) {
        if (walkEveryTurn) {
            manager->ReapSchedule()->DueNow();
        }
        manager->CheckTimeout(&lost);
    }
    cpu = Seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu;
    printf("%-10s turns=%ld cpu_ns_per_turn=%.0f reaped=%zu\n", label, turns, cpu * 1e9 / turns,
           lost.size());
}

}  // namespace

int main(int argc, char **argv) {
    const long peers = argc > 1 ? atol(argv[1]) : 10000;
    const long turns = argc > 2 ? atol(argv[2]) : 20000;
    rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    BdConnManager manager;
    manager.SetSecondsClock(FixedClock);
    if (manager.Init() != 0) {
        fprintf(stderr, "cannot create the epoll instance\n");
        return 1;
    }
    for (long i = 0; i < peers; ++i) {
        const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        auto *conn = new IdleConnection();
        if (fd < 0 || conn->Init(fd, &manager) != 0) {
            fprintf(stderr, "only %ld descriptors: raise the open-file limit\n", i);
            return 1;
        }
        conn->SetTimeout(FixedClock() + 30);
        manager.AddMapFdToConn(fd, conn, kBdReadInterest);
    }
    printf("peers=%ld\n", peers);
    Run("scheduled", &manager, turns, false);
    Run("walk", &manager, turns, true);
    manager.Destroy();
    return 0;
}
