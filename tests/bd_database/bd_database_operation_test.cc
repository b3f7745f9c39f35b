#include "bd_database/bd_database_operation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bd_common/bd_error.h"
#include "bd_common/bd_log.h"
#include "bd_database/bd_database.h"
#include "support/file_text.h"
#include "support/temp_dir.h"
#include "support/test_database.h"

namespace {

typedef BdDatabaseOperation::Rows Rows;

TEST(BdDatabaseOperationBindingTest, StatementsFailWithoutAnOpenDatabase) {
    BdDatabase closed;
    BdDatabaseOperation unbound;
    BdDatabaseOperation bound;
    bound.Init(&closed);
    std::vector<std::string> args{"x"};
    Rows rows;
    for (BdDatabaseOperation *operation : {&unbound, &bound}) {
        EXPECT_EQ(BD_SQL_QUERY_ERROR, operation->Query("UPDATE t SET a = '?'", &args));
        EXPECT_EQ(BD_SQL_QUERY_ERROR, operation->Query("SELECT '?'", &args, &rows));
        EXPECT_FALSE(operation->QueryInternal("SELECT 1"));
    }
    EXPECT_TRUE(rows.empty());
}

class BdDatabaseOperationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TestDatabaseAddress address;
        if (!TestDatabaseAddress::FromEnvironment(&address)) {
            GTEST_SKIP() << "RT_DB_HOST is not set";
        }
        ASSERT_EQ(1, _database.Init(address.host, address.user, address.password, address.name,
                                    address.port, BdDatabase::kMysql));
        ASSERT_TRUE(_operation.Init(&_database));
        // A table of this connection only, gone when it closes.
        ASSERT_EQ(0, _operation.Query("CREATE TEMPORARY TABLE scratch (k VARCHAR(64) PRIMARY KEY, "
                                      "v VARCHAR(255) NULL)",
                                      nullptr));
    }

    Rows Select(const std::string &sql) {
        Rows rows;
        EXPECT_EQ(0, _operation.Query(sql, nullptr, &rows));
        return rows;
    }

    BdDatabase _database;
    BdDatabaseOperation _operation;
};

TEST_F(BdDatabaseOperationTest, SelectWithNoMatchingRowSucceedsWithNothingAppended) {
    std::vector<std::string> args{"nobody"};
    Rows rows{{"kept"}};
    EXPECT_EQ(0, _operation.Query("SELECT * FROM scratch WHERE k = '?'", &args, &rows));
    EXPECT_EQ(Rows{{"kept"}}, rows);
}

TEST_F(BdDatabaseOperationTest, RowsComeBackInOrderWithNullAsEmptyText) {
    std::vector<std::string> first{"a", "1"};
    std::vector<std::string> second{"b"};
    ASSERT_EQ(0, _operation.Query("INSERT INTO scratch VALUES ('?', '?')", &first));
    ASSERT_EQ(0, _operation.Query("INSERT INTO scratch (k) VALUES ('?')", &second));
    EXPECT_EQ((Rows{{"a", "1"}, {"b", ""}}), Select("SELECT k, v FROM scratch ORDER BY k"));
}

TEST_F(BdDatabaseOperationTest, QuotesAndEmptyArgumentsAreStoredIntact) {
    const std::string awkward = "it's a \"quote\", a \\ and a '; DROP TABLE scratch; -- ";
    std::vector<std::string> args{awkward, ""};
    ASSERT_EQ(0, _operation.Query("INSERT INTO scratch VALUES ('?', '?')", &args));
    std::vector<std::string> key{awkward};
    Rows rows;
    ASSERT_EQ(0,
              _operation.Query("SELECT k, v, v IS NULL FROM scratch WHERE k = '?'", &key, &rows));
    EXPECT_EQ((Rows{{awkward, "", "0"}}), rows);
}

TEST_F(BdDatabaseOperationTest, ArgumentsThatDoNotFitRunNothing) {
    std::vector<std::string> args{"a", "1", "extra"};
    std::vector<std::string> tooFew{"a"};
    EXPECT_EQ(BD_SQL_INVALID, _operation.Query("INSERT INTO scratch VALUES ('?', '?')", &tooFew));
    Rows rows;
    EXPECT_EQ(BD_SQL_INVALID, _operation.Query("SELECT '?'", &args, &rows));
    EXPECT_EQ(BD_SQL_INVALID, _operation.Query("", &args));
    EXPECT_TRUE(rows.empty());
    EXPECT_EQ((Rows{{"0"}}), Select("SELECT COUNT(*) FROM scratch"));
}

TEST_F(BdDatabaseOperationTest, FailedStatementIsLoggedWithItsEscapedValues) {
    TempDir logDir;
    BdError describer;
    BdLog::FreeLogger();
    ASSERT_EQ(1, BdLog::GetLogger()->Init("db_test", logDir.Path(), &describer, true, 10));
    std::vector<std::string> args{"O'Brien"};
    EXPECT_EQ(BD_SQL_QUERY_ERROR, _operation.Query("INSERT INTO missing VALUES ('?')", &args));
    std::string logFile = BdLog::GetLogger()->GetFilePath();
    BdLog::FreeLogger();

    const std::string content = ReadFileText(logFile);
    EXPECT_NE(std::string::npos,
              content.find("[ERROR:12#Sql do query error]: do database query failed, "
                           "sql_sentence: INSERT INTO missing VALUES ('O\\'Brien'). "
                           "src/bd_database/bd_database_operation:"))
        << content;
    EXPECT_NE(std::string::npos, content.find(":Query\n"));
}

TEST_F(BdDatabaseOperationTest, SelectRunThroughTheWriteFormLeavesTheConnectionInStep) {
    EXPECT_EQ(0, _operation.Query("SELECT 1", nullptr));
    EXPECT_EQ((Rows{{"2"}}), Select("SELECT 2"));
}

}  // namespace
