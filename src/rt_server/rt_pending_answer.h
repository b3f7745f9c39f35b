#ifndef RT_SERVER_RT_PENDING_ANSWER_H_
#define RT_SERVER_RT_PENDING_ANSWER_H_

#include <cstdint>
#include <string>

// A handshake whose answer waits for its rows: the request is kept to build the answer from. An
// accepted connection keeps them in arrival order; an upgrade in place hands them to the new
// image with the connection. Plain values.
struct RtPendingAnswer {
    int kind = 0;  // the handshake kind, kBdHandShake...
    std::string uuid;
    std::string request;      // the handshake packet
    uint64_t ticket = 0;      // the record writer's
    bool done = false;        // the rows' outcome is in
    int32_t code = 0;         // that outcome
    bool over_quota = false;  // refused by the per-connection UUID quota, nothing written
};

#endif  // RT_SERVER_RT_PENDING_ANSWER_H_
