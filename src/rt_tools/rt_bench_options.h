#ifndef RT_TOOLS_RT_BENCH_OPTIONS_H_
#define RT_TOOLS_RT_BENCH_OPTIONS_H_

#include <ostream>
#include <string>
#include <vector>

#include "rt_tools/rt_bench_workload.h"

struct RtBenchOptions {
    RtBenchSettings settings;  // the workload field is filled per run
    std::vector<std::string> workloads;
    int runs = 3;
    bool help = false;
};

class RtBenchCommandLine {
  public:
    // Fills options from argv and the RT_DB_* environment. kRtBenchExitOk, or kRtBenchExitUsage
    // after writing the problem and the hint line to err.
    static int Parse(int argc, const char *const *argv, std::ostream &err, RtBenchOptions *options);
    static void ShowHelp(const std::string &programName, std::ostream &out);
};

#endif  // RT_TOOLS_RT_BENCH_OPTIONS_H_
