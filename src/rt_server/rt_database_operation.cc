#include "rt_server/rt_database_operation.h"

#include <algorithm>
#include <string>

#include "bd_common/bd_error.h"
#include "bd_common/bd_log.h"
#include "bd_common/bd_log_entry.h"
#include "bd_common/bd_time.h"
#include "bd_common/bd_util.h"
#include "bd_netframwork/bd_packet.h"
#include "rt_server/rt_server_error.h"

BD_LOG_SOURCE_FILE("rt_database_operation");

namespace {

const char kOnline[] = "1";
const char kOffline[] = "2";
// register_flag and auto_upgrade_flag of a row the router creates.
const char kCreatedByRouter[] = "2";

std::string Now() {
    return BdTime::Now(BdTime::kWallClock).ToDatetime();
}

void ReportFailure(const char *what, const char *where, int line) {
    // Through the log, which writes what it holds first, so the lines keep their order.
    BdLog::GetLogger()->WriteStderrLine({what, where, ":", std::to_string(line)});
}

}  // namespace

int RtDatabaseOperation::RtSetAllAgentAndModuleServerOffline() {
    const std::vector<std::string> offline{kOffline};
    for (const char *statement : {"UPDATE bd_agent SET online_flag = '?'",
                                  "UPDATE bd_module_server SET online_flag = '?'"}) {
        if (Query(statement, &offline) != 0) {
            ReportFailure("do database query failed in ", "RtSetAllAgentAndModuleServerOffline",
                          __LINE__);
            return RT_DATABASE_OPERATION_ERROR;
        }
    }
    return 0;
}

int RtDatabaseOperation::RtSetAgentAndModuleServerOffline(std::list<std::string> &uuids) {
    if (uuids.empty()) {
        return 0;
    }
    const std::vector<std::string> statements =
        OfflineStatements(std::vector<std::string>(uuids.begin(), uuids.end()));
    uuids.clear();
    if (Write(statements[0]) != 0 || Write(statements[1]) != 0) {
        return RT_DATABASE_OPERATION_ERROR;
    }
    return 0;
}

std::vector<std::string> RtDatabaseOperation::OfflineStatements(
    const std::vector<std::string> &uuids) {
    std::string agentStatement = "UPDATE bd_agent SET online_flag = 2 WHERE ";
    std::string moduleStatement = "UPDATE bd_module_server SET online_flag = 2 WHERE ";
    bool first = true;
    for (const std::string &uuid : uuids) {
        const std::string escaped = EscapeString(uuid);
        const char *joint = first ? "" : "OR ";
        agentStatement += joint + ("agent_uuid = '" + escaped + "' ");
        moduleStatement += joint + ("module_uuid = '" + escaped + "' ");
        first = false;
    }
    return {agentStatement, moduleStatement};
}

int RtDatabaseOperation::RtUpdateClientOnline(const BdAgent &agent) {
    if (agent.agent_uuid.empty()) {
        return BD_PARAMETER_INVALID;
    }
    return LookUpAndWrite(kBdHandShakeClient, AgentLookup(agent), "agent_uuid", agent.agent_uuid,
                          [&](bool found) { return AgentWrite(agent, found); });
}

int RtDatabaseOperation::RtUpdateModuleServerOnline(const BdModuleServer &server) {
    if (server.module_uuid.empty()) {
        return BD_PARAMETER_INVALID;
    }
    return LookUpAndWrite(kBdHandShakeServerPlatform, ModuleServerLookup(server), "module_uuid",
                          server.module_uuid,
                          [&](bool found) { return ModuleServerWrite(server, found); });
}

int RtDatabaseOperation::RtUpdateNodeInfo(const BdNode &node) {
    if (node.node_uuid.empty()) {
        return BD_PARAMETER_INVALID;
    }
    return LookUpAndWrite(kBdHandShakeModuleServer, NodeLookup(node), "node_uuid", node.node_uuid,
                          [&](bool found) { return NodeWrite(node, found); });
}

int RtDatabaseOperation::LookUpAndWrite(int kind, const std::string &lookup, const char *column,
                                        const std::string &uuid,
                                        const std::function<std::string(bool)> &write) {
    Rows rows;
    std::vector<std::string> columns;
    if (!QueryInternal(lookup, &rows, &columns)) {
        return LookupFailed(kind, lookup);
    }
    if (!SameKey(column, uuid, columns, rows)) {
        return RT_DATABASE_OPERATION_ERROR;
    }
    return Write(write(!rows.empty()));
}

bool RtDatabaseOperation::SameKey(const std::string &column, const std::string &uuid,
                                  const std::vector<std::string> &columns, const Rows &rows) {
    const auto named = std::find(columns.begin(), columns.end(), column);
    if (named == columns.end()) {
        return true;
    }
    const size_t index = static_cast<size_t>(named - columns.begin());
    for (const std::vector<std::string> &row : rows) {
        if (index < row.size() && row[index] != uuid) {
            BD_LOG(BD_LOG_ERROR, RT_DATABASE_OPERATION_ERROR,
                   "uuid " + uuid + " refused, " + column + " holds it as " + row[index] +
                       ", handshake not written",
                   "LookUp");
            return false;
        }
    }
    return true;
}

std::string RtDatabaseOperation::AgentLookup(const BdAgent &agent) {
    return Build("SELECT * FROM bd_agent WHERE agent_uuid = '?'", {agent.agent_uuid});
}

std::string RtDatabaseOperation::ModuleServerLookup(const BdModuleServer &server) {
    return Build("SELECT * FROM bd_module_server WHERE module_uuid='?'", {server.module_uuid});
}

std::string RtDatabaseOperation::NodeLookup(const BdNode &node) {
    return Build("SELECT * FROM bd_node WHERE node_uuid = '?'", {node.node_uuid});
}

std::string RtDatabaseOperation::AgentWrite(const BdAgent &agent, bool found) {
    if (found) {
        return Build(
            "UPDATE bd_agent SET hostname = '?', ip = '?', os_type = '?', os_version = '?', "
            "process_type = '?', online_flag = '?' WHERE agent_uuid = '?'",
            {agent.hostname, agent.ip, agent.os_type, agent.os_version, agent.process_type, kOnline,
             agent.agent_uuid});
    }
    return Build(
        "INSERT INTO bd_agent (agent_uuid, hostname, ip, os_type, os_version, process_type,  "
        "register_flag, online_flag) VALUES ('?', '?', '?', '?', '?', '?', '?', '?')",
        {agent.agent_uuid, agent.hostname, agent.ip, agent.os_type, agent.os_version,
         agent.process_type, kCreatedByRouter, kOnline});
}

std::string RtDatabaseOperation::ModuleServerWrite(const BdModuleServer &server, bool found) {
    const std::string moduleType = BdUtil::NumToStr(server.module_type);
    if (found) {
        return Build(
            "UPDATE bd_module_server SET module_type = '?', node_uuid = '?', online_flag = '?' "
            "WHERE module_uuid = '?'",
            {moduleType, server.node_uuid, kOnline, server.module_uuid});
    }
    return Build(
        "INSERT INTO bd_module_server (module_uuid, module_type, node_uuid, register_time, "
        "online_flag) VALUES ('?', '?', '?', '?', '?')",
        {server.module_uuid, moduleType, server.node_uuid, Now(), kOnline});
}

std::string RtDatabaseOperation::NodeWrite(const BdNode &node, bool found) {
    if (found) {
        return Build(
            "UPDATE bd_node  SET ip = '?', host_name = '?', os_type = '?', os_version = '?',   "
            "process_type = '?'  WHERE node_uuid = '?'",
            {node.ip, node.host_name, node.os_type, node.os_version, node.process_type,
             node.node_uuid});
    }
    return Build(
        "INSERT bd_node (auto_upgrade_flag, ip, node_uuid, host_name, os_type,  os_version, "
        "process_type, register_time, global_share_flag) VALUES ('?', '?', '?', '?', '?', '?', "
        "'?', '?', '?')",
        {kCreatedByRouter, node.ip, node.node_uuid, node.host_name, node.os_type, node.os_version,
         node.process_type, Now(), BdUtil::NumToStr(node.global_share_flag)});
}

std::string RtDatabaseOperation::Build(const char *sqlTemplate,
                                       const std::vector<std::string> &args) {
    std::string statement;
    // Every template above takes exactly its arguments, so building cannot fail.
    BuildStatement(sqlTemplate, &args, statement);
    return statement;
}

int RtDatabaseOperation::LookupFailed(int kind, const std::string &lookup) {
    ReportFailedQuery(lookup);
    if (kind == kBdHandShakeClient) {
        ReportFailure("do sql failed in ", "rt_database_operation", __LINE__);
    }
    return RT_DATABASE_OPERATION_ERROR;
}

void RtDatabaseOperation::ReportUnwritten(const RtPeerRows &rows) {
    // The lookup the rows' writes start with; every kind but these two writes as a platform.
    if (rows.kind == kBdHandShakeClient) {
        if (!rows.agent.agent_uuid.empty()) {
            LookupFailed(rows.kind, AgentLookup(rows.agent));
        }
    } else if (rows.kind == kBdHandShakeModuleServer) {
        if (!rows.node.node_uuid.empty()) {
            LookupFailed(rows.kind, NodeLookup(rows.node));
        }
    } else if (!rows.server.module_uuid.empty()) {
        LookupFailed(rows.kind, ModuleServerLookup(rows.server));
    }
}

int RtDatabaseOperation::Write(const std::string &statement) {
    return Query(statement, nullptr) == 0 ? 0 : RT_DATABASE_OPERATION_ERROR;
}
