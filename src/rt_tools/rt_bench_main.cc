// rt_bench: load generator and measuring instrument for the router, run as deployed.
#include <sys/resource.h>

#include <iostream>

#include "rt_tools/rt_bench_options.h"

namespace {

// Thousands of peers need as many descriptors here and in the router, which inherits the limit.
void RaiseDescriptorLimit() {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

int main(int argc, char **argv) {
    RtBenchOptions options;
    const int parsed = RtBenchCommandLine::Parse(argc, argv, std::cerr, &options);
    if (parsed != kRtBenchExitOk) {
        return parsed;
    }
    if (options.help) {
        RtBenchCommandLine::ShowHelp(argv[0], std::cout);
        return kRtBenchExitOk;
    }
    RaiseDescriptorLimit();
    for (const std::string &workload : options.workloads) {
        for (int run = 1; run <= options.runs; ++run) {
            RtBenchSettings settings = options.settings;
            settings.workload = workload;
            RtBenchRecord record;
            std::string error;
            const int status = RtBenchWorkload::Run(settings, run, &record, &error);
            record.Add("result", status == kRtBenchExitOk ? "ok" : "FAIL");
            std::cout << record.Line() << std::endl;
            if (status != kRtBenchExitOk) {
                std::cerr << "rt_bench: " << workload << " run " << run << " FAILED: " << error
                          << std::endl;
                return status;
            }
        }
    }
    return kRtBenchExitOk;
}
