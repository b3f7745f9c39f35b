#include "bd_database/bd_database.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "support/loopback.h"
#include "support/test_database.h"

namespace {

const BdDatabase::DatabaseType kNotMysql = static_cast<BdDatabase::DatabaseType>(1);

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Substitution needs no server: before Init the arguments are escaped without a character set.
class CreateSqlTest : public ::testing::Test {
  protected:
    int Create(const std::string &sqlTemplate, const std::vector<std::string> &args) {
        return _database.CreateSQL(sqlTemplate, "?", args, _sql);
    }

    BdDatabase _database;
    std::string _sql = "untouched";
};

// Each '?' takes one argument in order; so does the text after the last one. Arguments that do
// not fit leave the statement alone: fewer would silently drop a placeholder.
TEST_F(CreateSqlTest, FillsEveryPlaceholderOrRefusesArgumentsThatDoNotFit) {
    const struct {
        const char *sqlTemplate;
        std::vector<std::string> args;
        const char *sql;  // null: refused with 4
    } cases[] = {
        {"UPDATE t SET a = '?' WHERE b = '?'", {"1", "x"}, "UPDATE t SET a = '1' WHERE b = 'x'"},
        {"a = ?", {"v"}, "a = v"},
        {"a = '?' LIMIT 1", {"v"}, "a = 'v' LIMIT 1"},
        {"a = '?' LIMIT ", {"v", "it's"}, "a = 'v' LIMIT it\\'s"},
        // Empty pieces become one blank.
        {"?", {"abc"}, " abc"},
        {"??", {"a", "b"}, " a b"},
        {"a = '?', b = '?'", {"O'Brien \"x\" \\", ""}, "a = 'O\\'Brien \\\"x\\\" \\\\', b = ''"},
        {"a = ? AND b = ?", {"1", "x", "y"}, nullptr},
        {"UPDATE t SET a = '?' WHERE b = '?'", {"1"}, nullptr},
        {"", {}, nullptr},
        {"a = ?", {}, nullptr},
        {"a = ? AND b = ?", {"v"}, nullptr},
        {"a = ?", {"v", "w"}, nullptr},
        {"a = '?' LIMIT 1", {"v", "w", "x"}, nullptr},
    };
    for (const auto &c : cases) {
        _sql = "untouched";
        EXPECT_EQ(c.sql != nullptr ? 0 : 4, Create(c.sqlTemplate, c.args)) << c.sqlTemplate;
        EXPECT_EQ(c.sql != nullptr ? c.sql : "untouched", _sql) << c.sqlTemplate;
    }
    EXPECT_EQ(4, _database.CreateSQL("a = '?'", "", {"v"}, _sql));
    EXPECT_EQ("untouched", _sql);
}

TEST(BdDatabaseClosedTest, EscapesAndRefusesStatementsBeforeInit) {
    BdDatabase database;
    EXPECT_EQ(std::string("a\\0b\\n"), database.EscapeString(std::string("a\0b\n", 4)));
    EXPECT_EQ(0, database.Query("SELECT 1"));
    EXPECT_EQ(nullptr, database.StoreResult());
    EXPECT_EQ(0, database.Destroy());
}

TEST(BdDatabaseClosedTest, InitWithAnotherDatabaseTypeTouchesNothing) {
    BdDatabase database;
    testing::internal::CaptureStdout();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, database.Init("127.0.0.1", "u", "p", "d", FreeLoopbackPort(), kNotMysql));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

// Real time: six refused attempts three seconds apart.
TEST(BdDatabaseClosedTest, InitGivesUpAfterSixRefusedAttempts) {
    BdDatabase database;
    testing::internal::CaptureStdout();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, database.Init("127.0.0.1", "u", "p", "d", FreeLoopbackPort(), BdDatabase::kMysql));
    auto elapsed = std::chrono::steady_clock::now() - start;
    std::vector<std::string> lines = Lines(testing::internal::GetCapturedStdout());
    ASSERT_EQ(6u, lines.size());
    for (const std::string &line : lines) {
        // The client library reports a refused TCP connect as 2002.
        EXPECT_TRUE(line.rfind("errno: 2002  ", 0) == 0 || line.rfind("errno: 2003  ", 0) == 0)
            << line;
    }
    EXPECT_GE(elapsed, std::chrono::seconds(15));
    EXPECT_EQ(0, database.Query("SELECT 1"));
}

class BdDatabaseTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!TestDatabaseAddress::FromEnvironment(&_address)) {
            GTEST_SKIP() << "RT_DB_HOST is not set";
        }
        ASSERT_EQ(1, Open(_database, _address.password));
    }

    int Open(BdDatabase &database, const std::string &password) {
        return database.Init(_address.host, _address.user, password, _address.name, _address.port,
                             BdDatabase::kMysql);
    }

    TestDatabaseAddress _address;
    BdDatabase _database;
};

TEST_F(BdDatabaseTest, RejectedCredentialsAreNotRetried) {
    BdDatabase other;
    testing::internal::CaptureStdout();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, Open(other, "wrong password"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    std::vector<std::string> lines = Lines(testing::internal::GetCapturedStdout());
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(0u, lines[0].rfind("errno: 1045  ", 0)) << lines[0];
}

TEST_F(BdDatabaseTest, FailedStatementPrintsClientErrorAndConnectionStaysUsable) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, _database.Query("SELEC nonsense"));
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(0u, printed.rfind("errno: 1064  You have an error in your SQL syntax", 0)) << printed;
    EXPECT_EQ('\n', printed.back());
    EXPECT_EQ(0, _database.Query(""));
    EXPECT_EQ(1, _database.Query("DO 1"));
    EXPECT_FALSE(_database.HasResultSet());
}

TEST_F(BdDatabaseTest, ConnectionSpeaksUtf8) {
    ASSERT_EQ(1, _database.Query("SELECT @@character_set_client"));
    MYSQL_RES *result = _database.StoreResult();
    ASSERT_NE(nullptr, result);
    MYSQL_ROW row = _database.FetchRow(result);
    ASSERT_NE(nullptr, row);
    EXPECT_EQ(0, std::string(row[0]).rfind("utf8", 0)) << row[0];
    _database.FreeResult(result);
}

}  // namespace
