// Readiness, handshakes and the peers' rows, against the real router process.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <utility>
#include <vector>

#include "rt_server_e2e_fixture.h"
#include "support/packet_bytes.h"

namespace {

// A control answer from the router to peer, built from the wire layout's offsets.
PacketBytes ControlAnswer(int total, const std::string &routerUuid, const std::string &peer,
                          int peerType, int moduleType, int subKind) {
    PacketBytes bytes(total);
    bytes.NetHeader().Route(routerUuid, peer, 2, peerType, moduleType, 1, subKind);
    return bytes;
}

std::string Received(const RtPeerPacket &packet) {
    return std::string(packet.Data(), packet.Length());
}

using RtServerHandshakeTest = RtServerE2eTest;

TEST_F(RtServerHandshakeTest, ClientBeforeAnyServerPlatformIsRefusedWithoutARow) {
    RtPeerClient client;
    Connect(&client);
    RtPeerIdentity identity = Identity("client-early", 9);
    RtPeerPacket answer;
    ASSERT_EQ(client.HandShake(kBdHandShakeClient, identity, &answer), 0);
    const std::string routerUuid = router_->UuidFile();
    EXPECT_EQ(Received(answer), ControlAnswer(120, routerUuid, "client-early", 5, 9, 2).str());
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
    PacketBytes expected = ControlAnswer(200, routerUuid, "platform-1", 5, 11, 1);
    expected.Text(120, routerUuid).Text(160, "platform-1");
    EXPECT_EQ(Received(answer), expected.str());
    EXPECT_EQ(tables_.Rows("SELECT module_type, node_uuid, online_flag, register_time IS NOT NULL "
                           "FROM bd_module_server WHERE module_uuid = 'platform-1'"),
              (std::vector<std::vector<std::string>>{{"11", "node-platform-1", "1", "1"}}));

    RtPeerClient client;
    Connect(&client);
    ASSERT_EQ(client.HandShake(kBdHandShakeClient, Identity("client-1", 3), &answer), 0);
    expected = ControlAnswer(200, routerUuid, "client-1", 5, 3, 1);
    expected.Text(120, routerUuid).Text(160, "platform-1");
    EXPECT_EQ(Received(answer), expected.str());
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

// An empty UUID cannot be bound, but the handshake goes on: its row cannot be written either, so
// it is answered server-not-ready like any failed write, and the router stays not ready.
TEST_F(RtServerHandshakeTest, EmptyUuidPlatformIsAnsweredNotReadyWithoutARow) {
    RtPeerClient platform;
    Connect(&platform);
    RtPeerPacket answer;
    ASSERT_EQ(platform.HandShake(kBdHandShakeServerPlatform, Identity(""), &answer), 0);
    EXPECT_TRUE(answer.IsControl(kBdControlServerNotReady)) << "sub-kind " << answer.SubKind();
    EXPECT_EQ(tables_.Value("SELECT COUNT(*) FROM bd_module_server"), "0");
    const std::string log = router_->Log();
    EXPECT_NE(log.find("update database for server platform failed"), std::string::npos) << log;
    EXPECT_EQ(log.find("refused"), std::string::npos) << log;

    RtPeerClient client;
    Connect(&client);
    ASSERT_EQ(client.HandShake(kBdHandShakeClient, Identity("client-1"), &answer), 0);
    EXPECT_TRUE(answer.IsControl(kBdControlServerNotReady));
}

// The router tells peers apart by the bytes of their UUIDs, and so do the tables: another case
// or a trailing space names another peer, which neither writes nor marks offline the rows of the
// peer it resembles.
TEST_F(RtServerHandshakeTest, SpellingsOfAConnectedPeersUuidLeaveItsRowsAlone) {
    RtPeerClient platform, agent, sentinel;
    RegisterPlatform(&platform);
    Register(&agent, kBdHandShakeClient, "agent-x");
    std::vector<std::unique_ptr<RtPeerClient>> others;
    const std::vector<std::pair<int, std::string>> spellings = {
        {kBdHandShakeClient, "AGENT-X"},
        {kBdHandShakeClient, "agent-x "},
        {kBdHandShakeModuleServer, "PLATFORM-1"},
        {kBdHandShakeModuleServer, "platform-1 "}};
    for (const auto &spelling : spellings) {
        others.push_back(std::make_unique<RtPeerClient>());
        Register(others.back().get(), spelling.first, spelling.second);
    }
    const auto untouched = [&] {
        EXPECT_EQ(tables_.Rows("SELECT hostname, online_flag FROM bd_agent WHERE agent_uuid = "
                               "'agent-x'"),
                  (std::vector<std::vector<std::string>>{{"host-agent-x", "1"}}));
        EXPECT_EQ(tables_.Rows("SELECT node_uuid, online_flag FROM bd_module_server WHERE "
                               "module_uuid = 'platform-1'"),
                  (std::vector<std::vector<std::string>>{{"node-platform-1", "1"}}));
    };
    untouched();
    EXPECT_EQ(tables_.Value("SELECT COUNT(*) FROM bd_agent"), "3");

    for (auto &other : others)
        other->Close();
    Register(&sentinel, kBdHandShakeClient, "sentinel");
    sentinel.Close();
    ASSERT_TRUE(Eventually([&] { return tables_.AgentOnline("sentinel") == "2"; }, kLoopTurnMs));
    EXPECT_EQ(tables_.AgentOnline("AGENT-X"), "2");
    untouched();
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
    RtPeerClient platform, first, second, webFirst, webSecond, sentinel;
    RegisterPlatform(&platform);
    Register(&sentinel, kBdHandShakeClient, "sentinel");
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

    // A connection closed after the two replaced ones goes offline no earlier than they would.
    sentinel.Close();
    ASSERT_TRUE(Eventually([&] { return tables_.AgentOnline("sentinel") == "2"; }, kLoopTurnMs));
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
// A socket listening on port; -1 when it cannot be had. Close-on-exec, or the router would
// inherit the blocker and keep its own port taken.
int TakePort(int port) {
    const int blocker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(blocker, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
        listen(blocker, 1) != 0) {
        close(blocker);
        return -1;
    }
    return blocker;
}

TEST_F(RtServerStartTest, TakenPortIsRetriedEverySecondUntilItFrees) {
    const int blocker = TakePort(router_->Port());
    ASSERT_GE(blocker, 0);
    ASSERT_TRUE(router_->Start());

    const auto binds = [&] {
        const std::string log = router_->Log();
        size_t count = 0;
        for (size_t at = log.find("socket bind error"); at != std::string::npos;
             at = log.find("socket bind error", at + 1)) {
            ++count;
        }
        return count;
    };
    // Two more retries take about two seconds, however slowly the router started; a busy loop
    // would log them at once.
    ASSERT_TRUE(Eventually([&] { return binds() >= 1; }, 30000)) << router_->Stderr();
    const size_t seen = binds();
    const auto first = std::chrono::steady_clock::now();
    ASSERT_TRUE(Eventually([&] { return binds() >= seen + 2; }, 10000)) << router_->Log();
    EXPECT_GE(std::chrono::steady_clock::now() - first, std::chrono::milliseconds(1500))
        << router_->Log();

    close(blocker);
    ASSERT_TRUE(router_->WaitListening(10000)) << router_->Stderr();
    RtPeerClient platform;
    RegisterPlatform(&platform);
}

// Never serving, it never waits for events: a stop signal still ends it, with 0.
TEST_F(RtServerStartTest, StopSignalEndsARouterWaitingForItsPort) {
    const int blocker = TakePort(router_->Port());
    ASSERT_GE(blocker, 0);
    ASSERT_TRUE(router_->Start());
    ASSERT_TRUE(Eventually(
        [&] { return router_->Log().find("socket bind error") != std::string::npos; }, 30000))
        << router_->Stderr();
    kill(router_->Pid(), SIGTERM);
    EXPECT_EQ(router_->WaitExit(5000), 0);
    close(blocker);
}

}  // namespace
