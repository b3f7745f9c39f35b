// The handshake budget of a loop turn: spent, it holds handshakes back; the next turn renews it.
#include <gtest/gtest.h>

#include "bd_netframwork/bd_conn_manager.h"
#include "bd_netframwork/bd_tls_handshake_budget.h"
#include "support/eventually.h"

namespace {

TEST(BdTlsHandshakeBudgetTest, ASpentTurnHoldsHandshakesBackUntilTheNextTurn) {
    BdConnManager manager;
    ASSERT_EQ(manager.Init(), 0);
    BdTlsHandshakeBudget &budget = BdTlsHandshakeBudget::Loop();
    manager.WaitAndHandleEvent(0);
    ASSERT_TRUE(budget.Allows());

    budget.Spend(BdTlsHandshakeBudget::kTurnMicros / 2, &manager);
    EXPECT_TRUE(budget.Allows());
    budget.Spend(BdTlsHandshakeBudget::kTurnMicros / 2, &manager);
    EXPECT_FALSE(budget.Allows());
    // The renewal waits in the loop's posts, without blocking the next wait.
    manager.WaitAndHandleEvent(1);
    EXPECT_TRUE(budget.Allows());
    manager.Destroy();
}

// The router makes its manager again after its listener closed, and the posts go with the old one.
TEST(BdTlsHandshakeBudgetTest, ARenewalLostWithItsManagerIsMadeUpForAfterASecond) {
    BdTlsHandshakeBudget &budget = BdTlsHandshakeBudget::Loop();
    {
        BdConnManager manager;
        ASSERT_EQ(manager.Init(), 0);
        manager.WaitAndHandleEvent(0);
        budget.Spend(BdTlsHandshakeBudget::kTurnMicros, &manager);
        manager.Destroy();
    }
    EXPECT_FALSE(budget.Allows());
    EXPECT_TRUE(Eventually([&] { return budget.Allows(); },
                           BdTlsHandshakeBudget::kLostRenewalMicros / 1000 + 2000));
}

}  // namespace
