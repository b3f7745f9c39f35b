#include "rt_server/rt_writer_connection.h"

#include <errmsg.h>
#include <mysqld_error.h>

#include <algorithm>
#include <cstdlib>

#include "rt_server/rt_record_batch.h"

namespace {

// Tells a server that answers statements from one that only accepts connections, reads the
// largest text it takes, and names this session and the server instance it runs on (the server's
// start time tells a restarted server, whose session numbers begin again, from the same one).
const char kProbeStatements[] =
    "SELECT @@max_allowed_packet;SELECT 1 FROM bd_agent LIMIT 0;"
    "SELECT CONNECTION_ID(), CONCAT(@@hostname, ':', @@port), UNIX_TIMESTAMP();"
    "SHOW GLOBAL STATUS LIKE 'Uptime'";
const size_t kProbeStatementCount = 4;
// How far apart two readings of one server's start time may be (each is whole seconds).
const long kStartTimeSlackSeconds = 2;
const char kAskStatement[] = "SELECT 1";

using Results = std::vector<std::vector<std::vector<std::string>>>;

}  // namespace

RtWriterConnection::RtWriterConnection(const RtDatabaseAddress &address)
    : _address(address), _maxStatementBytes(RtRecordBatch::kMaxStatementBytes) {
    _database.EnableMultiStatements();
    // A lost connection must end the open transaction visibly, not be replaced behind its back.
    _database.DisableAutoReconnect();
    _operation.Init(&_database);
}

bool RtWriterConnection::Open() {
    _open = false;
    _database.Destroy();
    if (_database.InitOnce(_address.host, _address.user, _address.password, _address.name,
                           _address.port) != 1) {
        return false;
    }
    Results rows;
    if (_database.RunStatements(kProbeStatements, &rows) != kProbeStatementCount) {
        return false;
    }
    const unsigned long serverLimit = rows[0].empty() || rows[0][0].empty()
                                          ? 0
                                          : std::strtoul(rows[0][0][0].c_str(), nullptr, 10);
    _maxStatementBytes = serverLimit > 0
                             ? std::min<size_t>(serverLimit, RtRecordBatch::kMaxStatementBytes)
                             : RtRecordBatch::kMaxStatementBytes;
    Session session;
    if (rows[2].size() == 1 && rows[2][0].size() == 3 && rows[3].size() == 1 &&
        rows[3][0].size() == 2) {
        session.id = std::strtoul(rows[2][0][0].c_str(), nullptr, 10);
        session.server = rows[2][0][1];
        session.started = std::strtol(rows[2][0][2].c_str(), nullptr, 10) -
                          std::strtol(rows[3][0][1].c_str(), nullptr, 10);
    }
    _session = session;
    _open = true;
    return true;
}

bool RtWriterConnection::EndSession(const Session &stale) {
    const bool sameServer = stale.id != 0 && stale.id != _session.id &&
                            stale.server == _session.server &&
                            std::labs(stale.started - _session.started) <= kStartTimeSlackSeconds;
    if (!sameServer) {
        return true;  // another server, or a restarted one: the session is gone with it
    }
    const std::string id = std::to_string(stale.id);
    Results rows;
    if (_database.RunStatements(
            "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = " + id, &rows) != 1) {
        return false;
    }
    if (rows[0].empty() || rows[0][0].empty() || rows[0][0][0] == "0") {
        return true;
    }
    rows.clear();
    // Another of the writer's connections may have ended it in between.
    return _database.RunStatements("KILL CONNECTION " + id, &rows) == 1 ||
           _database.LastErrorNumber() == ER_NO_SUCH_THREAD;
}

bool RtWriterConnection::Run(const std::vector<RtWriteRequest> &batch,
                             std::vector<RtWriteResult> *results,
                             std::vector<std::string> *refused) {
    RtRecordBatch run(&_database, &_operation, _maxStatementBytes);
    if (!run.Run(batch, results)) {
        return false;
    }
    refused->insert(refused->end(), run.Refused().begin(), run.Refused().end());
    return true;
}

bool RtWriterConnection::Ask() {
    Results rows;
    return _open && _database.RunStatements(kAskStatement, &rows) == 1;
}

bool RtWriterConnection::LastFailureLostTheConnection() {
    // The server went away (2006) or the connection broke during a statement (2013).
    const unsigned int error = _database.LastErrorNumber();
    return error == CR_SERVER_GONE_ERROR || error == CR_SERVER_LOST;
}

void RtWriterConnection::ReportUnwritten(const std::vector<RtPeerRows> &peers) {
    for (const RtPeerRows &rows : peers) {
        _operation.ReportUnwritten(rows);
    }
}
