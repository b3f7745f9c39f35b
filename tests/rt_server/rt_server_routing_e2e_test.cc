// Forwarding between real peers through the real router process.
#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "rt_server_e2e_fixture.h"

namespace {

class RtServerRoutingTest : public RtServerReadyTest {
  protected:
    void SetUp() override {
        RtServerReadyTest::SetUp();
        if (IsSkipped())
            return;
        Register(&alice_, kBdHandShakeClient, "alice");
        Register(&bob_, kBdHandShakeClient, "bob");
    }

    RtPeerClient alice_, bob_;
};

TEST_F(RtServerRoutingTest, NormalAndLogPacketsArriveByteIdenticalAndInOrder) {
    std::vector<RtPeerPacket> sent;
    for (int i = 0; i < 30; ++i) {
        RtPeerRoute route = Route("alice", "bob");
        route.module_type = i;  // the router must not rewrite anything
        if (i % 3 == 2) {
            sent.push_back(RtPeerPacket::Log(route, 1 + i % 2, "log line " + std::to_string(i)));
        } else {
            RtPeerModuleFields module;
            module.reference_uuid = "ref-" + std::to_string(i);
            module.opcode = i;
            sent.push_back(
                RtPeerPacket::Normal(route, "{\"seq\":" + std::to_string(i) + "}\n", module));
        }
    }
    // All in one write, so the router cuts several packets out of one read.
    std::vector<char> stream;
    for (const RtPeerPacket &packet : sent) {
        stream.insert(stream.end(), packet.Bytes().begin(), packet.Bytes().end());
    }
    ASSERT_EQ(alice_.SendBytes(stream.data(), stream.size()), 0);
    for (const RtPeerPacket &expected : sent) {
        RtPeerPacket got;
        ASSERT_EQ(bob_.Receive(&got), 0);
        EXPECT_EQ(got.Bytes(), expected.Bytes());
    }
    EXPECT_TRUE(Silent(&alice_));
    EXPECT_NE(router_->Stdout().find("transmit packet from alice to bob\n"), std::string::npos);
}

TEST_F(RtServerRoutingTest, OneMebibytePacketArrivesIntact) {
    std::string payload(1 << 20, '\0');
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>(i * 131 + 7);
    const RtPeerPacket big = RtPeerPacket::Normal(Route("alice", "bob"), payload);
    ASSERT_EQ(alice_.Send(big), 0);
    RtPeerPacket got;
    ASSERT_EQ(bob_.Receive(&got, 20000), 0);
    EXPECT_TRUE(got.Bytes() == big.Bytes());
}

TEST_F(RtServerRoutingTest, UnknownTargetIsAnsweredWithTargetConnectionLost) {
    const RtPeerPacket request =
        RtPeerPacket::Normal(Route("alice", "nobody"), "{\"payload\":\"kept\"}\n");
    ASSERT_EQ(alice_.Send(request), 0);
    RtPeerPacket lost;
    ASSERT_EQ(alice_.Receive(&lost), 0);
    ASSERT_EQ(lost.Length(), request.Length());
    EXPECT_TRUE(lost.IsControl(kBdControlTargetConnLost));
    EXPECT_EQ(lost.SourceUuid(), "nobody");
    EXPECT_EQ(lost.TargetUuid(), "alice");
    EXPECT_EQ(lost.SourceType(), kBdPeerTypeRouter);
    EXPECT_EQ(lost.TargetType(), 5);
    EXPECT_EQ(lost.ModuleType(), 7);
    EXPECT_EQ(lost.RouterDataLen(), request.Length() - 120);
    EXPECT_TRUE(
        std::equal(lost.Bytes().begin(), lost.Bytes().begin() + 16, request.Bytes().begin()));
    EXPECT_TRUE(
        std::equal(lost.Bytes().begin() + 120, lost.Bytes().end(), request.Bytes().begin() + 120));
    EXPECT_TRUE(Silent(&bob_));
}

TEST_F(RtServerRoutingTest, PacketToOwnUuidComesBack) {
    const RtPeerPacket echo = RtPeerPacket::Log(Route("alice", "alice"), 2, "to myself");
    ASSERT_EQ(alice_.Send(echo), 0);
    RtPeerPacket got;
    ASSERT_EQ(alice_.Receive(&got), 0);
    EXPECT_EQ(got.Bytes(), echo.Bytes());
}

TEST_F(RtServerRoutingTest, WebSideIsBoundByItsFirstPacketAndReachableAfterwards) {
    RtPeerClient web;
    Connect(&web);
    const RtPeerPacket hello =
        RtPeerPacket::Normal(Route("web-1", "alice", kBdPeerTypeWeb), "{\"from\":\"web\"}\n");
    ASSERT_EQ(web.Send(hello), 0);
    RtPeerPacket got;
    ASSERT_EQ(alice_.Receive(&got), 0);
    EXPECT_EQ(got.Bytes(), hello.Bytes());

    ASSERT_EQ(alice_.SendNormal(Route("alice", "web-1"), "{\"reply\":1}\n"), 0);
    ASSERT_EQ(web.Receive(&got), 0);
    EXPECT_EQ(got.Payload(), "{\"reply\":1}\n");
    EXPECT_NE(router_->Log().find("recive packet from web, uuid : web-1, target uuid :alice"),
              std::string::npos);
}

TEST_F(RtServerRoutingTest, WebPacketWithoutSourceUuidIsForwardedAndBindsNothing) {
    RtPeerClient web;
    Connect(&web);
    ASSERT_EQ(web.SendNormal(Route("", "alice", kBdPeerTypeWeb), "{}\n"), 0);
    RtPeerPacket got;
    ASSERT_EQ(alice_.Receive(&got), 0);
    EXPECT_EQ(got.SourceUuid(), "");
    // Every other connection is untouched: bob still receives.
    ASSERT_EQ(alice_.SendNormal(Route("alice", "bob"), "{}\n"), 0);
    ASSERT_EQ(bob_.Receive(&got), 0);
    EXPECT_EQ(router_->Log().find("web connection fd change"), std::string::npos);
}

// Lockstep: when a packet reaches its peer, its trace line and entry are in the day file and on
// both streams already, so a router that dies then has lost no line of a delivered packet.
TEST_F(RtServerRoutingTest, LinesOfAPacketAreWrittenBeforeItIsDelivered) {
    const auto count = [](const std::string &text, const std::string &line) {
        size_t n = 0;
        for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
            ++n;
        return n;
    };
    for (size_t i = 1; i <= 5; ++i) {
        ASSERT_EQ(alice_.SendNormal(Route("alice", "bob"), "{}\n"), 0);
        RtPeerPacket got;
        ASSERT_EQ(bob_.Receive(&got), 0);
        EXPECT_EQ(count(router_->Stdout(), "transmit packet from alice to bob\n"), i);
        EXPECT_EQ(count(router_->Stderr(), "[DEBUG]: transmit common packet, ret: 0"), i);
        EXPECT_EQ(count(router_->Log(), "[DEBUG]: transmit common packet, ret: 0"), i);
    }
}

class RtServerSharedOutputTest : public RtServerRoutingTest {
  protected:
    RtServerSharedOutputTest() { share_output_file_ = true; }
};

// With `2>&1` the trace lines and the entries' echo interleave packet by packet, as when each
// line was written at once.
TEST_F(RtServerSharedOutputTest, TraceLinesAndEntriesKeepTheirInterleaving) {
    const RtPeerPacket packet = RtPeerPacket::Normal(Route("alice", "bob"), "{}\n");
    std::vector<char> burst;
    for (int i = 0; i < 3; ++i)
        burst.insert(burst.end(), packet.Bytes().begin(), packet.Bytes().end());
    ASSERT_EQ(alice_.SendBytes(burst.data(), burst.size()), 0);
    RtPeerPacket got;
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(bob_.Receive(&got), 0);
    ASSERT_EQ(alice_.SendNormal(Route("alice", "nobody"), "{}\n"), 0);
    ASSERT_EQ(alice_.Receive(&got), 0);
    ASSERT_EQ(bob_.SendNormal(Route("bob", "alice"), "{}\n"), 0);
    ASSERT_EQ(alice_.Receive(&got), 0);

    // Each trace line or entry from alice's registration on, without time stamp and descriptors.
    std::vector<std::string> lines;
    std::istringstream output(router_->Stdout());
    for (std::string line; std::getline(output, line);) {
        const size_t trace = line.find("transmit packet from ");
        const size_t entry = line.find("[DEBUG]: ");
        if (trace != std::string::npos) {
            lines.push_back(line.substr(trace));
        } else if (entry != std::string::npos) {
            const std::string text = line.substr(entry + 9);
            lines.push_back(text.substr(0, std::min(text.find(" fd"), text.find(", current"))));
        }
    }
    const auto alice = std::find(lines.begin(), lines.end(), "add client to map, uuid: alice");
    ASSERT_NE(alice, lines.end());
    lines.erase(lines.begin(), alice);
    const std::string forwarded = "transmit common packet, ret: 0";
    const std::vector<std::string> expected = {"add client to map, uuid: alice",
                                               "accepted a connection",
                                               "add client to map, uuid: bob",
                                               "transmit packet from alice to bob",
                                               forwarded,
                                               "transmit packet from alice to bob",
                                               forwarded,
                                               "transmit packet from alice to bob",
                                               forwarded,
                                               "transmit packet from alice to nobody",
                                               forwarded,
                                               "transmit packet from bob to alice",
                                               forwarded};
    EXPECT_EQ(lines, expected);
}

TEST_F(RtServerRoutingTest, WebTrafficCannotTakeAHandShakenPeersUuid) {
    RtPeerClient web;
    Connect(&web);
    ASSERT_EQ(web.SendNormal(Route("platform-1", "alice", kBdPeerTypeWeb), "{}\n"), 0);
    RtPeerPacket got;
    ASSERT_EQ(alice_.Receive(&got), 0);
    EXPECT_EQ(got.SourceUuid(), "platform-1");
    EXPECT_NE(router_->Log().find("held by a hand-shaken peer"), std::string::npos);
    // The platform keeps its connection and its traffic.
    ASSERT_EQ(alice_.SendNormal(Route("alice", "platform-1"), "{\"to\":\"platform\"}\n"), 0);
    ASSERT_EQ(platform_.Receive(&got), 0);
    EXPECT_EQ(got.Payload(), "{\"to\":\"platform\"}\n");
    EXPECT_TRUE(Silent(&web));
}

TEST_F(RtServerRoutingTest, UuidsFromPeersCannotForgeLogOrTraceLines) {
    RtPeerClient web;
    Connect(&web);
    const std::string forged =
        "web-x\n2026/12/04 12:00:00 rt_server [ERROR:1#Generic error]: forged";
    ASSERT_EQ(web.SendNormal(Route(forged, "alice", kBdPeerTypeWeb), "{}\n"), 0);
    RtPeerPacket got;
    ASSERT_EQ(alice_.Receive(&got), 0);
    ASSERT_EQ(alice_.SendNormal(Route("alice", "bob\ntransmit packet from x to y"), "{}\n"), 0);
    ASSERT_EQ(alice_.Receive(&got), 0);
    for (const std::string &text : {router_->Log(), router_->Stdout()}) {
        EXPECT_EQ(text.find("\n2026/12/04 12:00:00 rt_server [ERROR:1#Generic error]: forged"),
                  std::string::npos);
        EXPECT_EQ(text.find("\ntransmit packet from x to y"), std::string::npos);
    }
    EXPECT_NE(router_->Log().find("uuid : web-x\\n2026/12/04"), std::string::npos);
}

using RtServerWebBeforeReadyTest = RtServerE2eTest;

TEST_F(RtServerWebBeforeReadyTest, WebSideIsRoutedBeforeAnyServerPlatform) {
    RtPeerClient web, other;
    Connect(&web);
    Connect(&other);
    ASSERT_EQ(other.SendNormal(Route("web-2", "web-1", kBdPeerTypeWeb), "{}\n"), 0);
    RtPeerPacket got;
    ASSERT_EQ(other.Receive(&got), 0);
    EXPECT_TRUE(got.IsControl(kBdControlTargetConnLost));
    ASSERT_EQ(web.SendNormal(Route("web-1", "web-2", kBdPeerTypeWeb), "{\"hi\":1}\n"), 0);
    ASSERT_EQ(other.Receive(&got), 0);
    EXPECT_EQ(got.Payload(), "{\"hi\":1}\n");
}

}  // namespace
