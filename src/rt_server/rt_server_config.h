#ifndef RT_SERVER_RT_SERVER_CONFIG_H_
#define RT_SERVER_RT_SERVER_CONFIG_H_

#include <string>
#include <vector>

#include "bd_common/bd_config_interface.h"

// The router's own settings: the address and port it listens on, optionally its TLS listener,
// its monitoring listener, and the limits an operator may set on what one peer holds. Every TLS
// key and every limit may be left out; without them the router listens in plain TCP only, with no
// limits. Monitoring is off unless monitor_port is set. Loaded on the main thread before any other
// thread exists; main thread only afterwards (a reload takes the keys that may change live), not
// locked.
class RtServerConfig : public BdConfigInterface {
  public:
    // "listen ip: " and "listen port: " lines on standard output.
    void PrintVars() override;
    // Keys listen_ip, listen_port, tls_listen_port, tls_ca_file, tls_require_peer_certificate,
    // plain_listen, max_connections_per_address, max_uuids_per_connection, queue_budget_mib,
    // monitor_ip and monitor_port; others are ignored. An empty name or value stops the load.
    bool ParseElem(std::string name, std::string value) override;
    // A listen address and a port above 0 (no upper bound is applied); when given, a TLS port of
    // at least 0, switches that read yes or no and a monitor port from 1 to 65535. A required peer
    // certificate needs a CA file to check it against, and the plain listener may be off only
    // while a TLS one is on. A limit that is present must be at least 1.
    bool CheckVarValidity() override;
    // What CheckVarValidity refuses, naming the key: the first rule broken, empty when none is.
    std::string Problem() const;

    // Reloading. The keys of fresh (a validly loaded file) that cannot change while the router
    // serves and differ from this object's: listen_ip, listen_port, tls_listen_port and
    // plain_listen, in that order.
    std::vector<std::string> FixedKeysChanged(const RtServerConfig &fresh) const;
    // Takes from fresh every key that may change live: the TLS CA and peer-certificate switch, the
    // limits, the queue budget and the monitoring address and port.
    void TakeLiveKeys(const RtServerConfig &fresh);

    std::string GetListenIP() const { return _listenIp; }
    int GetListenPort() const { return _listenPort; }
    // The limits; kUnlimited when the key is absent.
    static constexpr int kUnlimited = 0;
    int GetMaxConnectionsPerAddress() const { return _maxConnectionsPerAddress; }
    int GetMaxUuidsPerConnection() const { return _maxUuidsPerConnection; }
    // What every write queue together may hold before senders are paced, in MiB: the key
    // queue_budget_mib, kDefaultQueueBudgetMiB when absent (room on a 2 GB machine for the router
    // and the database beside it).
    static constexpr int kDefaultQueueBudgetMiB = 512;
    int GetQueueBudgetMiB() const { return _queueBudgetMiB; }
    // 0 when monitoring is off.
    int GetMonitorPort() const { return _monitorPort; }
    std::string GetMonitorIP() const { return _monitorIp; }

    // 0 when the TLS listener is off.
    int GetTlsListenPort() const { return _tlsListenPort; }
    // Signs the peers' certificates; empty when peers are not asked for one. Used as written.
    std::string GetTlsCaFile() const { return _tlsCaFile; }
    bool GetTlsRequirePeerCertificate() const { return _tlsRequirePeerCertificate == kYes; }
    bool GetPlainListen() const { return _plainListen == kYes; }

  private:
    // A yes/no switch as read; kInvalid for any other text, so the load fails visibly.
    enum Switch { kNo, kYes, kInvalid };
    static Switch ParseSwitch(const std::string &value);

    std::string _listenIp;
    int _listenPort = 0;
    int _tlsListenPort = 0;
    std::string _tlsCaFile;
    Switch _tlsRequirePeerCertificate = kNo;
    Switch _plainListen = kYes;
    int _maxConnectionsPerAddress = kUnlimited;
    int _maxUuidsPerConnection = kUnlimited;
    int _queueBudgetMiB = kDefaultQueueBudgetMiB;
    // The first limit key present with a value below 1; empty while none was.
    std::string _invalidLimit;
    int _monitorPort = 0;
    std::string _monitorIp = "127.0.0.1";
};

// The router's configuration, alive for the whole process.
extern RtServerConfig g_rt_server_conf;

#endif  // RT_SERVER_RT_SERVER_CONFIG_H_
