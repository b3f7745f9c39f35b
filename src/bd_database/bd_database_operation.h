#ifndef BD_DATABASE_BD_DATABASE_OPERATION_H_
#define BD_DATABASE_BD_DATABASE_OPERATION_H_

#include <string>
#include <vector>

class BdDatabase;

// Base of every group of queries: turns a template with '?' placeholders and its arguments into
// one statement, runs it on a BdDatabase and, for queries, returns the whole result as rows of
// strings (one string per column in result order, NULL as the empty string).
//
// Binding never opens anything and the database is not owned: it must outlive the binding. The
// same thread rules as the bound BdDatabase apply (one statement at a time; the router's main
// thread only).
class BdDatabaseOperation {
  public:
    typedef std::vector<std::vector<std::string> > Rows;

    BdDatabaseOperation() = default;
    virtual ~BdDatabaseOperation() = default;
    BdDatabaseOperation(const BdDatabaseOperation &) = delete;
    BdDatabaseOperation &operator=(const BdDatabaseOperation &) = delete;

    // false for a null database; otherwise remembers it and returns true.
    bool Init(BdDatabase *database);
    // false when not bound; otherwise forgets the database and returns true.
    bool Destroy();

    // For statements without a result set (UPDATE, INSERT). With args null the template is run
    // unchanged. Returns 0; BD_SQL_INVALID when the arguments do not fit the template,
    // nothing run; BD_SQL_QUERY_ERROR when the statement failed, logged with its full text.
    int Query(const std::string &sqlTemplate, const std::vector<std::string> *args);
    // For SELECT: as above, with every row appended to rows. No matching row is success.
    int Query(const std::string &sqlTemplate, const std::vector<std::string> *args, Rows *rows);

    // Runs a complete statement: true when sql is not empty and ran. A result set it produces
    // anyway is discarded, so the next statement finds the connection in step.
    bool QueryInternal(const std::string &sql);
    // Runs a complete statement and appends its rows; false when it failed, produced no result
    // set, or a row could not be fetched (rows read before that stay appended). columns, when
    // given, gets the result's column names.
    bool QueryInternal(const std::string &sql, Rows *rows,
                       std::vector<std::string> *columns = nullptr);

    std::string EscapeString(const std::string &text);

    // The statement Query would run; false when the arguments do not fit the template.
    bool BuildStatement(const std::string &sqlTemplate, const std::vector<std::string> *args,
                        std::string &statement);
    // Logs a statement that failed with its full text, as Query does; returns BD_SQL_QUERY_ERROR.
    int ReportFailedQuery(const std::string &statement);

  private:
    BdDatabase *_database = nullptr;  // not owned
    bool _bound = false;
};

#endif  // BD_DATABASE_BD_DATABASE_OPERATION_H_
