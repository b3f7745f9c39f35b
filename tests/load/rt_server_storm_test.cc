// Many peers at once: a reconnect storm, and more connections than the router has descriptors.
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "load_test_fixture.h"

namespace {

using Peers = std::vector<std::unique_ptr<RtPeerClient>>;

std::string AgentUuid(int index) {
    return "storm-" + std::to_string(index);
}

// Many peers connecting at once.
class RtServerManyPeersTest : public RtServerLoadTest {
  protected:
    // Opens count connections from a few threads at once, each sending its client handshake at once
    // without waiting for the answer. Returns how many could not connect.
    static int ConnectAndHandShakeAtOnce(int port, int count, Peers *peers) {
        const int kThreads = 4;
        peers->clear();
        peers->resize(count);
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int i = t; i < count; i += kThreads) {
                    auto peer = std::make_unique<RtPeerClient>();
                    if (peer->Connect("127.0.0.1", port, 30000) != 0) {
                        ++failures;
                        continue;
                    }
                    // A send may fail when the router has already dropped the connection; the
                    // answer (or its absence) tells.
                    peer->Send(RtPeerPacket::HandShake(kBdHandShakeClient, Identity(AgentUuid(i))));
                    (*peers)[i] = std::move(peer);
                }
            });
        }
        for (std::thread &thread : threads)
            thread.join();
        return failures;
    }
};

class RtServerStormTest : public RtServerManyPeersTest {
  protected:
    std::string CountAgents(int onlineFlag) {
        return tables_.Value("SELECT COUNT(*) FROM bd_agent WHERE online_flag = " +
                             std::to_string(onlineFlag));
    }
};

TEST_F(RtServerStormTest, TwoThousandPeersHandShakeAtOnceAndAllGoOfflineTogether) {
    const int kPeers = 2000;
    if (DescriptorLimit::RaiseToHard() < kPeers + 100)
        GTEST_SKIP() << "the hard descriptor limit is below " << kPeers + 100;
    const long residentBefore = ProcessProbe::ResidentKb(router_->Pid());
    const Clock::time_point stormStart = Clock::now();
    Peers peers;
    ASSERT_EQ(ConnectAndHandShakeAtOnce(router_->Port(), kPeers, &peers), 0);

    int answered = 0;
    for (auto &peer : peers) {
        RtPeerPacket answer;
        if (peer->Receive(&answer, 60000) == 0 && answer.IsControl(kBdControlHandShakeSuccess))
            ++answered;
    }
    const double stormSeconds = SecondsSince(stormStart);
    ASSERT_EQ(answered, kPeers);
    EXPECT_EQ(CountAgents(1), std::to_string(kPeers));
    KeepPlatformAlive();
    const long residentAfter = ProcessProbe::ResidentKb(router_->Pid());
    Figure("storm_seconds", stormSeconds, "s");
    Figure("resident_kb_before", static_cast<double>(residentBefore), "kB");
    Figure("resident_kb_per_idle_connection",
           static_cast<double>(residentAfter - residentBefore) / kPeers, "kB");

    const Clock::time_point leaving = Clock::now();
    for (auto &peer : peers)
        peer->Close();
    EXPECT_TRUE(Eventually([&] { return CountAgents(2) == std::to_string(kPeers); }, 10000))
        << CountAgents(1) << " still online";
    Figure("all_offline_seconds", SecondsSince(leaving), "s");
    ExpectForwards(&platform_, "platform-1", &platform_, "platform-1", "after the storm");
}

// The router runs with few descriptors; peers beyond them must be turned away at once rather
// than left waiting unanswered, and the router must neither spin nor fall over.
class RtServerDescriptorLimitTest : public RtServerManyPeersTest {
  protected:
    static constexpr int kRouterDescriptors = 64;
    static constexpr int kPeers = 100;

    void SetUp() override {
        start_router_in_setup_ = false;
        RtServerManyPeersTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        {
            DescriptorLimit low(kRouterDescriptors);
            ASSERT_TRUE(router_->Start());
        }
        ASSERT_TRUE(router_->WaitListening(30000)) << router_->Stderr();
        RegisterPlatform(&platform_);
    }
};

TEST_F(RtServerDescriptorLimitTest, PeersBeyondTheLimitAreTurnedAwayAndServedOnceDescriptorsFree) {
    Peers peers;
    ASSERT_EQ(ConnectAndHandShakeAtOnce(router_->Port(), kPeers, &peers), 0);

    // Every peer hears something: its handshake answer, or the end of its connection.
    std::vector<int> served, refused;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(15);
    for (int i = 0; i < kPeers; ++i) {
        const int leftMs = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        RtPeerPacket answer;
        const int rc = peers[i]->Receive(&answer, leftMs > 0 ? leftMs : 0);
        if (rc == 0 && answer.IsControl(kBdControlHandShakeSuccess)) {
            served.push_back(i);
        } else if (rc == BD_PEER_CLOSE_CONNECTION) {
            refused.push_back(i);
        } else {
            ADD_FAILURE() << AgentUuid(i) << " left waiting: " << rc;
        }
    }
    ASSERT_FALSE(served.empty());
    ASSERT_FALSE(refused.empty()) << "the limit was never reached";
    Figure("served_at_the_limit", served.size(), "peers");

    // At the limit, with peers still knocking, the router must stay idle rather than spin.
    const double cpuBefore = ProcessProbe::CpuSeconds(router_->Pid());
    const Clock::time_point windowStart = Clock::now();
    while (SecondsSince(windowStart) < 3) {
        RtPeerClient knocking;
        if (knocking.Connect("127.0.0.1", router_->Port(), 1000) == 0) {
            EXPECT_TRUE(knocking.WaitForClose(2000));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const double cpuShare =
        (ProcessProbe::CpuSeconds(router_->Pid()) - cpuBefore) / SecondsSince(windowStart);
    Figure("cpu_share_at_the_limit", cpuShare, "");
    EXPECT_LT(cpuShare, 0.5);
    ASSERT_TRUE(router_->Running());
    KeepPlatformAlive();

    // The served peers leave; as many refused ones come back and are served.
    for (int i : served)
        peers[i]->Close();
    if (refused.size() > served.size())
        refused.resize(served.size());
    const Clock::time_point freed = Clock::now();
    for (int i : refused) {
        RtPeerClient &peer = *peers[i];
        const bool back = Eventually(
            [&] {
                RtPeerPacket answer;
                return peer.Connect("127.0.0.1", router_->Port(), 2000) == 0 &&
                       peer.HandShake(kBdHandShakeClient, Identity(AgentUuid(i)), &answer) == 0 &&
                       answer.IsControl(kBdControlHandShakeSuccess);
            },
            15000);
        ASSERT_TRUE(back) << AgentUuid(i) << " not served after descriptors were freed";
    }
    Figure("refused_served_again_seconds", SecondsSince(freed), "s");
    ExpectForwards(peers[refused.front()].get(), AgentUuid(refused.front()),
                   peers[refused.back()].get(), AgentUuid(refused.back()), "served again");
    EXPECT_TRUE(router_->Running());
}

}  // namespace
