#include "rt_server/rt_server_control_signals.h"

#include <pthread.h>
#include <time.h>

#include <csignal>

#include "rt_server/rt_server_stop_signals.h"

namespace {

volatile std::sig_atomic_t g_reload_requested = 0;
volatile std::sig_atomic_t g_upgrade_requested = 0;
sigset_t g_wait_mask;

void OnControlSignal(int number) {
    (number == SIGHUP ? g_reload_requested : g_upgrade_requested) = 1;
}

bool Take(volatile std::sig_atomic_t *flag) {
    if (*flag == 0) {
        return false;
    }
    *flag = 0;
    return true;
}

sigset_t ControlSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGUSR2);
    return set;
}

}  // namespace

void RtServerControlSignals::CollectPending() {
    const sigset_t control = ControlSignals();
    const timespec now{0, 0};
    int number;
    while ((number = sigtimedwait(&control, nullptr, &now)) > 0) {
        OnControlSignal(number);
    }
}

bool RtServerControlSignals::Install() {
    struct sigaction action {};
    action.sa_handler = OnControlSignal;
    sigemptyset(&action.sa_mask);
    const sigset_t control = ControlSignals();
    g_wait_mask = RtServerStopSignals::WaitMask();
    sigdelset(&g_wait_mask, SIGHUP);
    sigdelset(&g_wait_mask, SIGUSR2);
    return sigaction(SIGHUP, &action, nullptr) == 0 && sigaction(SIGUSR2, &action, nullptr) == 0 &&
           pthread_sigmask(SIG_BLOCK, &control, nullptr) == 0;
}

bool RtServerControlSignals::TakeReload() {
    return Take(&g_reload_requested);
}

bool RtServerControlSignals::TakeUpgrade() {
    return Take(&g_upgrade_requested);
}

const sigset_t &RtServerControlSignals::WaitMask() {
    return g_wait_mask;
}
