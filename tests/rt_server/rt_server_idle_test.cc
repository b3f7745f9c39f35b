// The router's idle time-out on the connection manager's clock, so thirty seconds pass at once;
// rt_peer's end-to-end suite waits the real thirty seconds once.
#include <gtest/gtest.h>
#include <sys/epoll.h>

#include <list>
#include <string>

#include "bd_netframwork/bd_conn_manager.h"
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

TEST(RtServerIdleTest, APeerSilentForThirtySecondsIsReapedWhileKeepAlivesHoldAnother) {
    BdConnManager manager;
    manager.SetSecondsClock(FakeClock);
    ASSERT_EQ(manager.Init(), 0);
    const int port = FreeLoopbackPort();
    auto *listener = new RtServerListenConnection();
    ASSERT_EQ(listener->Init("127.0.0.1", port, &manager), 0);
    ASSERT_EQ(listener->Bind(), 0);
    ASSERT_EQ(listener->Listen(), 0);
    listener->SetNonBlocking();
    listener->SetTimeout(g_now + 1000000);
    manager.AddMapFdToConn(listener->GetFD(), listener, EPOLLIN | EPOLLET);

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

}  // namespace
