#include "rt_server/rt_server_signals.h"

#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <initializer_list>
#include <utility>

#include "bd_common/bd_error.h"
#include "bd_netframwork/bd_conn_manager.h"

namespace {

bool g_stop_requested = false;
bool g_reload_requested = false;
bool g_upgrade_requested = false;

sigset_t SetOf(std::initializer_list<int> numbers) {
    sigset_t set;
    sigemptyset(&set);
    for (int number : numbers) {
        sigaddset(&set, number);
    }
    return set;
}

const std::initializer_list<int> kServed = {SIGTERM, SIGINT, SIGHUP, SIGUSR2};

// Process-wide like the mask: one for every loop of the process, closed by the exec or the exit.
int g_signal_fd = -1;

// Edge-triggered: read to the end at each wake-up.
void ReadSignals() {
    signalfd_siginfo info;
    while (read(g_signal_fd, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
        const int number = static_cast<int>(info.ssi_signo);
        (number == SIGHUP    ? g_reload_requested
         : number == SIGUSR2 ? g_upgrade_requested
                             : g_stop_requested) = true;
    }
}

}  // namespace

bool RtServerSignals::Block() {
    // An ignored signal would never be pending, so never read: one inherited as ignored is served
    // all the same.
    for (int number : kServed) {
        std::signal(number, SIG_DFL);
    }
    const sigset_t served = SetOf(kServed);
    return pthread_sigmask(SIG_BLOCK, &served, nullptr) == 0;
}

void RtServerSignals::KeepPendingRequests() {
    const sigset_t requests = SetOf({SIGHUP, SIGUSR2});
    const timespec none{0, 0};
    for (int number = 0; (number = sigtimedwait(&requests, nullptr, &none)) > 0;) {
        (number == SIGHUP ? g_reload_requested : g_upgrade_requested) = true;
    }
}

bool RtServerSignals::Register(BdConnManager *manager) {
    if (g_signal_fd < 0) {
        const sigset_t served = SetOf(kServed);
        g_signal_fd = signalfd(-1, &served, SFD_NONBLOCK | SFD_CLOEXEC);
    }
    return g_signal_fd >= 0 && manager->WatchDescriptor(g_signal_fd, ReadSignals) == BD_SUCCESS;
}

bool RtServerSignals::StopRequested() {
    return g_stop_requested;
}

bool RtServerSignals::StopPending() {
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    return g_stop_requested || sigismember(&pending, SIGTERM) == 1 ||
           sigismember(&pending, SIGINT) == 1;
}

bool RtServerSignals::TakeReload() {
    return std::exchange(g_reload_requested, false);
}

bool RtServerSignals::TakeUpgrade() {
    return std::exchange(g_upgrade_requested, false);
}

void RtServerSignals::Release() {
    const sigset_t stop = SetOf({SIGTERM, SIGINT});
    pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
}
