#ifndef RT_TOOLS_RT_ROUTER_SETUP_H_
#define RT_TOOLS_RT_ROUTER_SETUP_H_

#include <string>

// Where a router finds its database.
struct RtRouterDatabase {
    std::string host = "127.0.0.1";
    int port = 3306;
    std::string name;
    std::string user;
    std::string password;
};

// The router's optional TLS listener. Off while port is 0.
struct RtRouterTls {
    int port = 0;
    std::string certificate_file;  // copied to the router's fixed certificate path
    std::string key_file;          // copied to its fixed private key path
    std::string ca_file;           // tls_ca_file, used as written; empty: none
    bool require_peer_certificate = false;
    bool plain_listen = true;
};

// A router run locally under a NORVALE_ROOT of its own, as the benchmark and the end-to-end tests
// run it. Free functions without state; any thread.

// Writes the two configuration files under root (creating etc/norvale): the common server file
// naming database, and the router's own file listening on 127.0.0.1:port, and on tls.port with
// TLS when that is set (its certificate and key copied under root). A monitorPort above 0
// switches the monitoring listener on at 127.0.0.1:monitorPort. Everything the router writes
// (log, storage, install path) stays under root. false when a file could not be written or
// copied.
bool WriteRtRouterConfiguration(const std::string &root, int port, const RtRouterDatabase &database,
                                const RtRouterTls &tls = RtRouterTls(), int monitorPort = 0);

// True when something accepts connections on 127.0.0.1:port right now.
bool RtRouterAccepts(int port);

#endif  // RT_TOOLS_RT_ROUTER_SETUP_H_
