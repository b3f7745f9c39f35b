#ifndef RT_SERVER_RT_SERVER_UPGRADE_H_
#define RT_SERVER_RT_SERVER_UPGRADE_H_

#include <sys/types.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "rt_server/rt_server_handover.h"

// The upgrade in place (SIGUSR2) as the process sees it. The router's binary is the path it was
// started from, noted at start-up (what a package replaces; /proc/self/exe would name the image
// that runs). Before anything is handed over, the binary now at that path must pass
// `--check-config`; then the state goes into a memory file, every descriptor but the standard
// streams, the pid file's, the memory file and those handed over is closed on exec, and the
// binary is executed in this very process (same pid, the pid lock held throughout). The new
// image finds the memory file and the pid file's descriptor in two environment variables.
//
// Main thread only, but for the check's own thread, which only runs the child and hands its
// outcome to the callback.
class RtServerUpgrade {
  public:
    static constexpr const char *kStateFdVariable = "RT_SERVER_HANDOVER_FD";
    static constexpr const char *kPidFdVariable = "RT_SERVER_PID_FD";
    // How long the new binary's --check-config may take before it counts as failed.
    static constexpr int kCheckSeconds = 10;

    RtServerUpgrade() = default;
    ~RtServerUpgrade();
    RtServerUpgrade(const RtServerUpgrade &) = delete;
    RtServerUpgrade &operator=(const RtServerUpgrade &) = delete;

    // At start-up, before the command line is taken apart: the binary's path and the arguments
    // the new image is to be given.
    static void NoteCommandLine(int argc, char **argv);

    // Runs the binary with --check-config on a thread of its own; done(passed, what it printed or
    // why it failed) is called on that thread once it ended. false when one is running already.
    bool StartCheck(std::function<void(bool passed, const std::string &output)> done);
    // Joins the check's thread once it has called back.
    void EndCheck();

    // Executes the binary with state, keeping the descriptors keep and pidFd open across exec;
    // when that fails, the running image is executed instead. Returns only when both failed,
    // with why.
    static std::string Exec(const RtHandoverState &state, const std::vector<int> &keep, int pidFd);

    // In the new image: true when this process was executed by an upgrade.
    static bool HandedOver();
    // Reads and decodes the state and forgets the variables. When the state is not understood,
    // every inherited descriptor but the standard streams and the pid file's is closed, and why
    // says what was wrong.
    static bool TakeState(RtHandoverState *state, std::string *why);

  private:
    std::thread _check;
};

#endif  // RT_SERVER_RT_SERVER_UPGRADE_H_
