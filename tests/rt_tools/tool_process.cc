#include "tool_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "support/child_exit.h"
#include "support/file_text.h"

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
    return WaitChildExit(&pid_, timeoutMs);
}

int ToolProcess::Run(const std::vector<std::string> &args, const std::string &input,
                     int timeoutMs) {
    return Start(args, input) ? Wait(timeoutMs) : -1;
}

std::string ToolProcess::Out() const {
    return ReadFileText(dir_ + "/stdout.txt");
}
std::string ToolProcess::Err() const {
    return ReadFileText(dir_ + "/stderr.txt");
}
