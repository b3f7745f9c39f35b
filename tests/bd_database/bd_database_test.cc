#include "bd_database/bd_database.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_database.h"

namespace {

const BdDatabase::DatabaseType kNotMysql = static_cast<BdDatabase::DatabaseType>(1);

// A loopback port nobody listens on: bound once by the kernel's choice, then released.
int ClosedLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address));
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

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

TEST_F(CreateSqlTest, FillsEachPlaceholderWithItsArgumentInOrder) {
    ASSERT_EQ(0, Create("UPDATE t SET a = '?' WHERE b = '?'", {"1", "x"}));
    EXPECT_EQ("UPDATE t SET a = '1' WHERE b = 'x'", _sql);
}

TEST_F(CreateSqlTest, RejectsArgumentsThatDoNotFitAndLeavesSqlAlone) {
    EXPECT_EQ(4, Create("a = ? AND b = ?", {"1", "x", "y"}));
    EXPECT_EQ(4, Create("UPDATE t SET a = '?' WHERE b = '?'", {"1"}));
    EXPECT_EQ(4, Create("", {}));
    EXPECT_EQ(4, _database.CreateSQL("a = '?'", "", {"v"}, _sql));
    EXPECT_EQ("untouched", _sql);
}

TEST_F(CreateSqlTest, TemplateEndingInPlaceholderTakesExactlyOneArgumentPerPlaceholder) {
    ASSERT_EQ(0, Create("a = ?", {"v"}));
    EXPECT_EQ("a = v", _sql);
    // Fewer arguments would silently drop the last placeholder from the statement.
    EXPECT_EQ(4, Create("a = ?", {}));
    EXPECT_EQ(4, Create("a = ? AND b = ?", {"v"}));
    EXPECT_EQ(4, Create("a = ?", {"v", "w"}));
}

TEST_F(CreateSqlTest, TextAfterLastPlaceholderAlsoTakesOneExtraArgumentAppendedAfterIt) {
    ASSERT_EQ(0, Create("a = '?' LIMIT 1", {"v"}));
    EXPECT_EQ("a = 'v' LIMIT 1", _sql);
    ASSERT_EQ(0, Create("a = '?' LIMIT ", {"v", "it's"}));
    EXPECT_EQ("a = 'v' LIMIT it\\'s", _sql);
    EXPECT_EQ(4, Create("a = '?' LIMIT 1", {"v", "w", "x"}));
}

TEST_F(CreateSqlTest, EmptyPiecesBecomeOneBlank) {
    ASSERT_EQ(0, Create("?", {"abc"}));
    EXPECT_EQ(" abc", _sql);
    ASSERT_EQ(0, Create("??", {"a", "b"}));
    EXPECT_EQ(" a b", _sql);
}

TEST_F(CreateSqlTest, EscapesQuotesAndInsertsEmptyArgumentsAsNothing) {
    ASSERT_EQ(0, Create("a = '?', b = '?'", {"O'Brien \"x\" \\", ""}));
    EXPECT_EQ("a = 'O\\'Brien \\\"x\\\" \\\\', b = ''", _sql);
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
    EXPECT_EQ(0, database.Init("127.0.0.1", "u", "p", "d", ClosedLoopbackPort(), kNotMysql));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

// Real time: six refused attempts three seconds apart.
TEST(BdDatabaseClosedTest, InitGivesUpAfterSixRefusedAttempts) {
    BdDatabase database;
    testing::internal::CaptureStdout();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0,
              database.Init("127.0.0.1", "u", "p", "d", ClosedLoopbackPort(), BdDatabase::kMysql));
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
