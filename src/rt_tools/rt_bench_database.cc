#include "rt_tools/rt_bench_database.h"

#include <cstdlib>

bool RtBenchDatabase::Open(const RtRouterDatabase &address) {
    return _connection.Init(address.host, address.user, address.password, address.name,
                            address.port, BdDatabase::kMysql) == 1;
}

long RtBenchDatabase::Count(const std::string &sql) {
    if (_connection.Query(sql) != 1) {
        return -1;
    }
    MYSQL_RES *result = _connection.StoreResult();
    MYSQL_ROW row = _connection.FetchRow(result);
    const long count = row != nullptr && row[0] != nullptr ? std::atol(row[0]) : -1;
    _connection.FreeResult(result);
    return count;
}

void RtBenchDatabase::RemoveRows(const std::string &prefix) {
    const std::string like = "LIKE '" + _connection.EscapeString(prefix) + "%'";
    _connection.Query("DELETE FROM bd_agent WHERE agent_uuid " + like);
    _connection.Query("DELETE FROM bd_module_server WHERE module_uuid " + like);
    _connection.Query("DELETE FROM bd_node WHERE node_uuid LIKE 'node-" +
                      _connection.EscapeString(prefix) + "%'");
}
