#ifndef RT_SERVER_RT_SERVER_HANDOVER_H_
#define RT_SERVER_RT_SERVER_HANDOVER_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "rt_server/rt_pending_answer.h"
#include "rt_server/rt_write_request.h"

// What a router hands to the new image it executes in its own process (SIGUSR2), so that no peer
// notices: the listening sockets; every plain connection with its UUID bindings, deadline, the
// bytes read but not yet handled, its queued packets (the front one perhaps partly sent) and the
// handshakes waiting for their answers, each with the slot its answer takes on the queue; and
// what the database writer has not finished. Descriptors are numbers valid in the same process
// across exec.
//
// The encoding is versioned and checked: a magic, the version, the payload's length and a
// checksum of it come first, and the decoder refuses anything it does not understand (another
// version, a short or damaged payload, a value out of range, a descriptor named twice), so that
// the new image falls back to a fresh start rather than serve from a state it misreads. Plain
// values; any thread.
struct RtHandoverConnection {
    int fd = -1;
    uint32_t address = 0;  // the peer's IPv4 address as accepted, network order; 0: unknown
    int peer_kind = 0;     // RtPeerKind
    int64_t deadline = 0;  // wall-clock second at which the idle reaper takes it
    int64_t start_second = 0;
    std::vector<std::pair<std::string, bool>> uuids;  // in binding order; true: bound as web side
    std::string held_input;                           // read, not handled yet
    // Whole packets, oldest first; an empty entry is the slot of the oldest answer not yet taken.
    std::vector<std::string> queued;
    int32_t sent_of_front = 0;             // bytes of queued[0] already sent
    std::vector<RtPendingAnswer> answers;  // in arrival order, one slot each
};

struct RtHandoverState {
    static constexpr uint32_t kVersion = 2;
    int plain_listen_fd = -1;   // -1 when the plain listener is off
    int tls_listen_fd = -1;     // -1 without a TLS listener
    std::string platform_uuid;  // the registered server platform; empty while not ready
    std::vector<RtHandoverConnection> connections;
    RtWriterBacklog writer;
};

// The encoding's length, and the encoding written at out (that many bytes): a state of hundreds
// of MiB of queued packets goes straight into the memory file that carries it.
size_t RtHandoverLength(const RtHandoverState &state);
void RtEncodeHandoverInto(const RtHandoverState &state, char *out);
std::string RtEncodeHandover(const RtHandoverState &state);
// payload behind a header that is right for it (magic, the version, length, checksum): how tests
// write a payload of their own.
std::string RtSealHandoverPayload(const std::string &payload,
                                  uint32_t version = RtHandoverState::kVersion);
// false, with *why saying what was not understood, unless the size bytes at bytes are a whole,
// intact state of this version with every value in range.
bool RtDecodeHandover(const char *bytes, size_t size, RtHandoverState *state, std::string *why);
inline bool RtDecodeHandover(const std::string &bytes, RtHandoverState *state, std::string *why) {
    return RtDecodeHandover(bytes.data(), bytes.size(), state, why);
}

#endif  // RT_SERVER_RT_SERVER_HANDOVER_H_
