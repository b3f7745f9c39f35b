#ifndef TESTS_RT_SERVER_RT_SERVER_E2E_FIXTURE_H_
#define TESTS_RT_SERVER_RT_SERVER_E2E_FIXTURE_H_

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "bd_common/bd_error.h"
#include "bd_netframwork/bd_packet.h"
#include "rt_tools/rt_peer_client.h"
#include "support/eventually.h"
#include "support/peer_tables.h"
#include "support/rt_server_process.h"
#include "support/temp_dir.h"
#include "support/test_database.h"

// Each test gets a running router of its own (fresh NORVALE_ROOT, free port) over the shared
// private database, whose peer tables start empty.
class RtServerE2eTest : public testing::Test {
  protected:
    // One main-loop turn waits at most 5 s; a reaped peer is offline after at most about that.
    static constexpr int kLoopTurnMs = 8000;
    // How long a test waits to be sure nothing arrives.
    static constexpr int kSilenceMs = 600;

    void SetUp() override {
        if (!TestDatabaseAddress::FromEnvironment(&database_)) {
            GTEST_SKIP() << "RT_DB_HOST is not set";
        }
        ASSERT_TRUE(tables_.Connect(database_));
        ASSERT_TRUE(tables_.Clear());
        router_ = std::make_unique<RtServerProcess>(root_.Path(), database_);
        if (share_output_file_)
            router_->ShareOutputFile();
        if (start_router_in_setup_)
            StartRouter();
    }

    void TearDown() override {
        if (!router_)
            return;
        router_->Kill();
        // A sanitizer report in the router fails the test even when the peers saw nothing wrong.
        const std::string errors = router_->Stderr();
        EXPECT_EQ(errors.find("Sanitizer"), std::string::npos) << errors;
        EXPECT_EQ(errors.find("runtime error:"), std::string::npos) << errors;
    }

    void StartRouter() {
        ASSERT_TRUE(router_->Start());
        ASSERT_TRUE(router_->WaitListening(30000)) << router_->Stderr();
    }

    void Connect(RtPeerClient *peer) { ASSERT_EQ(peer->Connect("127.0.0.1", router_->Port()), 0); }

    static RtPeerIdentity Identity(const std::string &uuid, int moduleType = 0) {
        RtPeerIdentity identity;
        identity.uuid = uuid;
        identity.node_uuid = "node-" + uuid;
        identity.hostname = "host-" + uuid;
        identity.source_type = 5;
        identity.module_type = moduleType;
        return identity;
    }

    // Connects peer and hand-shakes as kind; the answer must be a handshake success.
    void Register(RtPeerClient *peer, int kind, const std::string &uuid) {
        Connect(peer);
        RtPeerPacket answer;
        ASSERT_EQ(peer->HandShake(kind, Identity(uuid), &answer), 0);
        ASSERT_TRUE(answer.IsControl(kBdControlHandShakeSuccess))
            << "sub-kind " << answer.SubKind();
    }

    void RegisterPlatform(RtPeerClient *peer, const std::string &uuid = "platform-1") {
        Register(peer, kBdHandShakeServerPlatform, uuid);
    }

    static RtPeerRoute Route(const std::string &from, const std::string &to, int sourceType = 5) {
        RtPeerRoute route;
        route.source_uuid = from;
        route.target_uuid = to;
        route.source_type = sourceType;
        route.target_type = 6;
        route.module_type = 7;
        return route;
    }

    // True when nothing arrives on peer for a short while.
    static bool Silent(RtPeerClient *peer) {
        RtPeerPacket packet;
        return peer->Receive(&packet, kSilenceMs) == BD_RECV_TIMEOUT;
    }

    bool start_router_in_setup_ = true;
    bool share_output_file_ = false;  // standard output and error to one file, as with `2>&1`
    TestDatabaseAddress database_;
    PeerTables tables_;
    TempDir root_;
    std::unique_ptr<RtServerProcess> router_;
};

// A router that is ready: a server platform has registered before the test begins.
class RtServerReadyTest : public RtServerE2eTest {
  protected:
    void SetUp() override {
        RtServerE2eTest::SetUp();
        if (IsSkipped())
            return;
        RegisterPlatform(&platform_);
    }

    RtPeerClient platform_;
};

#endif  // TESTS_RT_SERVER_RT_SERVER_E2E_FIXTURE_H_
