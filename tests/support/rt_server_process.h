#ifndef TESTS_SUPPORT_RT_SERVER_PROCESS_H_
#define TESTS_SUPPORT_RT_SERVER_PROCESS_H_

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "rt_tools/rt_router_setup.h"
#include "support/test_database.h"

// The built rt_server binary as a real child process with a NORVALE_ROOT of its own: the two
// configuration files, the UUID directory, the pid directory and the log directory live under
// root, and standard output and error go to files the test reads. The process is killed when the
// object goes.
class RtServerProcess {
  public:
    // root must exist; the configuration is written at once, naming a free port on 127.0.0.1.
    // name tells the output files of several processes over one root apart.
    RtServerProcess(const std::string &root, const TestDatabaseAddress &database,
                    const std::string &name = "router");
    ~RtServerProcess();
    RtServerProcess(const RtServerProcess &) = delete;
    RtServerProcess &operator=(const RtServerProcess &) = delete;

    // Standard output and error of the next Start go to one file, as with `2>&1`; Stdout and
    // Stderr then both read it.
    void ShareOutputFile() { shared_output_ = true; }

    // Rewrites the configuration with a TLS listener on a free port (tls.port is chosen here),
    // keeping the monitoring listener of EnableMonitor, if any; before Start. false when the files
    // could not be written.
    bool ConfigureTls(RtRouterTls tls);

    // Starts the binary with args (without the program name); false when fork fails.
    bool Start(const std::vector<std::string> &args = {});
    // Rewrites the configuration (with the TLS listener of ConfigureTls, if any) with the
    // monitoring listener on a free port of 127.0.0.1, for the next Start; returns that port.
    int EnableMonitor();
    // Adds setting elements (each "<key>value</key>" on a line) to the router's own configuration,
    // for the next Start; after EnableMonitor and ConfigureTls, which write the file anew.
    void AddRouterSettings(const std::string &elements);
    // Runs the binary at path instead of the one built (a copy the test may replace); next Start.
    void SetBinary(const std::string &path) { binary_ = path; }
    // An environment variable for the next Start, on top of NORVALE_ROOT.
    void SetEnv(const std::string &name, const std::string &value) {
        env_.emplace_back(name, value);
    }
    // True once the port accepts connections (within timeoutMs), false when the process ended or
    // the time ran out.
    bool WaitListening(int timeoutMs);
    // Waits for the process to end; its exit status, or -1 on time-out or a signal.
    int WaitExit(int timeoutMs);
    // SIGKILL and reap; no-op when not running.
    void Kill();
    bool Running();

    pid_t Pid() const { return pid_; }
    int Port() const { return port_; }
    int TlsPort() const { return tls_port_; }
    const std::string &Root() const { return root_; }
    // Named streams and files of this run.
    std::string Stdout() const;
    std::string Stderr() const;
    // Everything the router's log files hold.
    std::string Log() const;
    std::string PidFile() const;
    std::string UuidFile() const;

  private:
    std::string root_;
    std::string name_;
    TestDatabaseAddress database_;
    int port_ = 0;
    int tls_port_ = 0;
    RtRouterTls tls_;       // off until ConfigureTls
    int monitor_port_ = 0;  // 0 until EnableMonitor
    pid_t pid_ = -1;
    bool shared_output_ = false;
    std::string binary_;
    std::vector<std::pair<std::string, std::string>> env_;
};

#endif  // TESTS_SUPPORT_RT_SERVER_PROCESS_H_
