#ifndef RT_SERVER_RT_SERVER_CONFIG_H_
#define RT_SERVER_RT_SERVER_CONFIG_H_

#include <string>

#include "bd_common/bd_config_interface.h"

// The router's own settings: the address and port it listens on. Loaded and read on the main
// thread; not locked.
class RtServerConfig : public BdConfigInterface {
  public:
    // "listen ip: " and "listen port: " lines on standard output.
    void PrintVars() override;
    // Keys listen_ip and listen_port; others are ignored. An empty name or value stops the load.
    bool ParseElem(std::string name, std::string value) override;
    // A listen address and a port above 0 (no upper bound is applied).
    bool CheckVarValidity() override;

    std::string GetListenIP() const { return _listen_ip; }
    int GetListenPort() const { return _listen_port; }

  private:
    std::string _listen_ip;
    int _listen_port = 0;
};

// The router's configuration, alive for the whole process.
extern RtServerConfig g_rt_server_conf;

#endif  // RT_SERVER_RT_SERVER_CONFIG_H_
