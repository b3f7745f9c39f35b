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

// A listener registered with manager, on the manager's clock; its port in *port.
RtServerListenConnection *OpenListener(BdConnManager *manager, int *port) {
    *port = FreeLoopbackPort();
    auto *listener = new RtServerListenConnection();
    if (listener->Init("127.0.0.1", *port, manager) != 0 || listener->Bind() != 0 ||
        listener->Listen() != 0) {
        return nullptr;
    }
    listener->SetNonBlocking();
    listener->SetTimeout(g_now + 1000000);
    manager->AddMapFdToConn(listener->GetFD(), listener, EPOLLIN | EPOLLET);
    return listener;
}

// True once the router has closed its end of the peer's connection.
bool ClosedByRouter(int peer) {
    char byte;
    return WaitReadable(peer, 0) && recv(peer, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

TEST(RtServerIdleTest, APeerSilentForThirtySecondsIsReapedWhileKeepAlivesHoldAnother) {
    BdConnManager manager;
    manager.SetSecondsClock(FakeClock);
    ASSERT_EQ(manager.Init(), 0);
    int port = 0;
    RtServerListenConnection *listener = OpenListener(&manager, &port);
    ASSERT_NE(listener, nullptr);

    const int silent = ConnectLoopback(port);
    const int lively = ConnectLoopback(port);
    ASSERT_TRUE(WaitReadable(listener->GetFD()));
    manager.WaitAndHandleEvent(1);  // accepts both
    std::list<std::string> lost;
    // The time passes in the loop's wait, as it does for a router with nothing to do; time passing
    // outside it would be the loop's own stall, which is not charged to the peers.
    const auto reapAt = [&](long second) {
        g_now = second;
        manager.WaitAndHandleEvent(0);
        manager.CheckTimeout(&lost);
    };
    const long accepted = g_now;

    SendAll(lively, NetPacket(0));  // a keep-alive, twenty seconds in
    g_now = accepted + 20;
    ASSERT_EQ(manager.WaitAndHandleEvent(1), 1);
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
    manager.Destroy();
}

// Edge-triggered, the listener hears of a crowd once: what one turn leaves must still be taken.
TEST(RtServerIdleTest, MoreConnectionsThanOneTurnTakesAreAllAcceptedWithoutNewEvents) {
    BdConnManager manager;
    manager.SetSecondsClock(FakeClock);
    ASSERT_EQ(manager.Init(), 0);
    int port = 0;
    RtServerListenConnection *listener = OpenListener(&manager, &port);
    ASSERT_NE(listener, nullptr);
    std::vector<int> peers;
    for (int i = 0; i < 2 * RtServerListenConnection::kMaxAcceptsPerTurn + 1; ++i) {
        peers.push_back(ConnectLoopback(port));
    }
    ASSERT_TRUE(WaitReadable(listener->GetFD()));
    for (int turn = 0; turn < 3; ++turn) {
        manager.WaitAndHandleEvent(1);
    }
    std::list<std::string> lost;
    g_now += RtServerAcceptedConnection::kIdleTimeoutSeconds;
    manager.WaitAndHandleEvent(0);
    manager.CheckTimeout(&lost);  // every accepted peer has been silent too long
    for (int peer : peers) {
        EXPECT_TRUE(ClosedByRouter(peer));
        close(peer);
    }
    manager.Destroy();
}

}  // namespace
