#include "rt_server/rt_server_config.h"

#include <iostream>
#include <utility>

#include "bd_common/bd_util.h"

RtServerConfig g_rt_server_conf;

void RtServerConfig::PrintVars() {
    std::cout << "listen ip: " << _listenIp << std::endl;
    std::cout << "listen port: " << _listenPort << std::endl;
}

RtServerConfig::Switch RtServerConfig::ParseSwitch(const std::string &value) {
    if (value == "yes") {
        return kYes;
    }
    if (value == "no") {
        return kNo;
    }
    return kInvalid;
}

bool RtServerConfig::ParseElem(std::string name, std::string value) {
    if (name.empty() || value.empty()) {
        return false;
    }
    if (name == "listen_ip") {
        _listenIp = value;
    } else if (name == "listen_port") {
        _listenPort = BdUtil::StrToNum<int>(value);
    } else if (name == "tls_listen_port") {
        // A value without digits must not read as 0, which would quietly switch TLS off.
        _tlsListenPort = value.find_first_of("0123456789") == std::string::npos
                             ? -1
                             : BdUtil::StrToNum<int>(value);
    } else if (name == "tls_ca_file") {
        _tlsCaFile = value;
    } else if (name == "tls_require_peer_certificate") {
        _tlsRequirePeerCertificate = ParseSwitch(value);
    } else if (name == "plain_listen") {
        _plainListen = ParseSwitch(value);
    } else if (name == "max_connections_per_address" || name == "max_uuids_per_connection" ||
               name == "queue_budget_mib") {
        const int limit = BdUtil::StrToNum<int>(value);
        if (limit < 1 && _invalidLimit.empty()) {
            _invalidLimit = name;
        }
        (name == "max_connections_per_address" ? _maxConnectionsPerAddress
         : name == "queue_budget_mib"          ? _queueBudgetMiB
                                               : _maxUuidsPerConnection) = limit;
    } else if (name == "monitor_ip") {
        _monitorIp = value;
    } else if (name == "monitor_port") {
        // Anything but a port number is refused by the validity check rather than read as "off".
        _monitorPort = BdUtil::StrToNum<int>(value);
        if (_monitorPort == 0) {
            _monitorPort = -1;
        }
    }
    return true;
}

bool RtServerConfig::CheckVarValidity() {
    return Problem().empty();
}

std::string RtServerConfig::Problem() const {
    if (_listenIp.empty()) {
        return "listen_ip is missing";
    }
    if (_listenPort <= 0) {
        return "listen_port must be greater than 0";
    }
    if (_tlsListenPort < 0) {
        return "tls_listen_port must be a port number";
    }
    if (!_invalidLimit.empty()) {
        return _invalidLimit + " must be at least 1";
    }
    if (_monitorPort < 0 || _monitorPort > 65535) {
        return "monitor_port must be from 1 to 65535";
    }
    if (_tlsRequirePeerCertificate == kInvalid) {
        return "tls_require_peer_certificate must be yes or no";
    }
    if (_plainListen == kInvalid) {
        return "plain_listen must be yes or no";
    }
    if (_tlsRequirePeerCertificate == kYes && _tlsCaFile.empty()) {
        return "tls_require_peer_certificate needs tls_ca_file";
    }
    if (_plainListen == kNo && _tlsListenPort == 0) {
        return "plain_listen no needs tls_listen_port";
    }
    return "";
}

std::vector<std::string> RtServerConfig::FixedKeysChanged(const RtServerConfig &fresh) const {
    std::vector<std::string> changed;
    const std::pair<const char *, bool> fixed[] = {
        {"listen_ip", _listenIp != fresh._listenIp},
        {"listen_port", _listenPort != fresh._listenPort},
        {"tls_listen_port", _tlsListenPort != fresh._tlsListenPort},
        {"plain_listen", _plainListen != fresh._plainListen},
    };
    for (const auto &key : fixed) {
        if (key.second) {
            changed.emplace_back(key.first);
        }
    }
    return changed;
}

void RtServerConfig::TakeLiveKeys(const RtServerConfig &fresh) {
    _tlsCaFile = fresh._tlsCaFile;
    _tlsRequirePeerCertificate = fresh._tlsRequirePeerCertificate;
    _maxConnectionsPerAddress = fresh._maxConnectionsPerAddress;
    _maxUuidsPerConnection = fresh._maxUuidsPerConnection;
    _queueBudgetMiB = fresh._queueBudgetMiB;
    _monitorIp = fresh._monitorIp;
    _monitorPort = fresh._monitorPort;
}
