// SIGHUP while the router serves: the configuration read again, what may change live taken,
// nothing taken from a file that is not valid, and a key that needs a restart kept as it was.
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "rt_server_e2e_fixture.h"
#include "rt_tools/rt_http_get.h"
#include "rt_tools/rt_router_setup.h"
#include "support/file_text.h"
#include "support/loopback.h"

namespace {

class RtServerReloadTest : public RtServerReadyTest {
  protected:
    void SetUp() override {
        RtServerReadyTest::SetUp();
        if (IsSkipped())
            return;
        Register(&agent_, kBdHandShakeClient, "agent-1");
    }

    std::string RouterConfigPath() const {
        return root_.Path() + "/etc/norvale/rt_server.conf.xml";
    }

    // Replaces the first `from` in the router's configuration file by `to`.
    void EditRouterConfig(const std::string &from, const std::string &to) {
        std::string conf = ReadFileText(RouterConfigPath());
        const size_t at = conf.find(from);
        ASSERT_NE(at, std::string::npos) << conf;
        conf.replace(at, from.size(), to);
        std::ofstream(RouterConfigPath()) << conf;
    }

    // Sends SIGHUP and waits for the entry that says how the reload ended.
    void ReloadExpecting(const std::string &entry) {
        const size_t before = Count(router_->Log(), entry);
        ASSERT_EQ(kill(router_->Pid(), SIGHUP), 0);
        ASSERT_TRUE(Eventually([&] { return Count(router_->Log(), entry) > before; }, kLoopTurnMs))
            << router_->Log();
    }

    static size_t Count(const std::string &text, const std::string &what) {
        size_t count = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++count;
        return count;
    }

    // The agent and the platform still exchange packets both ways, byte for byte.
    void ExpectPeersTalk() {
        for (const auto &route : {Route("agent-1", "platform-1"), Route("platform-1", "agent-1")}) {
            RtPeerClient *from = route.source_uuid == "agent-1" ? &agent_ : &platform_;
            RtPeerClient *to = from == &agent_ ? &platform_ : &agent_;
            const RtPeerPacket sent = RtPeerPacket::Normal(route, "{\"n\":1}\n");
            ASSERT_EQ(from->Send(sent), 0);
            RtPeerPacket received;
            ASSERT_EQ(to->Receive(&received), 0);
            EXPECT_EQ(received.Bytes(), sent.Bytes());
        }
    }

    // True when a connection from 127.0.0.1 is accepted and kept for a moment.
    bool NewConnectionKept() {
        RtPeerClient peer;
        return peer.Connect("127.0.0.1", router_->Port()) == 0 && !peer.WaitForClose(kSilenceMs);
    }

    RtPeerClient agent_;
};

TEST_F(RtServerReloadTest, LimitsTakeEffectForWhatComesNextWhileHeldConnectionsStay) {
    ASSERT_TRUE(NewConnectionKept());
    router_->AddRouterSettings("<max_connections_per_address>2</max_connections_per_address>\n");
    ReloadExpecting("configuration reloaded");
    // The platform and the agent hold the address's two places: a third is refused.
    EXPECT_FALSE(NewConnectionKept());
    EXPECT_NE(router_->Log().find("refused a connection from 127.0.0.1"), std::string::npos);
    ExpectPeersTalk();
    EXPECT_EQ(tables_.AgentOnline("agent-1"), "1");
}

TEST_F(RtServerReloadTest, InvalidFileChangesNothingAndTheEntrySaysWhy) {
    router_->AddRouterSettings(
        "<max_connections_per_address>2</max_connections_per_address>\n"
        "<queue_budget_mib>0</queue_budget_mib>\n");
    ReloadExpecting("configuration not reloaded, nothing changed: " + RouterConfigPath() +
                    ": queue_budget_mib must be at least 1");
    EXPECT_TRUE(NewConnectionKept());  // the limit beside the invalid key was not taken
    ExpectPeersTalk();

    std::remove((root_.Path() + "/etc/norvale/common_server.conf.xml").c_str());
    ReloadExpecting("configuration not reloaded, nothing changed: " + root_.Path() +
                    "/etc/norvale/common_server.conf.xml: missing");
    ExpectPeersTalk();
}

TEST_F(RtServerReloadTest, ChangedListenPortIsNamedAndTheOldPortServesOn) {
    const int otherPort = FreeLoopbackPort();
    EditRouterConfig("<listen_port>" + std::to_string(router_->Port()) + "</listen_port>",
                     "<listen_port>" + std::to_string(otherPort) + "</listen_port>");
    ReloadExpecting("configuration keys that need a restart keep their old values: listen_port");
    EXPECT_TRUE(NewConnectionKept());
    EXPECT_FALSE(RtRouterAccepts(otherPort));
    ExpectPeersTalk();
    RtPeerClient module;
    Register(&module, kBdHandShakeModuleServer, "module-1");
}

TEST_F(RtServerReloadTest, MonitoringListenerMovesToTheNewPort) {
    std::string page;
    const int first = router_->EnableMonitor();  // rewrites the file only
    ReloadExpecting("configuration reloaded");
    EXPECT_EQ(RtHttpGet("127.0.0.1", first, "/healthz", 5000, &page), 200) << page;
    const int second = router_->EnableMonitor();
    ReloadExpecting("configuration reloaded");
    EXPECT_EQ(RtHttpGet("127.0.0.1", second, "/healthz", 5000, &page), 200) << page;
    EXPECT_EQ(RtHttpGet("127.0.0.1", first, "/healthz", 1000, &page), -1);
    ExpectPeersTalk();
}

// Before the router serves, SIGHUP and SIGUSR2 end it at once, as they always did, and so does a
// stop signal while the database is not there yet.
TEST(RtServerReloadStartUpTest, SignalsDuringStartUpStillEndTheProcess) {
    TestDatabaseAddress database;
    database.host = "127.0.0.1";
    database.port = FreeLoopbackPort();  // nobody answers: start-up retries for a minute
    database.name = database.user = database.password = "norvale";
    for (int signal : {SIGHUP, SIGUSR2, SIGTERM}) {
        TempDir root;
        RtServerProcess router(root.Path(), database);
        ASSERT_TRUE(router.Start());
        // The log opens right before the database attempts begin.
        ASSERT_TRUE(Eventually(
            [&] { return std::filesystem::exists(root.Path() + "/log/rt_server"); }, 30000));
        ASSERT_EQ(kill(router.Pid(), signal), 0);
        EXPECT_TRUE(Eventually([&] { return !router.Running(); }, 3000)) << signal;
    }
}

// An upgrade's new image that cannot read its state starts afresh: with the mask the exec left
// (the four signals blocked), it still ends at once on a stop signal or SIGHUP while it waits for
// the database, as a first start does.
TEST(RtServerReloadStartUpTest, SignalsEndAnUpgradesFreshStartWaitingForTheDatabase) {
    TestDatabaseAddress database;
    database.host = "127.0.0.1";
    database.port = FreeLoopbackPort();
    database.name = database.user = database.password = "norvale";
    sigset_t served, before;
    sigemptyset(&served);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR2})
        sigaddset(&served, signal);
    for (int signal : {SIGTERM, SIGHUP}) {
        TempDir root;
        RtServerProcess router(root.Path(), database);
        const int memory = memfd_create("state", 0);
        ASSERT_EQ(write(memory, "damaged", 7), 7);
        router.SetEnv("RT_SERVER_HANDOVER_FD", std::to_string(memory));
        router.SetEnv("RT_SERVER_PID_FD", "-1");
        // The router is forked by this thread: it starts with the mask an upgrade's exec leaves.
        ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &served, &before), 0);
        const bool started = router.Start();
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        close(memory);
        ASSERT_TRUE(started);
        ASSERT_TRUE(Eventually(
            [&] { return std::filesystem::exists(root.Path() + "/log/rt_server"); }, 30000));
        ASSERT_EQ(kill(router.Pid(), signal), 0);
        EXPECT_TRUE(Eventually([&] { return !router.Running(); }, 3000)) << signal;
    }
}

}  // namespace
