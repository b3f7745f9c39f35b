// The connection's behaviour when its server goes away or stops answering, on a server of the
// test's own (never the shared one).
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "bd_common/bd_error.h"
#include "bd_database/bd_database.h"
#include "bd_database/bd_database_operation.h"
#include "support/private_database_server.h"

namespace {

typedef BdDatabaseOperation::Rows Rows;

class BdDatabaseReconnectTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Runs only where the suite's database runs: a MariaDB server must be installed.
        TestDatabaseAddress shared;
        if (!TestDatabaseAddress::FromEnvironment(&shared)) {
            GTEST_SKIP() << "RT_DB_HOST is not set";
        }
        ASSERT_TRUE(_server.Start());
        const TestDatabaseAddress &address = _server.Address();
        ASSERT_EQ(1, _database.Init(address.host, address.user, address.password, address.name,
                                    address.port, BdDatabase::kMysql));
        ASSERT_TRUE(_operation.Init(&_database));
        ASSERT_EQ(0, _operation.Query("DELETE FROM bd_agent", nullptr));
    }

    // Runs an INSERT and reports whether it ran; the row tells whether it really reached the
    // server.
    int Insert(const std::string &uuid) {
        std::vector<std::string> args{uuid};
        return _operation.Query("INSERT INTO bd_agent (agent_uuid) VALUES ('?')", &args);
    }

    Rows Agents() {
        Rows rows;
        EXPECT_EQ(0, _operation.Query("SELECT agent_uuid FROM bd_agent ORDER BY agent_uuid",
                                      nullptr, &rows));
        return rows;
    }

    PrivateDatabaseServer _server;
    BdDatabase _database;
    BdDatabaseOperation _operation;
};

// After a restart between two statements the client library notices the dropped connection
// before sending, reconnects and runs the statement. While the server is down a statement fails
// quickly, and the next one after the server is back runs.
TEST_F(BdDatabaseReconnectTest, StatementsFailOnlyWhileTheServerIsDown) {
    ASSERT_EQ(0, Insert("a"));
    _server.Stop();
    ASSERT_TRUE(_server.Start());
    EXPECT_EQ(0, Insert("b"));
    Rows charset;
    ASSERT_EQ(0, _operation.Query("SELECT @@character_set_client", nullptr, &charset));
    EXPECT_EQ(0u, charset.at(0).at(0).rfind("utf8", 0)) << charset[0][0];

    _server.Stop();
    testing::internal::CaptureStdout();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(BD_SQL_QUERY_ERROR, Insert("c"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(0u, printed.rfind("errno: 2002  ", 0)) << printed;
    ASSERT_TRUE(_server.Start());
    EXPECT_EQ(0, Insert("d"));
    EXPECT_EQ((Rows{{"a"}, {"b"}, {"d"}}), Agents());
}

// Real time: a server that stops answering holds a statement for the read time-out, not forever.
TEST_F(BdDatabaseReconnectTest, FrozenServerFailsAStatementWithinTheTimeOutAndServesAfterThaw) {
    ASSERT_EQ(0, Insert("a"));
    _server.Freeze();
    testing::internal::CaptureStdout();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(BD_SQL_QUERY_ERROR, Insert("b"));
    auto elapsed = std::chrono::steady_clock::now() - start;
    std::string printed = testing::internal::GetCapturedStdout();
    _server.Thaw();
    EXPECT_EQ(0u, printed.rfind("errno: 2013  ", 0)) << printed;
    EXPECT_GE(elapsed, std::chrono::seconds(BdDatabase::kReadTimeoutSeconds - 1));
    EXPECT_LT(elapsed, std::chrono::seconds(BdDatabase::kReadTimeoutSeconds +
                                            BdDatabase::kWriteTimeoutSeconds + 5));
    EXPECT_EQ(0, Insert("c"));
    // The server may still run the timed-out statement once thawed; "c" must be there either way.
    Rows rows = Agents();
    EXPECT_EQ((Rows{{"c"}}), Rows(rows.end() - 1, rows.end()));
}

}  // namespace
