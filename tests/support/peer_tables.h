#ifndef TESTS_SUPPORT_PEER_TABLES_H_
#define TESTS_SUPPORT_PEER_TABLES_H_

#include <mysql.h>

#include <string>
#include <vector>

#include "support/test_database.h"

// The test's own view of the router's peer tables, over a separate MySQL connection, so that rows
// are checked exactly as the rest of the system would read them.
class PeerTables {
  public:
    PeerTables() = default;
    ~PeerTables();
    PeerTables(const PeerTables &) = delete;
    PeerTables &operator=(const PeerTables &) = delete;

    bool Connect(const TestDatabaseAddress &address);
    // Runs a statement without a result; false on error.
    bool Exec(const std::string &sql);
    // Every row of a query, NULL as "NULL".
    std::vector<std::vector<std::string>> Rows(const std::string &sql);
    // The single value of a one-row, one-column query; empty when no row matched.
    std::string Value(const std::string &sql);
    // Empties the three peer tables.
    bool Clear();

    std::string AgentOnline(const std::string &uuid);
    std::string ModuleServerOnline(const std::string &uuid);

  private:
    MYSQL *mysql_ = nullptr;
};

#endif  // TESTS_SUPPORT_PEER_TABLES_H_
