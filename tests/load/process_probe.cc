#include "process_probe.h"

#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

void SetSoftLimit(rlim_t soft) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = soft < limit.rlim_max ? soft : limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

long SoftLimit() {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    return static_cast<long>(limit.rlim_cur);
}

}  // namespace

long ProcessProbe::ResidentKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

double ProcessProbe::CpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text))
        return -1;
    // The command name may hold spaces; the fields after it are counted from its closing ')'.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skipped;
    for (int i = 3; i < 14; ++i)
        fields >> skipped;
    long user = 0, system = 0;
    fields >> user >> system;
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

DescriptorLimit::DescriptorLimit(long soft) : saved_(SoftLimit()) {
    SetSoftLimit(static_cast<rlim_t>(soft));
}

DescriptorLimit::~DescriptorLimit() {
    SetSoftLimit(static_cast<rlim_t>(saved_));
}

long DescriptorLimit::RaiseToHard() {
    SetSoftLimit(RLIM_INFINITY);
    return SoftLimit();
}
