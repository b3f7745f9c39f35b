#include "rt_tools/rt_bench_router.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

int FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    const bool ok = bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0 &&
                    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0;
    close(fd);
    return ok ? ntohs(address.sin_port) : 0;
}

// The pid the router wrote under root once it holds its single-instance lock; -1 if unreadable.
pid_t RouterPid(const std::string &root) {
    std::ifstream in(root + "/var/run/norvale/rt_server.pid");
    long pid = -1;
    return in >> pid && pid > 0 ? static_cast<pid_t>(pid) : -1;
}

}  // namespace

RtBenchRouter::~RtBenchRouter() {
    Stop();
}

bool RtBenchRouter::Start(const std::string &binary, const RtRouterDatabase &database,
                          const std::string &workDir, int timeoutMs, std::string *error,
                          RtRouterTls tls, bool monitor) {
    Stop();
    std::string pattern = workDir + "/rt_bench-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
        *error = "cannot create a directory under " + workDir + ": " + std::strerror(errno);
        return false;
    }
    _root = pattern;
    _port = FreeLoopbackPort();
    const int plainPort = _port;
    _plainPort = _port;
    if (tls.port != 0) {
        do {
            tls.port = FreeLoopbackPort();
        } while (tls.port == plainPort && tls.port != 0);
        _port = tls.port;
    }
    _monitorPort = 0;
    while (monitor &&
           (_monitorPort == 0 || _monitorPort == plainPort || _monitorPort == tls.port)) {
        _monitorPort = FreeLoopbackPort();
    }
    std::error_code failed;
    std::filesystem::create_directories(_root + "/log", failed);
    if (_port == 0 || failed ||
        !WriteRtRouterConfiguration(_root, plainPort, database, tls, _monitorPort)) {
        *error = "cannot write the router's configuration under " + _root;
        return false;
    }
    _pid = fork();
    if (_pid < 0) {
        *error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (_pid == 0) {
        // Where a daemon's streams go: the per-packet trace and the log echo are discarded.
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        setenv("NORVALE_ROOT", _root.c_str(), 1);
        for (const auto &variable : _environment) {
            setenv(variable.first.c_str(), variable.second.c_str(), 1);
        }
        execl(binary.c_str(), "rt_server", static_cast<char *>(nullptr));
        _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!RtRouterAccepts(_port)) {
        if (!Running()) {
            *error = "the router " + binary + " ended during start-up";
            return false;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            *error = "the router is not listening after " + std::to_string(timeoutMs) + " ms";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Written before the router listens.
    _measured = RouterPid(_root);
    if (_measured <= 0) {
        _measured = _pid;
    }
    return true;
}

bool RtBenchRouter::Running() {
    if (_pid <= 0) {
        return false;
    }
    if (waitpid(_pid, nullptr, WNOHANG) == _pid) {
        _pid = -1;
        return false;
    }
    return true;
}

void RtBenchRouter::Stop() {
    if (_pid > 0) {
        // SIGTERM first, as an init system would, so a router run under a profiler can write its
        // profile; SIGKILL when it has not ended after a while.
        kill(_pid, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (waitpid(_pid, nullptr, WNOHANG) != _pid) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(_pid, SIGKILL);
                waitpid(_pid, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        _pid = -1;
    }
    _measured = -1;
    if (!_root.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(_root, ignored);
        _root.clear();
    }
}

double RtBenchRouter::CpuSeconds() const {
    std::ifstream in("/proc/" + std::to_string(_measured) + "/stat");
    std::string line;
    if (!std::getline(in, line)) {
        return -1;
    }
    // The command name may hold spaces; the fields after it are space-separated.
    const size_t close = line.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(line.substr(close + 2));
    std::string skip;
    // After the name come state (field 3) ... utime is field 14 and stime field 15.
    for (int field = 3; field < 14; ++field) {
        fields >> skip;
    }
    long long user = 0;
    long long system = 0;
    if (!(fields >> user >> system)) {
        return -1;
    }
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long RtBenchRouter::StatusKib(const char *field) const {
    std::ifstream in("/proc/" + std::to_string(_measured) + "/status");
    const size_t length = std::strlen(field);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':') {
            return std::strtol(line.c_str() + length + 1, nullptr, 10);
        }
    }
    return -1;
}

long RtBenchRouter::PeakRssKib() const {
    return StatusKib("VmHWM");
}

long RtBenchRouter::RssKib() const {
    return StatusKib("VmRSS");
}
