#ifndef TESTS_RT_TOOLS_TOOL_PROCESS_H_
#define TESTS_RT_TOOLS_TOOL_PROCESS_H_

#include <sys/types.h>

#include <string>
#include <vector>

// A built tool (rt_peer, rt_bench) as a child process: standard input from a text, standard output
// and error into files under dir that the test reads once it ended. Killed when the object goes.
class ToolProcess {
  public:
    ToolProcess(const std::string &binary, const std::string &dir);
    ~ToolProcess();
    ToolProcess(const ToolProcess &) = delete;
    ToolProcess &operator=(const ToolProcess &) = delete;

    // Starts the tool with args (without the program name); false when fork fails.
    bool Start(const std::vector<std::string> &args, const std::string &input = "");
    // The exit status, or -1 when it did not end within timeoutMs (or ended by a signal).
    int Wait(int timeoutMs);
    std::string Out() const;
    std::string Err() const;

    // Starts, waits up to timeoutMs, returns the exit status.
    int Run(const std::vector<std::string> &args, const std::string &input = "",
            int timeoutMs = 20000);

  private:
    std::string binary_;
    std::string dir_;
    pid_t pid_ = -1;
};

#endif  // TESTS_RT_TOOLS_TOOL_PROCESS_H_
