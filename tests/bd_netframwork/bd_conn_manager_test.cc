// The connection manager: registries, reaping, the write deadline and the real event loop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <memory>
#include <thread>

#include "bd_common/bd_error.h"
#include "bd_common/bd_log.h"
#include "bd_netframwork/bd_conn_manager.h"
#include "bd_netframwork/bd_network.h"
#include "bd_netframwork/bd_poll.h"
#include "support/eventually.h"
#include "support/file_text.h"
#include "support/loopback.h"
#include "support/packet_bytes.h"
#include "support/recording_connection.h"
#include "support/temp_dir.h"

namespace {

constexpr int kMiB = 1024 * 1024;
long g_now = 1000000;
long FakeClock() {
    return g_now;
}

class ConnManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_now = 1000000;
        manager.SetSecondsClock(FakeClock);
        ASSERT_EQ(manager.Init(), 0);
    }
    void TearDown() override { manager.Destroy(); }

    // A registered connection over a new loopback pair, its deadline deadlineIn seconds ahead.
    RecordingConnection *Connect(long deadlineIn = 30, const std::string &uuid = "") {
        pairs.push_back(std::make_unique<LoopbackPair>());
        auto *conn = new RecordingConnection();
        conn->Init(pairs.back()->local, &manager);
        conn->SetTimeout(g_now + deadlineIn);
        manager.AddMapFdToConn(conn->GetFD(), conn, kBdReadInterest);
        if (!uuid.empty()) {
            manager.AddMapUUIDToFD(uuid, conn->GetFD());
        }
        return conn;
    }
    bool Registered(int fd) {
        BdConnection *found = nullptr;
        return manager.QueryConnFromFD(fd, &found) == 0;
    }
    std::list<std::string> Reap() {
        std::list<std::string> lost;
        EXPECT_EQ(manager.CheckTimeout(&lost), 0);
        return lost;
    }

    BdConnManager manager;
    std::vector<std::unique_ptr<LoopbackPair>> pairs;
};

TEST_F(ConnManagerTest, ReapsByDeadlineAndByCloseFlagReportingUuids) {
    RecordingConnection *idle = Connect(10, "idle-peer");
    RecordingConnection *closed = Connect(30, "closed-peer");
    RecordingConnection *anonymous = Connect(10);
    RecordingConnection *alive = Connect(30, "alive-peer");
    int idleFd = idle->GetFD(), closedFd = closed->GetFD(), anonymousFd = anonymous->GetFD();

    EXPECT_TRUE(Reap().empty());
    closed->CloseSelf();
    EXPECT_EQ(Reap(), std::list<std::string>{"closed-peer"});
    EXPECT_FALSE(Registered(closedFd));

    g_now += 9;
    EXPECT_TRUE(Reap().empty());
    g_now += 1;
    EXPECT_EQ(Reap(), std::list<std::string>{"idle-peer"});
    EXPECT_FALSE(Registered(idleFd));
    EXPECT_FALSE(Registered(anonymousFd));
    EXPECT_TRUE(Registered(alive->GetFD()));
    int fd = -1;
    EXPECT_EQ(manager.QueryFDFromUUID("idle-peer", &fd), BD_SOCKET_FD_NOT_EXIST);
}

TEST_F(ConnManagerTest, ADeadlineMovedEarlierIsStillHonoured) {
    RecordingConnection *conn = Connect(300, "peer");
    EXPECT_TRUE(Reap().empty());
    conn->SetTimeout(g_now + 1);
    g_now += 1;
    EXPECT_EQ(Reap(), std::list<std::string>{"peer"});
}

TEST_F(ConnManagerTest, TheLoopsOwnPausesAndUnreadBytesAreNotChargedToPeers) {
    Connect(10, "stalled");
    RecordingConnection *talking = Connect(10, "talking");
    // A dispatch that kept the loop away from the sockets for 25 s.
    manager.WaitAndHandleEvent(0);
    g_now += 25;
    EXPECT_TRUE(Reap().empty());
    g_now += 9;
    EXPECT_TRUE(Reap().empty());

    // The deadline has passed, but bytes the peer sent wait unread: it is not idle.
    SendAll(pairs[1]->peer, "x");
    g_now += 1;
    EXPECT_EQ(Reap(), std::list<std::string>{"stalled"});
    EXPECT_TRUE(Registered(talking->GetFD()));
    ASSERT_TRUE(Eventually(
        [&] {
            manager.WaitAndHandleEvent(0);
            return talking->BytesHeld() == 1;
        },
        5000));
    EXPECT_EQ(Reap(), std::list<std::string>{"talking"});
}

TEST_F(ConnManagerTest, ReapingThePlatformClearsTheReadyFlag) {
    RecordingConnection *platform = Connect(30, "platform");
    manager.SetPTServerUUID("platform");
    EXPECT_EQ(manager.GetServerReadyFlag(), 1u);
    platform->CloseSelf();
    Reap();
    EXPECT_EQ(manager.GetServerReadyFlag(), 0u);
    EXPECT_EQ(manager.GetPTServerUUID(), "platform");
}

TEST_F(ConnManagerTest, UuidLeftWithoutConnectionIsReportedInTheSamePass) {
    RecordingConnection *conn = Connect(30, "orphan");
    manager.AddMapUUIDToFD("zz-alias", conn->GetFD());
    manager.DelConnByFD(conn->GetFD());
    RecordingConnection *kept = Connect(30, "kept");
    EXPECT_EQ(Reap(), (std::list<std::string>{"orphan", "zz-alias"}));
    EXPECT_TRUE(Reap().empty());
    BdConnection *found = nullptr;
    EXPECT_EQ(manager.QueryConnFromUUID("kept", &found), 0);
    EXPECT_EQ(found, kept);
}

TEST_F(ConnManagerTest, RebindingAUuidDestroysTheOlderConnectionAtOnceUnreported) {
    RecordingConnection *first = Connect(30, "agent");
    int firstFd = first->GetFD();
    RecordingConnection *second = Connect(30, "agent");
    EXPECT_FALSE(Registered(firstFd));
    BdConnection *found = nullptr;
    EXPECT_EQ(manager.QueryConnFromUUID("agent", &found), 0);
    EXPECT_EQ(found, second);
    EXPECT_TRUE(Reap().empty());
}

TEST_F(ConnManagerTest, AReplacedConnectionTakesAllItsUuidsEvenWhenItsDescriptorIsReused) {
    RecordingConnection *old = Connect(30, "agent");
    ASSERT_EQ(manager.AddMapUUIDToFD("agent-alias", old->GetFD()), 0);
    const int oldFd = old->GetFD();
    Connect(30, "agent-alias");
    ASSERT_FALSE(Registered(oldFd));

    // Accepted in the same batch, before any reaping: it gets the freed descriptor number.
    pairs.push_back(std::make_unique<LoopbackPair>());
    ASSERT_EQ(dup2(pairs.back()->local, oldFd), oldFd);
    auto *stranger = new RecordingConnection();
    stranger->Init(oldFd, &manager);
    stranger->SetTimeout(g_now + 30);
    manager.AddMapFdToConn(oldFd, stranger, kBdReadInterest);

    BdConnection *found = nullptr;
    EXPECT_EQ(manager.QueryConnFromUUID("agent", &found), BD_SOCKET_FD_NOT_EXIST);
    EXPECT_EQ(Reap(), std::list<std::string>{"agent"});
    EXPECT_TRUE(Registered(oldFd));
    EXPECT_EQ(stranger->GetUUID(), "");
}

// A handler binds a UUID, which destroys the connection that held it in the middle of the batch,
// and a connection accepted in the same batch takes its descriptor number: the old socket's
// hang-up, already in the batch, must reach nobody.
TEST_F(ConnManagerTest, AStaleEventOfAReusedDescriptorReachesNobody) {
    RecordingConnection *old = Connect(30, "agent");
    const int oldFd = old->GetFD();
    RecordingConnection *taker = Connect(30);
    RecordingConnection *stranger = nullptr;
    taker->onPacket = [&](const char *, int) {
        manager.AddMapUUIDToFD("agent", taker->GetFD());
        pairs.push_back(std::make_unique<LoopbackPair>());
        ASSERT_EQ(dup2(pairs.back()->local, oldFd), oldFd);
        close(pairs.back()->local);
        stranger = new RecordingConnection();
        stranger->Init(oldFd, &manager);
        stranger->SetTimeout(g_now + 30);
        manager.AddMapFdToConn(oldFd, stranger, kBdReadInterest);
    };
    SendAll(pairs[1]->peer, NetPacket(0));
    ASSERT_TRUE(WaitReadable(pairs[1]->local));
    // Reset rather than closed: a hang-up event, which closes whichever connection it reaches.
    const linger reset{1, 0};
    setsockopt(pairs[0]->peer, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    pairs[0]->ClosePeer();
    ASSERT_TRUE(WaitReadable(oldFd));

    manager.WaitAndHandleEvent(1);
    ASSERT_NE(stranger, nullptr);
    EXPECT_EQ(stranger->GetCloseFlag(), 0u);
    EXPECT_TRUE(Reap() == std::list<std::string>{});
    EXPECT_TRUE(Registered(oldFd));
}

// Other threads hand work to the loop through its post queue: every task runs on the loop's
// thread, in the order posted, woken out of a long wait; tasks posted after Destroy are dropped.
TEST_F(ConnManagerTest, PostedTasksRunOnTheLoopInOrder) {
    std::vector<int> ran;
    std::vector<bool> onLoop;
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i) {
            manager.Post([&, i] {
                ran.push_back(i);
                onLoop.push_back(manager.InLoopThread());
            });
        }
    });
    poster.join();
    const auto start = std::chrono::steady_clock::now();
    while (ran.size() < 100 &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(20)) {
        manager.WaitAndHandleEvent(10);
    }
    ASSERT_EQ(ran.size(), 100u);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(ran[i], i);
        EXPECT_TRUE(onLoop[i]);
    }
    manager.Destroy();
    manager.Post([&] { ran.push_back(-1); });
    ASSERT_EQ(manager.Init(), 0);
    manager.WaitAndHandleEvent(0);
    EXPECT_EQ(ran.size(), 100u);
}

// A watched descriptor is no peer: its input wakes the loop and runs its callback there, once per
// report, and no deadline reaps it however far the clock moves; a connection's events in the same
// wait still reach the connection.
TEST_F(ConnManagerTest, AWatchedDescriptorWakesTheLoopAndIsNeverReaped) {
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC), 0);
    std::vector<bool> onLoop;
    ASSERT_EQ(manager.WatchDescriptor(pipeFds[0],
                                      [&] {
                                          char drained[16];
                                          while (read(pipeFds[0], drained, sizeof(drained)) > 0) {
                                          }
                                          onLoop.push_back(manager.InLoopThread());
                                      }),
              0);
    std::thread([&] { ASSERT_EQ(write(pipeFds[1], "xy", 2), 2); }).join();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(manager.WaitAndHandleEvent(5), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_EQ(onLoop, std::vector<bool>{true});
    EXPECT_EQ(manager.WaitAndHandleEvent(0), -1);

    Connect(10, "peer");
    EXPECT_TRUE(Reap().empty());
    g_now += 1000;
    EXPECT_EQ(Reap(), std::list<std::string>{"peer"});
    ASSERT_EQ(write(pipeFds[1], "z", 1), 1);
    RecordingConnection *next = Connect(10);
    ASSERT_EQ(write(pairs.back()->peer, "\x01", 1), 1);
    for (int turn = 0; turn < 20 && (onLoop.size() < 2 || next->BytesHeld() == 0); ++turn) {
        manager.WaitAndHandleEvent(1);
    }
    EXPECT_EQ(onLoop.size(), 2u);
    EXPECT_EQ(next->BytesHeld(), 1);
    close(pipeFds[0]);
    close(pipeFds[1]);
}

// A web connection may bind hundreds of thousands of UUIDs. Its close retires them a slice per
// check, so no turn pays for all of them; every one is reported once, except one bound elsewhere
// meanwhile, and none resolves to the connection that is gone.
TEST_F(ConnManagerTest, AConnectionWithHalfAMillionUuidsIsRetiredInSlices) {
    const int kUuids = 500000;
    RecordingConnection *web = Connect();
    for (int i = 0; i < kUuids; ++i) {
        ASSERT_EQ(manager.AddWebMapUUIDToFD("web-" + std::to_string(i), web->GetFD()), 0);
    }
    RecordingConnection *neighbour = Connect(30, "neighbour");
    manager.DelConnByFD(web->GetFD());
    int fd = -1;
    EXPECT_EQ(manager.QueryFDFromUUID("web-7", &fd), BD_SOCKET_FD_NOT_EXIST);
    RecordingConnection *successor = Connect();
    ASSERT_EQ(manager.AddWebMapUUIDToFD("web-499999", successor->GetFD()), 0);

    size_t reported = 0;
    double longestCheckMs = 0;
    int checks = 0;
    for (; checks < 1000 && reported < kUuids - 1; ++checks) {
        const auto start = std::chrono::steady_clock::now();
        const std::list<std::string> lost = Reap();
        longestCheckMs = std::max(longestCheckMs, std::chrono::duration<double, std::milli>(
                                                      std::chrono::steady_clock::now() - start)
                                                      .count());
        ASSERT_LE(lost.size(), 4096u);
        for (const std::string &uuid : lost) {
            ASSERT_NE(uuid, "web-499999");
        }
        reported += lost.size();
    }
    std::cout << "[ figure   ] longest check: " << longestCheckMs << " ms over " << checks
              << " checks" << std::endl;
    EXPECT_EQ(reported, static_cast<size_t>(kUuids - 1));
    EXPECT_TRUE(Reap().empty());
    EXPECT_EQ(manager.QueryFDFromUUID("web-499999", &fd), 0);
    EXPECT_EQ(fd, successor->GetFD());
    EXPECT_EQ(manager.CountBoundPeers(), 2u);
    EXPECT_TRUE(Registered(neighbour->GetFD()));
}

TEST_F(ConnManagerTest, WebBindingsReplaceOnlyWebBindings) {
    RecordingConnection *platform = Connect(30, "platform");
    RecordingConnection *web = Connect(30);
    EXPECT_EQ(manager.AddWebMapUUIDToFD("platform", web->GetFD()), BD_OBJECT_REPEAT);
    BdConnection *found = nullptr;
    ASSERT_EQ(manager.QueryConnFromUUID("platform", &found), 0);
    EXPECT_EQ(found, platform);
    EXPECT_EQ(web->GetUUID(), "");

    ASSERT_EQ(manager.AddWebMapUUIDToFD("web-1", web->GetFD()), 0);
    RecordingConnection *webAgain = Connect(30);
    const int webFd = web->GetFD();
    EXPECT_EQ(manager.AddWebMapUUIDToFD("web-1", webAgain->GetFD()), 0);
    EXPECT_FALSE(Registered(webFd));
    // A handshake takes any binding over, and then web traffic no longer can.
    const int webAgainFd = webAgain->GetFD();
    RecordingConnection *agent = Connect(30, "web-1");
    EXPECT_FALSE(Registered(webAgainFd));
    EXPECT_EQ(manager.AddWebMapUUIDToFD("web-1", Connect(30)->GetFD()), BD_OBJECT_REPEAT);
    ASSERT_EQ(manager.QueryConnFromUUID("web-1", &found), 0);
    EXPECT_EQ(found, agent);
    EXPECT_TRUE(Reap().empty());
}

TEST_F(ConnManagerTest, AConnectionHoldsNoMoreUuidsThanAllowed) {
    manager.SetMaxUuidsPerConnection(2);
    RecordingConnection *conn = Connect(30, "one");
    EXPECT_EQ(manager.AddMapUUIDToFD("two", conn->GetFD()), 0);
    EXPECT_EQ(manager.AddMapUUIDToFD("three", conn->GetFD()), BD_ERROR);
    EXPECT_EQ(manager.AddMapUUIDToFD("two", conn->GetFD()), 0);
    int fd = -1;
    EXPECT_EQ(manager.QueryFDFromUUID("three", &fd), BD_SOCKET_FD_NOT_EXIST);
    EXPECT_EQ(conn->GetUUID(), "two");
}

TEST_F(ConnManagerTest, RegisteringTheSameConnectionAgainOnlyRearmsIt) {
    RecordingConnection *conn = Connect(30, "web");
    conn->PutWriteQueueItem(MallocCopy(NetPacket(0)), 16);
    EXPECT_EQ(manager.AddMapFdToConn(conn->GetFD(), conn, kBdReadInterest), 0);
    EXPECT_TRUE(Registered(conn->GetFD()));
    EXPECT_EQ(conn->GetEventMask(), kBdReadWriteInterest);
    EXPECT_EQ(manager.WaitAndHandleEvent(1), 1);
    EXPECT_EQ(ReceiveAvailable(pairs.back()->peer), NetPacket(0));
}

// A connection removed while it waits on the output-ready list must not be served afterwards
// (the address sanitizer reports the use of the destroyed object otherwise).
TEST_F(ConnManagerTest, ConnectionRemovedWhileReadyToSendIsNotServed) {
    manager.WaitAndHandleEvent(0);  // this thread runs the loop
    RecordingConnection *gone = Connect();
    RecordingConnection *kept = Connect();
    gone->PutWriteQueueItem(MallocCopy(NetPacket(0)), 16);
    kept->PutWriteQueueItem(MallocCopy(NetPacket(1)), 17);
    EXPECT_TRUE(manager.OutputQueued(*gone));
    manager.DelConnByFD(gone->GetFD());
    manager.WaitAndHandleEvent(0);
    EXPECT_EQ(ReceiveAvailable(pairs.back()->peer), NetPacket(1));
}

// Pacing: a sender held by a target resumes once the target's queue, drained one packet a turn
// from the output-ready list, falls below the mark it waits for.
TEST_F(ConnManagerTest, HeldSenderResumesWhenItsTargetDrainsFromTheReadyList) {
    manager.WaitAndHandleEvent(0);  // this thread runs the loop
    RecordingConnection *sender = Connect();
    RecordingConnection *target = Connect();
    const std::string packet = NetPacket(256 * 1024 - 16, 't');
    const int64_t resumeBelow = 2 * 1024 * 1024;
    const int64_t count = resumeBelow / 256 / 1024 + 4;
    for (int64_t i = 0; i < count; ++i) {
        target->PutWriteQueueItem(MallocCopy(packet), static_cast<int>(packet.size()));
    }
    manager.PaceBehind(sender, target, resumeBelow);
    for (int turn = 0; turn < 1000 && manager.InputPaused(*sender); ++turn) {
        manager.WaitAndHandleEvent(0);
        ReceiveAvailable(pairs.back()->peer, 1);
    }
    EXPECT_FALSE(manager.InputPaused(*sender));
    EXPECT_LT(target->QueuedBytes(), resumeBelow);
    EXPECT_GT(target->QueuedBytes(), 0);
}

// Past the budget, a sender that feeds others waits for the sum to fall, not behind one of the
// largest queues, however often its packet is refused again after it was resumed (counted each
// time, it made the sender look like a stream to that target).
TEST_F(ConnManagerTest, PastTheBudgetASenderThatFeedsOthersIsNotHeldBehindOneSlowTarget) {
    manager.WaitAndHandleEvent(0);  // this thread runs the loop
    RecordingConnection *sender = Connect();
    RecordingConnection *slow = Connect();
    RecordingConnection *quick = Connect();
    const int quickPeer = pairs.back()->peer;
    // Both sockets take little, so the queues stay where they are until the quick one is read.
    const int small = 16384;
    for (size_t i = 1; i < pairs.size(); ++i) {
        setsockopt(pairs[i]->local, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
        setsockopt(pairs[i]->peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    }
    const std::string packet = NetPacket(kMiB - 16, 'q');
    for (int i = 0; i < 8; ++i) {
        (i < 6 ? slow : quick)->PutWriteQueueItem(MallocCopy(packet), kMiB);
    }
    // The slow queue holds more than an even share of the budget. The packet is refused, the
    // sender resumed for a moment (a larger budget here) and refused again, many times.
    for (int ask = 0; ask < 2 * BdConnManager::kStreamPackets; ++ask) {
        manager.SetQueueBudget(8 * kMiB);
        EXPECT_FALSE(manager.AdmitPacket(sender, slow, kMiB));
        manager.SetQueueBudget(64 * kMiB);
        manager.WaitAndHandleEvent(0);
        ASSERT_FALSE(manager.InputPaused(*sender)) << ask;
    }
    manager.SetQueueBudget(8 * kMiB);
    EXPECT_FALSE(manager.AdmitPacket(sender, slow, kMiB));
    // The quick target drains; the sum falls under seven eighths of the budget.
    for (int turn = 0; turn < 1000 && manager.InputPaused(*sender); ++turn) {
        manager.WaitAndHandleEvent(0);
        ReceiveAvailable(quickPeer, 1);
    }
    EXPECT_FALSE(manager.InputPaused(*sender));
    EXPECT_GE(slow->QueuedBytes(), 5 * kMiB);
}

TEST_F(ConnManagerTest, LookupsRefuseBadArguments) {
    BdConnection *found = nullptr;
    int fd = 0;
    EXPECT_EQ(manager.QueryConnFromFD(-1, &found), BD_PARAMETER_INVALID);
    EXPECT_EQ(manager.QueryFDFromUUID("", &fd), BD_PARAMETER_INVALID);
    EXPECT_EQ(manager.QueryConnFromUUID("nobody", &found), BD_SOCKET_FD_NOT_EXIST);
    EXPECT_EQ(manager.AddMapUUIDToFD("x", 9999), BD_CONNECTION_NOT_EXIST);
    EXPECT_EQ(manager.DelConnByFD(9999), BD_CONNECTION_NOT_EXIST);
    EXPECT_EQ(manager.DelConnByUUID("nobody"), 0);
    EXPECT_EQ(manager.AddMapFdToConn(5, nullptr, kBdReadInterest), BD_PARAMETER_INVALID);
}

// Write deadline: the clock is the manager's, so thirty seconds pass instantly.
class WriteDeadlineTest : public ConnManagerTest {
  protected:
    void SetUp() override {
        ConnManagerTest::SetUp();
        ASSERT_EQ(BdLog::GetLogger()->Init("net_test", logDir.Path(), &describer, true, 10), 1);
        conn = Connect(1000, "slow-peer");
        peer = pairs.back()->peer;
        // Fixed buffers, so the kernel cannot absorb the whole queue by tuning them up.
        int sendBuffer = 16384, receiveBuffer = 262144;
        setsockopt(conn->GetFD(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof(sendBuffer));
        setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    }
    void TearDown() override {
        ConnManagerTest::TearDown();
        BdLog::FreeLogger();
    }
    // Queues 8 MiB for a peer that does not read and runs the loop until the socket is full.
    void FillUntilStalled() {
        for (int i = 0; i < kQueuedPackets; ++i) {
            conn->PutWriteQueueItem(MallocCopy(NetPacket(65536 - 16)), 65536);
        }
        for (int turn = 0; turn < 50; ++turn) {
            manager.WaitAndHandleEvent(0);
        }
        ASSERT_FALSE(manager.IsWriteStalled(*conn, g_now + BdConnection::kWriteStallSeconds - 1));
        ASSERT_TRUE(manager.IsWriteStalled(*conn, g_now + BdConnection::kWriteStallSeconds));
    }
    std::string LogText() { return ReadFileText(BdLog::GetLogger()->GetFilePath()); }

    static constexpr int kQueuedPackets = 128;
    TempDir logDir;
    BdError describer;
    RecordingConnection *conn = nullptr;
    int peer = -1;
};

TEST_F(WriteDeadlineTest, PeerThatStopsReadingIsClosedAfterThirtySeconds) {
    int fd = conn->GetFD();
    FillUntilStalled();
    g_now += BdConnection::kWriteStallSeconds - 1;
    EXPECT_TRUE(Reap().empty());
    g_now += 1;
    EXPECT_EQ(Reap(), std::list<std::string>{"slow-peer"});
    EXPECT_FALSE(Registered(fd));
    std::string log = LogText();
    EXPECT_NE(log.find("[ERROR:17#Socket time out]: write queue stalled fd: " + std::to_string(fd) +
                       " uuid: slow-peer"),
              std::string::npos)
        << log;
}

TEST_F(WriteDeadlineTest, PeerThatReadsIsNeverClosedAndLosesNothing) {
    FillUntilStalled();
    size_t expected = kQueuedPackets * 65536;
    size_t received = 0;
    // The peer drains what has arrived every ten simulated seconds, while the router's pacing
    // keeps the queue waiting far beyond the stall limit in total.
    for (int round = 0; round < 5000 && received < expected; ++round) {
        g_now += 10;
        received += ReceiveAvailable(peer, 0).size();
        ASSERT_TRUE(Reap().empty());
        conn->SetTimeout(g_now + 1000);
        manager.WaitAndHandleEvent(1);
    }
    received += ReceiveAvailable(peer).size();
    EXPECT_EQ(received, expected);
    EXPECT_EQ(conn->GetCloseFlag(), 0u);
}

TEST_F(WriteDeadlineTest, AQueuePastItsAllowanceThatTakesNothingIsClosedWithinTheNoProgressTime) {
    FillUntilStalled();
    EXPECT_TRUE(Reap().empty());
    int chunk = 1024 * 1024;
    for (int64_t queued = 0; queued <= BdConnection::kQueueAllowanceBytes; queued += chunk) {
        conn->PutWriteQueueItem(static_cast<char *>(malloc(chunk)), chunk);
    }
    EXPECT_TRUE(Reap().empty());
    g_now += BdConnection::kNoProgressSeconds;
    EXPECT_EQ(Reap(), std::list<std::string>{"slow-peer"});
}

// The whole loop over real sockets: a test listener accepts, packets are cut and dispatched,
// queues drain in order, closed and idle connections are reaped.
class TestListener : public BdConnection {
  public:
    int OnIn(epoll_event *) override {
        int fd = -1;
        while (_network->Accept(nullptr, &fd) == 0) {
            auto *conn = new RecordingConnection();
            conn->echo = true;
            conn->Init(fd, _manager);
            conn->SetNonBlocking();
            conn->SetTimeout(_manager->NowSeconds() + 30);
            _manager->AddMapFdToConn(fd, conn, kBdReadInterest);
            accepted.push_back(conn);
        }
        return 0;
    }
    int ParsePacket(const char *, int) override { return 0; }
    std::vector<RecordingConnection *> accepted;
};

TEST(EventLoopTest, AcceptsCutsDispatchesDrainsAndReaps) {
    BdConnManager manager;
    ASSERT_EQ(manager.Init(), 0);
    const int port = FreeLoopbackPort();  // taken again below with SO_REUSEADDR
    auto *listener = new TestListener();
    ASSERT_EQ(listener->Init("127.0.0.1", port, &manager), 0);
    ASSERT_EQ(listener->Bind(), 0);
    ASSERT_EQ(listener->Listen(), 0);
    listener->SetNonBlocking();
    listener->SetTimeout(manager.NowSeconds() + 300000000L);
    manager.AddMapFdToConn(listener->GetFD(), listener, kBdReadInterest);

    int a = ConnectLoopback(port);
    int b = ConnectLoopback(port);
    std::string burst = NetPacket(104, '1') + NetPacket(0) + NetPacket(5000, '3');
    SendAll(a, burst.substr(0, 200));
    std::string echoed;
    for (int turn = 0; turn < 50 && echoed.size() < burst.size(); ++turn) {
        manager.WaitAndHandleEvent(1);
        if (turn == 2) {
            SendAll(a, burst.substr(200));
        }
        echoed += ReceiveAvailable(a, 1);
    }
    EXPECT_EQ(echoed, burst);
    ASSERT_EQ(listener->accepted.size(), 2u);

    int aFd = -1;
    for (RecordingConnection *conn : listener->accepted) {
        if (!conn->packets.empty()) {
            aFd = conn->GetFD();
            manager.AddMapUUIDToFD("peer-a", aFd);
        }
    }
    ASSERT_NE(aFd, -1);
    close(a);
    std::list<std::string> lost;
    for (int turn = 0; turn < 20 && lost.empty(); ++turn) {
        manager.WaitAndHandleEvent(1);
        manager.CheckTimeout(&lost);
    }
    EXPECT_EQ(lost, std::list<std::string>{"peer-a"});
    BdConnection *found = nullptr;
    EXPECT_NE(manager.QueryConnFromFD(aFd, &found), 0);
    close(b);
    manager.Destroy();
}

// The loop holds the log's directory watch: a file dropped into the log directory wakes its wait,
// and the lines of the turn after it run the clean-up that deletes an expired day file. Once the
// loop is gone the log reads the watch itself again.
TEST(EventLoopTest, TheLogDirectoryWatchWakesTheLoopAndItsNextLinesCleanUp) {
    TempDir logDir;
    BdError describer;
    BdLog *log = BdLog::GetLogger();
    ASSERT_EQ(log->Init("net_test", logDir.Path(), &describer, true, 10), 1);
    log->GatherOnThisThread();
    BdConnManager manager;
    ASSERT_EQ(manager.Init(), 0);
    manager.WatchLogDirectory();
    const std::string expired = logDir.Join("net_test/net_test-2000-01-01.log");
    auto dropExpiredAndLog = [&](const char *message) {
        std::ofstream(expired) << "old\n";
        manager.WaitAndHandleEvent(0);
        log->WriteLocalLog(BD_LOG_DEBUG, message, 0, "", 0, "");
        return log->FlushGathered();
    };

    EXPECT_EQ(dropExpiredAndLog("first turn"), 1);
    EXPECT_NE(access(expired.c_str(), F_OK), 0);

    std::ofstream(expired) << "old\n";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(manager.WaitAndHandleEvent(5), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    log->WriteLocalLog(BD_LOG_DEBUG, "after the drop", 0, "", 0, "");
    EXPECT_EQ(log->FlushGathered(), 1);
    EXPECT_NE(access(expired.c_str(), F_OK), 0);

    manager.Destroy();
    std::ofstream(expired) << "old\n";
    log->WriteLocalLog(BD_LOG_DEBUG, "without the loop", 0, "", 0, "");
    EXPECT_EQ(log->FlushGathered(), 1);
    EXPECT_NE(access(expired.c_str(), F_OK), 0);
    BdLog::FreeLogger();
}

TEST(EventLoopTest, WaitWithNoActivityReturnsMinusOneAfterItsTimeout) {
    BdConnManager manager;
    ASSERT_EQ(manager.Init(), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(manager.WaitAndHandleEvent(1), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(950));
    manager.Destroy();
}

}  // namespace
