// The router's idle time-out on the connection manager's clock, so thirty seconds pass at once;
// rt_peer's end-to-end suite waits the real thirty seconds once.
#include <gtest/gtest.h>
#include <sys/epoll.h>

#include <list>
#include <string>
#include <vector>

#include "bd_netframwork/bd_conn_manager.h"
#include "rt_server/rt_server_accepted_connection.h"
#include "rt_server/rt_server_listen_connection.h"
#include "support/loopback.h"
#include "support/packet_bytes.h"

namespace {

long g_now = 1000000;
long FakeClock() {
    return g_now;
}

// True once the router has closed its end of the peer's connection.
bool ClosedByRouter(int peer) {
    char byte;
    return WaitReadable(peer, 0) && recv(peer, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

// A manager on the fake clock with the router's listener registered on it, as the router sets
// them up; the manager owns the listener and is destroyed after each test.
class RtServerIdleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        manager_.SetSecondsClock(FakeClock);
        ASSERT_EQ(manager_.Init(), 0);
        port_ = FreeLoopbackPort();
        listener_ = new RtServerListenConnection();
        ASSERT_EQ(listener_->Init("127.0.0.1", port_, &manager_), 0);
        ASSERT_EQ(listener_->Bind(), 0);
        ASSERT_EQ(listener_->Listen(), 0);
        listener_->SetNonBlocking();
        listener_->SetTimeout(g_now + 1000000);
        manager_.AddMapFdToConn(listener_->GetFD(), listener_, EPOLLIN | EPOLLET);
    }
    void TearDown() override { manager_.Destroy(); }

    BdConnManager manager_;
    RtServerListenConnection *listener_ = nullptr;
    int port_ = 0;
};

TEST_F(RtServerIdleTest, APeerSilentForThirtySecondsIsReapedWhileKeepAlivesHoldAnother) {
    const int silent = ConnectLoopback(port_);
    const int lively = ConnectLoopback(port_);
    ASSERT_TRUE(WaitReadable(listener_->GetFD()));
    manager_.WaitAndHandleEvent(1);  // accepts both
    std::list<std::string> lost;
    // The time passes in the loop's wait, as it does for a router with nothing to do; time passing
    // outside it would be the loop's own stall, which is not charged to the peers.
    const auto reapAt = [&](long second) {
        g_now = second;
        manager_.WaitAndHandleEvent(0);
        manager_.CheckTimeout(&lost);
    };
    const long accepted = g_now;

    SendAll(lively, NetPacket(0));  // a keep-alive, twenty seconds in
    g_now = accepted + 20;
    ASSERT_EQ(manager_.WaitAndHandleEvent(1), 1);
    reapAt(accepted + 29);
    EXPECT_FALSE(ClosedByRouter(silent));
    reapAt(accepted + 30);
    EXPECT_TRUE(ClosedByRouter(silent));
    EXPECT_FALSE(ClosedByRouter(lively));
    reapAt(accepted + 49);
    EXPECT_FALSE(ClosedByRouter(lively));
    reapAt(accepted + 50);
    EXPECT_TRUE(ClosedByRouter(lively));

    close(silent);
    close(lively);
}

// Edge-triggered, the listener hears of a crowd once: what one turn leaves must still be taken.
TEST_F(RtServerIdleTest, MoreConnectionsThanOneTurnTakesAreAllAcceptedWithoutNewEvents) {
    std::vector<int> peers;
    for (int i = 0; i < 2 * RtServerListenConnection::kMaxAcceptsPerTurn + 1; ++i) {
        peers.push_back(ConnectLoopback(port_));
    }
    ASSERT_TRUE(WaitReadable(listener_->GetFD()));
    for (int turn = 0; turn < 3; ++turn) {
        manager_.WaitAndHandleEvent(1);
    }
    std::list<std::string> lost;
    g_now += RtServerAcceptedConnection::kIdleTimeoutSeconds;
    manager_.WaitAndHandleEvent(0);
    manager_.CheckTimeout(&lost);  // every accepted peer has been silent too long
    for (int peer : peers) {
        EXPECT_TRUE(ClosedByRouter(peer));
        close(peer);
    }
}

}  // namespace
