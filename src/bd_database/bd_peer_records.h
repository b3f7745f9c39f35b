#ifndef BD_DATABASE_BD_PEER_RECORDS_H_
#define BD_DATABASE_BD_PEER_RECORDS_H_

#include <cstdint>
#include <string>

// Rows of the peer tables as filled from a handshake and written by the router. Plain values: a
// handshake handler fills one on its stack and hands it to the database writes by reference. Only
// the columns the router writes are carried.

// A row of bd_agent: an agent on a protected host.
class BdAgent {
  public:
    std::string agent_uuid;
    std::string hostname;
    std::string ip;  // the peer address the router sees
    std::string os_type;
    std::string os_version;
    std::string process_type;
};

// A row of bd_module_server: a module server, or the server platform.
class BdModuleServer {
  public:
    std::string module_uuid;
    std::string node_uuid;
    int32_t module_type = 0;
};

// A row of bd_node: a host that runs module servers.
class BdNode {
  public:
    std::string node_uuid;
    std::string ip;
    std::string host_name;
    std::string os_type;
    std::string os_version;
    std::string process_type;
    int32_t global_share_flag = 0;
};

#endif  // BD_DATABASE_BD_PEER_RECORDS_H_
