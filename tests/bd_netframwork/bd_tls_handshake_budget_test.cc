// The handshake share of a loop turn: spent, it holds handshakes back; the next turn renews it.
#include <gtest/gtest.h>

#include <chrono>

#include "bd_netframwork/bd_conn_manager.h"

namespace {

const std::chrono::microseconds kHalfTurn(BdConnManager::kTlsTurnMicros / 2);

TEST(BdTlsHandshakeBudgetTest, ASpentTurnHoldsHandshakesBackUntilTheNextTurn) {
    BdConnManager manager;
    ASSERT_EQ(manager.Init(), 0);
    manager.WaitAndHandleEvent(0);
    ASSERT_TRUE(manager.TlsHandshakeAllowed());

    manager.SpendOnTlsHandshake(kHalfTurn);
    EXPECT_TRUE(manager.TlsHandshakeAllowed());
    manager.SpendOnTlsHandshake(kHalfTurn);
    EXPECT_FALSE(manager.TlsHandshakeAllowed());
    manager.WaitAndHandleEvent(0);
    EXPECT_TRUE(manager.TlsHandshakeAllowed());
    manager.Destroy();
}

// The router makes its manager again after its listener closed: the new loop's share owes
// nothing to the old one's.
TEST(BdTlsHandshakeBudgetTest, EachLoopHasItsOwnBudget) {
    BdConnManager spent;
    BdConnManager fresh;
    ASSERT_EQ(spent.Init(), 0);
    ASSERT_EQ(fresh.Init(), 0);
    spent.WaitAndHandleEvent(0);
    fresh.WaitAndHandleEvent(0);
    ASSERT_TRUE(spent.TlsHandshakeAllowed());
    spent.SpendOnTlsHandshake(2 * kHalfTurn);
    EXPECT_FALSE(spent.TlsHandshakeAllowed());
    EXPECT_TRUE(fresh.TlsHandshakeAllowed());
    spent.Destroy();
    fresh.Destroy();
}

}  // namespace
