#ifndef RT_SERVER_RT_SERVER_CONFIG_FILES_H_
#define RT_SERVER_RT_SERVER_CONFIG_FILES_H_

#include <memory>
#include <string>
#include <vector>

#include "bd_common/bd_common_server_config.h"
#include "bd_netframwork/bd_tls_context.h"
#include "rt_server/rt_server_config.h"

// The router's configuration as the files on disk say it now: the common file and the router's
// own, each read once into a fresh object (nothing of an earlier load is left in it), and the TLS
// certificate, key and CA when the router's file names a TLS listener. `rt_server --check-config`
// reports what this finds; SIGHUP judges the files this way before it changes anything.
//
// Owns what it loaded; a plain value of the main thread.
class RtServerConfigFiles {
  public:
    // The fixed paths, under NORVALE_ROOT when that is set (BdPath::Resolve).
    static const char kCommonPath[];
    static const char kRouterPath[];

    RtServerConfigFiles();
    ~RtServerConfigFiles();
    RtServerConfigFiles(const RtServerConfigFiles &) = delete;
    RtServerConfigFiles &operator=(const RtServerConfigFiles &) = delete;

    // Reads both files and, when they are valid and name a TLS listener, loads its files. True
    // when everything is valid; otherwise Problems() says what is wrong, one line each.
    bool Load();
    const std::vector<std::string> &Problems() const { return _problems; }

    const BdCommonServerConfig &Common() const;
    const RtServerConfig &Router() const { return _router; }
    // The TLS context built from the files; empty (Get() null) without a TLS listener.
    BdTlsServerContext *Tls() { return &_tls; }

  private:
    // A common configuration of its own, beside the process-wide one.
    class FreshCommonConfig;
    std::unique_ptr<FreshCommonConfig> _common;
    RtServerConfig _router;
    BdTlsServerContext _tls;
    std::vector<std::string> _problems;
};

#endif  // RT_SERVER_RT_SERVER_CONFIG_FILES_H_
