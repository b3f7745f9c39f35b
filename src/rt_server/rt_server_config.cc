#include "rt_server/rt_server_config.h"

#include <iostream>

#include "bd_common/bd_util.h"

RtServerConfig g_rt_server_conf;

void RtServerConfig::PrintVars() {
    std::cout << "listen ip: " << _listen_ip << std::endl;
    std::cout << "listen port: " << _listen_port << std::endl;
}

bool RtServerConfig::ParseElem(std::string name, std::string value) {
    if (name.empty() || value.empty()) {
        return false;
    }
    if (name == "listen_ip") {
        _listen_ip = value;
    } else if (name == "listen_port") {
        _listen_port = BdUtil::StrToNum<int>(value);
    }
    return true;
}

bool RtServerConfig::CheckVarValidity() {
    return !_listen_ip.empty() && _listen_port > 0;
}
