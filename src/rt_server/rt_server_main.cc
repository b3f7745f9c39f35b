// The router process: parse the command line, detach when asked, hold the single-instance lock,
// load the configuration, open the log and the database, then serve for ever.
#include <iostream>

#include "bd_common/bd_common_server_config.h"
#include "bd_common/bd_error.h"
#include "bd_common/bd_path.h"
#include "bd_common/bd_util.h"
#include "rt_server/rt_server_application.h"
#include "rt_server/rt_server_config.h"
#include "rt_server/rt_server_stop_signals.h"

namespace {

const int kStartFailureStatus = 255;
const int kConfigAttempts = 60;
const char kPidFileName[] = "rt_server.pid";
const char kCommonConfigPath[] = "/etc/norvale/common_server.conf.xml";
const char kRouterConfigPath[] = "/etc/norvale/rt_server.conf.xml";

// Both files must load in one pass. An installer may still be writing them, so failures are
// retried a second apart, 60 times at most.
bool LoadConfiguration() {
    for (int failures = 0; failures < kConfigAttempts;) {
        const char *complaint = nullptr;
        if (!BdCommonServerConfig::GetCommonConf()->LoadConfigFile(
                BdPath::Resolve(kCommonConfigPath))) {
            complaint = "rt_server load common config file failed";
        } else if (!g_rt_server_conf.LoadConfigFile(BdPath::Resolve(kRouterConfigPath))) {
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

}  // namespace

int main(int argc, char **argv) {
    RtServerApplication application;
    if (!application.ParseArgs(argc, argv)) {
        std::cout << "main: fail to parse the args" << std::endl;
        return kStartFailureStatus;
    }
    if (application.IsRunInbackground()) {
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
        if (application.Stopped() || RtServerStopSignals::Pending()) {
            return 0;
        }
        // A failed entry (UUID file, database, port in use) is tried again a second later rather
        // than at once, so a taken port neither spins the CPU nor floods the log and the database.
        if (entry != BD_SOCKET_LISTEN_ERROR) {
            BdUtil::BdSleep(1);
        }
    }
}
