#include "support/rt_server_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "rt_tools/rt_router_setup.h"
#include "support/child_exit.h"
#include "support/file_text.h"
#include "support/loopback.h"

#ifndef RT_SERVER_BINARY
#error "RT_SERVER_BINARY must name the rt_server executable"
#endif

namespace {

RtRouterDatabase RouterDatabase(const TestDatabaseAddress &address) {
    RtRouterDatabase database;
    database.host = address.host;
    database.port = address.port;
    database.name = address.name;
    database.user = address.user;
    database.password = address.password;
    return database;
}

// A free loopback port other than taken: the router's own port is not listened on yet, so the
// kernel may offer it again.
int FreeLoopbackPortBesides(int taken) {
    int port = 0;
    do {
        port = FreeLoopbackPort();
    } while (port == taken);
    return port;
}

}  // namespace

RtServerProcess::RtServerProcess(const std::string &root, const TestDatabaseAddress &database,
                                 const std::string &name)
    : root_(root),
      name_(name),
      database_(database),
      port_(FreeLoopbackPort()),
      binary_(RT_SERVER_BINARY) {
    WriteRtRouterConfiguration(root_, port_, RouterDatabase(database));
}

bool RtServerProcess::ConfigureTls(RtRouterTls tls) {
    tls.port = FreeLoopbackPortBesides(port_);
    tls_port_ = tls.port;
    tls_ = tls;
    return WriteRtRouterConfiguration(root_, port_, RouterDatabase(database_), tls_, monitor_port_);
}

RtServerProcess::~RtServerProcess() {
    Kill();
}

int RtServerProcess::EnableMonitor() {
    do {
        monitor_port_ = FreeLoopbackPortBesides(port_);
    } while (monitor_port_ == tls_port_);
    WriteRtRouterConfiguration(root_, port_, RouterDatabase(database_), tls_, monitor_port_);
    return monitor_port_;
}

void RtServerProcess::AddRouterSettings(const std::string &elements) {
    const std::string path = root_ + "/etc/norvale/rt_server.conf.xml";
    std::string conf = ReadFileText(path);
    conf.insert(conf.rfind("</"), elements);
    std::ofstream(path) << conf;
}

bool RtServerProcess::Start(const std::vector<std::string> &args) {
    const std::string out = root_ + "/" + name_ + ".stdout";
    const std::string err = root_ + "/" + name_ + (shared_output_ ? ".stdout" : ".stderr");
    pid_ = fork();
    if (pid_ < 0)
        return false;
    if (pid_ == 0) {
        setenv("NORVALE_ROOT", root_.c_str(), 1);
        for (const auto &variable : env_)
            setenv(variable.first.c_str(), variable.second.c_str(), 1);
        const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int errFd =
            shared_output_ ? outFd : open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(outFd, STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        std::vector<char *> argv;
        std::vector<std::string> words{"rt_server"};
        words.insert(words.end(), args.begin(), args.end());
        for (std::string &word : words)
            argv.push_back(&word[0]);
        argv.push_back(nullptr);
        execv(binary_.c_str(), argv.data());
        _exit(127);
    }
    return true;
}

bool RtServerProcess::Running() {
    if (pid_ <= 0)
        return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

bool RtServerProcess::WaitListening(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!Running())
            return false;
        if (RtRouterAccepts(port_))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

int RtServerProcess::WaitExit(int timeoutMs) {
    return WaitChildExit(&pid_, timeoutMs);
}

void RtServerProcess::Kill() {
    if (pid_ <= 0)
        return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::string RtServerProcess::Stdout() const {
    return ReadFileText(root_ + "/" + name_ + ".stdout");
}
std::string RtServerProcess::Stderr() const {
    return ReadFileText(root_ + "/" + name_ + (shared_output_ ? ".stdout" : ".stderr"));
}
std::string RtServerProcess::PidFile() const {
    return ReadFileText(root_ + "/var/run/norvale/rt_server.pid");
}
std::string RtServerProcess::UuidFile() const {
    return ReadFileText(root_ + "/etc/norvale/backup-system/uuid/router-server");
}

std::string RtServerProcess::Log() const {
    std::string all;
    std::error_code ignored;
    for (const auto &entry :
         std::filesystem::directory_iterator(root_ + "/log/rt_server", ignored)) {
        all += ReadFileText(entry.path().string());
    }
    return all;
}
