#include "rt_server/rt_server_control_signals.h"

#include <pthread.h>

#include <csignal>

#include "rt_server/rt_server_stop_signals.h"

namespace {

volatile std::sig_atomic_t g_reload_requested = 0;
sigset_t g_wait_mask;

void OnReloadSignal(int) {
    g_reload_requested = 1;
}

}  // namespace

bool RtServerControlSignals::Install() {
    struct sigaction action {};
    action.sa_handler = OnReloadSignal;
    sigemptyset(&action.sa_mask);
    sigset_t control;
    sigemptyset(&control);
    sigaddset(&control, SIGHUP);
    g_wait_mask = RtServerStopSignals::WaitMask();
    sigdelset(&g_wait_mask, SIGHUP);
    return sigaction(SIGHUP, &action, nullptr) == 0 &&
           pthread_sigmask(SIG_BLOCK, &control, nullptr) == 0;
}

bool RtServerControlSignals::TakeReload() {
    if (g_reload_requested == 0) {
        return false;
    }
    g_reload_requested = 0;
    return true;
}

const sigset_t &RtServerControlSignals::WaitMask() {
    return g_wait_mask;
}
