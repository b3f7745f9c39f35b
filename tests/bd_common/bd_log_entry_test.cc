#include "bd_common/bd_log_entry.h"

#include <gtest/gtest.h>

#include "support/file_text.h"
#include "support/temp_dir.h"

BD_LOG_SOURCE_FILE("tests/bd_common/bd_log_entry_test")

namespace {

TEST(BdLogEntryTest, ErrorsNameFileLineAndTheirFunctionAndDebugEntriesOnlyTheirMessage) {
    TempDir dir;
    BdError describer;
    ASSERT_EQ(BdLog::GetLogger()->Init("rt_server", dir.Path(), &describer, true, 10), 1);
    const int line = __LINE__ + 1;
    BD_LOG(BD_LOG_ERROR, BD_SQL_QUERY_ERROR, "update failed", "HandleClientHandShakePacket");
    BD_LOG(BD_LOG_DEBUG, 0, "registered", "");
    const std::vector<std::string> lines = ReadFileLines(BdLog::GetLogger()->GetFilePath());
    BdLog::FreeLogger();
    ASSERT_EQ(lines.size(), 2u);
    const std::string error =
        "[ERROR:12#Sql do query error]: update failed. "
        "tests/bd_common/bd_log_entry_test:" +
        std::to_string(line) + ":HandleClientHandShakePacket";
    EXPECT_EQ(lines[0].substr(lines[0].size() - error.size()), error);
    const std::string debug = " rt_server [DEBUG]: registered. ";
    EXPECT_EQ(lines[1].substr(lines[1].size() - debug.size()), debug);
}

}  // namespace
