#include "rt_server/rt_database_operation.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <list>
#include <string>
#include <utility>
#include <vector>

#include "bd_common/bd_error.h"
#include "bd_common/bd_log.h"
#include "bd_common/bd_util.h"
#include "bd_database/bd_database.h"
#include "rt_server/rt_server_error.h"
#include "support/file_text.h"
#include "support/temp_dir.h"
#include "support/test_database.h"

namespace {

typedef BdDatabaseOperation::Rows Rows;

class RtDatabaseOperationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!TestDatabaseAddress::FromEnvironment(&_address)) {
            GTEST_SKIP() << "RT_DB_HOST is not set";
        }
        ASSERT_EQ(1, Open(_database));
        ASSERT_EQ(1, Open(_viewerDatabase));
        ASSERT_TRUE(_operation.Init(&_database));
        ASSERT_TRUE(_viewer.Init(&_viewerDatabase));
    }

    int Open(BdDatabase &database) {
        return database.Init(_address.host, _address.user, _address.password, _address.name,
                             _address.port, BdDatabase::kMysql);
    }

    // Rows as another client of the database sees them.
    Rows View(const std::string &sqlTemplate, const std::vector<std::string> &args) {
        Rows rows;
        EXPECT_EQ(0, _viewer.Query(sqlTemplate, &args, &rows)) << sqlTemplate;
        return rows;
    }

    void Exec(const std::string &sqlTemplate, const std::vector<std::string> &args) {
        EXPECT_EQ(0, _viewer.Query(sqlTemplate, &args)) << sqlTemplate;
    }

    // UPDATE statements this test's connection has run so far.
    int UpdatesRun() {
        Rows rows;
        EXPECT_EQ(0, _operation.Query("SHOW SESSION STATUS LIKE 'Com_update'", nullptr, &rows));
        return rows.empty() ? -1 : std::atoi(rows[0][1].c_str());
    }

    static BdAgent Agent(const std::string &uuid) {
        return BdAgent{uuid, "host-1", "10.0.0.1", "Linux", "Debian 12", "64 bit"};
    }

    static BdNode Node(const std::string &uuid) {
        return BdNode{uuid, "10.0.0.2", "node-1", "Linux", "Debian 12", "64 bit"};
    }

    static BdModuleServer ModuleServer(const std::string &uuid, const std::string &nodeUuid) {
        return BdModuleServer{uuid, nodeUuid, 7};
    }

    std::string AgentOnline(const std::string &uuid) {
        Rows rows = View("SELECT online_flag FROM bd_agent WHERE agent_uuid = '?'", {uuid});
        return rows.empty() ? "no row" : rows[0][0];
    }

    std::string ModuleServerOnline(const std::string &uuid) {
        Rows rows =
            View("SELECT online_flag FROM bd_module_server WHERE module_uuid = '?'", {uuid});
        return rows.empty() ? "no row" : rows[0][0];
    }

    TestDatabaseAddress _address;
    BdDatabase _database;
    BdDatabase _viewerDatabase;
    RtDatabaseOperation _operation;
    BdDatabaseOperation _viewer;
};

TEST_F(RtDatabaseOperationTest, LaterHandshakeOfAnAgentRefreshesItAndKeepsItsRegistration) {
    const std::string uuid = BdUtil::GenerateUuidString();
    ASSERT_EQ(0, _operation.RtUpdateClientOnline(Agent(uuid)));
    Exec("UPDATE bd_agent SET register_flag = '1', online_flag = '2' WHERE agent_uuid = '?'",
         {uuid});
    BdAgent moved = Agent(uuid);
    moved.hostname = "host-2";
    moved.ip = "10.0.0.9";
    moved.os_version = "Debian 13";
    ASSERT_EQ(0, _operation.RtUpdateClientOnline(moved));
    EXPECT_EQ((Rows{{"host-2", "10.0.0.9", "Debian 13", "1", "1"}}),
              View("SELECT hostname, ip, os_version, register_flag, online_flag FROM bd_agent "
                   "WHERE agent_uuid = '?'",
                   {uuid}));
}

TEST_F(RtDatabaseOperationTest, PeersWithoutAUuidAreRejectedBeforeAnyStatement) {
    int before = UpdatesRun();
    EXPECT_EQ(BD_PARAMETER_INVALID, _operation.RtUpdateClientOnline(Agent("")));
    EXPECT_EQ(BD_PARAMETER_INVALID, _operation.RtUpdateNodeInfo(Node("")));
    EXPECT_EQ(BD_PARAMETER_INVALID, _operation.RtUpdateModuleServerOnline(ModuleServer("", "n")));
    EXPECT_EQ(before, UpdatesRun());
}

TEST_F(RtDatabaseOperationTest, LaterHandshakesRefreshNodeAndModuleServerButKeepCreationFields) {
    const std::string nodeUuid = BdUtil::GenerateUuidString();
    const std::string moduleUuid = BdUtil::GenerateUuidString();
    ASSERT_EQ(0, _operation.RtUpdateNodeInfo(Node(nodeUuid)));
    ASSERT_EQ(0, _operation.RtUpdateModuleServerOnline(ModuleServer(moduleUuid, nodeUuid)));
    const std::string old = "2001-02-03 04:05:06";
    Exec(
        "UPDATE bd_node SET register_time = '?', auto_upgrade_flag = '1', global_share_flag = "
        "'1' WHERE node_uuid = '?'",
        {old, nodeUuid});
    Exec(
        "UPDATE bd_module_server SET register_time = '?', online_flag = '2' WHERE module_uuid = "
        "'?'",
        {old, moduleUuid});

    BdNode node = Node(nodeUuid);
    node.ip = "10.0.0.3";
    node.host_name = "node-2";
    node.process_type = "32 bit";
    ASSERT_EQ(0, _operation.RtUpdateNodeInfo(node));
    BdModuleServer server = ModuleServer(moduleUuid, "another-node");
    server.module_type = 9;
    ASSERT_EQ(0, _operation.RtUpdateModuleServerOnline(server));

    EXPECT_EQ((Rows{{"10.0.0.3", "node-2", "32 bit", old, "1", "1"}}),
              View("SELECT ip, host_name, process_type, register_time, auto_upgrade_flag, "
                   "global_share_flag FROM bd_node WHERE node_uuid = '?'",
                   {nodeUuid}));
    EXPECT_EQ((Rows{{"9", "another-node", "1", old}}),
              View("SELECT module_type, node_uuid, online_flag, register_time FROM "
                   "bd_module_server WHERE module_uuid = '?'",
                   {moduleUuid}));
}

TEST_F(RtDatabaseOperationTest, LostPeersGoOfflineWithOneStatementPerTable) {
    const std::string agentA = BdUtil::GenerateUuidString();
    const std::string agentB = BdUtil::GenerateUuidString();
    const std::string module = BdUtil::GenerateUuidString();
    const std::string stillConnected = BdUtil::GenerateUuidString();
    for (const std::string &uuid : {agentA, agentB, stillConnected}) {
        ASSERT_EQ(0, _operation.RtUpdateClientOnline(Agent(uuid)));
    }
    ASSERT_EQ(0, _operation.RtUpdateModuleServerOnline(ModuleServer(module, "n")));

    std::list<std::string> lost{agentA, module, agentB};
    int before = UpdatesRun();
    ASSERT_EQ(0, _operation.RtSetAgentAndModuleServerOffline(lost));
    EXPECT_EQ(before + 2, UpdatesRun());
    EXPECT_TRUE(lost.empty());
    EXPECT_EQ("2", AgentOnline(agentA));
    EXPECT_EQ("2", AgentOnline(agentB));
    EXPECT_EQ("2", ModuleServerOnline(module));
    EXPECT_EQ("1", AgentOnline(stillConnected));

    before = UpdatesRun();
    EXPECT_EQ(0, _operation.RtSetAgentAndModuleServerOffline(lost));  // now empty: runs nothing
    EXPECT_EQ(before, UpdatesRun());
}

TEST_F(RtDatabaseOperationTest, UuidContainingAQuoteIsStoredAndMatchedIntact) {
    const std::string uuid = "it's-\"odd\"\\-" + BdUtil::GenerateUuidString().substr(0, 20);
    ASSERT_EQ(0, _operation.RtUpdateClientOnline(Agent(uuid)));
    ASSERT_EQ(0, _operation.RtUpdateClientOnline(Agent(uuid)));
    EXPECT_EQ((Rows{{uuid, "1"}}),
              View("SELECT agent_uuid, online_flag FROM bd_agent WHERE agent_uuid = '?'", {uuid}));
    std::list<std::string> lost{uuid};
    ASSERT_EQ(0, _operation.RtSetAgentAndModuleServerOffline(lost));
    EXPECT_EQ("2", AgentOnline(uuid));
}

// Tables whose keys compare loosely (case, trailing spaces): a lookup that finds the row of
// another spelling writes nothing. Temporary tables of the same names stand in for the real ones
// on this connection only.
TEST_F(RtDatabaseOperationTest, AnotherSpellingOfAStoredKeyIsRefusedAndWritesNothing) {
    const std::vector<std::pair<const char *, const char *>> loose = {
        {"bd_agent", "agent_uuid"}, {"bd_node", "node_uuid"}, {"bd_module_server", "module_uuid"}};
    for (const auto &table : loose) {
        const std::string name = table.first;
        const std::vector<std::string> statements = {
            "CREATE TEMPORARY TABLE loose_table LIKE " + name,
            "ALTER TABLE loose_table MODIFY " + std::string(table.second) +
                " VARCHAR(64) COLLATE utf8_general_ci NOT NULL",
            "ALTER TABLE loose_table RENAME TO " + name};
        for (const std::string &statement : statements)
            ASSERT_EQ(0, _operation.Query(statement, nullptr)) << statement;
    }
    ASSERT_EQ(0, _operation.RtUpdateClientOnline(Agent("agent-a")));
    ASSERT_EQ(0, _operation.RtUpdateNodeInfo(Node("node-a")));
    ASSERT_EQ(0, _operation.RtUpdateModuleServerOnline(ModuleServer("module-a", "node-a")));

    BdAgent other = Agent("AGENT-A");
    other.hostname = "other";
    EXPECT_EQ(RT_DATABASE_OPERATION_ERROR, _operation.RtUpdateClientOnline(other));
    BdNode otherNode = Node("node-a ");
    otherNode.host_name = "other";
    EXPECT_EQ(RT_DATABASE_OPERATION_ERROR, _operation.RtUpdateNodeInfo(otherNode));
    EXPECT_EQ(RT_DATABASE_OPERATION_ERROR,
              _operation.RtUpdateModuleServerOnline(ModuleServer("Module-A", "node-b")));
    EXPECT_EQ(0, _operation.RtUpdateClientOnline(Agent("agent-a")));  // its own spelling

    Rows rows;
    ASSERT_EQ(0, _operation.Query("SELECT agent_uuid, hostname FROM bd_agent", nullptr, &rows));
    EXPECT_EQ((Rows{{"agent-a", "host-1"}}), rows);
    rows.clear();
    ASSERT_EQ(0, _operation.Query("SELECT node_uuid, host_name FROM bd_node", nullptr, &rows));
    EXPECT_EQ((Rows{{"node-a", "node-1"}}), rows);
    rows.clear();
    ASSERT_EQ(
        0, _operation.Query("SELECT module_uuid, node_uuid FROM bd_module_server", nullptr, &rows));
    EXPECT_EQ((Rows{{"module-a", "node-a"}}), rows);
}

// Without an open connection every statement fails; the callers see the router's own code.
TEST(RtDatabaseOperationFailureTest, EveryWriteReportsTheRoutersCodeAndSaysWhereOnStandardError) {
    BdDatabase closed;
    RtDatabaseOperation operation;
    ASSERT_TRUE(operation.Init(&closed));

    testing::internal::CaptureStderr();
    EXPECT_EQ(RT_DATABASE_OPERATION_ERROR, operation.RtSetAllAgentAndModuleServerOffline());
    std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(0u,
              printed.rfind("do database query failed in RtSetAllAgentAndModuleServerOffline:", 0))
        << printed;

    BdAgent agent;
    agent.agent_uuid = "a";
    testing::internal::CaptureStderr();
    EXPECT_EQ(RT_DATABASE_OPERATION_ERROR, operation.RtUpdateClientOnline(agent));
    printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(0u, printed.rfind("do sql failed in rt_database_operation:", 0)) << printed;

    BdNode node;
    node.node_uuid = "n";
    BdModuleServer server;
    server.module_uuid = "m";
    EXPECT_EQ(RT_DATABASE_OPERATION_ERROR, operation.RtUpdateNodeInfo(node));
    EXPECT_EQ(RT_DATABASE_OPERATION_ERROR, operation.RtUpdateModuleServerOnline(server));
    std::list<std::string> lost{"a", "b"};
    EXPECT_EQ(RT_DATABASE_OPERATION_ERROR, operation.RtSetAgentAndModuleServerOffline(lost));
    EXPECT_TRUE(lost.empty());
}

// Rows the database never took are logged by the lookup their writes start with, as the batch
// runs them: an agent's, a module server's node, and for any other kind the module server's; rows
// without that key log nothing.
TEST(RtDatabaseOperationFailureTest, UnwrittenRowsLogTheLookupTheirWritesStartWith) {
    BdDatabase closed;
    RtDatabaseOperation operation;
    ASSERT_TRUE(operation.Init(&closed));
    RtPeerRows rows;
    rows.agent.agent_uuid = "agent-1";
    rows.node.node_uuid = "node-1";
    rows.server.module_uuid = "module-1";
    TempDir logDir;
    BdError describer;
    BdLog::FreeLogger();
    ASSERT_EQ(1, BdLog::GetLogger()->Init("op_test", logDir.Path(), &describer, true, 10));
    const std::string logFile = BdLog::GetLogger()->GetFilePath();
    const auto logged = [&](int kind, const RtPeerRows &written) {
        const size_t before = ReadFileText(logFile).size();
        RtPeerRows unwritten = written;
        unwritten.kind = kind;
        operation.ReportUnwritten(unwritten);
        const std::string added = ReadFileText(logFile).substr(before);
        for (const char *table : {"bd_agent", "bd_node", "bd_module_server"}) {
            if (added.find("sql_sentence: SELECT * FROM " + std::string(table) + " WHERE") !=
                std::string::npos) {
                return std::string(table);
            }
        }
        return added.empty() ? std::string("nothing") : added;
    };
    EXPECT_EQ(logged(kBdHandShakeClient, rows), "bd_agent");
    EXPECT_EQ(logged(kBdHandShakeModuleServer, rows), "bd_node");
    EXPECT_EQ(logged(kBdHandShakeServerPlatform, rows), "bd_module_server");
    EXPECT_EQ(logged(0, rows), "bd_module_server");
    EXPECT_EQ(logged(kBdHandShakeServerPlatform + 1, rows), "bd_module_server");
    RtPeerRows keyless = rows;
    keyless.agent.agent_uuid.clear();
    keyless.node.node_uuid.clear();
    keyless.server.module_uuid.clear();
    for (int kind = 0; kind <= kBdHandShakeServerPlatform + 1; ++kind) {
        EXPECT_EQ(logged(kind, keyless), "nothing") << kind;
    }
    // A module server's missing node stops it before its own lookup, as in the batch.
    keyless.server.module_uuid = "module-1";
    EXPECT_EQ(logged(kBdHandShakeModuleServer, keyless), "nothing");
    EXPECT_EQ(logged(kBdHandShakeClient, keyless), "nothing");
    BdLog::FreeLogger();
}

}  // namespace
