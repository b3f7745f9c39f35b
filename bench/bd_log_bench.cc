// Per-entry cost of the log as the router writes it: one debug entry per forwarded packet, echo on
// with standard error sent to /dev/null, a log directory holding ten days of day files.
//
// Built only on request and never run by ctest; build it Release and run it on a quiet machine:
//   cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release
//   cmake --build build-release --target bd_log_bench
//   build-release/bench/bd_log_bench [entries]
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "bd_common/bd_error.h"
#include "bd_common/bd_file.h"
#include "bd_common/bd_log.h"

namespace {

double Seconds(clockid_t clock) {
    struct timespec now;
    clock_gettime(clock, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

// Writes entries debug entries and prints wall and CPU nanoseconds per entry.
void Run(const char *label, const std::string &root, bool quiet, long entries) {
    BdError describer;
    BdLog log;
    std::string dir = root + "/" + label;
    BdFile::CreateDir(dir + "/rt_server");
    for (int day = 1; day <= 9; ++day) {
        BdFile::CreatFile(dir + "/rt_server/rt_server-2000-01-0" + std::to_string(day) + ".log");
    }
    if (log.Init("rt_server", dir, &describer, quiet, 10) != 1) {
        fprintf(stderr, "cannot open the log under %s\n", dir.c_str());
        exit(1);
    }
    double wall = Seconds(CLOCK_MONOTONIC);
    double cpu = Seconds(CLOCK_PROCESS_CPUTIME_ID);
    for (long i = 0; i < entries; ++i) {
        log.WriteLocalLog(BD_LOG_DEBUG,
                          "transmit common packet, ret: 0, current fd: " + std::to_string(i % 97),
                          0, "", 0, "");
    }
    wall = Seconds(CLOCK_MONOTONIC) - wall;
    cpu = Seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu;
    printf("%-12s entries=%ld wall_ns_per_entry=%.0f cpu_ns_per_entry=%.0f\n", label, entries,
           wall * 1e9 / entries, cpu * 1e9 / entries);
}

}  // namespace

int main(int argc, char **argv) {
    long entries = argc > 1 ? atol(argv[1]) : 200000;
    // A daemon's standard error goes nowhere.
    int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDERR_FILENO);
    close(devNull);

    char pattern[] = "/tmp/bd-log-bench-XXXXXX";
    std::string root = mkdtemp(pattern);
    Run("echo", root, false, entries);
    Run("quiet", root, true, entries);
    std::filesystem::remove_all(root);
    return 0;
}
