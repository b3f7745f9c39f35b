#ifndef RT_TOOLS_RT_BENCH_DB_STORM_H_
#define RT_TOOLS_RT_BENCH_DB_STORM_H_

#include <string>

#include "rt_tools/rt_bench_record.h"
#include "rt_tools/rt_bench_workload.h"
#include "rt_tools/rt_peer_client.h"

// Hand-shakes uuid as kind on a blocking client connected to 127.0.0.1:port; false unless the
// answer is success. For the workloads that drive blocking clients, one thread each.
bool RtBenchRegister(RtPeerClient *client, int port, int kind, const std::string &uuid);

// The dbstorm workload: the router's database behind a delay proxy (settings.db_delay_ms added to
// every round trip, or frozen for settings.db_freeze_seconds from the storm's start), a ping-pong
// pair exchanging packets without pause, and a crowd of clients hand-shaking at once, each asking
// again a quarter second after a server-not-ready answer, as agents do. Measures the pair's longest
// pause, when every client was answered and online, how fast refusals came once the database was
// known to be frozen, and whether the router closed anyone. One thread for the crowd, one for the
// pair.
bool RtBenchRunDatabaseStorm(const RtBenchSettings &settings, const std::string &prefix,
                             RtBenchRecord *record, std::string *error);

// The peerspage workload: a crowd of clients (10,000 by default) hand-shakes and stays, with the
// router's monitoring listener on; then a ping-pong pair talks for a few seconds with nothing else
// going on, and a few more while /peers is fetched again and again. Measures the page's answer
// time and size, and the pair's longest pause in each phase.
bool RtBenchRunPeersPage(const RtBenchSettings &settings, const std::string &prefix,
                         RtBenchRecord *record, std::string *error);

#endif  // RT_TOOLS_RT_BENCH_DB_STORM_H_
