#include "rt_server/rt_database_operation.h"

#include <iostream>

#include "bd_common/bd_error.h"
#include "bd_common/bd_log.h"
#include "bd_common/bd_time.h"
#include "bd_common/bd_util.h"
#include "rt_server/rt_server_error.h"

namespace {

const char kOnline[] = "1";
const char kOffline[] = "2";
// register_flag and auto_upgrade_flag of a row the router creates.
const char kCreatedByRouter[] = "2";

std::string Now() {
    return BdTime::Now(BdTime::kWallClock).ToDatetime();
}

void ReportFailure(const char *what, const char *where, int line) {
    BdLog::GetLogger()->FlushGathered();  // lines held by the log go first
    std::cerr << what << where << ":" << line << std::endl;
}

}  // namespace

int RtDatabaseOperation::RtSetAllAgentAndModuleServerOffline() {
    const std::vector<std::string> offline{kOffline};
    if (Query("UPDATE bd_agent SET online_flag = '?'", &offline) != 0) {
        ReportFailure("do database query failed in ", "RtSetAllAgentAndModuleServerOffline",
                      __LINE__);
        return RT_DATABASE_OPERATION_ERROR;
    }
    if (Query("UPDATE bd_module_server SET online_flag = '?'", &offline) != 0) {
        ReportFailure("do database query failed in ", "RtSetAllAgentAndModuleServerOffline",
                      __LINE__);
        return RT_DATABASE_OPERATION_ERROR;
    }
    return 0;
}

int RtDatabaseOperation::RtSetAgentAndModuleServerOffline(std::list<std::string> &uuids) {
    if (uuids.empty()) {
        return 0;
    }
    std::string agentStatement = "UPDATE bd_agent SET online_flag = 2 WHERE ";
    std::string moduleStatement = "UPDATE bd_module_server SET online_flag = 2 WHERE ";
    bool first = true;
    while (!uuids.empty()) {
        std::string escaped = EscapeString(uuids.front());
        uuids.pop_front();
        const char *joint = first ? "" : "OR ";
        agentStatement += joint + ("agent_uuid = '" + escaped + "' ");
        moduleStatement += joint + ("module_uuid = '" + escaped + "' ");
        first = false;
    }
    if (Query(agentStatement, nullptr) != 0 || Query(moduleStatement, nullptr) != 0) {
        return RT_DATABASE_OPERATION_ERROR;
    }
    return 0;
}

int RtDatabaseOperation::RtUpdateClientOnline(const BdAgent &agent) {
    if (agent.agent_uuid.empty()) {
        return BD_PARAMETER_INVALID;
    }
    bool found = false;
    if (FindRow("SELECT * FROM bd_agent WHERE agent_uuid = '?'", agent.agent_uuid, &found) != 0) {
        ReportFailure("do sql failed in ", "rt_database_operation", __LINE__);
        return RT_DATABASE_OPERATION_ERROR;
    }
    if (found) {
        return Write(
            "UPDATE bd_agent SET hostname = '?', ip = '?', os_type = '?', os_version = '?', "
            "process_type = '?', online_flag = '?' WHERE agent_uuid = '?'",
            {agent.hostname, agent.ip, agent.os_type, agent.os_version, agent.process_type, kOnline,
             agent.agent_uuid});
    }
    return Write(
        "INSERT INTO bd_agent (agent_uuid, hostname, ip, os_type, os_version, process_type,  "
        "register_flag, online_flag) VALUES ('?', '?', '?', '?', '?', '?', '?', '?')",
        {agent.agent_uuid, agent.hostname, agent.ip, agent.os_type, agent.os_version,
         agent.process_type, kCreatedByRouter, kOnline});
}

int RtDatabaseOperation::RtUpdateModuleServerOnline(const BdModuleServer &server) {
    if (server.module_uuid.empty()) {
        return BD_PARAMETER_INVALID;
    }
    bool found = false;
    if (FindRow("SELECT * FROM bd_module_server WHERE module_uuid='?'", server.module_uuid,
                &found) != 0) {
        return RT_DATABASE_OPERATION_ERROR;
    }
    const std::string moduleType = BdUtil::NumToStr(server.module_type);
    if (found) {
        return Write(
            "UPDATE bd_module_server SET module_type = '?', node_uuid = '?', online_flag = '?' "
            "WHERE module_uuid = '?'",
            {moduleType, server.node_uuid, kOnline, server.module_uuid});
    }
    return Write(
        "INSERT INTO bd_module_server (module_uuid, module_type, node_uuid, register_time, "
        "online_flag) VALUES ('?', '?', '?', '?', '?')",
        {server.module_uuid, moduleType, server.node_uuid, Now(), kOnline});
}

int RtDatabaseOperation::RtUpdateNodeInfo(const BdNode &node) {
    if (node.node_uuid.empty()) {
        return BD_PARAMETER_INVALID;
    }
    bool found = false;
    if (FindRow("SELECT * FROM bd_node WHERE node_uuid = '?'", node.node_uuid, &found) != 0) {
        return RT_DATABASE_OPERATION_ERROR;
    }
    if (found) {
        return Write(
            "UPDATE bd_node  SET ip = '?', host_name = '?', os_type = '?', os_version = '?',   "
            "process_type = '?'  WHERE node_uuid = '?'",
            {node.ip, node.host_name, node.os_type, node.os_version, node.process_type,
             node.node_uuid});
    }
    return Write(
        "INSERT bd_node (auto_upgrade_flag, ip, node_uuid, host_name, os_type,  os_version, "
        "process_type, register_time, global_share_flag) VALUES ('?', '?', '?', '?', '?', '?', "
        "'?', '?', '?')",
        {kCreatedByRouter, node.ip, node.node_uuid, node.host_name, node.os_type, node.os_version,
         node.process_type, Now(), BdUtil::NumToStr(node.global_share_flag)});
}

int RtDatabaseOperation::FindRow(const char *selectTemplate, const std::string &key, bool *found) {
    const std::vector<std::string> args{key};
    Rows rows;
    int result = Query(selectTemplate, &args, &rows);
    *found = !rows.empty();
    return result;
}

int RtDatabaseOperation::Write(const char *sqlTemplate, const std::vector<std::string> &args) {
    return Query(sqlTemplate, &args) == 0 ? 0 : RT_DATABASE_OPERATION_ERROR;
}
