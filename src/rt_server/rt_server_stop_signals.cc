#include "rt_server/rt_server_stop_signals.h"

#include <pthread.h>
#include <time.h>

#include <csignal>

namespace {

volatile std::sig_atomic_t g_stop_requested = 0;
bool g_installed = false;  // both signals blocked and handled here; main thread
sigset_t g_wait_mask;

void OnStopSignal(int) {
    g_stop_requested = 1;
}

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

}  // namespace

bool RtServerStopSignals::Install() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    const sigset_t stop = StopSignals();
    if (sigaction(SIGTERM, &action, nullptr) != 0 || sigaction(SIGINT, &action, nullptr) != 0 ||
        pthread_sigmask(SIG_BLOCK, &stop, &g_wait_mask) != 0) {
        return false;
    }
    sigdelset(&g_wait_mask, SIGTERM);
    sigdelset(&g_wait_mask, SIGINT);
    g_installed = true;
    return true;
}

bool RtServerStopSignals::Requested() {
    // A loop that always finds events ready waits with a zero time-out, which the kernel never
    // interrupts: a signal still pending is taken here, or a busy router would never stop.
    if (g_stop_requested == 0 && g_installed) {
        const sigset_t stop = StopSignals();
        const timespec now{0, 0};
        if (sigtimedwait(&stop, nullptr, &now) > 0) {
            g_stop_requested = 1;
        }
    }
    return g_stop_requested != 0;
}

bool RtServerStopSignals::Pending() {
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    return Requested() || sigismember(&pending, SIGTERM) == 1 || sigismember(&pending, SIGINT) == 1;
}

const sigset_t &RtServerStopSignals::WaitMask() {
    return g_wait_mask;
}

void RtServerStopSignals::Release() {
    g_installed = false;
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    const sigset_t stop = StopSignals();
    pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
}
