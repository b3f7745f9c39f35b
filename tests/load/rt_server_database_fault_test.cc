// The database goes away or stops answering while peers are connected: forwarding between bound
// peers goes on, handshakes are refused with server-not-ready, and the router recovers by itself.
#include <signal.h>

#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bd_database/bd_database.h"
#include "load_test_fixture.h"
#include "rt_tools/rt_http_get.h"
#include "support/private_database_server.h"

namespace {

class RtServerDatabaseFaultTest : public RtServerLoadTest {
  protected:
    void SetUp() override {
        start_router_in_setup_ = false;
        RtServerLoadTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        // A server of the test's own: this one is stopped and frozen.
        ASSERT_TRUE(database_server_.Start());
        router_ = std::make_unique<RtServerProcess>(root_.Path(), database_server_.Address());
        if (monitored_)
            monitor_port_ = router_->EnableMonitor();
        StartRouter();
        RegisterPlatform(&platform_);
        Register(&a_, kBdHandShakeClient, "a");
        Register(&b_, kBdHandShakeClient, "b");
    }

    void KeepEveryoneAlive() {
        KeepPlatformAlive();
        ASSERT_EQ(a_.SendKeepAlive(), 0);
        ASSERT_EQ(b_.SendKeepAlive(), 0);
    }

    // Hand-shakes as uuid on peer (connected already); the answer's sub-kind, -1 when none came
    // within timeoutMs.
    int HandShakeAnswer(RtPeerClient *peer, const std::string &uuid, int timeoutMs) {
        if (peer->Send(RtPeerPacket::HandShake(kBdHandShakeClient, Identity(uuid))) != 0)
            return -1;
        RtPeerPacket answer;
        return peer->Receive(&answer, timeoutMs) == 0 ? answer.SubKind() : -1;
    }

    static size_t Occurrences(const std::string &text, const std::string &what) {
        size_t count = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++count;
        return count;
    }

    // Repeats the handshake until it succeeds; seconds it took, or -1 after timeoutMs.
    double SecondsUntilHandShakeSucceeds(RtPeerClient *peer, const std::string &uuid,
                                         int timeoutMs) {
        const Clock::time_point start = Clock::now();
        const bool succeeded = Eventually(
            [&] { return HandShakeAnswer(peer, uuid, timeoutMs) == kBdControlHandShakeSuccess; },
            timeoutMs);
        return succeeded ? SecondsSince(start) : -1;
    }

    PrivateDatabaseServer database_server_;
    RtPeerClient a_, b_;
    bool monitored_ = false;
    int monitor_port_ = 0;
};

class RtServerDatabaseHealthTest : public RtServerDatabaseFaultTest {
  protected:
    RtServerDatabaseHealthTest() { monitored_ = true; }
    // /healthz's status once it has settled on expected (within the probe period and a turn).
    bool HealthBecomes(int expected, std::string *text) {
        return Eventually(
            [&] {
                return RtHttpGet("127.0.0.1", monitor_port_, "/healthz", 5000, text) == expected;
            },
            20000);
    }
};

TEST_F(RtServerDatabaseHealthTest, HealthFailsWhileTheDatabaseIsDownAndRecovers) {
    std::string text;
    EXPECT_TRUE(HealthBecomes(200, &text)) << text;
    database_server_.Stop();
    EXPECT_TRUE(HealthBecomes(503, &text)) << text;
    EXPECT_EQ(text.rfind("database ", 0), 0u) << text;
    ASSERT_TRUE(database_server_.Start());
    EXPECT_TRUE(HealthBecomes(200, &text)) << text;
    EXPECT_EQ(text, "ok\n");
}

// Turned on by a reload, the monitoring asks an idle database as it does when on from the start:
// nothing is written here, so only the idle probe can find the database gone.
class RtServerDatabaseHealthByReloadTest : public RtServerDatabaseHealthTest {
  protected:
    RtServerDatabaseHealthByReloadTest() { monitored_ = false; }
};

TEST_F(RtServerDatabaseHealthByReloadTest, AnIdleDatabaseGoneIsFound) {
    monitor_port_ = router_->EnableMonitor();
    ASSERT_EQ(kill(router_->Pid(), SIGHUP), 0);
    std::string text;
    ASSERT_TRUE(HealthBecomes(200, &text)) << text;
    // No peer is reaped, so no offline mark is written, while the test waits.
    KeepEveryoneAlive();
    database_server_.Stop();
    EXPECT_TRUE(HealthBecomes(503, &text)) << text;
}

TEST_F(RtServerDatabaseFaultTest, StoppedDatabaseRefusesHandshakesButNotForwardingUntilItIsBack) {
    RtPeerClient leaving, returning;
    Register(&leaving, kBdHandShakeClient, "leaving");
    Register(&returning, kBdHandShakeClient, "returning");
    ExpectForwards(&a_, "a", &b_, "b", "before");
    database_server_.Stop();

    ExpectForwards(&a_, "a", &b_, "b", "while the database is down");
    RtPeerClient c;
    Connect(&c);
    const Clock::time_point asked = Clock::now();
    EXPECT_EQ(HandShakeAnswer(&c, "c", 30000), kBdControlServerNotReady);
    Figure("not_ready_answer_seconds_database_down", SecondsSince(asked), "s");
    // Refused because the database is away, it is still reported as its failed lookup.
    EXPECT_TRUE(Eventually(
        [&] {
            return router_->Log().find(
                       "do database query failed, sql_sentence: SELECT * FROM "
                       "bd_agent WHERE agent_uuid = 'c'") != std::string::npos;
        },
        5000))
        << router_->Log();
    EXPECT_NE(router_->Stderr().find("do sql failed in rt_database_operation:"), std::string::npos);
    ExpectForwards(&b_, "b", &a_, "a", "still while the database is down");
    // Two peers leave while their rows cannot be written; one of them comes back (bound, though
    // its handshake is refused) before the database does.
    leaving.Close();
    returning.Close();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    Connect(&returning);
    EXPECT_EQ(HandShakeAnswer(&returning, "returning", 30000), kBdControlServerNotReady);
    KeepEveryoneAlive();

    ASSERT_TRUE(database_server_.Start());
    // The first handshake once the database is back has it tried at once, and succeeds.
    const Clock::time_point restartedAt = Clock::now();
    ASSERT_EQ(HandShakeAnswer(&c, "c", 30000), kBdControlHandShakeSuccess);
    Figure("handshake_recovery_seconds_after_restart", SecondsSince(restartedAt), "s");
    PeerTables restarted;
    ASSERT_TRUE(restarted.Connect(database_server_.Address()));
    EXPECT_EQ(restarted.AgentOnline("c"), "1");
    ExpectForwards(&c, "c", &a_, "a", "after the database came back");
    KeepEveryoneAlive();
    ASSERT_EQ(returning.SendKeepAlive(), 0);

    // The peer that left during the outage is written offline once the database is back; the
    // one connected again is not.
    const Clock::time_point back = Clock::now();
    EXPECT_TRUE(Eventually([&] { return restarted.AgentOnline("leaving") == "2"; }, 25000));
    Figure("lost_peer_offline_seconds_after_restart", SecondsSince(back), "s");
    EXPECT_EQ(restarted.AgentOnline("returning"), "1");
    EXPECT_TRUE(router_->Running());
}

// The database restarts while the writer's connection sits idle: the first handshake after it
// finds that connection gone, and is written over a fresh one.
TEST_F(RtServerDatabaseFaultTest, FirstHandshakeAfterARestartSucceeds) {
    database_server_.Stop();
    ASSERT_TRUE(database_server_.Start());
    RtPeerClient c;
    Connect(&c);
    EXPECT_EQ(HandShakeAnswer(&c, "c", 30000), kBdControlHandShakeSuccess);
    PeerTables tables;
    ASSERT_TRUE(tables.Connect(database_server_.Address()));
    EXPECT_EQ(tables.AgentOnline("c"), "1");
    ExpectForwards(&c, "c", &a_, "a", "after the restart");
}

// Peers leave while the database is frozen and some come back before the writer gives up on it:
// once it is thawed the rows tell the truth. Those connected again are online, whatever their
// handshake got while it was frozen, and online after their next handshake; those gone are
// offline.
TEST_F(RtServerDatabaseFaultTest, PeersBackWhileTheDatabaseWasFrozenEndOnlineAndTheGoneOffline) {
    const int kPeers = 20;
    std::vector<std::unique_ptr<RtPeerClient>> peers;
    for (int i = 0; i < kPeers; ++i) {
        peers.push_back(std::make_unique<RtPeerClient>());
        Register(peers.back().get(), kBdHandShakeClient, "p" + std::to_string(i));
    }
    database_server_.Freeze();
    for (auto &peer : peers)
        peer->Close();
    // The router hears of the closes at once and hands the marks to the writer, which waits on
    // the frozen database; the returning handshakes queue behind them.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    for (int i = 0; i < kPeers / 2; ++i) {
        Connect(peers[i].get());
        ASSERT_EQ(peers[i]->Send(RtPeerPacket::HandShake(kBdHandShakeClient,
                                                         Identity("p" + std::to_string(i)))),
                  0);
    }
    RtPeerPacket answer;
    for (int i = 0; i < kPeers / 2; ++i)
        ASSERT_EQ(peers[i]->Receive(&answer, 60000), 0);
    KeepEveryoneAlive();
    database_server_.Thaw();

    PeerTables tables;
    ASSERT_TRUE(tables.Connect(database_server_.Address()));
    // Peers [from, to) all have online flag.
    const auto all = [&](int from, int to, const char *flag) {
        for (int i = from; i < to; ++i) {
            if (tables.AgentOnline("p" + std::to_string(i)) != flag)
                return false;
        }
        return true;
    };
    const auto gone = [&] { return all(kPeers / 2, kPeers, "2"); };
    // The thawed server may apply the timed-out marks itself; the writer then writes the returned
    // peers online again once it is back.
    EXPECT_TRUE(Eventually([&] { return gone() && all(0, kPeers / 2, "1"); }, 30000));
    for (int i = 0; i < kPeers / 2; ++i) {
        const std::string uuid = "p" + std::to_string(i);
        ASSERT_GE(SecondsUntilHandShakeSucceeds(peers[i].get(), uuid, 20000), 0) << uuid;
        EXPECT_EQ(tables.AgentOnline(uuid), "1") << uuid;
    }
    EXPECT_TRUE(gone());
    EXPECT_EQ(tables.AgentOnline("a"), "1");
    EXPECT_EQ(tables.ModuleServerOnline("platform-1"), "1");
}

// The database crashes while peers come and go: once it is back and every connected peer's latest
// handshake succeeded, a connected peer is online and a gone one offline.
TEST_F(RtServerDatabaseFaultTest, AfterACrashConnectedPeersAreOnlineAndGoneOnesOffline) {
    const int kPeers = 8;
    std::vector<std::unique_ptr<RtPeerClient>> peers;
    for (int i = 0; i < kPeers; ++i) {
        peers.push_back(std::make_unique<RtPeerClient>());
        Register(peers.back().get(), kBdHandShakeClient, "p" + std::to_string(i));
    }
    database_server_.Kill();
    // p0 - p3 leave; p0 and p1 come back, and a new peer arrives, while the database is down.
    for (int i = 0; i < kPeers / 2; ++i)
        peers[i]->Close();
    RtPeerClient fresh;
    Connect(&fresh);
    EXPECT_EQ(HandShakeAnswer(&fresh, "fresh", 30000), kBdControlServerNotReady);
    for (int i = 0; i < 2; ++i) {
        Connect(peers[i].get());
        EXPECT_EQ(HandShakeAnswer(peers[i].get(), "p" + std::to_string(i), 30000),
                  kBdControlServerNotReady);
    }
    KeepEveryoneAlive();
    ASSERT_TRUE(database_server_.Start());

    std::vector<std::pair<RtPeerClient *, std::string>> connected = {
        {&fresh, "fresh"}, {peers[0].get(), "p0"}, {peers[1].get(), "p1"}};
    for (auto &peer : connected)
        ASSERT_GE(SecondsUntilHandShakeSucceeds(peer.first, peer.second, 20000), 0) << peer.second;
    PeerTables tables;
    ASSERT_TRUE(tables.Connect(database_server_.Address()));
    const auto truthful = [&] {
        bool ok = tables.AgentOnline("p2") == "2" && tables.AgentOnline("p3") == "2";
        for (auto &peer : connected)
            ok = ok && tables.AgentOnline(peer.second) == "1";
        for (int i = kPeers / 2; i < kPeers; ++i)
            ok = ok && tables.AgentOnline("p" + std::to_string(i)) == "1";
        return ok && tables.AgentOnline("a") == "1" &&
               tables.ModuleServerOnline("platform-1") == "1";
    };
    EXPECT_TRUE(Eventually(truthful, 20000))
        << tables.AgentOnline("p0") << tables.AgentOnline("p2") << tables.AgentOnline("p4");
}

// Tables whose keys compare loosely (case, trailing spaces), as a deployment may have made them:
// a handshake whose lookup finds the row of another spelling is refused, and neither it nor its
// leaving touches that row.
TEST_F(RtServerDatabaseFaultTest, LooselyComparingTablesRefuseAnotherSpellingOfAConnectedUuid) {
    PeerTables tables;
    ASSERT_TRUE(tables.Connect(database_server_.Address()));
    ASSERT_TRUE(
        tables.Exec("ALTER TABLE bd_agent MODIFY agent_uuid VARCHAR(64) COLLATE "
                    "utf8_general_ci NOT NULL"));
    ASSERT_TRUE(
        tables.Exec("ALTER TABLE bd_module_server MODIFY module_uuid VARCHAR(64) COLLATE "
                    "utf8_general_ci NOT NULL"));
    std::vector<std::unique_ptr<RtPeerClient>> others;
    const std::vector<std::pair<int, std::string>> spellings = {
        {kBdHandShakeClient, "A"},
        {kBdHandShakeClient, "a "},
        {kBdHandShakeModuleServer, "PLATFORM-1"}};
    for (const auto &spelling : spellings) {
        others.push_back(std::make_unique<RtPeerClient>());
        Connect(others.back().get());
        RtPeerPacket answer;
        ASSERT_EQ(others.back()->HandShake(spelling.first, Identity(spelling.second), &answer), 0);
        EXPECT_TRUE(answer.IsControl(kBdControlServerNotReady)) << spelling.second;
    }
    const auto untouched = [&] {
        EXPECT_EQ(
            tables.Rows("SELECT agent_uuid, hostname, online_flag FROM bd_agent ORDER BY "
                        "agent_uuid"),
            (std::vector<std::vector<std::string>>{{"a", "host-a", "1"}, {"b", "host-b", "1"}}));
        EXPECT_EQ(tables.Rows("SELECT node_uuid, online_flag FROM bd_module_server WHERE "
                              "module_uuid = 'platform-1'"),
                  (std::vector<std::vector<std::string>>{{"node-platform-1", "1"}}));
    };
    untouched();
    const std::string log = router_->Log();
    EXPECT_NE(log.find("uuid A refused, agent_uuid holds it as a"), std::string::npos) << log;

    for (auto &other : others)
        other->Close();
    RtPeerClient sentinel;
    Register(&sentinel, kBdHandShakeModuleServer, "sentinel");
    sentinel.Close();
    ASSERT_TRUE(
        Eventually([&] { return tables.ModuleServerOnline("sentinel") == "2"; }, kLoopTurnMs));
    untouched();
}

// A stop gives the offline marks a few seconds, then ends whatever the database does, saying the
// marks are left to the next start.
TEST_F(RtServerDatabaseFaultTest, StopWithAFrozenDatabaseEndsWithinTheGrace) {
    database_server_.Freeze();
    const Clock::time_point asked = Clock::now();
    ASSERT_EQ(kill(router_->Pid(), SIGTERM), 0);
    EXPECT_EQ(router_->WaitExit(4000), 0);
    Figure("stop_seconds_database_frozen", SecondsSince(asked), "s");
    database_server_.Thaw();
    const std::string log = router_->Log();
    EXPECT_NE(log.find("offline marks not written before the stop, the next start marks every "
                       "peer offline"),
              std::string::npos)
        << log;
}

// However the writes are run, a failing lookup is reported as the operations report it: the
// statement in the log, and for an agent a line of its own on standard error.
TEST_F(RtServerDatabaseFaultTest, FailingLookupsAreReportedWithTheOperationsOwnTexts) {
    PeerTables tables;
    ASSERT_TRUE(tables.Connect(database_server_.Address()));
    ASSERT_TRUE(tables.Exec("RENAME TABLE bd_agent TO bd_agent_hidden, bd_node TO bd_node_hidden"));
    RtPeerClient c, m;
    Connect(&c);
    EXPECT_EQ(HandShakeAnswer(&c, "c", 30000), kBdControlServerNotReady);
    Connect(&m);
    RtPeerPacket answer;
    ASSERT_EQ(m.HandShake(kBdHandShakeModuleServer, Identity("m"), &answer), 0);
    EXPECT_TRUE(answer.IsControl(kBdControlServerNotReady));
    ASSERT_TRUE(tables.Exec("RENAME TABLE bd_agent_hidden TO bd_agent, bd_node_hidden TO bd_node"));

    const std::string log = router_->Log();
    EXPECT_NE(log.find("do database query failed, sql_sentence: SELECT * FROM bd_agent WHERE "
                       "agent_uuid = 'c'"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("update database for client failed"), std::string::npos) << log;
    EXPECT_NE(log.find("do database query failed, sql_sentence: SELECT * FROM bd_node WHERE "
                       "node_uuid = 'node-m'"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("update database failed for server module"), std::string::npos) << log;
    const std::string errors = router_->Stderr();
    EXPECT_EQ(Occurrences(errors, "do sql failed in rt_database_operation:"), 1u) << errors;
    // A statement's own failure does not make the database unavailable.
    EXPECT_EQ(HandShakeAnswer(&c, "c", 30000), kBdControlHandShakeSuccess);
}

TEST_F(RtServerDatabaseFaultTest, FrozenDatabaseHoldsTheRouterOnlyForTheTimeOutThenRecovers) {
    database_server_.Freeze();
    RtPeerClient c;
    Connect(&c);
    const Clock::time_point asked = Clock::now();
    EXPECT_EQ(HandShakeAnswer(&c, "c", 60000), kBdControlServerNotReady);
    const double answered = SecondsSince(asked);
    Figure("not_ready_answer_seconds_database_frozen", answered, "s");
    EXPECT_LT(answered, BdDatabase::kReadTimeoutSeconds + BdDatabase::kWriteTimeoutSeconds + 5);
    // Once the database is known to be away, handshakes are not held for the time-out again.
    const Clock::time_point askedAgain = Clock::now();
    EXPECT_EQ(HandShakeAnswer(&c, "c", 60000), kBdControlServerNotReady);
    Figure("not_ready_answer_seconds_once_known_frozen", SecondsSince(askedAgain), "s");
    // The event loop runs again: bound peers are served while the database is still frozen.
    ExpectForwards(&a_, "a", &b_, "b", "after the time-out");
    KeepEveryoneAlive();

    database_server_.Thaw();
    const double recovery = SecondsUntilHandShakeSucceeds(&c, "c", 30000);
    ASSERT_GE(recovery, 0) << "handshakes still refused after the database was thawed";
    Figure("handshake_recovery_seconds_after_thaw", recovery, "s");
    PeerTables thawed;
    ASSERT_TRUE(thawed.Connect(database_server_.Address()));
    EXPECT_EQ(thawed.AgentOnline("c"), "1");
    ExpectForwards(&c, "c", &b_, "b", "after the thaw");
}

}  // namespace
