// SIGUSR2: the router executes its binary again in its own process and hands every plain
// connection over, so that no peer notices; a binary that fails its check, or a state the new
// image cannot read, never costs more than the document's fresh start.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "rt_server/rt_server_handover.h"
#include "rt_server_e2e_fixture.h"
#include "support/file_text.h"
#include "support/loopback.h"
#include "support/private_database_server.h"

namespace {

// The descriptors of pid on TCP port (the listener and the peers' connections) that a program
// it executes would inherit.
std::vector<std::string> PeerSocketsOpenAcrossExec(pid_t pid, int port) {
    std::set<std::string> onPort;
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    std::getline(tcp, line);
    while (std::getline(tcp, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, skip, inode;
        fields >> slot >> local >> remote;
        for (int i = 0; i < 6; ++i)
            fields >> skip;
        fields >> inode;
        if (std::stoi(local.substr(local.find(':') + 1), nullptr, 16) == port)
            onPort.insert("socket:[" + inode + "]");
    }
    std::vector<std::string> open;
    std::error_code error;
    const std::string proc = "/proc/" + std::to_string(pid);
    for (const auto &entry : std::filesystem::directory_iterator(proc + "/fdinfo", error)) {
        const std::string fd = entry.path().filename();
        std::ifstream info(entry.path());
        std::string key, flags;
        while (info >> key && key != "flags:") {
        }
        if (onPort.count(std::filesystem::read_symlink(proc + "/fd/" + fd, error).string()) != 0 &&
            info >> flags && (std::stoul(flags, nullptr, 8) & O_CLOEXEC) == 0)
            open.push_back(fd);
    }
    return open;
}

class RtServerUpgradeTest : public RtServerE2eTest {
  protected:
    RtServerUpgradeTest() { start_router_in_setup_ = false; }

    bool LogHas(const std::string &text, int timeoutMs = kLoopTurnMs) {
        return Eventually([&] { return router_->Log().find(text) != std::string::npos; },
                          timeoutMs);
    }

    // Every row the router wrote, as one text, for comparing before, during and after.
    static std::string Rows(PeerTables *tables) {
        std::string rows;
        for (const char *query :
             {"SELECT agent_uuid, online_flag FROM bd_agent ORDER BY 1",
              "SELECT module_uuid, online_flag FROM bd_module_server ORDER BY 1"})
            for (const auto &row : tables->Rows(query))
                rows += row[0] + "=" + row[1] + " ";
        return rows;
    }
    std::string Rows() { return Rows(&tables_); }

    // One sender streams numbered 16 KiB packets to one receiver until stopped; the receiver
    // checks every packet: the very bytes, in order, none missing.
    struct Pair {
        RtPeerClient sender, receiver;
        std::string from, to;
        std::atomic<int> sent{0}, received{0};
        std::atomic<bool> wrong{false};
        std::string why;                       // what the receiver found wrong, set before wrong
        std::atomic<int64_t> longestGapMs{0};  // between two packets received
    };
    static int Scale(const char *variable, int usual) {
        const char *text = std::getenv(variable);
        return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : usual;
    }
    static std::string Payload(int n) {
        std::string payload(16 * 1024, static_cast<char>('a' + n % 26));
        const std::string number = std::to_string(n) + ":";
        payload.replace(0, number.size(), number);
        return payload;
    }
};

TEST_F(RtServerUpgradeTest, EveryPeerStaysAndEveryPacketArrivesOnceInOrder) {
    StartRouter();
    const std::string pidFile = router_->PidFile();
    const pid_t pid = router_->Pid();
    RtPeerClient platform;
    RegisterPlatform(&platform);
    // Scaled down for the sanitizers; RT_UPGRADE_IDLE and RT_UPGRADE_PAIRS give the full size
    // for a Release run (docs/benchmarks.md).
    const int kIdle = Scale("RT_UPGRADE_IDLE", 100);
    const int kPairs = Scale("RT_UPGRADE_PAIRS", 4);
    std::vector<std::unique_ptr<RtPeerClient>> idle;
    // Idle, not dead: a keep-alive now and then holds off the 30 s reaper while thousands
    // register.
    const auto keepIdleAlive = [&idle] {
        for (auto &peer : idle)
            ASSERT_EQ(peer->SendKeepAlive(), 0);
    };
    for (int i = 0; i < kIdle; ++i) {
        idle.push_back(std::make_unique<RtPeerClient>());
        Register(idle.back().get(), i % 2 ? kBdHandShakeClient : kBdHandShakeModuleServer,
                 "idle-" + std::to_string(i));
        if (i % 250 == 249)
            keepIdleAlive();
    }
    std::vector<std::unique_ptr<Pair>> pairs;
    for (int i = 0; i < kPairs; ++i) {
        pairs.push_back(std::make_unique<Pair>());
        Pair &pair = *pairs.back();
        pair.from = "send-" + std::to_string(i);
        pair.to = "recv-" + std::to_string(i);
        Register(&pair.sender, kBdHandShakeClient, pair.from);
        Register(&pair.receiver, kBdHandShakeClient, pair.to);
    }
    ASSERT_TRUE(Eventually(
        [&] { return Rows().find("=2") == std::string::npos && Rows().size() > 0; }, 10000));
    const std::string rows = Rows();

    std::atomic<bool> streaming{true};
    std::vector<std::thread> threads;
    for (auto &owned : pairs) {
        Pair *pair = owned.get();
        threads.emplace_back([pair, &streaming] {
            while (streaming && !pair->wrong) {
                if (pair->sender.SendNormal(Route(pair->from, pair->to), Payload(pair->sent)) != 0)
                    pair->wrong = true;
                else
                    ++pair->sent;
            }
        });
        threads.emplace_back([pair, &streaming] {
            RtPeerPacket packet;
            auto last = std::chrono::steady_clock::now();
            auto lastKeepAlive = last;
            while (!pair->wrong && (streaming || pair->received < pair->sent)) {
                // The new image of a sanitizer build may take seconds to start on a loaded
                // machine; a packet that never comes fails all the same.
                const int rc = pair->receiver.Receive(&packet, 60000);
                if (rc != 0 || packet.Payload() != Payload(pair->received)) {
                    pair->why = rc != 0 ? "receive failed: " + std::to_string(rc)
                                        : "packet " + std::to_string(pair->received) +
                                              " is not the one sent";
                    pair->wrong = true;
                    break;
                }
                ++pair->received;
                const auto now = std::chrono::steady_clock::now();
                // A receiver says nothing otherwise, and would be reaped as idle.
                if (now - lastKeepAlive > std::chrono::seconds(5)) {
                    pair->receiver.SendKeepAlive();
                    lastKeepAlive = now;
                }
                const int64_t gap =
                    std::chrono::duration_cast<std::chrono::milliseconds>(now - last).count();
                last = now;
                if (gap > pair->longestGapMs)
                    pair->longestGapMs = gap;
            }
        });
    }
    // Rows polled through the upgrade: none may change at any moment.
    std::atomic<bool> rowsChanged{false};
    std::thread poller([&] {
        PeerTables own;
        own.Connect(database_);
        while (streaming) {
            const std::string now = Rows(&own);
            if (now != rows)
                rowsChanged = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    ASSERT_TRUE(Eventually([&] { return pairs[0]->received > 20; }, 10000));
    keepIdleAlive();
    ASSERT_EQ(kill(pid, SIGUSR2), 0);
    EXPECT_TRUE(LogHas(
        "upgrade: took over " + std::to_string(1 + kIdle + 2 * kPairs) + " connections", 30000))
        << router_->Log();
    // Only the exec passes them on: the next upgrade's check must not hold the peers' sockets.
    EXPECT_EQ(PeerSocketsOpenAcrossExec(pid, router_->Port()), std::vector<std::string>());
    const int before = pairs[0]->received;
    EXPECT_TRUE(Eventually([&] { return pairs[0]->received > before + 20; }, 60000));
    streaming = false;
    for (auto &thread : threads)
        thread.join();
    poller.join();

    EXPECT_FALSE(rowsChanged);
    for (auto &pair : pairs) {
        // The pause is measured in Release (docs/benchmarks.md); here it is only shown.
        RecordProperty(pair->from + "_longest_gap_ms", static_cast<int>(pair->longestGapMs));
        std::cout << pair->from << " longest gap " << pair->longestGapMs << " ms\n";
        EXPECT_FALSE(pair->wrong) << pair->from << " after " << pair->received << ": " << pair->why;
        EXPECT_EQ(pair->received, pair->sent) << pair->from;
    }
    EXPECT_TRUE(router_->Running());
    EXPECT_EQ(router_->Pid(), pid);
    EXPECT_EQ(router_->PidFile(), pidFile);
    // Every idle peer is still connected, and still bound: each reaches the platform.
    for (int i = 0; i < kIdle; ++i) {
        const std::string from = "idle-" + std::to_string(i);
        ASSERT_EQ(idle[i]->SendNormal(Route(from, "platform-1"), "{}"), 0);
        RtPeerPacket packet;
        ASSERT_EQ(platform.Receive(&packet, 10000), 0) << from;
        EXPECT_EQ(packet.SourceUuid(), from);
    }
    RtPeerClient late;
    Register(&late, kBdHandShakeClient, "late-1");
    EXPECT_TRUE(Eventually([&] { return tables_.AgentOnline("late-1") == "1"; }, 10000));
    EXPECT_EQ(Rows().find("=2"), std::string::npos);
}

TEST_F(RtServerUpgradeTest, BrokenBinaryIsRefusedAndTheRouterServesOn) {
    namespace fs = std::filesystem;
    const std::string binary = root_.Path() + "/rt_server";
    fs::copy_file(RT_SERVER_BINARY_FOR_TESTS, binary);
    router_->SetBinary(binary);
    StartRouter();
    RtPeerClient platform, agent;
    RegisterPlatform(&platform);
    Register(&agent, kBdHandShakeClient, "agent-1");

    // What a failed package upgrade may leave at the path.
    fs::remove(binary);
    {
        std::ofstream broken(binary);
        broken << "#!/bin/sh\necho 'broken build' >&2\nexit 1\n";
    }
    fs::permissions(binary, fs::perms::owner_all);
    ASSERT_EQ(kill(router_->Pid(), SIGUSR2), 0);
    EXPECT_TRUE(
        LogHas("upgrade refused, the new binary's --check-config failed (exit status 1: "
               "broken build), serving on"))
        << router_->Log();
    ASSERT_EQ(agent.SendNormal(Route("agent-1", "platform-1"), "{}"), 0);
    RtPeerPacket packet;
    EXPECT_EQ(platform.Receive(&packet, 5000), 0);
    EXPECT_EQ(tables_.AgentOnline("agent-1"), "1");
    EXPECT_TRUE(router_->Running());
}

// A state the new image cannot read (an older or newer version, a damaged one): the fresh start,
// every inherited descriptor closed and every row offline, with the reason in the log.
TEST_F(RtServerUpgradeTest, StateNotUnderstoodFallsBackToAFreshStart) {
    RtHandoverState state;
    state.plain_listen_fd = 40;
    const std::string payload = RtEncodeHandover(state).substr(28);
    const std::string olderVersion = RtSealHandoverPayload(payload, RtHandoverState::kVersion - 1);
    const std::string newerVersion = RtSealHandoverPayload(payload, RtHandoverState::kVersion + 1);
    for (const std::string &bytes : {olderVersion, newerVersion, std::string("damaged")}) {
        ASSERT_TRUE(
            tables_.Exec("REPLACE INTO bd_agent (agent_uuid, online_flag) "
                         "VALUES ('agent-9', '1')"));
        const int memory = memfd_create("state", 0);
        ASSERT_EQ(write(memory, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        // A connection the router would inherit: it must close it.
        int listenerPort = 0;
        const int listener = ListenLoopback(&listenerPort);
        const int inherited = ConnectLoopback(listenerPort);
        const int peer = accept(listener, nullptr, nullptr);
        router_->SetEnv("RT_SERVER_HANDOVER_FD", std::to_string(memory));
        router_->SetEnv("RT_SERVER_PID_FD", "-1");
        StartRouter();
        close(memory);
        close(inherited);
        EXPECT_TRUE(WaitReadable(peer, 5000));
        EXPECT_EQ(ReceiveAvailable(peer), "");  // closed by the router, nothing said
        EXPECT_EQ(tables_.AgentOnline("agent-9"), "2");
        EXPECT_TRUE(
            LogHas(", started afresh: inherited connections closed, every peer marked "
                   "offline"))
            << router_->Log();
        RtPeerClient platform;
        RegisterPlatform(&platform);
        router_->Kill();
        close(peer);
        close(listener);
    }
    EXPECT_NE(router_->Log().find("hand-over state version 1, this image reads 2"),
              std::string::npos);
    EXPECT_NE(router_->Log().find("hand-over state version 3, this image reads 2"),
              std::string::npos);
    EXPECT_NE(router_->Log().find("not a hand-over state"), std::string::npos);
}

// A database of the test's own, frozen while the upgrade is asked for: the router hands over
// the handshakes waiting for their rows and the writes not yet done, rather than wait for them.
class RtServerUpgradeFrozenDatabaseTest : public RtServerUpgradeTest {
  protected:
    void SetUp() override {
        RtServerUpgradeTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ASSERT_TRUE(database_server_.Start());
        ASSERT_TRUE(rows_.Connect(database_server_.Address()));
        router_ = std::make_unique<RtServerProcess>(root_.Path(), database_server_.Address());
        StartRouter();
        pid_ = router_->Pid();
        RegisterPlatform(&platform_);
        Register(&a_, kBdHandShakeClient, "a");
        Register(&b_, kBdHandShakeClient, "b");
    }

    // Connects peer and sends its handshake as uuid; returns once the router has read it.
    void HandShakeInFlight(RtPeerClient *peer, const std::string &uuid) {
        Connect(peer);
        ASSERT_EQ(peer->Send(RtPeerPacket::HandShake(kBdHandShakeClient, Identity(uuid))), 0);
        ASSERT_TRUE(LogHas("add client to map, uuid: " + uuid + ",")) << router_->Log();
    }
    // SIGUSR2 with the database frozen: the new image takes the connections over at once.
    void UpgradeWhileFrozen(int connections) {
        ASSERT_EQ(kill(pid_, SIGUSR2), 0);
        ASSERT_TRUE(
            LogHas("upgrade: took over " + std::to_string(connections) + " connections", 30000))
            << router_->Log();
        EXPECT_EQ(router_->Pid(), pid_);
        // The database is still frozen: forwarding goes on without it.
        ASSERT_EQ(a_.SendNormal(Route("a", "b"), "while frozen"), 0);
        RtPeerPacket packet;
        ASSERT_EQ(b_.Receive(&packet, 10000), 0);
        EXPECT_EQ(packet.Payload(), "while frozen");
    }
    // The answer peer gets for its handshake once the database is back.
    static int AnswerTo(RtPeerClient *peer) {
        RtPeerPacket answer;
        return peer->Receive(&answer, 30000) == 0 ? answer.SubKind() : -1;
    }
    // How long rows may take to be written once the database is thawed.
    static constexpr int kThawedMs = 15000;

    PrivateDatabaseServer database_server_;
    PeerTables rows_;
    pid_t pid_ = -1;
    RtPeerClient platform_, a_, b_;
};

TEST_F(RtServerUpgradeFrozenDatabaseTest, AHandshakeInFlightIsAnsweredByTheNewImage) {
    database_server_.Freeze();
    RtPeerClient c;
    HandShakeInFlight(&c, "c");
    // Bound at once: a packet for c waits on its queue behind the answer's slot.
    ASSERT_EQ(a_.SendNormal(Route("a", "c"), "behind the answer"), 0);
    ASSERT_TRUE(Eventually(
        [&] { return router_->Stdout().find("transmit packet from a to c") != std::string::npos; },
        kLoopTurnMs));
    UpgradeWhileFrozen(4);
    database_server_.Thaw();

    EXPECT_EQ(AnswerTo(&c), kBdControlHandShakeSuccess);
    RtPeerPacket packet;
    ASSERT_EQ(c.Receive(&packet, 10000), 0);
    EXPECT_EQ(packet.Payload(), "behind the answer");
    EXPECT_TRUE(Eventually([&] { return rows_.AgentOnline("c") == "1"; }, kThawedMs));
    EXPECT_EQ(rows_.Value("SELECT hostname FROM bd_agent WHERE agent_uuid = 'c'"), "host-c");
    EXPECT_EQ(router_->Log().find("upgrade put off"), std::string::npos);
    EXPECT_EQ(router_->Pid(), pid_);
}

TEST_F(RtServerUpgradeFrozenDatabaseTest, AFrozenDatabaseHoldsBackNeitherTheUpgradeNorItsRows) {
    RtPeerClient client, module;
    Register(&client, kBdHandShakeClient, "leaving-client");
    Register(&module, kBdHandShakeModuleServer, "leaving-module");
    database_server_.Freeze();
    // Two peers leave while the database is frozen, and one comes.
    client.Close();
    module.Close();
    ASSERT_TRUE(LogHas("uuid: leaving-client connection close")) << router_->Log();
    ASSERT_TRUE(LogHas("uuid: leaving-module connection close")) << router_->Log();
    RtPeerClient late;
    HandShakeInFlight(&late, "late");
    UpgradeWhileFrozen(4);
    database_server_.Thaw();

    EXPECT_EQ(AnswerTo(&late), kBdControlHandShakeSuccess);
    EXPECT_TRUE(Eventually(
        [&] {
            return rows_.AgentOnline("leaving-client") == "2" &&
                   rows_.ModuleServerOnline("leaving-module") == "2" &&
                   rows_.AgentOnline("late") == "1";
        },
        kThawedMs));
    for (const char *uuid : {"a", "b"})
        EXPECT_EQ(rows_.AgentOnline(uuid), "1") << uuid;
    EXPECT_EQ(rows_.ModuleServerOnline("platform-1"), "1");
    // The peers that stayed are served by the new image, the late one too.
    ASSERT_EQ(late.SendNormal(Route("late", "b"), "after the thaw"), 0);
    RtPeerPacket packet;
    ASSERT_EQ(b_.Receive(&packet, 10000), 0);
    EXPECT_EQ(packet.Payload(), "after the thaw");
    EXPECT_EQ(router_->Pid(), pid_);
    // The new image, which never opened a database connection of its own, stops as any does.
    ASSERT_EQ(kill(pid_, SIGTERM), 0);
    EXPECT_EQ(router_->WaitExit(20000), 0);
    for (const char *uuid : {"a", "b", "late"})
        EXPECT_EQ(rows_.AgentOnline(uuid), "2") << uuid;
}

}  // namespace
