#include "bd_database/bd_database_operation.h"

#include "bd_common/bd_error.h"
#include "bd_common/bd_log_entry.h"
#include "bd_database/bd_database.h"

BD_LOG_SOURCE_FILE("src/bd_database/bd_database_operation")

bool BdDatabaseOperation::Init(BdDatabase *database) {
    if (database == nullptr) {
        return false;
    }
    _database = database;
    _bound = true;
    return true;
}

bool BdDatabaseOperation::Destroy() {
    if (!_bound) {
        return false;
    }
    _database = nullptr;
    _bound = false;
    return true;
}

int BdDatabaseOperation::Query(const std::string &sqlTemplate,
                               const std::vector<std::string> *args) {
    std::string statement;
    if (!BuildStatement(sqlTemplate, args, statement)) {
        return BD_SQL_INVALID;
    }
    return QueryInternal(statement) ? 0 : ReportFailedQuery(statement);
}

int BdDatabaseOperation::Query(const std::string &sqlTemplate, const std::vector<std::string> *args,
                               Rows *rows) {
    std::string statement;
    if (!BuildStatement(sqlTemplate, args, statement)) {
        return BD_SQL_INVALID;
    }
    return QueryInternal(statement, rows) ? 0 : ReportFailedQuery(statement);
}

bool BdDatabaseOperation::QueryInternal(const std::string &sql) {
    if (!_bound || sql.empty() || _database->Query(sql) == 0) {
        return false;
    }
    // A result set left unread would make the next statement fail as out of step.
    if (_database->HasResultSet()) {
        _database->FreeResult(_database->StoreResult());
    }
    return true;
}

bool BdDatabaseOperation::QueryInternal(const std::string &sql, Rows *rows,
                                        std::vector<std::string> *columns) {
    if (!_bound || sql.empty() || rows == nullptr || _database->Query(sql) == 0) {
        return false;
    }
    MYSQL_RES *result = _database->StoreResult();
    if (result == nullptr) {
        return false;
    }
    const bool complete = _database->AppendRows(result, rows, columns);
    _database->FreeResult(result);
    return complete;
}

std::string BdDatabaseOperation::EscapeString(const std::string &text) {
    return _bound ? _database->EscapeString(text) : std::string();
}

bool BdDatabaseOperation::BuildStatement(const std::string &sqlTemplate,
                                         const std::vector<std::string> *args,
                                         std::string &statement) {
    // Unbound, there is nothing to escape with; the statement then fails to run like on a closed
    // connection.
    if (args == nullptr || !_bound) {
        statement = sqlTemplate;
        return true;
    }
    return _database->CreateSQL(sqlTemplate, "?", *args, statement) == 0;
}

int BdDatabaseOperation::ReportFailedQuery(const std::string &statement) {
    BD_LOG(BD_LOG_ERROR, BD_SQL_QUERY_ERROR, "do database query failed, sql_sentence: " + statement,
           "Query");
    return BD_SQL_QUERY_ERROR;
}
