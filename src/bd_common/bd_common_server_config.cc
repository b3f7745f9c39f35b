#include "bd_common/bd_common_server_config.h"

#include <cstdlib>
#include <iostream>
#include <utility>

#include "bd_common/bd_config_interface.h"
#include "bd_common/bd_util.h"

BdMutex BdCommonServerConfig::_instance_mutex;
std::atomic<BdCommonServerConfig *> BdCommonServerConfig::_common_server_conf{nullptr};

BdCommonServerConfig *BdCommonServerConfig::GetCommonConf() {
    BdCommonServerConfig *conf = _common_server_conf.load(std::memory_order_acquire);
    if (conf) {
        return conf;
    }
    BdMutexLocker locker(_instance_mutex);
    conf = _common_server_conf.load(std::memory_order_relaxed);
    if (!conf) {
        conf = new BdCommonServerConfig;
        _common_server_conf.store(conf, std::memory_order_release);
    }
    return conf;
}

void BdCommonServerConfig::FreeCommonConf() {
    BdMutexLocker locker(_instance_mutex);
    delete _common_server_conf.exchange(nullptr, std::memory_order_acq_rel);
}

bool BdCommonServerConfig::LoadConfigFile(std::string path) {
    if (!BdConfigInterface::CheckPathGiven(path, __LINE__)) {
        return false;
    }
    // A file without a port must fail even when an earlier load had one.
    _serverPort = -1;
    _databasePort = -1;
    if (!BdConfigInterface::CheckFileExists(path, __LINE__)) {
        return false;
    }
    BdConfigInterface::ReadElems(path, [this](std::string name, std::string value) {
        return ParseElem(std::move(name), std::move(value));
    });
    return CheckVarValidity() && CheckSpecialVarValidity();
}

bool BdCommonServerConfig::ParseElem(std::string name, std::string value) {
    if (name.empty() || value.empty()) {
        return false;
    }
    std::string *const text = name == "install_path"      ? &_installPath
                              : name == "server_ip"       ? &_serverIp
                              : name == "database_ip"     ? &_databaseIp
                              : name == "database_name"   ? &_databaseName
                              : name == "database_user"   ? &_databaseUser
                              : name == "database_passwd" ? &_databasePasswd
                              : name == "storage_prefix"  ? &_storagePrefix
                              : name == "server_key_name" ? &_serverKeyName
                              : name == "client_key_name" ? &_clientKeyName
                              : name == "log_dir"         ? &_logDir
                                                          : nullptr;
    if (text) {
        *text = value;
    } else if (name == "server_port") {
        _serverPort = atoi(value.c_str());
    } else if (name == "database_port") {
        _databasePort = atoi(value.c_str());
    } else if (name == "control_message_timeout") {
        _controlMessageTimeout = BdUtil::StrToNum<int>(value);
    } else {
        ParseSpecialElem(name, value);
    }
    return true;
}

bool BdCommonServerConfig::CheckVarValidity() {
    return InvalidKey().empty();
}

std::string BdCommonServerConfig::InvalidKey() const {
    const std::pair<const char *, bool> required[] = {
        {"install_path", !_installPath.empty()},
        {"server_ip", !_serverIp.empty()},
        {"server_port", _serverPort >= 1},
        {"database_ip", !_databaseIp.empty()},
        {"database_port", _databasePort >= 1},
        {"database_name", !_databaseName.empty()},
        {"database_user", !_databaseUser.empty()},
        {"database_passwd", !_databasePasswd.empty()},
        {"storage_prefix", !_storagePrefix.empty()},
        {"server_key_name", !_serverKeyName.empty()},
        {"client_key_name", !_clientKeyName.empty()},
        {"log_dir", !_logDir.empty()},
    };
    for (const auto &key : required) {
        if (!key.second) {
            return key.first;
        }
    }
    return "";
}

void BdCommonServerConfig::PrintVars() {
    std::cout << "-------------------norvale config content---------------------" << std::endl;
    std::cout << "install path: " << _installPath << std::endl;
    std::cout << "server ip: " << _serverIp << std::endl;
    std::cout << "server port: " << _serverPort << std::endl;
    std::cout << "database ip: " << _databaseIp << std::endl;
    std::cout << "database port: " << _databasePort << std::endl;
    std::cout << "database name: " << _databaseName << std::endl;
    std::cout << "database user: " << _databaseUser << std::endl;
    std::cout << "database psswd: " << _databasePasswd << std::endl;
    std::cout << "storage prefix: " << _storagePrefix << std::endl;
    std::cout << "server key file: " << _serverKeyName << std::endl;
    std::cout << "client key file: " << _clientKeyName << std::endl;
    std::cout << "log dir: " << _logDir << std::endl;
    PrintSpecialVars();
    std::cout << std::string(62, '-') << std::endl;
}

bool BdCommonServerConfig::ParseSpecialElem(std::string, std::string) {
    return true;
}

bool BdCommonServerConfig::CheckSpecialVarValidity() {
    return true;
}

void BdCommonServerConfig::PrintSpecialVars() {}
