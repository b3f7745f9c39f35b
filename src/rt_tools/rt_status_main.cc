// rt_status: what a running router's monitoring listener reports, as a table for a person.
#include <iostream>
#include <string>

#include "rt_tools/rt_http_get.h"
#include "rt_tools/rt_status_report.h"
#include "rt_tools/rt_tool_command_line.h"

namespace {

enum { kExitHealthy = 0, kExitUnhealthy = 1, kExitUsage = 2, kExitUnreachable = 3 };
const int kTimeoutMs = 5000;

void ShowHelp(const std::string &program) {
    RtToolHelpHead(std::cout, program, "HOST:PORT");
    std::cout << "Prints the peers and the key counters of the router whose monitoring listener\n"
              << "(monitor_port in rt_server.conf.xml) is at HOST:PORT.\nOptions:\n";
    RtToolHelpLine(std::cout, "  -h, --help", "Display this help message and exit.");
    std::cout << "Exit status:\n"
              << "  0\tThe router is healthy.\n"
              << "  1\tThe router reports itself unhealthy.\n"
              << "  2\tBad arguments.\n"
              << "  3\tThe monitoring listener could not be reached or read.\n"
              << std::endl;
}

}  // namespace

int main(int argc, char **argv) {
    const RtToolUsage usage(argc, argv, "rt_status", std::cerr, kExitUsage);
    if (argc == 2 && (std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help")) {
        ShowHelp(argv[0]);
        return kExitHealthy;
    }
    if (argc != 2) {
        return usage.Problem("name one HOST:PORT");
    }
    const std::string target = argv[1];
    const size_t colon = target.rfind(':');
    int port = 0;
    if (colon == std::string::npos || !RtToolToInt(target.substr(colon + 1), 1, 65535, &port)) {
        return usage.Problem("invalid address '" + target + "'");
    }
    const std::string host = target.substr(0, colon);

    RtStatusPages pages;
    pages.health_status = RtHttpGet(host, port, "/healthz", kTimeoutMs, &pages.health);
    if (!pages.health.empty() && pages.health.back() == '\n') {
        pages.health.pop_back();
    }
    if (pages.health_status < 0 ||
        RtHttpGet(host, port, "/metrics", kTimeoutMs, &pages.metrics) != 200 ||
        RtHttpGet(host, port, "/peers", kTimeoutMs, &pages.peers) != 200 ||
        !RtWriteStatusReport(pages, std::cout)) {
        std::cerr << argv[0] << ": no monitoring answer from " << target << std::endl;
        return kExitUnreachable;
    }
    return pages.health_status == 200 ? kExitHealthy : kExitUnhealthy;
}
