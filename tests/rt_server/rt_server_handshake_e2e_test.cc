// Readiness, handshakes and the peers' rows, against the real router process.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "rt_server_e2e_fixture.h"

namespace {

// Expected bytes built here from the wire layout's offsets, independently of the product's code.
void PutText(std::vector<char> *bytes, int offset, const std::string &text) {
    std::memcpy(bytes->data() + offset, text.data(), text.size());
}

void PutInt(std::vector<char> *bytes, int offset, int32_t value) {
    std::memcpy(bytes->data() + offset, &value, sizeof(value));
}

std::vector<char> ControlAnswer(int total, const std::string &routerUuid, const std::string &peer,
                                int peerType, int moduleType, int subKind) {
    std::vector<char> bytes(total, 0);
    PutInt(&bytes, 0, static_cast<int32_t>(0xFAFBFCFDu));
    PutInt(&bytes, 4, total - 16);
    PutText(&bytes, 16, routerUuid);
    PutText(&bytes, 56, peer);
    PutInt(&bytes, 96, 2);
    PutInt(&bytes, 100, peerType);
    PutInt(&bytes, 104, moduleType);
    PutInt(&bytes, 108, total - 120);
    PutInt(&bytes, 112, 1);
    PutInt(&bytes, 116, subKind);
    return bytes;
}

using RtServerHandshakeTest = RtServerE2eTest;

TEST_F(RtServerHandshakeTest, ClientBeforeAnyServerPlatformIsRefusedWithoutARow) {
    RtPeerClient client;
    Connect(&client);
    RtPeerIdentity identity = Identity("client-early", 9);
    RtPeerPacket answer;
    ASSERT_EQ(client.HandShake(kBdHandShakeClient, identity, &answer), 0);
    const std::string routerUuid = router_->UuidFile();
    EXPECT_EQ(answer.Bytes(), ControlAnswer(120, routerUuid, "client-early", 5, 9, 2));
    EXPECT_EQ(tables_.Value("SELECT COUNT(*) FROM bd_agent"), "0");

    // A normal packet is refused the same way; the connection stays usable.
    ASSERT_EQ(client.SendNormal(Route("client-early", "anyone"), "{}\n"), 0);
    ASSERT_EQ(client.Receive(&answer), 0);
    EXPECT_TRUE(answer.IsControl(kBdControlServerNotReady));
    EXPECT_EQ(answer.Length(), 120);
}

TEST_F(RtServerHandshakeTest, ServerPlatformMakesTheRouterReadyAndEveryKindIsRecorded) {
    RtPeerClient platform;
    Connect(&platform);
    RtPeerPacket answer;
    ASSERT_EQ(platform.HandShake(kBdHandShakeServerPlatform, Identity("platform-1", 11), &answer),
              0);
    // The router's UUID file holds just the UUID, which every answer carries.
    const std::string routerUuid = router_->UuidFile();
    ASSERT_EQ(routerUuid.size(), 36u);
    EXPECT_EQ(routerUuid.find('\n'), std::string::npos);
    std::vector<char> expected = ControlAnswer(200, routerUuid, "platform-1", 5, 11, 1);
    PutText(&expected, 120, routerUuid);
    PutText(&expected, 160, "platform-1");
    EXPECT_EQ(answer.Bytes(), expected);
    EXPECT_EQ(tables_.Rows("SELECT module_type, node_uuid, online_flag, register_time IS NOT NULL "
                           "FROM bd_module_server WHERE module_uuid = 'platform-1'"),
              (std::vector<std::vector<std::string>>{{"11", "node-platform-1", "1", "1"}}));

    RtPeerClient client;
    Connect(&client);
    ASSERT_EQ(client.HandShake(kBdHandShakeClient, Identity("client-1", 3), &answer), 0);
    expected = ControlAnswer(200, routerUuid, "client-1", 5, 3, 1);
    PutText(&expected, 120, routerUuid);
    PutText(&expected, 160, "platform-1");
    EXPECT_EQ(answer.Bytes(), expected);
    EXPECT_EQ(
        tables_.Rows("SELECT hostname, ip, os_type, os_version, process_type, "
                     "register_flag, online_flag FROM bd_agent WHERE agent_uuid = 'client-1'"),
        (std::vector<std::vector<std::string>>{
            {"host-client-1", "127.0.0.1", "Linux", "Linux 6", "64 bit", "2", "1"}}));

    RtPeerClient module;
    Connect(&module);
    ASSERT_EQ(module.HandShake(kBdHandShakeModuleServer, Identity("module-1", 21), &answer), 0);
    EXPECT_TRUE(answer.IsControl(kBdControlHandShakeSuccess));
    EXPECT_EQ(answer.ServerPlatformUuid(), "platform-1");
    EXPECT_EQ(
        tables_.Rows("SELECT auto_upgrade_flag, ip, host_name, os_type, os_version, "
                     "process_type, register_time IS NOT NULL, global_share_flag FROM bd_node "
                     "WHERE node_uuid = 'node-module-1'"),
        (std::vector<std::vector<std::string>>{
            {"2", "127.0.0.1", "host-module-1", "Linux", "Linux 6", "64 bit", "1", "0"}}));
    EXPECT_EQ(tables_.Rows("SELECT module_type, node_uuid, online_flag FROM bd_module_server "
                           "WHERE module_uuid = 'module-1'"),
              (std::vector<std::vector<std::string>>{{"21", "node-module-1", "1"}}));
}

TEST_F(RtServerHandshakeTest, ClosedConnectionsGoOfflineAndReadinessEndsWithThePlatform) {
    RtPeerClient platform, client, module;
    RegisterPlatform(&platform);
    Register(&client, kBdHandShakeClient, "client-1");
    Register(&module, kBdHandShakeModuleServer, "module-1");
    ASSERT_EQ(tables_.AgentOnline("client-1"), "1");

    client.Close();
    module.Close();
    EXPECT_TRUE(Eventually([&] { return tables_.AgentOnline("client-1") == "2"; }, kLoopTurnMs));
    EXPECT_TRUE(
        Eventually([&] { return tables_.ModuleServerOnline("module-1") == "2"; }, kLoopTurnMs));

    platform.Close();
    EXPECT_TRUE(
        Eventually([&] { return tables_.ModuleServerOnline("platform-1") == "2"; }, kLoopTurnMs));
    // Without a platform the router is not ready again.
    RtPeerClient late;
    Connect(&late);
    RtPeerPacket answer;
    ASSERT_EQ(late.HandShake(kBdHandShakeClient, Identity("client-2"), &answer), 0);
    EXPECT_TRUE(answer.IsControl(kBdControlServerNotReady));
}

TEST_F(RtServerHandshakeTest, ReplacedConnectionsAreNotReportedLost) {
    RtPeerClient platform, first, second, webFirst, webSecond;
    RegisterPlatform(&platform);
    Register(&first, kBdHandShakeClient, "client-1");
    Register(&second, kBdHandShakeClient, "client-1");
    EXPECT_TRUE(first.WaitForClose(3000));

    // The web side has no row of its own; give it one to see that nobody marks it offline.
    ASSERT_TRUE(tables_.Exec("INSERT INTO bd_agent (agent_uuid, online_flag) VALUES ('web-1', 1)"));
    Connect(&webFirst);
    ASSERT_EQ(webFirst.SendNormal(Route("web-1", "platform-1", kBdPeerTypeWeb), "{}\n"), 0);
    RtPeerPacket packet;
    ASSERT_EQ(platform.Receive(&packet), 0);
    Connect(&webSecond);
    ASSERT_EQ(webSecond.SendNormal(Route("web-1", "platform-1", kBdPeerTypeWeb), "{}\n"), 0);
    ASSERT_EQ(platform.Receive(&packet), 0);
    EXPECT_TRUE(webFirst.WaitForClose(3000));

    // Both UUIDs now resolve to the newer connections.
    ASSERT_EQ(platform.SendNormal(Route("platform-1", "client-1"), "{\"to\":\"client\"}\n"), 0);
    ASSERT_EQ(second.Receive(&packet), 0);
    ASSERT_EQ(platform.SendNormal(Route("platform-1", "web-1"), "{\"to\":\"web\"}\n"), 0);
    ASSERT_EQ(webSecond.Receive(&packet), 0);
    EXPECT_EQ(packet.Payload(), "{\"to\":\"web\"}\n");

    // Let at least one main-loop turn pass over the two closed connections.
    std::this_thread::sleep_for(std::chrono::milliseconds(kLoopTurnMs));
    EXPECT_EQ(tables_.AgentOnline("client-1"), "1");
    EXPECT_EQ(tables_.AgentOnline("web-1"), "1");
}

class RtServerStartTest : public RtServerE2eTest {
  protected:
    RtServerStartTest() { start_router_in_setup_ = false; }
};

TEST_F(RtServerStartTest, EveryPeerIsOfflineOnceTheRouterListens) {
    ASSERT_TRUE(tables_.Exec("INSERT INTO bd_agent (agent_uuid, online_flag) VALUES ('a', 1)"));
    ASSERT_TRUE(
        tables_.Exec("INSERT INTO bd_module_server (module_uuid, online_flag) VALUES ('m', 1)"));
    StartRouter();
    EXPECT_EQ(tables_.AgentOnline("a"), "2");
    EXPECT_EQ(tables_.ModuleServerOnline("m"), "2");
}

// A taken port must not turn the router into a busy loop that floods the log and the database:
// each failed entry is retried about a second later, and the router serves once the port frees.
TEST_F(RtServerStartTest, TakenPortIsRetriedEverySecondUntilItFrees) {
    // Close-on-exec, or the router would inherit the blocker and keep its own port taken.
    const int blocker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(blocker, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(router_->Port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(blocker, 1), 0);
    ASSERT_TRUE(router_->Start());

    std::this_thread::sleep_for(std::chrono::seconds(4));
    const std::string log = router_->Log();
    size_t binds = 0;
    for (size_t at = log.find("socket bind error"); at != std::string::npos;
         at = log.find("socket bind error", at + 1)) {
        ++binds;
    }
    EXPECT_GE(binds, 1u) << log;
    EXPECT_LE(binds, 8u) << log;

    close(blocker);
    ASSERT_TRUE(router_->WaitListening(10000)) << router_->Stderr();
    RtPeerClient platform;
    RegisterPlatform(&platform);
}

}  // namespace
