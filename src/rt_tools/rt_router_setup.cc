#include "rt_tools/rt_router_setup.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

bool WriteText(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    return static_cast<bool>(out);
}

}  // namespace

bool WriteRtRouterConfiguration(const std::string &root, int port, const RtRouterDatabase &database,
                                const RtRouterTls &tls, int monitorPort) {
    std::error_code failed;
    std::filesystem::create_directories(root + "/etc/norvale", failed);
    if (failed) {
        return false;
    }
    std::ostringstream common;
    common << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<config>\n"
           << "  <install_path>" << root << "/opt/norvale/</install_path>\n"
           << "  <server_ip>127.0.0.1</server_ip>\n"
           << "  <server_port>" << port << "</server_port>\n"
           << "  <database_ip>" << database.host << "</database_ip>\n"
           << "  <database_port>" << database.port << "</database_port>\n"
           << "  <database_name>" << database.name << "</database_name>\n"
           << "  <database_user>" << database.user << "</database_user>\n"
           << "  <database_passwd>" << database.password << "</database_passwd>\n"
           << "  <storage_prefix>" << root << "/storage</storage_prefix>\n"
           << "  <server_key_name>private_key.pem</server_key_name>\n"
           << "  <client_key_name>certificate.pem</client_key_name>\n"
           << "  <log_dir>" << root << "/log</log_dir>\n"
           << "</config>\n";
    std::ostringstream own;
    own << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<config>\n"
        << "  <listen_ip>127.0.0.1</listen_ip>\n"
        << "  <listen_port>" << port << "</listen_port>\n";
    if (tls.port > 0) {
        own << "  <tls_listen_port>" << tls.port << "</tls_listen_port>\n";
        if (!tls.ca_file.empty()) {
            own << "  <tls_ca_file>" << tls.ca_file << "</tls_ca_file>\n";
        }
        own << "  <tls_require_peer_certificate>" << (tls.require_peer_certificate ? "yes" : "no")
            << "</tls_require_peer_certificate>\n"
            << "  <plain_listen>" << (tls.plain_listen ? "yes" : "no") << "</plain_listen>\n";
        const auto overwrite = std::filesystem::copy_options::overwrite_existing;
        if (!tls.certificate_file.empty()) {
            std::filesystem::copy_file(tls.certificate_file, root + "/etc/norvale/certificate.pem",
                                       overwrite, failed);
        }
        if (!failed && !tls.key_file.empty()) {
            std::filesystem::copy_file(tls.key_file, root + "/etc/norvale/private_key.pem",
                                       overwrite, failed);
        }
        if (failed) {
            return false;
        }
    }
    if (monitorPort > 0) {
        own << "  <monitor_port>" << monitorPort << "</monitor_port>\n";
    }
    own << "</config>\n";
    return WriteText(root + "/etc/norvale/common_server.conf.xml", common.str()) &&
           WriteText(root + "/etc/norvale/rt_server.conf.xml", own.str());
}

bool RtRouterAccepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
    close(fd);
    return ok;
}
