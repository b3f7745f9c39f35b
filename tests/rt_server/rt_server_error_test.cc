#include "rt_server/rt_server_error.h"

#include <gtest/gtest.h>

#include <string>

#include "bd_common/bd_log.h"
#include "support/file_text.h"
#include "support/temp_dir.h"

namespace {

TEST(RtServerErrorTest, RouterCodesAboveAndSharedCodesBelow) {
    RtServerError error;
    EXPECT_EQ(error.GetDescription(RT_DATABASE_OPERATION_ERROR), "database operation error");
    EXPECT_EQ(error.GetDescription(19), "Socket listen error");
    EXPECT_EQ(error.GetDescription(3), "Object repeat ");
    for (int code : {-1, 173, 1999, 2001}) {
        EXPECT_EQ(error.GetDescription(code), "") << code;
    }
}

TEST(RtServerErrorTest, LogEntriesCarryTheRoutersDescription) {
    TempDir dir;
    RtServerError describer;
    BdLog log;
    log.SetClock([] { return BdTime::Second(0); });
    ASSERT_EQ(log.Init("rt_server", dir.Path(), &describer, true, 10), 1);
    EXPECT_EQ(log.WriteLocalLog(3, "update agent online failed", 2000, "", 0, ""), 1);
    const std::string line = ReadFileText(log.GetFilePath());
    EXPECT_NE(line.find(" rt_server [ERROR:2000#database operation error]: update agent online "
                        "failed. "),
              std::string::npos)
        << line;
}

}  // namespace
