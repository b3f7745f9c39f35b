#ifndef BD_DATABASE_BD_DATABASE_H_
#define BD_DATABASE_BD_DATABASE_H_

#include <mysql.h>

#include <cstdint>
#include <string>
#include <vector>

// One MySQL client connection with the credentials it was opened with, and the single statements
// run over it.
//
// Threads: no lock and one connection. A statement and the fetching of its result must not
// interleave with another statement on the same object; the router uses it from the main thread
// only. Not copyable: the client library's handle is embedded in this very object and may not move.
//
// After the server drops the connection, the client library reconnects by itself on a later
// statement (the statement that finds the connection lost may fail); this class never reconnects
// or re-runs Init on its own.
class BdDatabase {
  public:
    enum DatabaseType { kMysql = 0 };

    // A server that stops answering (rather than refusing) must not freeze the caller for longer
    // than this at any one step: connecting, sending a statement or waiting for its answer.
    static constexpr unsigned int kConnectTimeoutSeconds = 10;
    static constexpr unsigned int kReadTimeoutSeconds = 10;
    static constexpr unsigned int kWriteTimeoutSeconds = 10;

    // Connection attempts of one Init that end in a connection error: the first and at most this
    // many retries, this far apart.
    static constexpr int kMaxConnectRetries = 5;
    static constexpr unsigned int kConnectRetryDelaySeconds = 3;

    BdDatabase() = default;
    ~BdDatabase();
    BdDatabase(const BdDatabase &) = delete;
    BdDatabase &operator=(const BdDatabase &) = delete;

    // Opens the connection with automatic reconnect and the "utf8" character set. Connection errors
    // are retried as described above; each failed attempt writes an "errno: " line to standard
    // output. Returns 1 when connected; 0 when already open, type is not kMysql (nothing is
    // touched), or the connection failed.
    int Init(const std::string &host, const std::string &user, const std::string &password,
             const std::string &databaseName, int port, DatabaseType type);
    // One connection attempt with the same options and time-outs as Init, without its retries and
    // pauses: for a caller that keeps trying on its own schedule. Same results as Init.
    int InitOnce(const std::string &host, const std::string &user, const std::string &password,
                 const std::string &databaseName, int port);
    // Closes the connection and forgets the credentials. 1 closed, 0 not open.
    int Destroy();

    // For the calling thread's connections opened from now on: while fd is readable (an eventfd
    // an owner that stops bumps), every wait of theirs on the server (connecting, sending, reading
    // an answer) fails at once, as if the connection broke. -1, the default, for none.
    static void AbortWaitsOnThisThreadWhenReadable(int fd);

    // Options for the next Init, kept across Destroy. A connection that sends several statements
    // at once needs multi-statements; one that must see every lost connection (an open transaction
    // would silently end with it) turns the automatic reconnect off and reconnects itself.
    void EnableMultiStatements() { _clientFlags |= CLIENT_MULTI_STATEMENTS; }
    void DisableAutoReconnect() { _autoReconnect = false; }

    // Runs statements sent as one text (multi-statements enabled) and appends one entry per
    // statement that ran: its rows (NULL as the empty string), none for statements without a
    // result set; and, when columns is given, one entry of its column names. Statements after a
    // failing one are not run. Returns how many ran; LastErrorNumber then tells why the next one
    // did not (0 when all ran).
    size_t RunStatements(const std::string &sql,
                         std::vector<std::vector<std::vector<std::string>>> *results,
                         std::vector<std::vector<std::string>> *columns = nullptr);
    // The client's error number of the last statement or connection attempt; 0 for success.
    unsigned int LastErrorNumber();

    // Runs one statement. 1 ran; 0 when not open, sql is empty or the statement failed (the
    // client's error number and text then go to standard output).
    int Query(const std::string &sql);

    // The text escaped for use between single quotes in a statement, under the connection's
    // character set. Safe before Init as well: it then escapes without a character set.
    std::string EscapeString(const std::string &text);

    // Builds sql from sqlTemplate by replacing each occurrence of pattern, left to right, with the
    // next escaped argument. The template must quote its placeholders itself. Templates with text
    // after the last placeholder also accept one extra argument, appended escaped after that text.
    // Returns 0, or 4 (Parameter invalid) for an empty template or pattern or a wrong argument
    // count, leaving sql unchanged.
    int CreateSQL(const std::string &sqlTemplate, const std::string &pattern,
                  const std::vector<std::string> &args, std::string &sql);

    // Result sets of the last statement. The caller owns a stored result and frees it with
    // FreeResult. A null result gives all ones from NumRows and NumFields and null from FetchRow.
    MYSQL_RES *StoreResult();
    uint64_t NumRows(MYSQL_RES *result);
    uint32_t NumFields(MYSQL_RES *result);
    MYSQL_ROW FetchRow(MYSQL_RES *result);
    void FreeResult(MYSQL_RES *result);

    // Appends the rows of a stored result as text (NULL as the empty string), and its column names
    // to columns when given; false when a row could not be fetched (the rows before it stay
    // appended).
    bool AppendRows(MYSQL_RES *result, std::vector<std::vector<std::string>> *rows,
                    std::vector<std::string> *columns = nullptr);

    // Whether the last statement produced a result set (which must be stored and freed before the
    // next statement).
    bool HasResultSet();

  private:
    // Connect and the character set, storing what Init stores; 1 or 0.
    int Open(const std::string &host, const std::string &user, const std::string &password,
             const std::string &databaseName, int port, DatabaseType type);
    // One connection attempt with all options set afresh (a failed attempt may drop the options of
    // the handle). Returns 0, or the client's error number after closing the handle again.
    unsigned int Connect(const std::string &host, const std::string &user,
                         const std::string &password, const std::string &databaseName, int port);
    // Writes "errno: <number>  <text>" for the connection's last error to standard output.
    void PrintLastError();

    MYSQL _connection{};
    std::string _host;
    std::string _user;
    std::string _password;
    std::string _databaseName;
    int _port = 0;
    DatabaseType _databaseType = kMysql;
    bool _initialised = false;
    unsigned long _clientFlags = 0;
    bool _autoReconnect = true;
    // Error of the last connection attempt, which closes the handle it came from.
    unsigned int _connectError = 0;
};

// The process's only database connection, opened at start-up and used from the main thread.
extern BdDatabase g_database_conn;

#endif  // BD_DATABASE_BD_DATABASE_H_
