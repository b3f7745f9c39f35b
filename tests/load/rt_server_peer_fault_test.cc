// Peers that misbehave on the wire: one stops reading, others vanish in the middle of a packet
// or reset their connection during a large forward. Only their own connection may suffer.
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "bd_netframwork/bd_connection.h"
#include "load_test_fixture.h"

namespace {

class RtServerPeerFaultTest : public RtServerLoadTest {
  protected:
    void SetUp() override {
        RtServerLoadTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        Register(&a_, kBdHandShakeClient, "a");
        Register(&b_, kBdHandShakeClient, "b");
    }

    // The normal pair still talks both ways and the router still runs.
    void ExpectPairUnaffected(const std::string &tag) {
        ExpectForwards(&a_, "a", &b_, "b", "a to b " + tag);
        ExpectForwards(&b_, "b", &a_, "a", "b to a " + tag);
        EXPECT_TRUE(router_->Running());
    }

    bool GoesOffline(const std::string &uuid) {
        return Eventually([&] { return tables_.AgentOnline(uuid) == "2"; }, kLoopTurnMs);
    }

    RtPeerClient a_, b_;
};

TEST_F(RtServerPeerFaultTest, SlowConsumerIsClosedWhileTheNormalPairKeepsTalking) {
    RtPeerClient slow, sender;
    Register(&slow, kBdHandShakeClient, "slow");
    Register(&sender, kBdHandShakeClient, "sender");
    // "slow" never reads. A small receive buffer keeps the kernel from absorbing tens of
    // megabytes of what the router sends it, so the router's own queue must hold the rest.
    const int kReceiveBuffer = 64 * 1024;
    setsockopt(slow.GetFD(), SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof(kReceiveBuffer));

    // More than the write queue may hold for a peer whose socket refuses data.
    const int kMiB = 1024 * 1024;
    const int kPackets = static_cast<int>(BdConnection::kMaxWriteQueueBytes / kMiB) + 32;
    std::atomic<bool> flooded{false}, stop{false};
    std::atomic<int> floodResult{0};
    std::thread flood([&] {
        const RtPeerPacket big =
            RtPeerPacket::Normal(Route("sender", "slow"), std::string(kMiB, 's'));
        for (int i = 0; i < kPackets && floodResult == 0; ++i)
            floodResult = sender.Send(big);
        flooded = true;
        // The sender stays a live peer afterwards.
        while (!stop && floodResult == 0) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            floodResult = sender.SendKeepAlive();
        }
    });

    // The pair talks both ways (each keeps its own connection alive) before, during and after;
    // "slow" keeps sending until it is closed, so only its reading is at fault.
    int exchanges = 0;
    const Clock::time_point start = Clock::now();
    double closedAfter = -1;
    while ((exchanges < 50 || closedAfter < 0) && SecondsSince(start) < 50) {
        if (closedAfter < 0 && flooded && tables_.AgentOnline("slow") == "2")
            closedAfter = SecondsSince(start);
        const std::string payload = "turn " + std::to_string(exchanges);
        RtPeerClient *from = exchanges % 2 == 0 ? &a_ : &b_;
        RtPeerClient *to = exchanges % 2 == 0 ? &b_ : &a_;
        RtPeerPacket got;
        if (from->SendNormal(Route(from == &a_ ? "a" : "b", to == &a_ ? "a" : "b"), payload) != 0 ||
            to->Receive(&got) != 0 || got.Payload() != payload || platform_.SendKeepAlive() != 0) {
            ADD_FAILURE() << "the normal pair stalled at exchange " << exchanges;
            break;
        }
        ++exchanges;
        if (closedAfter < 0)
            slow.SendKeepAlive();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop = true;
    flood.join();
    Figure("slow_consumer_closed_seconds", closedAfter, "s");
    Figure("pair_exchanges_meanwhile", exchanges, "");
    EXPECT_EQ(floodResult, 0);
    EXPECT_EQ(tables_.AgentOnline("slow"), "2");
    EXPECT_GE(closedAfter, 0);
    // Closed for the size of its queue, not after the stall time.
    const std::string log = router_->Log();
    const std::string kStalled = "seconds without progress: ";
    const size_t stalled = log.find(kStalled);
    ASSERT_NE(stalled, std::string::npos);
    EXPECT_LT(std::stol(log.substr(stalled + kStalled.size())), BdConnection::kWriteStallSeconds);
    EXPECT_TRUE(slow.WaitForClose(10000));
    EXPECT_EQ(tables_.AgentOnline("sender"), "1");
    ExpectPairUnaffected("after the slow consumer");
}

TEST_F(RtServerPeerFaultTest, PeersVanishingMidPacketCloseOnlyTheirOwnConnection) {
    // Half a net header, then gone.
    RtPeerClient half;
    Register(&half, kBdHandShakeClient, "half");
    const RtPeerPacket keepAlive = RtPeerPacket::KeepAlive();
    ASSERT_EQ(half.SendBytes(keepAlive.Data(), 8), 0);
    half.Close();

    // Most of a packet for b, then gone.
    RtPeerClient cut;
    Register(&cut, kBdHandShakeClient, "cut");
    const RtPeerPacket forB = RtPeerPacket::Normal(Route("cut", "b"), std::string(800, 'c'));
    ASSERT_EQ(cut.SendBytes(forB.Data(), 600), 0);
    cut.Close();

    // Half of a large packet for b, then a reset.
    RtPeerClient resetting;
    Register(&resetting, kBdHandShakeClient, "resetting");
    const RtPeerPacket large =
        RtPeerPacket::Normal(Route("resetting", "b"), std::string(16 * 1024 * 1024, 'r'));
    ASSERT_EQ(resetting.SendBytes(large.Data(), large.Length() / 2), 0);
    ResetConnection(&resetting);

    EXPECT_TRUE(GoesOffline("half"));
    EXPECT_TRUE(GoesOffline("cut"));
    EXPECT_TRUE(GoesOffline("resetting"));
    // No piece of the unfinished packets reaches b: the next thing it reads is a's packet.
    ExpectPairUnaffected("after the vanished senders");
}

TEST_F(RtServerPeerFaultTest, ReaderResettingDuringALargeForwardClosesOnlyItself) {
    RtPeerClient reader;
    Register(&reader, kBdHandShakeClient, "reader");
    const RtPeerPacket large =
        RtPeerPacket::Normal(Route("a", "reader"), std::string(32 * 1024 * 1024, 'l'));
    ASSERT_EQ(a_.Send(large), 0);

    // Take a first piece of it, then reset while the router is still sending.
    pollfd readable{reader.GetFD(), POLLIN, 0};
    ASSERT_EQ(poll(&readable, 1, 10000), 1);
    std::vector<char> piece(64 * 1024);
    ASSERT_GT(recv(reader.GetFD(), piece.data(), piece.size(), 0), 0);
    ResetConnection(&reader);

    EXPECT_TRUE(GoesOffline("reader"));
    EXPECT_EQ(tables_.AgentOnline("a"), "1");
    ExpectPairUnaffected("after the reset reader");
    // Its UUID is free again: a new connection under it gets the next large packet whole.
    Register(&reader, kBdHandShakeClient, "reader");
    ASSERT_EQ(a_.Send(large), 0);
    RtPeerPacket got;
    ASSERT_EQ(reader.Receive(&got, 30000), 0);
    EXPECT_EQ(got.Bytes(), large.Bytes());
}

}  // namespace
