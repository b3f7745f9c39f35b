#ifndef TESTS_SUPPORT_EVENTUALLY_H_
#define TESTS_SUPPORT_EVENTUALLY_H_

#include <chrono>
#include <functional>
#include <thread>

// Polls condition until it holds (true) or timeoutMs has passed (false). For effects of another
// process, such as a router's database write or a tool's output, that land at no known moment.
inline bool Eventually(const std::function<bool()> &condition, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

#endif  // TESTS_SUPPORT_EVENTUALLY_H_
