// The router process: parse the command line, detach when asked, hold the single-instance lock,
// load the configuration, open the log and the database, then serve for ever.
#include <cstring>
#include <iostream>

#include "bd_common/bd_common_server_config.h"
#include "bd_common/bd_error.h"
#include "bd_common/bd_path.h"
#include "bd_common/bd_util.h"
#include "rt_server/rt_server_application.h"
#include "rt_server/rt_server_config.h"
#include "rt_server/rt_server_config_files.h"
#include "rt_server/rt_server_signals.h"
#include "rt_server/rt_server_upgrade.h"

namespace {

const int kStartFailureStatus = 255;
const int kConfigAttempts = 60;
const char kPidFileName[] = "rt_server.pid";
const char kCheckConfigOption[] = "--check-config";
const char kCheckConfigHelp[] = "      --check-config\t\tCheck the configuration files and exit.";
const int kCheckConfigFailedStatus = 1;

// Both files must load in one pass. An installer may still be writing them, so failures are
// retried a second apart, 60 times at most.
bool LoadConfiguration() {
    for (int failures = 0; failures < kConfigAttempts;) {
        const char *complaint = nullptr;
        if (!BdCommonServerConfig::GetCommonConf()->LoadConfigFile(
                BdPath::Resolve(RtServerConfigFiles::kCommonPath))) {
            complaint = "rt_server load common config file failed";
        } else if (!g_rt_server_conf.LoadConfigFile(
                       BdPath::Resolve(RtServerConfigFiles::kRouterPath))) {
            complaint = "rt_server load config file failed";
        } else {
            return true;
        }
        std::cerr << complaint << std::endl;
        BdUtil::BdSleep(1);
        ++failures;
    }
    return false;
}

// Takes --check-config off the command line (before any "--"); true when it was there. Only the
// full spelling is taken, so every abbreviation of --config still means what it did.
bool TakeCheckConfigOption(int *argc, char **argv) {
    bool found = false;
    int kept = 1;
    bool optionsEnded = false;
    for (int i = 1; i < *argc; ++i) {
        optionsEnded = optionsEnded || std::strcmp(argv[i], "--") == 0;
        if (!optionsEnded && std::strcmp(argv[i], kCheckConfigOption) == 0) {
            found = true;
            continue;
        }
        argv[kept++] = argv[i];
    }
    argv[kept] = nullptr;
    *argc = kept;
    return found;
}

// Both files, and the TLS files they name, judged once as they are now: no pid file, socket, log
// or database is touched. "configuration ok" on standard output, or each problem on standard
// error.
int CheckConfiguration() {
    RtServerConfigFiles files;
    if (files.Load()) {
        std::cout << "configuration ok" << std::endl;
        return 0;
    }
    for (const std::string &problem : files.Problems()) {
        std::cerr << problem << std::endl;
    }
    return kCheckConfigFailedStatus;
}

}  // namespace

int main(int argc, char **argv) {
    RtServerUpgrade::NoteCommandLine(argc, argv);
    RtServerApplication application;
    application.AddOptionHelp(kCheckConfigHelp);
    const bool checkOnly = TakeCheckConfigOption(&argc, argv);
    if (!application.ParseArgs(argc, argv)) {
        std::cout << "main: fail to parse the args" << std::endl;
        return kStartFailureStatus;
    }
    if (checkOnly) {
        return application.IsExit() ? 0 : CheckConfiguration();
    }
    // An image executed by an upgrade is the same process: detached already, and its pid must
    // stay what the service manager and the pid file know.
    const bool handedOver = RtServerUpgrade::HandedOver();
    if (handedOver) {
        application.TakeHandOver();
    } else if (application.IsRunInbackground()) {
        application.RunInbackground();
    }
    if (!application.IsRunning(kPidFileName)) {
        return kStartFailureStatus;
    }
    if (!LoadConfiguration()) {
        return kStartFailureStatus;
    }
    if (application.GlobalInit() != 0) {
        return kStartFailureStatus;
    }
    for (;;) {
        const int entry = application.main(argc, argv);
        // Stopped while serving, or asked to stop while not serving (nothing to release then).
        if (application.Stopped() || RtServerSignals::StopPending()) {
            return 0;
        }
        // A failed entry (UUID file, database, port in use) is tried again a second later rather
        // than at once, so a taken port neither spins the CPU nor floods the log and the database.
        if (entry != BD_SOCKET_LISTEN_ERROR) {
            BdUtil::BdSleep(1);
        }
    }
}
