#ifndef TESTS_RT_TOOLS_RT_PEER_PROCESS_H_
#define TESTS_RT_TOOLS_RT_PEER_PROCESS_H_

#include <sys/types.h>

#include <string>
#include <vector>

// The built rt_peer binary as a child process: standard input from a text, standard output and
// error into files under dir that the test reads once it ended. Killed when the object goes.
class RtPeerProcess {
  public:
    explicit RtPeerProcess(const std::string &dir);
    ~RtPeerProcess();
    RtPeerProcess(const RtPeerProcess &) = delete;
    RtPeerProcess &operator=(const RtPeerProcess &) = delete;

    // Starts rt_peer with args (without the program name); false when fork fails.
    bool Start(const std::vector<std::string> &args, const std::string &input = "");
    // The exit status, or -1 when it did not end within timeoutMs (or ended by a signal).
    int Wait(int timeoutMs);
    std::string Out() const;
    std::string Err() const;

    // Starts, waits up to 20 s, returns the exit status.
    int Run(const std::vector<std::string> &args, const std::string &input = "");

  private:
    std::string dir_;
    pid_t pid_ = -1;
};

#endif  // TESTS_RT_TOOLS_RT_PEER_PROCESS_H_
