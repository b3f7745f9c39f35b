#include "rt_server/rt_server_config.h"

#include <iostream>

#include "bd_common/bd_util.h"

RtServerConfig g_rt_server_conf;

void RtServerConfig::PrintVars() {
    std::cout << "listen ip: " << _listen_ip << std::endl;
    std::cout << "listen port: " << _listen_port << std::endl;
}

RtServerConfig::Switch RtServerConfig::ParseSwitch(const std::string &value) {
    if (value == "yes")
        return kYes;
    if (value == "no")
        return kNo;
    return kInvalid;
}

bool RtServerConfig::ParseElem(std::string name, std::string value) {
    if (name.empty() || value.empty()) {
        return false;
    }
    if (name == "listen_ip") {
        _listen_ip = value;
    } else if (name == "listen_port") {
        _listen_port = BdUtil::StrToNum<int>(value);
    } else if (name == "tls_listen_port") {
        // A value without digits must not read as 0, which would quietly switch TLS off.
        _tls_listen_port = value.find_first_of("0123456789") == std::string::npos
                               ? -1
                               : BdUtil::StrToNum<int>(value);
    } else if (name == "tls_ca_file") {
        _tls_ca_file = value;
    } else if (name == "tls_require_peer_certificate") {
        _tls_require_peer_certificate = ParseSwitch(value);
    } else if (name == "plain_listen") {
        _plain_listen = ParseSwitch(value);
    }
    return true;
}

bool RtServerConfig::CheckVarValidity() {
    if (_listen_ip.empty() || _listen_port <= 0 || _tls_listen_port < 0 ||
        _tls_require_peer_certificate == kInvalid || _plain_listen == kInvalid) {
        return false;
    }
    if (_tls_require_peer_certificate == kYes && _tls_ca_file.empty())
        return false;
    return _plain_listen == kYes || _tls_listen_port > 0;
}
