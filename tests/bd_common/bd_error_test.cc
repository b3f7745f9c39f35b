#include "bd_common/bd_error.h"

#include <gtest/gtest.h>

namespace {

TEST(BdErrorTest, DescribesCodesAtTheTablesEdges) {
    BdError error;
    EXPECT_EQ(error.GetDescription(BD_SUCCESS), "Generic success");
    EXPECT_EQ(error.GetDescription(1), "Generic error");
    EXPECT_EQ(error.GetDescription(BD_ABNORMAL_REBOOT), "service or system abnormal reboot");
    EXPECT_EQ(error.GetDescription(BD_SOCKET_LISTEN_ERROR), "Socket listen error");
    EXPECT_EQ(error.GetDescription(BD_AGENT_OFFLINE), "Agent is offline");
    EXPECT_EQ(error.GetDescription(BD_TIMEPOINT_NOT_FULL_BACKUP),
              "Timepoint is not full backup point error");
}

TEST(BdErrorTest, KeepsTrailingBlanksAndOddSpellings) {
    BdError error;
    EXPECT_EQ(error.GetDescription(BD_OBJECT_REPEAT), "Object repeat ");
    EXPECT_EQ(error.GetDescription(BD_STORAGE_NOT_IN_DATABASE), "not find storage in database ");
    EXPECT_EQ(error.GetDescription(BD_OBJECT_NOT_INIT), "Object not initialzie error");
    EXPECT_EQ(error.GetDescription(BD_FILE_NOT_EXIST), "File not exsit error");
}

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
