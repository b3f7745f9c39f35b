#ifndef BD_COMMON_BD_APPLICATION_H_
#define BD_COMMON_BD_APPLICATION_H_

#include <string>

#include "bd_common/bd_getopt.h"

// Base of every server process: command line, help and version texts, detaching, the
// single-instance pid lock, the process's own UUID file and the signal mask. A process has exactly
// one application object, used from the main thread during start-up only; copying is disabled
// because the object holds the pid lock for the rest of the process's life.
class BdApplication {
  public:
    BdApplication() = default;
    virtual ~BdApplication() = default;
    BdApplication(const BdApplication &) = delete;
    BdApplication &operator=(const BdApplication &) = delete;

    // Derived classes implement the process's work. The base body parses the command line:
    // 0 on success, otherwise prints "main: fail to parse the args" and returns -1.
    virtual int main(int argc, char **argv) = 0;
    // The server processes' option table, ended by an entry of code 0.
    static const BdGetopt::Option kOptions[];
    // Parses -h/--help, -v/--version, -b/--background and -c/--config PATH. False on an argument
    // error (already reported on standard output). Help and version are printed here and set the
    // exit flag.
    virtual bool ParseArgs(int argc, char **argv);
    // Detaches with daemon(1, 0): the working directory stays, standard streams go to /dev/null.
    virtual bool RunInbackground();
    virtual void ShowHelp(std::string &programName) const;
    virtual void ShowArgError(const std::string &programName, const std::string &message,
                              bool hint) const;
    virtual void ShowVersion(const std::string &programName) const;
    // Reads the UUID of processType from the UUID directory, creating a new one when the file is
    // missing. The content is not validated. False when the file cannot be created or read.
    virtual bool LoadProcessUUID(std::string processType, std::string *uuid);
    // Blocks SIGPIPE and unblocks every other signal; the result of sigprocmask.
    virtual int IgnoreSignal();

    bool IsRunInbackground() const { return _background; }
    bool IsExit() const { return _exit; }
    const std::string &GetConfigPath() const { return _configPath; }
    // True when this process now holds the write lock on the pid file pidFileName in the pid
    // directory; the lock and its descriptor are kept until the process ends.
    bool IsRunning(const std::string &pidFileName);
    // The descriptor that holds the pid lock, -1 before IsRunning succeeded: a process that
    // executes a new image of itself keeps it open across exec, and with it the lock.
    int RunningLockFd() const { return _pidFileFd; }
    // Removes the pid file and drops its lock, for a process that is about to end cleanly.
    void ReleaseRunningLock();
    // Reads the node's UUID from "node-sid" in the UUID directory; never creates it.
    int LoadNodeProcessUuid(std::string *uuid);
    int GetSoftwareInstallPath(std::string *path);
    // A line for the help's options block, shown after the shared options: a process's own
    // option, which it takes off the command line itself before ParseArgs.
    void AddOptionHelp(const std::string &line) { _extraOptionHelp += line + "\n"; }

  private:
    std::string _extraOptionHelp;
    std::string _programName;
    std::string _configPath;
    bool _background = false;
    bool _exit = false;
    // Descriptor of the locked pid file; closed only by ReleaseRunningLock, since closing it
    // drops the lock.
    int _pidFileFd = -1;
    std::string _pidFilePath;
};

#endif  // BD_COMMON_BD_APPLICATION_H_
