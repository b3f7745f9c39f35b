#ifndef RT_TOOLS_RT_BENCH_ROUTER_H_
#define RT_TOOLS_RT_BENCH_ROUTER_H_

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "rt_tools/rt_router_setup.h"

// The router under test, run as deployed: the real binary as a child process in the foreground,
// its standard output and error on /dev/null, its configuration, UUID file, pid file and log under
// a fresh NORVALE_ROOT on local disk. The object owns the process and the directory: both go
// (SIGTERM, SIGKILL if need be, then removal) when it is destroyed. The binary may be a wrapper
// that runs the router as its child and passes SIGTERM on: CPU and memory are read of the process
// that wrote the router's pid file, not of the wrapper. Used from one thread.
class RtBenchRouter {
  public:
    RtBenchRouter() = default;
    ~RtBenchRouter();
    RtBenchRouter(const RtBenchRouter &) = delete;
    RtBenchRouter &operator=(const RtBenchRouter &) = delete;

    // Creates the root under workDir, writes the configuration for a free loopback port (and a
    // second one for TLS with tls's certificate and key when tls.port is not 0; its port is
    // chosen here), starts binary and waits until the peers' port accepts connections. false
    // (with *error set) when any step fails or the router is not listening within timeoutMs.
    // With monitor, the monitoring listener is switched on too, on a free port of its own.
    bool Start(const std::string &binary, const RtRouterDatabase &database,
               const std::string &workDir, int timeoutMs, std::string *error,
               RtRouterTls tls = RtRouterTls(), bool monitor = false);
    void Stop();
    // Before Start: the router's process gets name=value in its environment too.
    void SetEnvironment(const std::string &name, const std::string &value) {
        _environment.emplace_back(name, value);
    }

    // The port the peers use: the TLS one when there is one.
    int Port() const { return _port; }
    // The plain port, also when there is a TLS one.
    int PlainPort() const { return _plainPort; }
    // The monitoring listener's port; 0 without one.
    int MonitorPort() const { return _monitorPort; }
    pid_t Pid() const { return _pid; }
    bool Running();

    // The router's user plus system CPU time so far, in seconds; -1 when unreadable.
    double CpuSeconds() const;
    // Peak and current resident memory in KiB (VmHWM, VmRSS); -1 when unreadable.
    long PeakRssKib() const;
    long RssKib() const;

  private:
    long StatusKib(const char *field) const;

    std::string _root;
    std::vector<std::pair<std::string, std::string>> _environment;
    int _port = 0;
    int _plainPort = 0;
    int _monitorPort = 0;
    pid_t _pid = -1;
    pid_t _measured = -1;  // the router's own process: _pid, or its child under a wrapper
};

#endif  // RT_TOOLS_RT_BENCH_ROUTER_H_
