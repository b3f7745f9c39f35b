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

// A router run locally under a NORVALE_ROOT of its own, as the benchmark and the end-to-end tests
// run it. Free functions without state; any thread.

// Writes the two configuration files under root (creating etc/norvale): the common server file
// naming database, and the router's own file listening on 127.0.0.1:port. Everything the router
// writes (log, storage, install path) stays under root. false when a file could not be written.
bool WriteRtRouterConfiguration(const std::string &root, int port,
                                const RtRouterDatabase &database);

// True when something accepts connections on 127.0.0.1:port right now.
bool RtRouterAccepts(int port);

#endif  // RT_TOOLS_RT_ROUTER_SETUP_H_
