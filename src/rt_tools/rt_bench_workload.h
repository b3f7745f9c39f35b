#ifndef RT_TOOLS_RT_BENCH_WORKLOAD_H_
#define RT_TOOLS_RT_BENCH_WORKLOAD_H_

#include <string>
#include <vector>

#include "rt_tools/rt_bench_record.h"
#include "rt_tools/rt_bench_router.h"
#include "rt_tools/rt_peer_tls.h"
#include "rt_tools/rt_tool_command_line.h"

// Exit statuses of rt_bench; listed in its help text and manual page.
enum RtBenchExit {
    kRtBenchExitOk = 0,
    kRtBenchExitFailed = 1,  // a run lost, corrupted or reordered packets, or hit its time bound
    kRtBenchExitUsage = 2,   // bad arguments
    kRtBenchExitSetup = 3,   // the router or the database could not be reached or started
};

// What one benchmark run is to do. Zero means "the workload's default" for peers, messages,
// payload_size and window.
struct RtBenchSettings {
    std::string workload;  // one of RtBenchWorkload::Names()
    int peers = 0;
    int messages = 0;
    int payload_size = 0;
    int window = 0;
    int time_bound_seconds = 120;
    int db_delay_ms = 0;        // dbstorm: added to every database round trip
    int db_freeze_seconds = 0;  // dbstorm: the database answers nothing this long
    std::string router_binary;
    RtRouterDatabase database;
    std::string work_dir = "/var/tmp";
    // Peers speak TLS to the router's TLS port; certificate_file and key_file are the router's,
    // ca_file what the peers verify it by.
    RtToolTls tls;
    // When set, each run also writes its series there, for charts: WORKLOAD-RUN.latency_us (every
    // ping-pong round trip, one a line) and WORKLOAD-RUN.timeline (crowds: seconds from the first
    // connect and handshakes answered, one line per answer; a blank pair of lines; then seconds
    // and rows online, one line per count of the database).
    std::string series_dir;
};

// With settings.tls on: the router's TLS listener (any free port, settings' certificate and key)
// and the peers' context (verifying the router by settings' CA when one is given). false with
// *error when the peers' files cannot be loaded; nothing to do without TLS.
bool RtBenchTlsSetup(const RtBenchSettings &settings, RtRouterTls *router, RtPeerTlsContext *peers,
                     std::string *error);

// Runs one workload against a freshly started router and fills the run's record:
//   fanin     N clients send to the server platform;
//   pairs     N/2 pairs of clients send to each other;
//   pingpong  N clients each keep one request to the server platform outstanding, which answers;
//   large     fan-in with 256 KiB payloads;
//   storm     N clients connect and hand-shake at once: time until all are answered and all
//             their rows are online in the database;
//   idle      N clients connect, hand-shake and stay idle: the router's resident memory per peer;
//   dbstorm   the storm with the database slowed or frozen behind a proxy, while a ping-pong pair
//             talks on the plain port: the pair's longest pause (rt_bench_db_storm.h); with
//             --tls the crowd hand-shakes over TLS;
//   bigslow   N clients send 60 MiB packets to readers taking 1 MiB/s beside a ping-pong pair:
//             the router's peak memory against the budget's bound (rt_bench_big_slow.h).
// The router's CPU time and peak resident memory are taken from /proc for the run. One thread.
class RtBenchWorkload {
  public:
    static const std::vector<std::string> &Names();

    // kRtBenchExitOk when the run completed and verified; otherwise kRtBenchExitFailed or
    // kRtBenchExitSetup, and *error says what went wrong (the record holds what was measured
    // until then).
    static int Run(const RtBenchSettings &settings, int runNumber, RtBenchRecord *record,
                   std::string *error);
};

#endif  // RT_TOOLS_RT_BENCH_WORKLOAD_H_
