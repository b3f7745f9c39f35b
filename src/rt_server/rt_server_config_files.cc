#include "rt_server/rt_server_config_files.h"

#include "bd_common/bd_file.h"
#include "bd_common/bd_path.h"
#include "rt_server/rt_server_tls_listener.h"

// Only a derived class may make a common configuration of its own.
class RtServerConfigFiles::FreshCommonConfig : public BdCommonServerConfig {};

const char RtServerConfigFiles::kCommonPath[] = "/etc/norvale/common_server.conf.xml";
const char RtServerConfigFiles::kRouterPath[] = "/etc/norvale/rt_server.conf.xml";

RtServerConfigFiles::RtServerConfigFiles() : _common(std::make_unique<FreshCommonConfig>()) {}

RtServerConfigFiles::~RtServerConfigFiles() = default;

const BdCommonServerConfig &RtServerConfigFiles::Common() const {
    return *_common;
}

bool RtServerConfigFiles::Load() {
    _problems.clear();
    const std::string common = BdPath::Resolve(kCommonPath);
    const std::string router = BdPath::Resolve(kRouterPath);
    // The loaders say themselves when a file is missing, on standard error; the problem line
    // says it again for the log.
    if (!_common->LoadConfigFile(common)) {
        _problems.push_back(common + ": " +
                            (BdFile::FileExist(common) != 0
                                 ? std::string("missing")
                                 : _common->InvalidKey() + " is missing or invalid"));
    }
    if (!_router.LoadConfigFile(router)) {
        _problems.push_back(router + ": " +
                            (BdFile::FileExist(router) != 0 ? "missing" : _router.Problem()));
    } else if (_router.GetTlsListenPort() > 0) {
        std::string failure;
        if (_tls.Load(RtServerTlsListener::SettingsFor(_router), &failure) != 0) {
            _problems.push_back(failure);
        }
    }
    return _problems.empty();
}
