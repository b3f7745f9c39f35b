// The handshake budget of a loop turn: spent, it holds handshakes back; the next turn renews it.
#include <gtest/gtest.h>

#include "bd_netframwork/bd_conn_manager.h"
#include "bd_netframwork/bd_tls_handshake_budget.h"

namespace {

TEST(BdTlsHandshakeBudgetTest, ASpentTurnHoldsHandshakesBackUntilTheNextTurn) {
    BdConnManager manager;
    ASSERT_EQ(manager.Init(), 0);
    BdTlsHandshakeBudget &budget = manager.TlsHandshakeBudget();
    manager.WaitAndHandleEvent(0);
    ASSERT_TRUE(budget.Allows(manager.Turn()));

    budget.Spend(BdTlsHandshakeBudget::kTurnMicros / 2);
    EXPECT_TRUE(budget.Allows(manager.Turn()));
    budget.Spend(BdTlsHandshakeBudget::kTurnMicros / 2);
    EXPECT_FALSE(budget.Allows(manager.Turn()));
    manager.WaitAndHandleEvent(0);
    EXPECT_TRUE(budget.Allows(manager.Turn()));
    manager.Destroy();
}

// The router makes its manager again after its listener closed: the new loop's budget owes
// nothing to the old one's.
TEST(BdTlsHandshakeBudgetTest, EachLoopHasItsOwnBudget) {
    BdConnManager spent;
    BdConnManager fresh;
    ASSERT_EQ(spent.Init(), 0);
    ASSERT_EQ(fresh.Init(), 0);
    spent.WaitAndHandleEvent(0);
    fresh.WaitAndHandleEvent(0);
    ASSERT_TRUE(spent.TlsHandshakeBudget().Allows(spent.Turn()));
    spent.TlsHandshakeBudget().Spend(BdTlsHandshakeBudget::kTurnMicros);
    EXPECT_FALSE(spent.TlsHandshakeBudget().Allows(spent.Turn()));
    EXPECT_TRUE(fresh.TlsHandshakeBudget().Allows(fresh.Turn()));
    spent.Destroy();
    fresh.Destroy();
}

}  // namespace
