#ifndef RT_TOOLS_RT_PEER_OPTIONS_H_
#define RT_TOOLS_RT_PEER_OPTIONS_H_

#include <istream>
#include <ostream>
#include <string>

#include "rt_tools/rt_tool_command_line.h"

// Exit statuses of rt_peer, one per way a conversation with the router can end. Scripts rely on
// these numbers; they are listed in the help text and the manual page.
enum RtPeerExit {
    kRtPeerExitOk = 0,
    kRtPeerExitFailure = 1,     // a send or receive failed, or the stream was not packets
    kRtPeerExitUsage = 2,       // bad arguments
    kRtPeerExitRefused = 3,     // connection refused, or the host did not resolve
    kRtPeerExitTimeout = 4,     // no connection, no handshake answer, or too few packets in time
    kRtPeerExitNotReady = 5,    // the router answered "server not ready"
    kRtPeerExitTargetLost = 6,  // the router answered "target connection lost"
    kRtPeerExitClosed = 7,      // the router closed the connection
};

// The longest text a 40-byte UUID field carries.
constexpr size_t kRtPeerMaxUuidLen = 39;

// What one run of rt_peer is to do, as given on the command line.
struct RtPeerOptions {
    static constexpr int kWaitForever = -1;

    std::string host;
    int port = 0;
    int kind = 1;           // handshake kind; kRtPeerKindWeb for the web side
    std::string uuid;       // generated when not given
    std::string node_uuid;  // generated when not given
    int module_type = 0;
    int source_type = 0;      // 1 for the web side
    std::string target_uuid;  // empty: the server platform named by the handshake answer
    int target_type = 0;
    bool send = false;    // a payload was given
    std::string payload;  // normal packets: the compact JSON text; log packets: the raw data
    int log_kind = 0;     // 1 or 2 for log packets, 0 for normal packets
    int count = 1;
    int wait_seconds = kWaitForever;  // how long to stay connected after sending
    int expect = 0;                   // end after this many received packets (0: no limit)
    int timeout_seconds = 5;          // for the connect and the handshake answer
    int keepalive_seconds = 10;       // 0: never
    bool json = false;
    RtToolTls tls;
    bool help = false;  // show the help text and do nothing else
};

// The web side sends without a handshake; this kind selects it.
constexpr int kRtPeerKindWeb = 0;

class RtPeerCommandLine {
  public:
    // Fills options from argv, reading payloadInput when the payload is given as "-". Returns
    // kRtPeerExitOk, or kRtPeerExitUsage after writing the problem and the hint line to err. With
    // --help the rest of the line is not looked at and options->help is set.
    static int Parse(int argc, const char *const *argv, std::istream &payloadInput,
                     std::ostream &err, RtPeerOptions *options);
    static void ShowHelp(const std::string &programName, std::ostream &out);
};

#endif  // RT_TOOLS_RT_PEER_OPTIONS_H_
