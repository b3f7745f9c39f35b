#ifndef RT_TOOLS_RT_BENCH_BIG_SLOW_H_
#define RT_TOOLS_RT_BENCH_BIG_SLOW_H_

#include <string>

#include "rt_tools/rt_bench_record.h"
#include "rt_tools/rt_bench_router.h"

// The bigslow workload: senders (50 by default) each send three 60 MiB packets to a reader of
// their own that takes 1 MiB/s, under the router's default queue budget, while a ping-pong pair
// exchanges small packets beside them for the load's duration (40 s, or the time bound when it is
// shorter). Measures the router's peak resident memory against the memory formula's bound, the
// pair's longest pause and 99th percentile gap, how many readers the router closed (as slow
// consumers) and whether any reader missed a packet or lost the rest of one while open. Each
// packet's payload starts with its number, so a reader sees a gap at the next packet's header.
// One thread per peer.
bool RtBenchRunBigSlow(RtBenchRouter *router, int senders, const std::string &prefix,
                       int timeBoundSeconds, RtBenchRecord *record, std::string *error);

#endif  // RT_TOOLS_RT_BENCH_BIG_SLOW_H_
