#ifndef RT_TOOLS_RT_BENCH_HUB_H_
#define RT_TOOLS_RT_BENCH_HUB_H_

#include <string>

#include "rt_tools/rt_bench_database.h"
#include "rt_tools/rt_bench_record.h"

// The hub workloads: the server platform sends 64 KiB packets round-robin to ten agents, as when
// it feeds agents restoring at once. Nine agents read as fast as they can; agent 0 reads nothing
// (hubstall, stalled) or 1 MiB/s (hubslow). The nine are fed alone first, for their rate without
// agent 0; then all ten until the router closes agent 0, and two seconds more. Measures the nine's
// rate in each phase, their longest gap between two packets in the second, and when agent 0 was
// closed (when its row went offline). Over the router's plain port (port), also with --tls: the
// platform is written and read by two threads at once. One thread per peer.
bool RtBenchRunHub(int port, bool slowReader, const std::string &prefix, int timeBoundSeconds,
                   RtBenchDatabase *database, RtBenchRecord *record, std::string *error);

#endif  // RT_TOOLS_RT_BENCH_HUB_H_
