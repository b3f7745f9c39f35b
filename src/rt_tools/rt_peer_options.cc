#include "rt_tools/rt_peer_options.h"

#include <json/json.h>

#include <climits>
#include <iterator>
#include <memory>

#include "bd_common/bd_getopt.h"
#include "bd_common/bd_util.h"
#include "bd_netframwork/bd_packet.h"
#include "rt_tools/rt_tool_command_line.h"

namespace {

const BdGetopt::Option kOptions[] = {
    {'h', "help", BdGetopt::kNoArgument},
    {'k', "kind", BdGetopt::kRequiredArgument},
    {'u', "uuid", BdGetopt::kRequiredArgument},
    {'n', "node", BdGetopt::kRequiredArgument},
    {'m', "module-type", BdGetopt::kRequiredArgument},
    {'s', "source-type", BdGetopt::kRequiredArgument},
    {'t', "target", BdGetopt::kRequiredArgument},
    {'T', "target-type", BdGetopt::kRequiredArgument},
    {'p', "payload", BdGetopt::kRequiredArgument},
    {'l', "log", BdGetopt::kRequiredArgument},
    {'c', "count", BdGetopt::kRequiredArgument},
    {'w', "wait", BdGetopt::kRequiredArgument},
    {'e', "expect", BdGetopt::kRequiredArgument},
    {'o', "timeout", BdGetopt::kRequiredArgument},
    {'a', "keepalive", BdGetopt::kRequiredArgument},
    {'j', "json", BdGetopt::kNoArgument},
    {kRtToolTls, "tls", BdGetopt::kNoArgument},
    {kRtToolCa, "ca", BdGetopt::kRequiredArgument},
    {kRtToolCert, "cert", BdGetopt::kRequiredArgument},
    {kRtToolKey, "key", BdGetopt::kRequiredArgument},
    {0, nullptr, BdGetopt::kNoArgument},
};

bool ToKind(const std::string &text, int *kind) {
    static const struct {
        const char *name;
        int kind;
    } kKinds[] = {{"client", kBdHandShakeClient},
                  {"module-server", kBdHandShakeModuleServer},
                  {"platform", kBdHandShakeServerPlatform},
                  {"web", kRtPeerKindWeb}};
    for (const auto &entry : kKinds) {
        if (text == entry.name) {
            *kind = entry.kind;
            return true;
        }
    }
    return false;
}

// The payload in the form every process of the system sends: the fast writer's compact line.
bool CompactJson(const std::string &text, std::string *compact, std::string *errors) {
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    if (!reader->parse(text.data(), text.data() + text.size(), &value, errors)) {
        return false;
    }
    Json::FastWriter writer;
    *compact = writer.write(value);
    return true;
}

}  // namespace

int RtPeerCommandLine::Parse(int argc, const char *const *argv, std::istream &payloadInput,
                             std::ostream &err, RtPeerOptions *options) {
    const RtToolUsage usage(argc, argv, "rt_peer", err, kRtPeerExitUsage);
    const BdGetopt parsed(argc, argv, kOptions, false);
    if (!parsed.Error().empty()) {
        return usage.Problem(parsed.Error());
    }

    std::string address;
    std::string payloadArgument;
    bool payloadGiven = false;
    bool waitGiven = false;
    for (int i = 0; i < parsed.Arguments(); ++i) {
        const std::string argument = parsed.Argument(i);
        bool ok = true;
        switch (parsed.Code(i)) {
            case 'h':
                options->help = true;
                return kRtPeerExitOk;
            case 'k':
                ok = ToKind(argument, &options->kind);
                break;
            case 'u':
                options->uuid = argument;
                ok = !argument.empty() && argument.size() <= kRtPeerMaxUuidLen;
                break;
            case 'n':
                options->node_uuid = argument;
                ok = !argument.empty() && argument.size() <= kRtPeerMaxUuidLen;
                break;
            case 'm':
                ok = RtToolToInt(argument, INT_MIN, INT_MAX, &options->module_type);
                break;
            case 's':
                ok = RtToolToInt(argument, INT_MIN, INT_MAX, &options->source_type);
                break;
            case 't':
                options->target_uuid = argument;
                ok = !argument.empty() && argument.size() <= kRtPeerMaxUuidLen;
                break;
            case 'T':
                ok = RtToolToInt(argument, INT_MIN, INT_MAX, &options->target_type);
                break;
            case 'p':
                payloadArgument = argument;
                payloadGiven = true;
                break;
            case 'l':
                ok = RtToolToInt(argument, 1, 2, &options->log_kind);
                break;
            case 'c':
                ok = RtToolToInt(argument, 1, INT_MAX, &options->count);
                break;
            case 'w':
                ok = RtToolToInt(argument, 0, INT_MAX, &options->wait_seconds);
                waitGiven = true;
                break;
            case 'e':
                ok = RtToolToInt(argument, 1, INT_MAX, &options->expect);
                break;
            case 'o':
                ok = RtToolToInt(argument, 1, INT_MAX, &options->timeout_seconds);
                break;
            case 'a':
                ok = RtToolToInt(argument, 0, INT_MAX, &options->keepalive_seconds);
                break;
            case 'j':
                options->json = true;
                break;
            default:
                if (RtToolTakeTlsOption(parsed.Code(i), argument, &options->tls)) {
                    break;
                }
                if (!address.empty()) {
                    return usage.Problem("only one HOST:PORT may be given");
                }
                address = argument;
                break;
        }
        if (!ok) {
            return usage.Problem("invalid value '" + argument + "' for option -" +
                                 static_cast<char>(parsed.Code(i)));
        }
    }
    const std::string tlsProblem = RtToolTlsProblem(options->tls);
    if (!tlsProblem.empty()) {
        return usage.Problem(tlsProblem);
    }

    const size_t colon = address.rfind(':');
    if (address.empty()) {
        return usage.Problem("missing HOST:PORT");
    }
    if (colon == std::string::npos || colon == 0 ||
        !RtToolToInt(address.substr(colon + 1), 1, 65535, &options->port)) {
        return usage.Problem("invalid address '" + address + "', expected HOST:PORT");
    }
    options->host = address.substr(0, colon);

    if (options->kind == kRtPeerKindWeb) {
        if (options->source_type != 0 && options->source_type != kBdPeerTypeWeb) {
            return usage.Problem("the web side always sends with source type 1");
        }
        options->source_type = kBdPeerTypeWeb;
    }
    if (options->uuid.empty()) {
        options->uuid = BdUtil::GenerateUuidString();
    }
    if (options->node_uuid.empty()) {
        options->node_uuid = BdUtil::GenerateUuidString();
    }

    options->send = payloadGiven || options->log_kind != 0;
    if (payloadArgument == "-") {
        payloadArgument.assign(std::istreambuf_iterator<char>(payloadInput),
                               std::istreambuf_iterator<char>());
    }
    if (options->log_kind != 0) {
        options->payload = payloadArgument;
    } else if (payloadGiven) {
        std::string errors;
        if (!CompactJson(payloadArgument, &options->payload, &errors)) {
            return usage.Problem("the payload is not valid JSON: " +
                                 errors.substr(0, errors.find('\n')));
        }
    }
    if (options->send && options->kind == kRtPeerKindWeb && options->target_uuid.empty()) {
        return usage.Problem("the web side has no server platform to default to: give --target");
    }
    if (!waitGiven && options->send) {
        options->wait_seconds = 1;
    }
    return kRtPeerExitOk;
}

void RtPeerCommandLine::ShowHelp(const std::string &programName, std::ostream &out) {
    RtToolHelpHead(out, programName, "HOST:PORT");
    out << "Options:\n";
    RtToolHelpLine(out, "  -h, --help", "Display this help message and exit.");
    RtToolHelpLine(out, "  -k, --kind [kind]",
                   "Hand-shake as client, module-server or platform (default client); web sends "
                   "without a handshake, as the web side.");
    RtToolHelpLine(out, "  -u, --uuid [uuid]", "This peer's UUID, otherwise a new one.");
    RtToolHelpLine(out, "  -n, --node [uuid]",
                   "The node UUID of the handshake, otherwise a new one.");
    RtToolHelpLine(out, "  -m, --module-type [n]",
                   "The module type of every packet sent (default 0).");
    RtToolHelpLine(out, "  -s, --source-type [n]",
                   "The source type of every packet sent (default 0; always 1 for web).");
    RtToolHelpLine(
        out, "  -t, --target [uuid]",
        "Send to this UUID, otherwise to the server platform named by the handshake answer.");
    RtToolHelpLine(out, "  -T, --target-type [n]",
                   "The target type of every packet sent (default 0).");
    RtToolHelpLine(out, "  -p, --payload [json]",
                   "Send a normal packet with this JSON payload; - reads it from standard input.");
    RtToolHelpLine(out, "  -l, --log [1|2]",
                   "Send log packets of this sub-kind instead, with the payload as their data.");
    RtToolHelpLine(out, "  -c, --count [n]", "Send the packet n times (default 1).");
    RtToolHelpLine(
        out, "  -w, --wait [seconds]",
        "Stay connected this long after sending (default 1 after sending, otherwise until "
        "killed).");
    RtToolHelpLine(out, "  -e, --expect [n]", "Exit once n packets have arrived.");
    RtToolHelpLine(out, "  -o, --timeout [seconds]",
                   "Time allowed to connect and for the handshake answer (default 5).");
    RtToolHelpLine(out, "  -a, --keepalive [seconds]",
                   "Send a keep-alive packet this often (default 10, 0 never).");
    RtToolHelpLine(out, "  -j, --json", "Print one JSON object per received packet.");
    RtToolTlsHelp(out, "PEM certificate and key this peer proves its UUID and kinds with.");
    out << "Exit status:\n"
        << "  0\tSuccess.\n"
        << "  1\tA send or receive failed.\n"
        << "  2\tBad arguments.\n"
        << "  3\tConnection refused, or the TLS handshake failed.\n"
        << "  4\tTime-out: no connection, no handshake answer or too few packets.\n"
        << "  5\tServer not ready.\n"
        << "  6\tTarget connection lost.\n"
        << "  7\tConnection closed by the router.\n";
    out << std::endl;
}
