// The monitoring listener of a busy router: more descriptors than select() takes, clients that
// trickle their requests, and a peers' page of every connection.
#include <json/json.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "load_test_fixture.h"
#include "rt_tools/rt_http_get.h"
#include "rt_tools/rt_status_report.h"
#include "support/loopback.h"

namespace {

class RtServerMonitorLoadTest : public RtServerLoadTest {
  protected:
    RtServerMonitorLoadTest() { start_router_in_setup_ = false; }
    void SetUp() override {
        RtServerLoadTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        monitor_port_ = router_->EnableMonitor();
        StartRouter();
    }
    void TearDown() override {
        for (int fd : sockets_)
            close(fd);
        RtServerLoadTest::TearDown();
    }

    int Get(const std::string &path, std::string *body) {
        return RtHttpGet("127.0.0.1", monitor_port_, path, 5000, body);
    }
    double Metric(const std::string &key) {
        std::string page;
        return Get("/metrics", &page) == 200 ? RtParseMetrics(page)[key] : -1;
    }
    // count plain sockets to port, kept until the test ends.
    void Open(int port, int count) {
        for (int i = 0; i < count; ++i) {
            const int fd = ConnectLoopback(port);
            ASSERT_GE(fd, 0) << "socket " << i;
            sockets_.push_back(fd);
        }
    }
    // True once the peer of fd has closed it (end of stream or reset).
    static bool ClosedByPeer(int fd) {
        pollfd ready{fd, POLLIN, 0};
        char byte;
        return poll(&ready, 1, 0) == 1 && recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
    }

    int monitor_port_ = 0;
    std::vector<int> sockets_;
};

// More connections than select() takes, and than one turn copies into the snapshot.
TEST_F(RtServerMonitorLoadTest, PagesAnswerWithFiveThousandPeersConnected) {
    constexpr int kPeers = 5000;
    if (DescriptorLimit::RaiseToHard() < kPeers + 200)
        GTEST_SKIP() << "the descriptor limit is below " << kPeers + 200;
    Open(router_->Port(), kPeers);
    // Each connection is a descriptor of the router's: the monitor's own sockets come after them.
    // Well before the idle time-out closes them and frees the low numbers again.
    ASSERT_TRUE(Eventually(
        [&] { return Metric("rt_server_connections{kind=\"unbound\"}") == kPeers; }, 15000))
        << Metric("rt_server_connections{kind=\"unbound\"}") << router_->Stderr();

    std::string health, peers;
    EXPECT_EQ(Get("/healthz", &health), 200) << health;
    ASSERT_EQ(Get("/peers", &peers), 200);
    Json::Value page;
    std::istringstream json(peers);
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), json, &page, nullptr));
    EXPECT_EQ(page["peers"].size(), static_cast<unsigned>(kPeers));
    EXPECT_FALSE(ClosedByPeer(sockets_.front()));
    EXPECT_FALSE(ClosedByPeer(sockets_.back()));
}

TEST_F(RtServerMonitorLoadTest, HealthzKeepsAnsweringWhileAHundredClientsTrickle) {
    const std::string request = "GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n";
    std::string body;
    ASSERT_TRUE(Eventually([&] { return Get("/healthz", &body) == 200; }, 30000)) << body;
    Open(monitor_port_, 100);
    // One byte every 5 s from each: never silent long enough for an idle time-out.
    int sent = 0, answered = 0, asked = 0;
    const auto start = Clock::now();
    while (SecondsSince(start) < 12) {
        if (SecondsSince(start) >= 5.0 * sent) {
            for (int fd : sockets_)
                send(fd, &request[sent], 1, MSG_NOSIGNAL);
            ++sent;
        }
        ++asked;
        answered += Get("/healthz", &body) == 200 ? 1 : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    EXPECT_EQ(answered, asked);
    // Their requests never complete, so the whole-request deadline closes them all.
    EXPECT_TRUE(Eventually(
        [&] {
            for (int fd : sockets_)
                if (!ClosedByPeer(fd))
                    return false;
            return true;
        },
        5000));
}

}  // namespace
