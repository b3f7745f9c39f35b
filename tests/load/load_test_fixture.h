#ifndef TESTS_LOAD_LOAD_TEST_FIXTURE_H_
#define TESTS_LOAD_LOAD_TEST_FIXTURE_H_

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <string>

#include "process_probe.h"
#include "rt_server/rt_server_e2e_fixture.h"

// The router process under load and faults. Every test starts from a router of its own with a
// registered server platform; the figures a test measures are printed, never asserted.
class RtServerLoadTest : public RtServerE2eTest {
  protected:
    using Clock = std::chrono::steady_clock;

    void SetUp() override {
        // Thousands of sockets on both ends; the router inherits the raised limit.
        DescriptorLimit::RaiseToHard();
        RtServerE2eTest::SetUp();
        if (IsSkipped() || HasFatalFailure() || !router_->Running())
            return;
        RegisterPlatform(&platform_);
    }

    static double SecondsSince(Clock::time_point start) {
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

    // One measured figure, on standard output and in the test's XML report.
    void Figure(const std::string &name, double value, const std::string &unit) {
        std::cout << "[ figure   ] " << name << ": " << value << " " << unit << std::endl;
        RecordProperty(name, std::to_string(value) + " " + unit);
    }

    // from sends one normal packet to to, which must receive it unchanged.
    void ExpectForwards(RtPeerClient *from, const std::string &fromUuid, RtPeerClient *to,
                        const std::string &toUuid, const std::string &payload) {
        ASSERT_EQ(from->SendNormal(Route(fromUuid, toUuid), payload), 0);
        RtPeerPacket got;
        ASSERT_EQ(to->Receive(&got), 0);
        EXPECT_EQ(got.SourceUuid(), fromUuid);
        EXPECT_EQ(got.Payload(), payload);
    }

    // Peers "a" and "b" exchange packets for seconds, sample running after every round trip: the
    // longest one forward took (a round trip is two forwards, the longer at least half of it), and
    // the round trips in *exchanges. A stall fails the test and ends the exchange.
    double PairLongestPause(RtPeerClient *a, RtPeerClient *b, double seconds,
                            const std::function<void()> &sample, int *exchanges) {
        double longest = 0;
        *exchanges = 0;
        for (const Clock::time_point start = Clock::now(); SecondsSince(start) < seconds;) {
            const std::string payload = "turn " + std::to_string(*exchanges);
            const Clock::time_point sent = Clock::now();
            RtPeerPacket got;
            if (a->SendNormal(Route("a", "b"), payload) != 0 || b->Receive(&got) != 0 ||
                got.Payload() != payload || b->SendNormal(Route("b", "a"), payload) != 0 ||
                a->Receive(&got) != 0 || got.Payload() != payload) {
                ADD_FAILURE() << "the pair stalled at exchange " << *exchanges;
                break;
            }
            longest = std::max(longest, SecondsSince(sent) / 2);
            sample();
            if (++*exchanges % 100 == 0)
                KeepPlatformAlive();
        }
        return longest;
    }

    // For a test that measures the router's resident memory: the address sanitizer's quarantine
    // keeps what the router freed resident (by default up to 256 MiB), which is no growth of the
    // router's own. At most mib MiB of it is kept. The router inherits the setting: call this
    // before it starts, in the fixture's constructor.
    static void LimitSanitizerQuarantine(int mib) {
        const char *options = std::getenv("ASAN_OPTIONS");
        std::string merged = std::string(options != nullptr ? options : "") +
                             ":quarantine_size_mb=" + std::to_string(mib);
        if (mib == 0)
            merged += ":thread_local_quarantine_size_kb=0";
        setenv("ASAN_OPTIONS", merged.c_str(), 1);
    }

    // Keeps the platform's connection from being reaped as idle, so the router stays ready.
    void KeepPlatformAlive() { ASSERT_EQ(platform_.SendKeepAlive(), 0); }

    // Closes the socket so that the router sees a reset instead of an orderly end.
    static void ResetConnection(RtPeerClient *peer) {
        linger abort{1, 0};
        setsockopt(peer->GetFD(), SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
        peer->Close();
    }

    RtPeerClient platform_;
};

#endif  // TESTS_LOAD_LOAD_TEST_FIXTURE_H_
