#include "tool_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace

ToolProcess::ToolProcess(const std::string &binary, const std::string &dir)
    : binary_(binary), dir_(dir) {}

ToolProcess::~ToolProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool ToolProcess::Start(const std::vector<std::string> &args, const std::string &input) {
    const std::string inPath = dir_ + "/stdin.txt";
    std::ofstream(inPath, std::ios::binary) << input;
    const std::string outPath = dir_ + "/stdout.txt";
    const std::string errPath = dir_ + "/stderr.txt";
    pid_ = fork();
    if (pid_ < 0)
        return false;
    if (pid_ == 0) {
        dup2(open(inPath.c_str(), O_RDONLY), STDIN_FILENO);
        dup2(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
        dup2(open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
        std::vector<std::string> words{binary_.substr(binary_.rfind('/') + 1)};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (std::string &word : words)
            argv.push_back(&word[0]);
        argv.push_back(nullptr);
        execv(binary_.c_str(), argv.data());
        _exit(127);
    }
    return true;
}

int ToolProcess::Wait(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

int ToolProcess::Run(const std::vector<std::string> &args, const std::string &input,
                     int timeoutMs) {
    return Start(args, input) ? Wait(timeoutMs) : -1;
}

std::string ToolProcess::Out() const {
    return ReadFile(dir_ + "/stdout.txt");
}
std::string ToolProcess::Err() const {
    return ReadFile(dir_ + "/stderr.txt");
}
