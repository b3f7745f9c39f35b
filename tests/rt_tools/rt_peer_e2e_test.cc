// rt_peer against the real router: every exit status an operator's script relies on, and the
// packets it prints.
#include <gtest/gtest.h>
#include <json/json.h>

#include <chrono>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>

#include "rt_tools/rt_peer_options.h"
#include "support/eventually.h"
#include "support/loopback.h"
#include "support/rt_server_process.h"
#include "support/temp_dir.h"
#include "support/test_database.h"
#include "tool_process.h"

namespace {

// The JSON objects rt_peer --json printed, one per line.
std::vector<Json::Value> JsonLines(const std::string &out) {
    std::vector<Json::Value> lines;
    std::istringstream in(out);
    Json::CharReaderBuilder builder;
    for (std::string line; std::getline(in, line);) {
        Json::Value value;
        std::istringstream one(line);
        std::string errors;
        if (Json::parseFromStream(builder, one, &value, &errors))
            lines.push_back(value);
    }
    return lines;
}

class RtPeerE2eTest : public testing::Test {
  protected:
    void SetUp() override {
        if (!TestDatabaseAddress::FromEnvironment(&database_))
            GTEST_SKIP() << "RT_DB_HOST is not set";
        router_ = std::make_unique<RtServerProcess>(root_.Path(), database_);
        ASSERT_TRUE(router_->Start());
        ASSERT_TRUE(router_->WaitListening(30000)) << router_->Stderr();
        address_ = "127.0.0.1:" + std::to_string(router_->Port());
    }

    // An rt_peer process with a directory of its own for its streams.
    ToolProcess *Peer() {
        dirs_.push_back(std::make_unique<TempDir>());
        peers_.push_back(std::make_unique<ToolProcess>(RT_PEER_BINARY, dirs_.back()->Path()));
        return peers_.back().get();
    }

    // A platform peer that prints what it receives as JSON; returns once it is registered.
    ToolProcess *StartPlatform(const std::vector<std::string> &extra) {
        ToolProcess *platform = Peer();
        std::vector<std::string> args{"-k", "platform", "-u", "plat", "-j"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(address_);
        EXPECT_TRUE(platform->Start(args));
        EXPECT_TRUE(Eventually(
            [&] { return platform->Out().find("handshake-success") != std::string::npos; }, 10000))
            << platform->Err();
        return platform;
    }

    TestDatabaseAddress database_;
    TempDir root_;
    std::unique_ptr<RtServerProcess> router_;
    std::string address_;
    std::vector<std::unique_ptr<TempDir>> dirs_;
    std::vector<std::unique_ptr<ToolProcess>> peers_;
};

TEST_F(RtPeerE2eTest, AClientBeforeAnyPlatformIsToldTheServerIsNotReady) {
    ToolProcess *client = Peer();
    EXPECT_EQ(client->Run({"-u", "c1", address_}), kRtPeerExitNotReady);
    EXPECT_NE(client->Out().find("control/server-not-ready  120 bytes"), std::string::npos)
        << client->Out();
    EXPECT_NE(client->Out().find("target_uuid c1"), std::string::npos);
    EXPECT_NE(client->Err().find("server not ready"), std::string::npos);
}

TEST_F(RtPeerE2eTest, NormalPacketsReachThePlatformDecodedInOrder) {
    ToolProcess *platform = StartPlatform({"-e", "2", "-w", "20"});
    ToolProcess *client = Peer();
    EXPECT_EQ(client->Run({"-u", "c1", "-m", "7", "-s", "5", "-p", "-", "-c", "2", address_},
                          "{\"job\": 42}"),
              kRtPeerExitOk)
        << client->Err();
    // The handshake answer names the platform the packets went to by default.
    EXPECT_NE(client->Out().find("server_platform_uuid plat"), std::string::npos);

    ASSERT_EQ(platform->Wait(10000), kRtPeerExitOk) << platform->Err();
    const std::vector<Json::Value> lines = JsonLines(platform->Out());
    ASSERT_EQ(lines.size(), 3u) << platform->Out();
    EXPECT_EQ(lines[0]["sub_kind_name"].asString(), "handshake-success");
    for (int i = 1; i <= 2; ++i) {
        EXPECT_EQ(lines[i]["class_name"].asString(), "normal");
        EXPECT_EQ(lines[i]["source_uuid"].asString(), "c1");
        EXPECT_EQ(lines[i]["target_uuid"].asString(), "plat");
        EXPECT_EQ(lines[i]["source_type"].asInt(), 5);
        EXPECT_EQ(lines[i]["module_type"].asInt(), 7);
        EXPECT_EQ(lines[i]["payload"]["job"].asInt(), 42);
        EXPECT_EQ(lines[i]["length"].asInt(), 272 + 11);
    }
}

TEST_F(RtPeerE2eTest, TheWebSideSendsLogPacketsWithoutAHandshake) {
    ToolProcess *platform = StartPlatform({"-e", "1", "-w", "20"});
    ToolProcess *web = Peer();
    EXPECT_EQ(web->Run({"-k", "web", "-u", "w1", "-t", "plat", "-l", "2", "-p", "disk full", "-w",
                        "0", address_}),
              kRtPeerExitOk)
        << web->Err();
    EXPECT_EQ(web->Out(), "");  // no handshake, so no answer
    ASSERT_EQ(platform->Wait(10000), kRtPeerExitOk) << platform->Err();
    const std::vector<Json::Value> lines = JsonLines(platform->Out());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1]["sub_kind_name"].asString(), "log-2");
    EXPECT_EQ(lines[1]["source_type"].asInt(), 1);
    EXPECT_EQ(lines[1]["log_data"].asString(), "disk full");
}

TEST_F(RtPeerE2eTest, APacketToNobodyEndsWithTargetConnectionLost) {
    StartPlatform({"-w", "20"});
    ToolProcess *client = Peer();
    EXPECT_EQ(client->Run({"-u", "c1", "-t", "nobody", "-p", "{\"a\":1}", address_}),
              kRtPeerExitTargetLost);
    EXPECT_NE(client->Out().find("control/target-connection-lost  280 bytes"), std::string::npos)
        << client->Out();
    EXPECT_NE(client->Err().find("target connection lost: nobody"), std::string::npos);
}

TEST_F(RtPeerE2eTest, APeerReplacedUnderItsUuidSeesTheRouterCloseItsConnection) {
    StartPlatform({"-w", "30"});
    ToolProcess *first = Peer();
    ASSERT_TRUE(first->Start({"-u", "c1", "-w", "20", address_}));
    ASSERT_TRUE(Eventually(
        [&] { return first->Out().find("handshake-success") != std::string::npos; }, 10000));
    EXPECT_EQ(Peer()->Run({"-u", "c1", "-w", "0", address_}), kRtPeerExitOk);
    EXPECT_EQ(first->Wait(10000), kRtPeerExitClosed);
    EXPECT_NE(first->Err().find("connection closed by the router"), std::string::npos);
}

// The suite's one wait on the real idle time-out (the router's own tests move a fake clock): the
// router reaps a connection silent for 30 s, so this test takes about 32 s.
TEST_F(RtPeerE2eTest, KeepAlivesHoldAConnectionTheRouterWouldOtherwiseReap) {
    StartPlatform({"-w", "40"});
    ToolProcess *kept = Peer();
    ToolProcess *silent = Peer();
    ASSERT_TRUE(kept->Start({"-u", "kept", "-a", "10", "-w", "32", address_}));
    ASSERT_TRUE(silent->Start({"-u", "silent", "-a", "0", "-w", "40", address_}));
    EXPECT_EQ(silent->Wait(45000), kRtPeerExitClosed) << silent->Err();
    EXPECT_EQ(kept->Wait(10000), kRtPeerExitOk) << kept->Err();
}

// No router needed: what the operator sees when the address is wrong or the far end is mute.
TEST(RtPeerWithoutRouterTest, RefusedAndSilentEndsHaveTheirOwnStatuses) {
    TempDir dir;
    ToolProcess peer(RT_PEER_BINARY, dir.Path());
    const int unused = FreeLoopbackPort();
    EXPECT_EQ(peer.Run({"127.0.0.1:" + std::to_string(unused)}), kRtPeerExitRefused);
    EXPECT_NE(peer.Err().find("connection refused"), std::string::npos);

    // A socket that accepts connections and never answers the handshake.
    int port = 0;
    const int mute = ListenLoopback(&port);
    EXPECT_EQ(peer.Run({"-o", "1", "127.0.0.1:" + std::to_string(port)}), kRtPeerExitTimeout);
    EXPECT_NE(peer.Err().find("time-out waiting for the handshake answer"), std::string::npos);
    close(mute);

    EXPECT_EQ(peer.Run({"--kind", "robot", "127.0.0.1:1"}), kRtPeerExitUsage);
}

}  // namespace
