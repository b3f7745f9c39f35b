#include "rt_tools/rt_bench_options.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "bd_common/bd_getopt.h"
#include "rt_tools/rt_tool_command_line.h"

namespace {

// Codes of the options that have no short form.
enum { kDbHost = 1000, kDbPort, kDbName, kDbUser, kDbPassword, kDbDelay, kDbFreeze };

const BdGetopt::Option kOptions[] = {
    {'h', "help", BdGetopt::kNoArgument},
    {'r', "router", BdGetopt::kRequiredArgument},
    {'n', "peers", BdGetopt::kRequiredArgument},
    {'m', "messages", BdGetopt::kRequiredArgument},
    {'s', "size", BdGetopt::kRequiredArgument},
    {'w', "window", BdGetopt::kRequiredArgument},
    {'R', "runs", BdGetopt::kRequiredArgument},
    {'t', "time-bound", BdGetopt::kRequiredArgument},
    {'d', "workdir", BdGetopt::kRequiredArgument},
    {'S', "series", BdGetopt::kRequiredArgument},
    {kDbHost, "db-host", BdGetopt::kRequiredArgument},
    {kDbPort, "db-port", BdGetopt::kRequiredArgument},
    {kDbName, "db-name", BdGetopt::kRequiredArgument},
    {kDbUser, "db-user", BdGetopt::kRequiredArgument},
    {kDbPassword, "db-password", BdGetopt::kRequiredArgument},
    {kRtToolTls, "tls", BdGetopt::kNoArgument},
    {kRtToolCa, "ca", BdGetopt::kRequiredArgument},
    {kRtToolCert, "cert", BdGetopt::kRequiredArgument},
    {kRtToolKey, "key", BdGetopt::kRequiredArgument},
    {kDbDelay, "db-delay", BdGetopt::kRequiredArgument},
    {kDbFreeze, "db-freeze", BdGetopt::kRequiredArgument},
    {0, nullptr, BdGetopt::kNoArgument},
};

std::string Environment(const char *name, const std::string &fallback) {
    const char *value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

// The router next to this program: in a build tree src/rt_tools/rt_bench finds
// src/rt_server/rt_server, an installed bin/rt_bench finds sbin/rt_server.
std::string DefaultRouter() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) {
        return "rt_server";
    }
    self[n] = '\0';
    std::string dir(self);
    dir = dir.substr(0, dir.rfind('/'));
    for (const std::string &candidate :
         {dir + "/../rt_server/rt_server", dir + "/../sbin/rt_server"}) {
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return "rt_server";
}

}  // namespace

int RtBenchCommandLine::Parse(int argc, const char *const *argv, std::ostream &err,
                              RtBenchOptions *options) {
    const RtToolUsage usage(argc, argv, "rt_bench", err, kRtBenchExitUsage);
    RtBenchSettings &settings = options->settings;
    RtRouterDatabase &database = settings.database;
    database.host = Environment("RT_DB_HOST", database.host);
    if (!RtToolToInt(Environment("RT_DB_PORT", "3306"), 1, INT_MAX, &database.port)) {
        return usage.Problem("RT_DB_PORT is not a port number");
    }
    database.name = Environment("RT_DB_NAME", "norvale");
    database.user = Environment("RT_DB_USER", "norvale");
    database.password = Environment("RT_DB_PASSWORD", "");

    const BdGetopt parsed(argc, argv, kOptions, false);
    if (!parsed.Error().empty()) {
        return usage.Problem(parsed.Error());
    }
    for (int i = 0; i < parsed.Arguments(); ++i) {
        const std::string argument = parsed.Argument(i);
        bool ok = true;
        switch (parsed.Code(i)) {
            case 'h':
                options->help = true;
                return kRtBenchExitOk;
            case 'r':
                settings.router_binary = argument;
                break;
            case 'n':
                ok = RtToolToInt(argument, 1, INT_MAX, &settings.peers);
                break;
            case 'm':
                ok = RtToolToInt(argument, 1, INT_MAX, &settings.messages);
                break;
            case 's':
                ok = RtToolToInt(argument, 1, INT_MAX, &settings.payload_size);
                break;
            case 'w':
                ok = RtToolToInt(argument, 1, INT_MAX, &settings.window);
                break;
            case 'R':
                ok = RtToolToInt(argument, 1, INT_MAX, &options->runs);
                break;
            case 't':
                ok = RtToolToInt(argument, 1, INT_MAX, &settings.time_bound_seconds);
                break;
            case 'd':
                settings.work_dir = argument;
                break;
            case 'S':
                settings.series_dir = argument;
                break;
            case kDbHost:
                database.host = argument;
                break;
            case kDbPort:
                ok = RtToolToInt(argument, 1, INT_MAX, &database.port);
                break;
            case kDbName:
                database.name = argument;
                break;
            case kDbUser:
                database.user = argument;
                break;
            case kDbPassword:
                database.password = argument;
                break;
            case kDbDelay:
                ok = RtToolToInt(argument, 0, INT_MAX, &settings.db_delay_ms);
                break;
            case kDbFreeze:
                ok = RtToolToInt(argument, 0, INT_MAX, &settings.db_freeze_seconds);
                break;
            default: {
                if (RtToolTakeTlsOption(parsed.Code(i), argument, &settings.tls)) {
                    break;
                }
                const std::vector<std::string> &names = RtBenchWorkload::Names();
                if (argument == "all") {
                    options->workloads.insert(options->workloads.end(), names.begin(), names.end());
                } else if (std::find(names.begin(), names.end(), argument) != names.end()) {
                    options->workloads.push_back(argument);
                } else {
                    return usage.Problem("unknown workload '" + argument + "'");
                }
                break;
            }
        }
        if (!ok) {
            return usage.Problem("invalid value '" + argument + "'");
        }
    }
    if (options->workloads.empty()) {
        return usage.Problem("name at least one workload");
    }
    std::string tlsProblem = RtToolTlsProblem(settings.tls);
    if (tlsProblem.empty() && settings.tls.enabled && settings.tls.certificate_file.empty()) {
        tlsProblem = "--tls needs the router's --cert and --key";
    }
    if (!tlsProblem.empty()) {
        return usage.Problem(tlsProblem);
    }
    if (settings.router_binary.empty()) {
        settings.router_binary = DefaultRouter();
    }
    return kRtBenchExitOk;
}

void RtBenchCommandLine::ShowHelp(const std::string &programName, std::ostream &out) {
    RtToolHelpHead(out, programName, "WORKLOAD...");
    out << "Workloads:\n";
    RtToolHelpLine(out, "  fanin", "50 clients send 256-byte payloads to the server platform.");
    RtToolHelpLine(out, "  pairs", "25 pairs of clients send 256-byte payloads to each other.");
    RtToolHelpLine(out, "  pingpong", "50 clients each keep one round trip to the platform going.");
    RtToolHelpLine(out, "  large", "4 clients send 256 KiB payloads to the server platform.");
    RtToolHelpLine(out, "  storm", "2000 clients connect and hand-shake at once.");
    RtToolHelpLine(out, "  idle", "10000 clients hand-shake and stay idle.");
    RtToolHelpLine(out, "  dbstorm",
                   "The storm with the database behind a delay proxy, while a pair ping-pongs.");
    RtToolHelpLine(out, "  peerspage",
                   "10000 clients stay connected while /peers is fetched and a pair ping-pongs.");
    RtToolHelpLine(out, "  hubstall",
                   "The platform sends 64 KiB packets round-robin to 10 agents; one stalls.");
    RtToolHelpLine(
        out, "  hubslow",
        "The platform sends 64 KiB packets round-robin to 10 agents; one reads 1 MiB/s.");
    RtToolHelpLine(out, "  bigslow",
                   "50 clients send 60 MiB packets to readers taking 1 MiB/s; a pair ping-pongs.");
    RtToolHelpLine(out, "  all", "Every workload above, in this order.");
    out << "Options:\n";
    RtToolHelpLine(out, "  -h, --help", "Display this help message and exit.");
    RtToolHelpLine(out, "  -r, --router [path]",
                   "The rt_server binary, otherwise the one next to this program.");
    RtToolHelpLine(out, "  -n, --peers [n]", "Peers per run instead of the workload's number.");
    RtToolHelpLine(out, "  -m, --messages [n]", "Packets per sending peer.");
    RtToolHelpLine(out, "  -s, --size [bytes]", "Payload bytes per packet.");
    RtToolHelpLine(out, "  -w, --window [n]", "Packets in flight per sending peer.");
    RtToolHelpLine(out, "  -R, --runs [n]",
                   "Runs of each workload, each with a fresh router (default 3).");
    RtToolHelpLine(out, "  -t, --time-bound [seconds]",
                   "Longest time one run may take (default 120).");
    RtToolHelpLine(out, "  --db-delay [ms]", "dbstorm: added to every database round trip.");
    RtToolHelpLine(out, "  --db-freeze [seconds]",
                   "dbstorm: the database answers nothing this long from the storm's start.");
    RtToolHelpLine(out, "  -d, --workdir [dir]",
                   "Where the router's root and log are made (default /var/tmp).");
    RtToolHelpLine(out, "  -S, --series [dir]",
                   "Also write each run's series there: ping-pong round trips, crowd timelines "
                   "(the router's too).");
    RtToolHelpLine(out,
                   "  --db-host [host], --db-port [port], --db-name [name], --db-user [user], "
                   "--db-password [text]",
                   "The database, otherwise RT_DB_HOST, RT_DB_PORT, RT_DB_NAME, RT_DB_USER, "
                   "RT_DB_PASSWORD.");
    RtToolTlsHelp(out,
                  "PEM certificate and key the router serves its TLS port with (required "
                  "with --tls).");
    out << "Exit status:\n"
        << "  0\tEvery run completed and verified.\n"
        << "  1\tA run lost, corrupted or reordered packets, or reached its time bound.\n"
        << "  2\tBad arguments.\n"
        << "  3\tThe database or the router could not be reached or started.\n"
        << std::endl;
}
