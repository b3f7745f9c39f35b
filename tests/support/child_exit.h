#ifndef TESTS_SUPPORT_CHILD_EXIT_H_
#define TESTS_SUPPORT_CHILD_EXIT_H_

#include <sys/types.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

// Waits up to timeoutMs for the child *pid to end, polling, so a hung child fails the test rather
// than hanging it. Returns its exit status, or -1 when it did not end in time, ended by a signal
// or *pid names no child. Once the child has been collected *pid is -1.
inline int WaitChildExit(pid_t *pid, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (*pid > 0 && std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(*pid, &status, WNOHANG) == *pid) {
            *pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

#endif  // TESTS_SUPPORT_CHILD_EXIT_H_
