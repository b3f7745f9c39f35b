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
    _server_port = -1;
    _database_port = -1;
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
    std::string *const text = name == "install_path"      ? &_install_path
                              : name == "server_ip"       ? &_server_ip
                              : name == "database_ip"     ? &_database_ip
                              : name == "database_name"   ? &_database_name
                              : name == "database_user"   ? &_database_user
                              : name == "database_passwd" ? &_database_passwd
                              : name == "storage_prefix"  ? &_storage_prefix
                              : name == "server_key_name" ? &_server_key_name
                              : name == "client_key_name" ? &_client_key_name
                              : name == "log_dir"         ? &_log_dir
                                                          : nullptr;
    if (text) {
        *text = value;
    } else if (name == "server_port") {
        _server_port = atoi(value.c_str());
    } else if (name == "database_port") {
        _database_port = atoi(value.c_str());
    } else if (name == "control_message_timeout") {
        _control_message_timeout = BdUtil::StrToNum<int>(value);
    } else {
        ParseSpecialElem(name, value);
    }
    return true;
}

bool BdCommonServerConfig::CheckVarValidity() {
    return !_install_path.empty() && !_server_ip.empty() && _server_port >= 1 &&
           !_database_ip.empty() && _database_port >= 1 && !_database_name.empty() &&
           !_database_user.empty() && !_database_passwd.empty() && !_storage_prefix.empty() &&
           !_server_key_name.empty() && !_client_key_name.empty() && !_log_dir.empty();
}

void BdCommonServerConfig::PrintVars() {
    std::cout << "-------------------norvale config content---------------------" << std::endl;
    std::cout << "install path: " << _install_path << std::endl;
    std::cout << "server ip: " << _server_ip << std::endl;
    std::cout << "server port: " << _server_port << std::endl;
    std::cout << "database ip: " << _database_ip << std::endl;
    std::cout << "database port: " << _database_port << std::endl;
    std::cout << "database name: " << _database_name << std::endl;
    std::cout << "database user: " << _database_user << std::endl;
    std::cout << "database psswd: " << _database_passwd << std::endl;
    std::cout << "storage prefix: " << _storage_prefix << std::endl;
    std::cout << "server key file: " << _server_key_name << std::endl;
    std::cout << "client key file: " << _client_key_name << std::endl;
    std::cout << "log dir: " << _log_dir << std::endl;
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
