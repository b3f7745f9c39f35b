#ifndef RT_SERVER_RT_DATABASE_OPERATION_H_
#define RT_SERVER_RT_DATABASE_OPERATION_H_

#include <functional>
#include <list>
#include <string>
#include <vector>

#include "bd_database/bd_database_operation.h"
#include "bd_database/bd_peer_records.h"
#include "rt_server/rt_write_request.h"

// The router's writes of its peers' online state to bd_agent, bd_module_server and bd_node. Rows
// are created at a peer's first handshake and never deleted; online_flag is 1 online, 2 offline.
//
// Bind with Init before use; the same thread rules as BdDatabaseOperation: one thread at a time
// (the router's start-up on the main thread, then the database writer's thread, each with its own
// connection). Results: 0, 4 (Parameter invalid) for a missing key, RT_DATABASE_OPERATION_ERROR for
// any failed statement (already logged with its text). A failure part-way keeps the statements
// that ran before it.
//
// The statement builders give the very texts the five operations run, so that a caller sending
// many of them at once leaves the rows exactly as the operations would.
class RtDatabaseOperation : public BdDatabaseOperation {
  public:
    // Every agent and module server offline: no peer can be connected before the router listens.
    int RtSetAllAgentAndModuleServerOffline();
    // The given UUIDs offline in both bd_agent and bd_module_server (the list does not say which
    // kind of peer each was), one statement per table. Empties the list; an empty list runs
    // nothing.
    int RtSetAgentAndModuleServerOffline(std::list<std::string> &uuids);
    // Inserts or refreshes the agent's row and marks it online.
    int RtUpdateClientOnline(const BdAgent &agent);
    // Inserts or refreshes the module server's row and marks it online; an existing row keeps its
    // registration time.
    int RtUpdateModuleServerOnline(const BdModuleServer &server);
    // Inserts or refreshes the node's row (nodes carry no online flag).
    int RtUpdateNodeInfo(const BdNode &node);

    // The SELECT that tells whether the record's row exists.
    std::string AgentLookup(const BdAgent &agent);
    std::string ModuleServerLookup(const BdModuleServer &server);
    std::string NodeLookup(const BdNode &node);
    // The INSERT (row missing) or UPDATE (row found) that writes the record.
    std::string AgentWrite(const BdAgent &agent, bool found);
    std::string ModuleServerWrite(const BdModuleServer &server, bool found);
    std::string NodeWrite(const BdNode &node, bool found);
    // The two statements that mark uuids offline, bd_agent's first; uuids must not be empty.
    std::vector<std::string> OfflineStatements(const std::vector<std::string> &uuids);

    // Whether every row a lookup found holds uuid in column byte for byte: a table that compares
    // keys loosely (case, trailing spaces) finds another peer's row for another spelling, which
    // must not be written over. Logs the refusal. A result without the column has nothing to
    // compare.
    static bool SameKey(const std::string &column, const std::string &uuid,
                        const std::vector<std::string> &columns, const Rows &rows);

    // A failed lookup of the rows of a handshake of kind (kBdHandShake...), reported as the
    // operations report it whoever ran it: the statement in the log and, for an agent, the line
    // on standard error. Returns RT_DATABASE_OPERATION_ERROR.
    int LookupFailed(int kind, const std::string &lookup);
    // The rows of a handshake that could not be written because the database is away, reported as
    // the failed lookup that starts their writes; nothing for a missing key, which runs nothing.
    void ReportUnwritten(const RtPeerRows &rows);

  private:
    // Looks up uuid, the key in column, and writes the row: write(found) is the statement. A
    // failed lookup is reported as the operations report it; a row of another spelling of uuid
    // writes nothing.
    int LookUpAndWrite(int kind, const std::string &lookup, const char *column,
                       const std::string &uuid, const std::function<std::string(bool)> &write);
    // Runs a complete write statement; 0 or RT_DATABASE_OPERATION_ERROR.
    int Write(const std::string &statement);
    // The statement of a template and its arguments.
    std::string Build(const char *sqlTemplate, const std::vector<std::string> &args);
};

#endif  // RT_SERVER_RT_DATABASE_OPERATION_H_
