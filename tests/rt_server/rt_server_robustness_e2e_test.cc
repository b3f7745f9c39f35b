// Bad input against the real router process.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "rt_server_e2e_fixture.h"
#include "support/file_text.h"
#include "support/packet_bytes.h"

namespace {

// A valid net header announcing the rest of bytes, whatever follows it.
void PutNetHeader(std::vector<char> *bytes) {
    const std::string header = NetHeader(static_cast<int32_t>(bytes->size()) - 16);
    std::copy(header.begin(), header.end(), bytes->begin());
}

class RtServerRobustnessTest : public RtServerReadyTest {
  protected:
    // The router still forwards between two fresh peers.
    void ExpectStillServing(const std::string &tag) {
        RtPeerClient a, b;
        Register(&a, kBdHandShakeClient, "a-" + tag);
        Register(&b, kBdHandShakeClient, "b-" + tag);
        ASSERT_EQ(a.SendNormal(Route("a-" + tag, "b-" + tag), "{}\n"), 0);
        RtPeerPacket got;
        ASSERT_EQ(b.Receive(&got), 0);
        EXPECT_EQ(got.SourceUuid(), "a-" + tag);
    }
};

TEST_F(RtServerRobustnessTest, BadMagicClosesOnlyThatConnection) {
    RtPeerClient bad;
    Connect(&bad);
    RtPeerPacket keepAlive = RtPeerPacket::KeepAlive();
    std::vector<char> bytes = keepAlive.Bytes();
    bytes[0] = 0x00;
    ASSERT_EQ(bad.SendBytes(bytes.data(), bytes.size()), 0);
    EXPECT_TRUE(bad.WaitForClose(3000));

    ASSERT_EQ(platform_.SendLog(Route("platform-1", "platform-1"), 1, "still here"), 0);
    RtPeerPacket got;
    ASSERT_EQ(platform_.Receive(&got), 0);
    ExpectStillServing("magic");
}

TEST_F(RtServerRobustnessTest, MalformedPacketsGetNoAnswerAndLeaveTheConnectionOpen) {
    RtPeerClient peer;
    Connect(&peer);
    // A handshake of an unknown kind.
    ASSERT_EQ(peer.Send(RtPeerPacket::HandShake(4, Identity("kind-4"))), 0);
    EXPECT_TRUE(Silent(&peer));
    // A client handshake cut to 300 bytes.
    std::vector<char> shortHandShake =
        RtPeerPacket::HandShake(kBdHandShakeClient, Identity("short")).Bytes();
    shortHandShake.resize(300);
    const int32_t dataLen = 300 - 16;
    std::memcpy(shortHandShake.data() + 4, &dataLen, sizeof(dataLen));
    ASSERT_EQ(peer.SendBytes(shortHandShake.data(), shortHandShake.size()), 0);
    EXPECT_TRUE(Silent(&peer));
    // Packets between the keep-alive and the smallest routable packet.
    for (int length : {17, 64, 119}) {
        std::vector<char> bytes(length, 'x');
        PutNetHeader(&bytes);
        ASSERT_EQ(peer.SendBytes(bytes.data(), bytes.size()), 0);
    }
    EXPECT_TRUE(Silent(&peer));
    EXPECT_EQ(tables_.Value("SELECT COUNT(*) FROM bd_agent"), "0");
    EXPECT_NE(router_->Log().find("message_level2_type: 4"), std::string::npos);
    // Entries name the handler of the handshake's kind, as log readers know it.
    EXPECT_NE(router_->Log().find("get handshake packet pointer failed. "
                                  "rt_server_accepted_connection:"),
              std::string::npos);
    EXPECT_NE(router_->Log().find(":HandleClientHandShakePacket\n"), std::string::npos);

    // The same connection can still register.
    RtPeerPacket answer;
    ASSERT_EQ(peer.HandShake(kBdHandShakeClient, Identity("after-junk"), &answer), 0);
    EXPECT_TRUE(answer.IsControl(kBdControlHandShakeSuccess));
}

TEST_F(RtServerRobustnessTest, RandomBytesFromManyConnectionsNeverStopTheRouter) {
    std::mt19937 random(20240607);
    std::vector<std::unique_ptr<RtPeerClient>> peers;
    for (int round = 0; round < 12; ++round) {
        auto peer = std::make_unique<RtPeerClient>();
        Connect(peer.get());
        for (int i = 0; i < 8; ++i) {
            const int length = 16 + static_cast<int>(random() % 700);
            std::vector<char> bytes(length);
            for (char &byte : bytes)
                byte = static_cast<char>(random());
            // Half of them framed correctly, so the router headers behind are random too.
            if (round % 2 == 0) {
                PutNetHeader(&bytes);
                const int32_t packetClass = 1 + static_cast<int>(random() % 5);
                if (length >= 120)
                    std::memcpy(bytes.data() + 112, &packetClass, 4);
            }
            if (peer->SendBytes(bytes.data(), bytes.size()) != 0)
                break;
        }
        peers.push_back(std::move(peer));
    }
    ExpectStillServing("random");
    EXPECT_TRUE(router_->Running());
}

}  // namespace

// A router whose operator limits what one peer may hold.
class RtServerLimitsTest : public RtServerE2eTest {
  protected:
    void SetUp() override {
        start_router_in_setup_ = false;
        RtServerE2eTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        router_->AddRouterSettings(
            "  <max_connections_per_address>3</max_connections_per_address>\n"
            "  <max_uuids_per_connection>1</max_uuids_per_connection>\n");
        StartRouter();
        RegisterPlatform(&platform_);
    }

    RtPeerClient platform_;
};

TEST_F(RtServerLimitsTest, AnAddressHoldsNoMoreConnectionsNorAConnectionMoreUuidsThanAllowed) {
    RtPeerClient web, third, refused;
    Connect(&web);
    Connect(&third);
    Connect(&refused);
    EXPECT_TRUE(refused.WaitForClose(kLoopTurnMs));
    EXPECT_NE(router_->Log().find("refused a connection from 127.0.0.1"), std::string::npos);

    ASSERT_EQ(web.SendNormal(Route("web-1", "platform-1", kBdPeerTypeWeb), "{}\n"), 0);
    RtPeerPacket got;
    ASSERT_EQ(platform_.Receive(&got), 0);
    // A second UUID on the same connection is refused, and the packet still forwarded.
    ASSERT_EQ(web.SendNormal(Route("web-2", "platform-1", kBdPeerTypeWeb), "{}\n"), 0);
    ASSERT_EQ(platform_.Receive(&got), 0);
    ASSERT_EQ(platform_.SendNormal(Route("platform-1", "web-2"), "{}\n"), 0);
    ASSERT_EQ(platform_.Receive(&got), 0);
    EXPECT_TRUE(got.IsControl(kBdControlTargetConnLost));
    EXPECT_NE(router_->Log().find("uuid web-2 refused"), std::string::npos);

    // A place freed is a place to take again.
    third.Close();
    RtPeerClient again;
    EXPECT_TRUE(Eventually(
        [&] {
            RtPeerPacket answer;
            return again.Connect("127.0.0.1", router_->Port()) == 0 &&
                   again.HandShake(kBdHandShakeClient, Identity("again"), &answer) == 0;
        },
        kLoopTurnMs));
}

TEST_F(RtServerLimitsTest, AHandshakeBeyondTheUuidLimitIsAnsweredNotReadyWithoutARow) {
    RtPeerClient agent;
    Register(&agent, kBdHandShakeClient, "first");
    RtPeerPacket answer;
    ASSERT_EQ(agent.HandShake(kBdHandShakeClient, Identity("second"), &answer), 0);
    EXPECT_TRUE(answer.IsControl(kBdControlServerNotReady)) << "sub-kind " << answer.SubKind();
    EXPECT_EQ(tables_.AgentOnline("second"), "");
    EXPECT_EQ(tables_.AgentOnline("first"), "1");
    const std::string log = router_->Log();
    EXPECT_NE(log.find("uuid second refused"), std::string::npos) << log;
    // Refused before any row was asked for: no database failure is reported for it.
    EXPECT_EQ(log.find("update database for client failed"), std::string::npos) << log;
}
