#include "rt_tools/rt_bench_database.h"

#include <cstdlib>

bool RtBenchDatabase::Open(const RtRouterDatabase &address) {
    return connection_.Init(address.host, address.user, address.password, address.name,
                            address.port, BdDatabase::kMysql) == 1;
}

long RtBenchDatabase::Count(const std::string &sql) {
    if (connection_.Query(sql) != 1)
        return -1;
    MYSQL_RES *result = connection_.StoreResult();
    MYSQL_ROW row = connection_.FetchRow(result);
    const long count = row != nullptr && row[0] != nullptr ? std::atol(row[0]) : -1;
    connection_.FreeResult(result);
    return count;
}

void RtBenchDatabase::RemoveRows(const std::string &prefix) {
    const std::string like = "LIKE '" + connection_.EscapeString(prefix) + "%'";
    connection_.Query("DELETE FROM bd_agent WHERE agent_uuid " + like);
    connection_.Query("DELETE FROM bd_module_server WHERE module_uuid " + like);
    connection_.Query("DELETE FROM bd_node WHERE node_uuid LIKE 'node-" +
                      connection_.EscapeString(prefix) + "%'");
}
