#include "rt_server/rt_server_upgrade.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>

namespace {

std::string g_image_path;
std::vector<std::string> g_arguments;

const char kRunningImage[] = "/proc/self/exe";

// The process's open descriptors above the standard streams.
std::vector<int> OpenDescriptors() {
    std::vector<int> open;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return open;
    }
    const int own = dirfd(dir);
    while (dirent *entry = readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        if (fd > STDERR_FILENO && fd != own) {
            open.push_back(fd);
        }
    }
    closedir(dir);
    return open;
}

void SetCloseOnExec(int fd, bool closed) {
    const int flags = fcntl(fd, F_GETFD);
    if (flags >= 0) {
        fcntl(fd, F_SETFD, closed ? flags | FD_CLOEXEC : flags & ~FD_CLOEXEC);
    }
}

// Open across exec when kept, closed on exec otherwise (the epoll instance, the database's
// sockets, the log, ...).
void MarkDescriptors(const std::set<int> &keep) {
    for (int fd : OpenDescriptors()) {
        SetCloseOnExec(fd, keep.count(fd) == 0);
    }
}

int VariableFd(const char *name) {
    const char *text = std::getenv(name);
    if (text == nullptr || *text == '\0') {
        return -1;
    }
    char *end = nullptr;
    const long fd = std::strtol(text, &end, 10);
    return *end == '\0' && fd > STDERR_FILENO && fd < INT_MAX ? static_cast<int>(fd) : -1;
}

// Runs the binary with --check-config, its output into a pipe: whether it exited 0 within
// RtServerUpgrade::kCheckSeconds, and what it printed or why it failed.
std::pair<bool, std::string> RunCheck() {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        return {false, std::string("pipe: ") + std::strerror(errno)};
    }
    // posix_spawn does not copy the router's page tables, which a fork of a process holding
    // thousands of connections would, holding up its memory for as long.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    std::string path = g_image_path;
    std::string option = "--check-config";
    char *argv[] = {&path[0], &option[0], nullptr};
    pid_t child = -1;
    const int spawned = posix_spawn(&child, path.c_str(), &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        close(out[0]);
        close(out[1]);
        return {false, "spawn " + path + ": " + std::strerror(spawned)};
    }
    close(out[1]);
    std::string output;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(RtServerUpgrade::kCheckSeconds);
    bool ended = false;
    while (!ended) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd readable{out[0], POLLIN, 0};
        if (left <= 0 || poll(&readable, 1, static_cast<int>(left)) == 0) {
            break;
        }
        char chunk[4096];
        const ssize_t n = read(out[0], chunk, sizeof(chunk));
        if (n > 0 && output.size() < 65536) {
            output.append(chunk, static_cast<size_t>(n));
        }
        ended = n == 0 || (n < 0 && errno != EINTR);
    }
    close(out[0]);
    if (!ended) {
        kill(child, SIGKILL);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    while (!output.empty() && output.back() == '\n') {
        output.pop_back();
    }
    if (!ended) {
        return {false, "no answer within " + std::to_string(RtServerUpgrade::kCheckSeconds) + " s" +
                           (output.empty() ? "" : ": " + output)};
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return {true, output};
    }
    const std::string how = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                              : "signal " + std::to_string(WTERMSIG(status));
    return {false, how + (output.empty() ? "" : ": " + output)};
}

}  // namespace

RtServerUpgrade::~RtServerUpgrade() {
    EndCheck();
}

void RtServerUpgrade::NoteCommandLine(int argc, char **argv) {
    char path[PATH_MAX];
    const ssize_t n = readlink(kRunningImage, path, sizeof(path) - 1);
    g_image_path = n > 0 ? std::string(path, static_cast<size_t>(n)) : kRunningImage;
    g_arguments.assign(argv, argv + argc);
}

bool RtServerUpgrade::StartCheck(std::function<void(bool, const std::string &)> done) {
    if (_check.joinable()) {
        return false;
    }
    _check = std::thread([done = std::move(done)] {
        const std::pair<bool, std::string> outcome = RunCheck();
        done(outcome.first, outcome.second);
    });
    return true;
}

void RtServerUpgrade::EndCheck() {
    if (_check.joinable()) {
        _check.join();
    }
}

std::string RtServerUpgrade::Exec(const RtHandoverState &state, const std::vector<int> &keep,
                                  int pidFd) {
    const int memory = memfd_create("rt_server-handover", 0);
    if (memory < 0) {
        return std::string("memfd_create: ") + std::strerror(errno);
    }
    // Encoded straight into the memory file, not through a buffer that grows. Its pages are
    // reserved first: one the system cannot give at first touch would kill the process by SIGBUS
    // instead of failing the upgrade.
    const size_t length = RtHandoverLength(state);
    void *mapped = MAP_FAILED;
    if (fallocate(memory, 0, 0, static_cast<off_t>(length)) == 0) {
        mapped = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, memory, 0);
    }
    if (mapped == MAP_FAILED) {
        const std::string why = std::string("writing the state: ") + std::strerror(errno);
        close(memory);
        return why;
    }
    RtEncodeHandoverInto(state, static_cast<char *>(mapped));
    munmap(mapped, length);
    std::set<int> kept(keep.begin(), keep.end());
    kept.insert(memory);
    kept.insert(pidFd);
    MarkDescriptors(kept);
    setenv(kStateFdVariable, std::to_string(memory).c_str(), 1);
    setenv(kPidFdVariable, std::to_string(pidFd).c_str(), 1);
    std::vector<char *> argv;
    for (std::string &argument : g_arguments) {
        argv.push_back(&argument[0]);
    }
    argv.push_back(nullptr);
    execv(g_image_path.c_str(), argv.data());
    std::string why = "exec " + g_image_path + ": " + std::strerror(errno);
    execv(kRunningImage, argv.data());
    why += "; exec of the running image: " + std::string(std::strerror(errno));
    unsetenv(kStateFdVariable);
    unsetenv(kPidFdVariable);
    // The next upgrade's check must not inherit the sockets.
    for (int fd : kept) {
        SetCloseOnExec(fd, true);
    }
    close(memory);
    return why;
}

bool RtServerUpgrade::HandedOver() {
    return std::getenv(kStateFdVariable) != nullptr;
}

bool RtServerUpgrade::TakeState(RtHandoverState *state, std::string *why) {
    const int memory = VariableFd(kStateFdVariable);
    const int pidFd = VariableFd(kPidFdVariable);
    unsetenv(kStateFdVariable);
    unsetenv(kPidFdVariable);
    // Read where it lies: the state is mapped, not copied, before it is decoded.
    struct stat file {};
    void *mapped = MAP_FAILED;
    size_t length = 0;
    if (memory >= 0 && fstat(memory, &file) == 0 && file.st_size > 0) {
        length = static_cast<size_t>(file.st_size);
        mapped = mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_POPULATE, memory, 0);
    }
    if (memory >= 0) {
        close(memory);
    }
    const bool decoded = mapped != MAP_FAILED ? RtDecodeHandover(static_cast<const char *>(mapped),
                                                                 length, state, why)
                                              : RtDecodeHandover(std::string(), state, why);
    if (mapped != MAP_FAILED) {
        munmap(mapped, length);
    }
    // Only an upgrade's exec passes the inherited sockets on: a child started later (the next
    // upgrade's check) must not hold them open.
    for (int fd : OpenDescriptors()) {
        if (decoded) {
            SetCloseOnExec(fd, true);
        } else if (fd != pidFd) {
            close(fd);
        }
    }
    return decoded;
}
