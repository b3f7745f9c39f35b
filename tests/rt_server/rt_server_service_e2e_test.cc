// The router under a service manager: readiness, status and watchdog over the notification
// socket.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "rt_server_e2e_fixture.h"
#include "rt_tools/rt_http_get.h"
#include "rt_tools/rt_router_setup.h"
#include "rt_tools/rt_status_report.h"
#include "support/file_text.h"

namespace {

// The manager's end: a datagram socket that collects every notification sent to it.
class NotifySocket {
  public:
    explicit NotifySocket(const std::string &path) : path_(path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof(address.sun_path) - 1);
        bound_ = bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
    }
    ~NotifySocket() {
        close(fd_);
        unlink(path_.c_str());
    }
    bool Bound() const { return bound_; }

    // Everything received so far, one notification a line.
    const std::string &Heard() {
        char datagram[4096];
        ssize_t n;
        while ((n = recv(fd_, datagram, sizeof(datagram), 0)) > 0)
            heard_.append(datagram, n).push_back('\n');
        return heard_;
    }
    // Waits up to timeoutMs for the next notification; its text, empty on time-out. Keeps it in
    // Heard() as well.
    std::string Next(int timeoutMs) {
        pollfd ready{fd_, POLLIN, 0};
        char datagram[4096];
        if (poll(&ready, 1, timeoutMs) != 1)
            return "";
        const ssize_t n = recv(fd_, datagram, sizeof(datagram), 0);
        if (n <= 0)
            return "";
        heard_.append(datagram, n).push_back('\n');
        return std::string(datagram, n);
    }
    bool Hears(const std::string &text, int timeoutMs) {
        return Eventually([&] { return Heard().find(text) != std::string::npos; }, timeoutMs);
    }

  private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
    std::string heard_;
};

class RtServerServiceTest : public RtServerE2eTest {
  protected:
    RtServerServiceTest() : manager_(root_.Path() + "/notify") { start_router_in_setup_ = false; }

    // Starts the router as a manager with a watchdog of watchdogUsec would.
    void StartWatched(const char *watchdogUsec) {
        ASSERT_TRUE(manager_.Bound());
        router_->SetEnv("NOTIFY_SOCKET", root_.Path() + "/notify");
        router_->SetEnv("WATCHDOG_USEC", watchdogUsec);
        ASSERT_TRUE(router_->Start());
    }

    NotifySocket manager_;
};

TEST_F(RtServerServiceTest, ManagerHearsReadyOnceListeningThenStatusAndWatchdog) {
    StartWatched("1000000");
    NotifySocket &manager = manager_;
    ASSERT_TRUE(manager.Hears("READY=1\nSTATUS=0 peers registered, no server platform\n", 30000))
        << manager.Heard() << router_->Stderr();
    EXPECT_TRUE(RtRouterAccepts(router_->Port()));

    RtPeerClient platform;
    RegisterPlatform(&platform);
    EXPECT_TRUE(manager.Hears("STATUS=1 peers registered, server platform present", kLoopTurnMs))
        << manager.Heard();
    EXPECT_TRUE(manager.Hears("WATCHDOG=1", kLoopTurnMs)) << manager.Heard();
}

// WatchdogSec=4 on an idle router: every ping within the interval, counted from READY=1, and a
// changed status line shown within about a second however idle the loop is.
TEST_F(RtServerServiceTest, IdleRouterPingsWithinTheWatchdogIntervalAndKeepsItsStatusFresh) {
    StartWatched("4000000");
    NotifySocket &manager = manager_;
    ASSERT_TRUE(manager.Hears("READY=1", 30000)) << manager.Heard() << router_->Stderr();

    using Clock = std::chrono::steady_clock;
    auto last = Clock::now();
    const auto end = last + std::chrono::seconds(11);
    int pings = 0;
    double longestGap = 0;
    while (Clock::now() < end) {
        const std::string heard = manager.Next(500);
        const auto now = Clock::now();
        if (heard == "WATCHDOG=1") {
            ++pings;
            longestGap = std::max(longestGap, std::chrono::duration<double>(now - last).count());
            last = now;
        }
    }
    longestGap = std::max(longestGap, std::chrono::duration<double>(Clock::now() - last).count());
    EXPECT_GE(pings, 3) << manager.Heard();
    EXPECT_LT(longestGap, 4.0) << manager.Heard();

    // Two changes less than a second apart: the second waits for the next turn, not for traffic.
    RtPeerClient platform, agent;
    RegisterPlatform(&platform);
    Register(&agent, kBdHandShakeClient, "agent-1");
    const auto registered = Clock::now();
    ASSERT_TRUE(manager.Hears("STATUS=2 peers registered, server platform present", 5000))
        << manager.Heard();
    EXPECT_LT(Clock::now() - registered, std::chrono::milliseconds(2500)) << manager.Heard();
}

// SIGHUP under a service manager: RELOADING=1 with the monotonic time, then READY=1 again.
TEST_F(RtServerServiceTest, ReloadIsAnnouncedAndEndsWithReady) {
    StartWatched("60000000");
    ASSERT_TRUE(manager_.Hears("READY=1", 30000)) << manager_.Heard() << router_->Stderr();
    ASSERT_EQ(kill(router_->Pid(), SIGHUP), 0);
    ASSERT_TRUE(manager_.Hears("RELOADING=1\nMONOTONIC_USEC=", 5000)) << manager_.Heard();
    const std::string heard = manager_.Heard();
    const size_t reloading = heard.find("RELOADING=1");
    EXPECT_TRUE(Eventually(
        [&] { return manager_.Heard().find("READY=1", reloading) != std::string::npos; }, 5000))
        << manager_.Heard();
    EXPECT_TRUE(RtRouterAccepts(router_->Port()));
}

}  // namespace

// A stop signal: queued packets still go out, every held peer is written offline, the pid file
// goes and the process ends with 0; a second signal does not wait for any of it.
class RtServerStopTest : public RtServerReadyTest {
  protected:
    // Packets the platform does not read yet. Together under the router's high-water mark, so the
    // sender is never held back, and more than the kernel buffers once the platform's receive
    // buffer is small: the rest waits in the router's write queue.
    static constexpr int kQueued = 24;
    void QueueForPlatform(RtPeerClient *client) {
        const int small = 16 * 1024;
        setsockopt(platform_.GetFD(), SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
        const std::string payload(256 * 1024, 'q');
        for (int i = 0; i < kQueued; ++i) {
            ASSERT_EQ(client->SendNormal(Route("agent-1", "platform-1"), payload), 0);
        }
        // Every packet has left the sender's socket once its trace line is written.
        ASSERT_TRUE(Eventually([&] { return Count(router_->Stdout(), "to platform-1") == kQueued; },
                               10000));
    }
    static int Count(const std::string &text, const std::string &what) {
        int count = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
            ++count;
        }
        return count;
    }
    void Signal(int number) { ASSERT_EQ(kill(router_->Pid(), number), 0); }
};

TEST_F(RtServerStopTest, SigtermDeliversQueuedPacketsMarksPeersOfflineAndExitsZero) {
    RtPeerClient agent, module;
    Register(&agent, kBdHandShakeClient, "agent-1");
    Register(&module, kBdHandShakeModuleServer, "module-1");
    ASSERT_TRUE(Eventually([&] { return tables_.ModuleServerOnline("module-1") == "1"; }, 10000));
    QueueForPlatform(&agent);

    Signal(SIGTERM);
    for (int i = 0; i < kQueued; ++i) {
        RtPeerPacket packet;
        ASSERT_EQ(platform_.Receive(&packet, 10000), 0) << "packet " << i;
    }
    EXPECT_EQ(router_->WaitExit(15000), 0) << router_->Stderr();
    EXPECT_EQ(tables_.AgentOnline("agent-1"), "2");
    EXPECT_EQ(tables_.ModuleServerOnline("module-1"), "2");
    EXPECT_FALSE(std::filesystem::exists(root_.Path() + "/var/run/norvale/rt_server.pid"));
    EXPECT_NE(router_->Log().find("rt_server stopped"), std::string::npos);
}

TEST_F(RtServerStopTest, SecondSignalEndsAtOnceWhilePacketsWait) {
    RtPeerClient agent;
    Register(&agent, kBdHandShakeClient, "agent-1");
    QueueForPlatform(&agent);
    Signal(SIGINT);
    ASSERT_TRUE(Eventually(
        [&] { return router_->Log().find("rt_server stopping") != std::string::npos; }, 10000));
    const auto start = std::chrono::steady_clock::now();
    Signal(SIGINT);
    ASSERT_TRUE(Eventually([&] { return !router_->Running(); }, 10000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
}

// The timeline of a storm's time inside the router, asked for by the environment.
class RtServerTimelineTest : public RtServerE2eTest {
  protected:
    RtServerTimelineTest() { start_router_in_setup_ = false; }
};

TEST_F(RtServerTimelineTest, EveryHandshakeIsCountedAtEachPointAndWrittenAtTheStop) {
    const std::string path = root_.Path() + "/timeline";
    router_->SetEnv("RT_SERVER_TIMELINE", path);
    StartRouter();
    RtPeerClient platform, agent, module;
    RegisterPlatform(&platform);
    Register(&agent, kBdHandShakeClient, "agent-1");
    Register(&module, kBdHandShakeModuleServer, "module-1");
    ASSERT_EQ(kill(router_->Pid(), SIGTERM), 0);
    ASSERT_EQ(router_->WaitExit(15000), 0) << router_->Stderr();

    // Accepted, read, handed to the writer, written, answered: each once per handshake, in
    // milliseconds that only go forward.
    std::istringstream lines(ReadFileText(path));
    std::vector<unsigned long> totals(5, 0);
    double second = 0, previous = 0;
    std::vector<unsigned long> counts(5, 0);
    while (lines >> second >> counts[0] >> counts[1] >> counts[2] >> counts[3] >> counts[4]) {
        EXPECT_GT(second, previous);
        previous = second;
        for (size_t point = 0; point < totals.size(); ++point)
            totals[point] += counts[point];
    }
    // The start-up's wait for the port is accepted too.
    EXPECT_GE(totals[0], 3u);
    totals.erase(totals.begin());
    EXPECT_EQ(totals, (std::vector<unsigned long>{3, 3, 3, 3}));
}

// The monitoring listener: counters that follow the traffic, the peers' table, health.
class RtServerMonitorTest : public RtServerE2eTest {
  protected:
    RtServerMonitorTest() { start_router_in_setup_ = false; }
    void SetUp() override {
        RtServerE2eTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        monitor_port_ = router_->EnableMonitor();
        StartRouter();
    }

    int Get(const std::string &path, std::string *body) {
        return RtHttpGet("127.0.0.1", monitor_port_, path, 5000, body);
    }
    // Waits until the metric sample key has value; false with the page in *page otherwise.
    bool MetricBecomes(const std::string &key, double value) {
        return Eventually(
            [&] {
                std::string page;
                return Get("/metrics", &page) == 200 && RtParseMetrics(page)[key] == value;
            },
            kLoopTurnMs);
    }

    int monitor_port_ = 0;
};

TEST_F(RtServerMonitorTest, CountersFollowHandshakesForwardingAnswersAndCloses) {
    RtPeerClient early;
    Connect(&early);
    RtPeerPacket answer;
    ASSERT_EQ(early.HandShake(kBdHandShakeClient, Identity("early"), &answer), 0);
    EXPECT_TRUE(MetricBecomes("rt_server_handshakes_total{result=\"not_ready\"}", 1));

    RtPeerClient platform, agent, junk;
    RegisterPlatform(&platform);
    Register(&agent, kBdHandShakeClient, "agent-1");
    ASSERT_EQ(agent.SendNormal(Route("agent-1", "platform-1"), "{\"n\":1}"), 0);
    ASSERT_EQ(agent.SendLog(Route("agent-1", "platform-1"), 1, "log line"), 0);
    ASSERT_EQ(agent.SendNormal(Route("agent-1", "nobody"), "{\"n\":2}"), 0);
    EXPECT_TRUE(MetricBecomes("rt_server_handshakes_total{result=\"ok\",kind=\"platform\"}", 1));
    EXPECT_TRUE(MetricBecomes("rt_server_handshakes_total{result=\"ok\",kind=\"client\"}", 1));
    EXPECT_TRUE(MetricBecomes("rt_server_forwarded_packets_total{class=\"normal\"}", 1));
    EXPECT_TRUE(MetricBecomes("rt_server_forwarded_packets_total{class=\"log\"}", 1));
    EXPECT_TRUE(MetricBecomes("rt_server_target_lost_answers_total", 1));
    EXPECT_TRUE(MetricBecomes("rt_server_not_ready_answers_total", 1));
    EXPECT_TRUE(MetricBecomes("rt_server_peers_bound{kind=\"client\"}", 1));

    std::string peers;
    ASSERT_EQ(Get("/peers", &peers), 200);
    EXPECT_NE(peers.find("\"kind\":\"platform\""), std::string::npos) << peers;
    EXPECT_NE(peers.find("\"uuid\":\"agent-1\""), std::string::npos) << peers;

    early.Close();
    EXPECT_TRUE(MetricBecomes("rt_server_connections_closed_total{reason=\"peer_close\"}", 1));
    RtPeerClient again;
    Register(&again, kBdHandShakeClient, "agent-1");
    EXPECT_TRUE(MetricBecomes("rt_server_connections_closed_total{reason=\"replaced\"}", 1));
    Connect(&junk);
    const char kBadMagic[32] = "not a packet header at all....";
    ASSERT_EQ(junk.SendBytes(kBadMagic, sizeof(kBadMagic)), 0);
    EXPECT_TRUE(MetricBecomes("rt_server_connections_closed_total{reason=\"error\"}", 1));

    RtStatusPages pages;
    pages.health_status = Get("/healthz", &pages.health);
    EXPECT_EQ(pages.health_status, 200) << pages.health;
    ASSERT_EQ(Get("/metrics", &pages.metrics), 200);
    ASSERT_EQ(Get("/peers", &pages.peers), 200);
    std::ostringstream report;
    ASSERT_TRUE(RtWriteStatusReport(pages, report));
    EXPECT_NE(report.str().find("agent-1"), std::string::npos) << report.str();
}
