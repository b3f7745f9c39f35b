#include "bd_common/bd_error.h"

#include <gtest/gtest.h>

namespace {

TEST(BdErrorTest, CodesWithoutEntryHaveNoDescription) {
    BdError error;
    for (int code : {-1, 99, 166, 168, 169, 173, 2000}) {
        EXPECT_EQ(error.GetDescription(code), "") << code;
    }
}

TEST(BdErrorTest, TableIsInCodeOrderWithEveryCodeOnce) {
    ASSERT_EQ(g_kErrorDescriptionCount, 169u);
    for (size_t i = 1; i < g_kErrorDescriptionCount; ++i) {
        EXPECT_LT(g_kErrorDescription[i - 1].code, g_kErrorDescription[i].code);
    }
}

}  // namespace
