#include "support/peer_tables.h"

PeerTables::~PeerTables() {
    if (mysql_ != nullptr)
        mysql_close(mysql_);
}

bool PeerTables::Connect(const TestDatabaseAddress &address) {
    mysql_ = mysql_init(nullptr);
    if (mysql_ == nullptr)
        return false;
    return mysql_real_connect(mysql_, address.host.c_str(), address.user.c_str(),
                              address.password.c_str(), address.name.c_str(), address.port, nullptr,
                              0) != nullptr;
}

bool PeerTables::Exec(const std::string &sql) {
    return mysql_ != nullptr && mysql_query(mysql_, sql.c_str()) == 0;
}

std::vector<std::vector<std::string>> PeerTables::Rows(const std::string &sql) {
    std::vector<std::vector<std::string>> rows;
    if (!Exec(sql))
        return rows;
    MYSQL_RES *result = mysql_store_result(mysql_);
    if (result == nullptr)
        return rows;
    const unsigned int fields = mysql_num_fields(result);
    while (MYSQL_ROW row = mysql_fetch_row(result)) {
        std::vector<std::string> values;
        for (unsigned int i = 0; i < fields; ++i)
            values.emplace_back(row[i] ? row[i] : "NULL");
        rows.push_back(values);
    }
    mysql_free_result(result);
    return rows;
}

std::string PeerTables::Value(const std::string &sql) {
    const auto rows = Rows(sql);
    return rows.empty() || rows[0].empty() ? std::string() : rows[0][0];
}

bool PeerTables::Clear() {
    return Exec("DELETE FROM bd_agent") && Exec("DELETE FROM bd_node") &&
           Exec("DELETE FROM bd_module_server");
}

std::string PeerTables::AgentOnline(const std::string &uuid) {
    return Value("SELECT online_flag FROM bd_agent WHERE agent_uuid = '" + uuid + "'");
}

std::string PeerTables::ModuleServerOnline(const std::string &uuid) {
    return Value("SELECT online_flag FROM bd_module_server WHERE module_uuid = '" + uuid + "'");
}
