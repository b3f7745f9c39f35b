#include "rt_server/rt_server_config.h"

#include <iostream>

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
        _limitInvalid = _limitInvalid || limit < 1;
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
    if (_listenIp.empty() || _listenPort <= 0 || _tlsListenPort < 0 || _limitInvalid ||
        _monitorPort < 0 || _monitorPort > 65535 || _tlsRequirePeerCertificate == kInvalid ||
        _plainListen == kInvalid) {
        return false;
    }
    if (_tlsRequirePeerCertificate == kYes && _tlsCaFile.empty()) {
        return false;
    }
    return _plainListen == kYes || _tlsListenPort > 0;
}
