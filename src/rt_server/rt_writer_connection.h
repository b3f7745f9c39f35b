#ifndef RT_SERVER_RT_WRITER_CONNECTION_H_
#define RT_SERVER_RT_WRITER_CONNECTION_H_

#include <cstddef>
#include <string>
#include <vector>

#include "bd_database/bd_database.h"
#include "rt_server/rt_database_operation.h"
#include "rt_server/rt_write_request.h"

// Where the writer's database connections go.
struct RtDatabaseAddress {
    std::string host;
    std::string user;
    std::string password;
    std::string name;
    int port = 0;
};

// One connection of the database writer, and what it knows of its session on the server.
//
// Threads. One writer thread owns it and makes every call; it is opened with that thread's abort
// descriptor (BdDatabase::AbortWaitsOnThisThreadWhenReadable), so a stop ends its waits at once.
class RtWriterConnection {
  public:
    using Session = RtWriterSession;

    explicit RtWriterConnection(const RtDatabaseAddress &address);
    RtWriterConnection(const RtWriterConnection &) = delete;
    RtWriterConnection &operator=(const RtWriterConnection &) = delete;

    // Drops the open connection, opens a fresh one and asks the server who it is: true once it
    // answers statements.
    bool Open();
    bool IsOpen() const { return _open; }
    // The database went away: the next use opens a fresh connection.
    void Lost() { _open = false; }
    // The session of the open (or last) connection.
    const Session &Current() const { return _session; }
    // Ends stale, if it still runs on the server this connection is on, so that nothing it was
    // sent can be applied after what is written from now on; false when the server could not be
    // asked.
    bool EndSession(const Session &stale);
    // One run of batch (RtRecordBatch::Run); false when the database went away, and then the
    // session may still run what it was sent. refused gets the UUIDs refused for another
    // spelling of their key.
    bool Run(const std::vector<RtWriteRequest> &batch, std::vector<RtWriteResult> *results,
             std::vector<std::string> *refused);
    // One statement over the open connection: true when the database answered it.
    bool Ask();
    // Whether the last failure was the connection lost (2006, 2013) rather than the server's
    // refusal or a time-out's.
    bool LastFailureLostTheConnection();
    // Reports the peers' handshakes as their first lookup failing.
    void ReportUnwritten(const std::vector<RtPeerRows> &peers);

  private:
    const RtDatabaseAddress _address;
    BdDatabase _database;
    RtDatabaseOperation _operation;
    size_t _maxStatementBytes;
    bool _open = false;
    Session _session;
};

#endif  // RT_SERVER_RT_WRITER_CONNECTION_H_
