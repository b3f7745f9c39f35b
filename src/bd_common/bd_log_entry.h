// The one way this system writes a log entry. A source file that logs names itself once, at
// namespace scope:
//   BD_LOG_SOURCE_FILE("rt_server_accepted_connection");
// and writes every entry with
//   BD_LOG(BD_LOG_ERROR, BD_SQL_QUERY_ERROR, "update database for client failed",
//          "HandleClientHandShakePacket");
// The function is the one the entry is documented under, which log readers match on: the handler
// a reader knows, never whatever helper the code happens to be factored into. An entry with a
// function carries the file, the line of the call and the function; an entry without one, as
// every debug entry is written, carries the message alone (BD_LOG(BD_LOG_DEBUG, 0, message, "")).
//
// Any thread, as BdLog::WriteLocalLog.
#ifndef BD_COMMON_BD_LOG_ENTRY_H_
#define BD_COMMON_BD_LOG_ENTRY_H_

#include <string>

#include "bd_common/bd_log.h"

#define BD_LOG_SOURCE_FILE(name)              \
    namespace {                               \
    constexpr char kBdLogSourceFile[] = name; \
    }

#define BD_LOG(level, code, message, function) \
    BdLogEntry((level), (code), (message), kBdLogSourceFile, __LINE__, (function))

// What BD_LOG expands to; call BD_LOG, so that the file and the line are the caller's.
inline int BdLogEntry(int level, int code, const std::string &message, const char *file, int line,
                      const char *function) {
    if (function[0] == '\0') {
        return BdLog::GetLogger()->WriteLocalLog(level, message, code, "", 0, "");
    }
    return BdLog::GetLogger()->WriteLocalLog(level, message, code, file, line, function);
}

#endif  // BD_COMMON_BD_LOG_ENTRY_H_
