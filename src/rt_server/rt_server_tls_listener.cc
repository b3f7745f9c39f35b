#include "rt_server/rt_server_tls_listener.h"

#include <unistd.h>

#include <string>

#include "bd_common/bd_error.h"
#include "bd_common/bd_log_entry.h"
#include "bd_common/bd_path.h"
#include "bd_common/bd_time.h"
#include "bd_netframwork/bd_network.h"
#include "rt_server/rt_server_config.h"

BD_LOG_SOURCE_FILE("rt_server_tls_listener");

bool RtServerTlsListener::Wanted() const {
    return g_rt_server_conf.GetTlsListenPort() > 0;
}

int RtServerTlsListener::Start(BdConnManager *manager) {
    _nextAttempt = 0;
    std::string failure;
    int rc = _context.Load(SettingsFor(g_rt_server_conf), &failure);
    const int port = g_rt_server_conf.GetTlsListenPort();
    if (rc == BD_SUCCESS) {
        rc = RtServerListenConnection::Open(manager, g_rt_server_conf.GetListenIP(), port,
                                            _context.Get(), _recordWriter, &_listener);
        failure =
            std::string(rc == BD_SOCKET_BIND_ERROR ? "socket bind error" : "socket listen error") +
            " on TLS port " + std::to_string(port);
    }
    if (rc == BD_SUCCESS) {
        _failures = 0;
        BD_LOG(BD_LOG_DEBUG, 0, "TLS listener on port " + std::to_string(port), "");
        return rc;
    }
    ++_failures;
    if (_failures < kAttempts) {
        _nextAttempt = BdTime::Now().ToSecond() + 1;
        failure += ", retried in 1 s";
    } else {
        failure += ", TLS listener stays off";
    }
    BD_LOG(BD_LOG_ERROR, rc, failure, "Start");
    return rc;
}

int RtServerTlsListener::AdoptListener(BdConnManager *manager, int fd) {
    std::string failure;
    if (_context.Load(SettingsFor(g_rt_server_conf), &failure) != BD_SUCCESS ||
        RtServerListenConnection::Adopt(manager, fd, _context.Get(), _recordWriter, &_listener) !=
            BD_SUCCESS) {
        close(fd);
        BD_LOG(BD_LOG_ERROR, BD_ERROR, failure + ", retried in 1 s", "Start");
        _nextAttempt = BdTime::Now().ToSecond() + 1;
        return BD_ERROR;
    }
    return BD_SUCCESS;
}

BdTlsServerContext::Settings RtServerTlsListener::SettingsFor(const RtServerConfig &config) {
    BdTlsServerContext::Settings settings;
    settings.certificate_file = BdPath::Resolve(BdNetwork::kCertificateFile);
    settings.key_file = BdPath::Resolve(BdNetwork::kPrivateKeyFile);
    settings.ca_file = config.GetTlsCaFile();
    settings.require_peer_certificate = config.GetTlsRequirePeerCertificate();
    return settings;
}

void RtServerTlsListener::UseContext(BdTlsServerContext *context) {
    if (_listener == nullptr) {
        return;
    }
    _context.Swap(context);
    _listener->SetTlsContext(_context.Get());
}

void RtServerTlsListener::RetryIfDue(BdConnManager *manager) {
    if (_nextAttempt != 0 && BdTime::Now().ToSecond() >= _nextAttempt) {
        Start(manager);
    }
}

int RtServerTlsListener::WaitSeconds(int usual) const {
    return _nextAttempt != 0 ? 1 : usual;
}

void RtServerTlsListener::Forget() {
    _listener = nullptr;
    _failures = 0;
    _nextAttempt = 0;
}
