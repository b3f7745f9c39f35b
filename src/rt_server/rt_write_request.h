#ifndef RT_SERVER_RT_WRITE_REQUEST_H_
#define RT_SERVER_RT_WRITE_REQUEST_H_

#include <cstdint>
#include <string>
#include <vector>

#include "bd_database/bd_peer_records.h"
#include "bd_netframwork/bd_packet.h"

// The rows one handshake writes: a client its agent; a module server its node, then its module
// server row; the server platform its module server row. kind is the handshake kind
// (kBdHandShakeClient, kBdHandShakeModuleServer, kBdHandShakeServerPlatform).
struct RtPeerRows {
    int kind = 0;
    BdAgent agent;
    BdNode node;
    BdModuleServer server;
};

// The UUID a handshake's rows are bound and marked offline under: the agent's for a client, the
// module server's for the other kinds.
inline const std::string &RtPeerUuid(const RtPeerRows &rows) {
    return rows.kind == kBdHandShakeClient ? rows.agent.agent_uuid : rows.server.module_uuid;
}

// One piece of work for the database writer, in the order the event loop asked for it: a peer's
// rows to write online (answered under its ticket), or UUIDs to mark offline. Plain values, moved
// from the event loop to the writer's thread.
struct RtWriteRequest {
    enum Kind { kPeer, kOffline };
    // The ticket of a peer's rows written again without an answer: a peer back after an offline
    // mark the database may have applied before it went away.
    static constexpr uint64_t kNoAnswer = 0;
    Kind kind = kPeer;
    uint64_t ticket = 0;
    RtPeerRows rows;
    std::vector<std::string> uuids;
};

// The outcome of one peer request: 0 written, else the failing write's code.
struct RtWriteResult {
    uint64_t ticket;
    int code;
};

// A session of the writer on a server instance.
struct RtWriterSession {
    unsigned long id = 0;
    std::string server;  // host name and port
    long started = 0;    // the server's start, Unix seconds
};

// What the writer has not finished when the process executes a new image of itself (an upgrade
// in place), for the new image's writer to finish as the old one would have: the outcomes decided
// and not yet called back, then the requests to run, in the order they were asked for (those
// running at the moment first: they run again, since the old image's statements may or may not
// have gone through); the sessions that may still apply statements sent before, to be ended
// before anything is written; and the spellings refused for connected peers.
struct RtWriterBacklog {
    uint64_t next_ticket = 1;
    std::vector<RtWriteResult> results;
    std::vector<RtWriteRequest> requests;
    std::vector<RtWriterSession> stale_sessions;
    std::vector<std::string> refused_spellings;
};

#endif  // RT_SERVER_RT_WRITE_REQUEST_H_
