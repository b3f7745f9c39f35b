#include "bd_database/bd_database.h"

#include <errmsg.h>
#include <poll.h>

#include <cerrno>
#include <string>

#include "bd_common/bd_error.h"
#include "bd_common/bd_log.h"
#include "bd_common/bd_util.h"

BdDatabase g_database_conn;

namespace {

// Errors after which the server may simply not be up yet, so another attempt is worth making.
bool IsConnectionError(unsigned int error) {
    return error == CR_CONNECTION_ERROR || error == CR_CONN_HOST_ERROR ||
           error == CR_UNKNOWN_HOST || error == CR_SERVER_LOST;
}

// Whether the last of the left-to-right, non-overlapping occurrences of pattern ends the text.
bool EndsInPattern(const std::string &text, const std::string &pattern) {
    size_t end = std::string::npos;
    for (size_t at = text.find(pattern); at != std::string::npos;
         at = text.find(pattern, at + pattern.size())) {
        end = at + pattern.size();
    }
    return end == text.size();
}

thread_local int t_abortFd = -1;

// The client library's wait for its socket, which also gives up once the thread's abort
// descriptor is readable. Results as poll's: ready, 0 on time-out, -1 on failure.
int WaitForSocketOrAbort(my_socket socket, my_bool isRead, int timeoutMs) {
    pollfd fds[2] = {{socket, static_cast<short>(isRead ? POLLIN : POLLOUT), 0},
                     {t_abortFd, POLLIN, 0}};
    int ready = 0;
    do {
        ready = poll(fds, 2, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready > 0 && fds[1].revents != 0) {
        return -1;
    }
    return ready;
}

}  // namespace

void BdDatabase::AbortWaitsOnThisThreadWhenReadable(int fd) {
    t_abortFd = fd;
}

BdDatabase::~BdDatabase() {
    Destroy();
}

int BdDatabase::Init(const std::string &host, const std::string &user, const std::string &password,
                     const std::string &databaseName, int port, DatabaseType type) {
    if (_initialised || type != kMysql) {
        return 0;
    }
    for (int failures = 0; Open(host, user, password, databaseName, port, type) == 0;) {
        if (!IsConnectionError(_connectError) || ++failures > kMaxConnectRetries) {
            return 0;
        }
        BdUtil::BdSleep(kConnectRetryDelaySeconds);
    }
    return 1;
}

int BdDatabase::InitOnce(const std::string &host, const std::string &user,
                         const std::string &password, const std::string &databaseName, int port) {
    return _initialised ? 0 : Open(host, user, password, databaseName, port, kMysql);
}

int BdDatabase::Open(const std::string &host, const std::string &user, const std::string &password,
                     const std::string &databaseName, int port, DatabaseType type) {
    _connectError = Connect(host, user, password, databaseName, port);
    if (_connectError != 0) {
        return 0;
    }
    if (mysql_set_character_set(&_connection, "utf8") != 0) {
        _connectError = mysql_errno(&_connection);
        mysql_close(&_connection);
        return 0;
    }
    _host = host;
    _user = user;
    _password = password;
    _databaseName = databaseName;
    _port = port;
    _databaseType = type;
    _initialised = true;
    return 1;
}

unsigned int BdDatabase::Connect(const std::string &host, const std::string &user,
                                 const std::string &password, const std::string &databaseName,
                                 int port) {
    if (mysql_init(&_connection) == nullptr) {
        return CR_OUT_OF_MEMORY;
    }
    my_bool reconnect = _autoReconnect ? 1 : 0;
    unsigned int connectTimeout = kConnectTimeoutSeconds;
    unsigned int readTimeout = kReadTimeoutSeconds;
    unsigned int writeTimeout = kWriteTimeoutSeconds;
    bool optionsSet =
        mysql_options(&_connection, MYSQL_OPT_RECONNECT, &reconnect) == 0 &&
        mysql_options(&_connection, MYSQL_OPT_CONNECT_TIMEOUT, &connectTimeout) == 0 &&
        mysql_options(&_connection, MYSQL_OPT_READ_TIMEOUT, &readTimeout) == 0 &&
        mysql_options(&_connection, MYSQL_OPT_WRITE_TIMEOUT, &writeTimeout) == 0;
    if (optionsSet && t_abortFd >= 0) {
        optionsSet = mysql_optionsv(&_connection, MARIADB_OPT_IO_WAIT, WaitForSocketOrAbort) == 0;
    }
    if (!optionsSet) {
        mysql_close(&_connection);
        return CR_UNKNOWN_ERROR;
    }
    if (mysql_real_connect(&_connection, host.c_str(), user.c_str(), password.c_str(),
                           databaseName.c_str(), static_cast<unsigned int>(port), nullptr,
                           _clientFlags) == nullptr) {
        unsigned int error = mysql_errno(&_connection);
        PrintLastError();
        mysql_close(&_connection);
        return error;
    }
    return 0;
}

int BdDatabase::Destroy() {
    if (!_initialised) {
        return 0;
    }
    mysql_close(&_connection);
    _host.clear();
    _user.clear();
    _password.clear();
    _databaseName.clear();
    _port = 0;
    _databaseType = kMysql;
    _initialised = false;
    return 1;
}

int BdDatabase::Query(const std::string &sql) {
    if (!_initialised || sql.empty()) {
        return 0;
    }
    if (mysql_real_query(&_connection, sql.data(), sql.size()) != 0) {
        PrintLastError();
        return 0;
    }
    return 1;
}

std::string BdDatabase::EscapeString(const std::string &text) {
    if (text.empty()) {
        return std::string();
    }
    std::string escaped(2 * text.size() + 1, '\0');
    unsigned long length = 0;
    if (_initialised) {
        length = mysql_real_escape_string(&_connection, &escaped[0], text.data(), text.size());
    } else {
        // Without a connection the library escapes with its default character set, which it sets
        // up only once initialised (repeated calls are harmless).
        mysql_library_init(0, nullptr, nullptr);
        length = mysql_escape_string(&escaped[0], text.data(), text.size());
    }
    // (unsigned long)-1 reports a character set the library cannot escape in.
    if (length == static_cast<unsigned long>(-1)) {
        return std::string();
    }
    escaped.resize(length);
    return escaped;
}

int BdDatabase::CreateSQL(const std::string &sqlTemplate, const std::string &pattern,
                          const std::vector<std::string> &args, std::string &sql) {
    if (sqlTemplate.empty() || pattern.empty()) {
        return BD_PARAMETER_INVALID;
    }
    std::vector<std::string> pieces;
    BdUtil::SplitStringByPattern(sqlTemplate, pattern, pieces);
    // Text after the last placeholder is a piece of its own, so it may follow the last argument or
    // take one more. A template ending in a placeholder has no such piece: one argument fewer
    // would drop that placeholder from the statement.
    bool fits = pieces.size() == args.size() ||
                (pieces.size() == args.size() + 1 && !EndsInPattern(sqlTemplate, pattern));
    if (!fits) {
        return BD_PARAMETER_INVALID;
    }
    std::string statement;
    for (size_t i = 0; i < args.size(); ++i) {
        statement += pieces[i];
        statement += EscapeString(args[i]);
    }
    if (pieces.size() > args.size()) {
        statement += pieces.back();
    }
    sql.swap(statement);
    return 0;
}

MYSQL_RES *BdDatabase::StoreResult() {
    if (!_initialised) {
        return nullptr;
    }
    return mysql_store_result(&_connection);
}

uint64_t BdDatabase::NumRows(MYSQL_RES *result) {
    return result == nullptr ? UINT64_MAX : mysql_num_rows(result);
}

uint32_t BdDatabase::NumFields(MYSQL_RES *result) {
    return result == nullptr ? UINT32_MAX : mysql_num_fields(result);
}

MYSQL_ROW BdDatabase::FetchRow(MYSQL_RES *result) {
    return result == nullptr ? nullptr : mysql_fetch_row(result);
}

void BdDatabase::FreeResult(MYSQL_RES *result) {
    mysql_free_result(result);
}

size_t BdDatabase::RunStatements(const std::string &sql,
                                 std::vector<std::vector<std::vector<std::string>>> *results,
                                 std::vector<std::vector<std::string>> *columns) {
    if (Query(sql) == 0) {
        return 0;
    }
    size_t ran = 0;
    for (;;) {
        results->emplace_back();
        if (columns != nullptr) {
            columns->emplace_back();
        }
        MYSQL_RES *result = mysql_store_result(&_connection);
        if (result != nullptr) {
            const bool complete = AppendRows(result, &results->back(),
                                             columns != nullptr ? &columns->back() : nullptr);
            mysql_free_result(result);
            if (!complete) {
                return ran;
            }
        } else if (mysql_field_count(&_connection) != 0) {
            return ran;  // a result set that could not be stored
        }
        ++ran;
        const int next = mysql_next_result(&_connection);
        if (next < 0) {
            return ran;
        }
        if (next > 0) {
            PrintLastError();
            return ran;
        }
    }
}

bool BdDatabase::AppendRows(MYSQL_RES *result, std::vector<std::vector<std::string>> *rows,
                            std::vector<std::string> *columns) {
    const uint64_t count = mysql_num_rows(result);
    const uint32_t fields = mysql_num_fields(result);
    const MYSQL_FIELD *names = mysql_fetch_fields(result);
    for (uint32_t f = 0; columns != nullptr && f < fields; ++f) {
        columns->emplace_back(names[f].name);
    }
    for (uint64_t i = 0; i < count; ++i) {
        MYSQL_ROW row = mysql_fetch_row(result);
        if (row == nullptr) {
            return false;
        }
        std::vector<std::string> values;
        values.reserve(fields);
        for (uint32_t f = 0; f < fields; ++f) {
            values.emplace_back(row[f] != nullptr ? row[f] : "");
        }
        rows->push_back(std::move(values));
    }
    return true;
}

unsigned int BdDatabase::LastErrorNumber() {
    return _initialised ? mysql_errno(&_connection) : _connectError;
}

bool BdDatabase::HasResultSet() {
    return _initialised && mysql_field_count(&_connection) > 0;
}

void BdDatabase::PrintLastError() {
    BdLog::GetLogger()->WriteStdoutLine(
        {"errno: ", std::to_string(mysql_errno(&_connection)), "  ", mysql_error(&_connection)});
}
