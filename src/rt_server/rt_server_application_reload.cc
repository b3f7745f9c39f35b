// SIGHUP: the configuration read again while the router serves.
#include <string>
#include <utility>
#include <vector>

#include "bd_common/bd_common_server_config.h"
#include "bd_common/bd_error.h"
#include "bd_common/bd_log_entry.h"
#include "rt_server/rt_server_application.h"
#include "rt_server/rt_server_config.h"
#include "rt_server/rt_server_config_files.h"

BD_LOG_SOURCE_FILE("rt_server_application")

namespace {

// The common keys the router uses; none can change while it serves (the database connections and
// the log stay as they were opened).
std::vector<std::string> CommonKeysChanged(const BdCommonServerConfig &now,
                                           const BdCommonServerConfig &fresh) {
    const std::pair<const char *, bool> keys[] = {
        {"database_ip", now.GetDatabaseIP() != fresh.GetDatabaseIP()},
        {"database_port", now.GetDatabasePort() != fresh.GetDatabasePort()},
        {"database_name", now.GetDatabaseName() != fresh.GetDatabaseName()},
        {"database_user", now.GetDatabaseUser() != fresh.GetDatabaseUser()},
        {"database_passwd", now.GetDatabasePasswd() != fresh.GetDatabasePasswd()},
        {"log_dir", now.GetLogDir() != fresh.GetLogDir()},
    };
    std::vector<std::string> changed;
    for (const auto &key : keys) {
        if (key.second) {
            changed.emplace_back(key.first);
        }
    }
    return changed;
}

std::string Joined(const std::vector<std::string> &names) {
    std::string text;
    for (const std::string &name : names) {
        text += (text.empty() ? "" : ", ") + name;
    }
    return text;
}

}  // namespace

void RtServerApplication::Reload() {
    _notifier.Reloading();
    RtServerConfigFiles files;
    if (files.Load()) {
        ApplyReloaded(&files);
    } else {
        for (const std::string &problem : files.Problems()) {
            BD_LOG(BD_LOG_ERROR, BD_PARAMETER_INVALID,
                   "configuration not reloaded, nothing changed: " + problem, "Reload");
        }
    }
    _notifier.Ready(ServingStatus());
}

void RtServerApplication::ApplyReloaded(RtServerConfigFiles *files) {
    std::vector<std::string> fixed =
        CommonKeysChanged(*BdCommonServerConfig::GetCommonConf(), files->Common());
    for (std::string &key : g_rt_server_conf.FixedKeysChanged(files->Router())) {
        fixed.push_back(std::move(key));
    }
    if (!fixed.empty()) {
        BD_LOG(BD_LOG_ERROR, BD_PARAMETER_INVALID,
               "configuration keys that need a restart keep their old values: " + Joined(fixed),
               "Reload");
    }
    const std::string monitorIp = g_rt_server_conf.GetMonitorIP();
    const int monitorPort = g_rt_server_conf.GetMonitorPort();
    g_rt_server_conf.TakeLiveKeys(files->Router());

    // Each limit judges what comes next: connections already held, UUIDs already bound and
    // packets already queued stay.
    _addressQuota.SetMost(g_rt_server_conf.GetMaxConnectionsPerAddress());
    _connManager.SetMaxUuidsPerConnection(g_rt_server_conf.GetMaxUuidsPerConnection());
    _connManager.SetQueueBudget(static_cast<int64_t>(g_rt_server_conf.GetQueueBudgetMiB()) << 20);
    // New TLS handshakes use the new files; established sessions keep what they began with.
    if (files->Tls()->Get() != nullptr) {
        _tlsListener.UseContext(files->Tls());
    }
    if (monitorIp != g_rt_server_conf.GetMonitorIP() ||
        monitorPort != g_rt_server_conf.GetMonitorPort()) {
        _monitor.Stop();
        StartMonitor();
        _recordWriter->SetIdleProbe(g_rt_server_conf.GetMonitorPort() > 0);
    }
    BD_LOG(BD_LOG_DEBUG, 0, "configuration reloaded", "Reload");
}
