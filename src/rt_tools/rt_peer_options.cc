#include "rt_tools/rt_peer_options.h"

#include <json/json.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iterator>
#include <memory>

#include "bd_common/bd_getopt.h"
#include "bd_common/bd_util.h"
#include "bd_netframwork/bd_packet.h"

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
    {0, nullptr, BdGetopt::kNoArgument},
};

// One help line: the option, tabs up to the description column, the description.
void HelpLine(std::ostream &out, const std::string &option, const char *text) {
    const size_t kColumn = 32;
    out << option;
    size_t at = option.size();
    do {
        at = (at / 8 + 1) * 8;
        out << '\t';
    } while (at < kColumn);
    out << text << '\n';
}

// A whole decimal integer within [low, high].
bool ToInt(const std::string &text, long low, long high, int *value) {
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high)
        return false;
    *value = static_cast<int>(parsed);
    return true;
}

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
    if (!reader->parse(text.data(), text.data() + text.size(), &value, errors))
        return false;
    Json::FastWriter writer;
    *compact = writer.write(value);
    return true;
}

// Collects the first problem of a parse and reports it in the router's style.
class Problems {
  public:
    Problems(const std::string &program, std::ostream &err) : program_(program), err_(err) {}
    int Report(const std::string &message) {
        err_ << program_ << ": " << message << "\n"
             << "Try '" << program_ << " -h or --help' for more information.\n";
        return kRtPeerExitUsage;
    }

  private:
    const std::string &program_;
    std::ostream &err_;
};

}  // namespace

int RtPeerCommandLine::Parse(int argc, const char *const *argv, std::istream &payloadInput,
                             std::ostream &err, RtPeerOptions *options) {
    const std::string program = argc > 0 && argv[0] != nullptr ? argv[0] : "rt_peer";
    Problems problems(program, err);
    const BdGetopt parsed(argc, argv, kOptions, false);
    if (!parsed.Error().empty())
        return problems.Report(parsed.Error());

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
                ok = ToInt(argument, INT_MIN, INT_MAX, &options->module_type);
                break;
            case 's':
                ok = ToInt(argument, INT_MIN, INT_MAX, &options->source_type);
                break;
            case 't':
                options->target_uuid = argument;
                ok = !argument.empty() && argument.size() <= kRtPeerMaxUuidLen;
                break;
            case 'T':
                ok = ToInt(argument, INT_MIN, INT_MAX, &options->target_type);
                break;
            case 'p':
                payloadArgument = argument;
                payloadGiven = true;
                break;
            case 'l':
                ok = ToInt(argument, 1, 2, &options->log_kind);
                break;
            case 'c':
                ok = ToInt(argument, 1, INT_MAX, &options->count);
                break;
            case 'w':
                ok = ToInt(argument, 0, INT_MAX, &options->wait_seconds);
                waitGiven = true;
                break;
            case 'e':
                ok = ToInt(argument, 1, INT_MAX, &options->expect);
                break;
            case 'o':
                ok = ToInt(argument, 1, INT_MAX, &options->timeout_seconds);
                break;
            case 'a':
                ok = ToInt(argument, 0, INT_MAX, &options->keepalive_seconds);
                break;
            case 'j':
                options->json = true;
                break;
            default:
                if (!address.empty())
                    return problems.Report("only one HOST:PORT may be given");
                address = argument;
                break;
        }
        if (!ok) {
            return problems.Report("invalid value '" + argument + "' for option -" +
                                   static_cast<char>(parsed.Code(i)));
        }
    }

    const size_t colon = address.rfind(':');
    if (address.empty())
        return problems.Report("missing HOST:PORT");
    if (colon == std::string::npos || colon == 0 ||
        !ToInt(address.substr(colon + 1), 1, 65535, &options->port)) {
        return problems.Report("invalid address '" + address + "', expected HOST:PORT");
    }
    options->host = address.substr(0, colon);

    if (options->kind == kRtPeerKindWeb) {
        if (options->source_type != 0 && options->source_type != kBdPeerTypeWeb)
            return problems.Report("the web side always sends with source type 1");
        options->source_type = kBdPeerTypeWeb;
    }
    if (options->uuid.empty())
        options->uuid = BdUtil::GenerateUuidString();
    if (options->node_uuid.empty())
        options->node_uuid = BdUtil::GenerateUuidString();

    options->send = payloadGiven || options->log_kind != 0;
    if (payloadArgument == "-") {
        payloadArgument.assign(std::istreambuf_iterator<char>(payloadInput),
                               std::istreambuf_iterator<char>());
    }
    if (options->log_kind != 0) {
        options->payload = payloadArgument;
    } else if (payloadGiven) {
        std::string errors;
        if (!CompactJson(payloadArgument, &options->payload, &errors))
            return problems.Report("the payload is not valid JSON: " +
                                   errors.substr(0, errors.find('\n')));
    }
    if (options->send && options->kind == kRtPeerKindWeb && options->target_uuid.empty())
        return problems.Report("the web side has no server platform to default to: give --target");
    if (!waitGiven && options->send)
        options->wait_seconds = 1;
    return kRtPeerExitOk;
}

void RtPeerCommandLine::ShowHelp(const std::string &programName, std::ostream &out) {
    out << programName << ": Norvale backup and recovery system\n"
        << "\n"
        << "Usage: " << programName << " [options] HOST:PORT\n"
        << "Options:\n";
    HelpLine(out, "  -h, --help", "Display this help message and exit.");
    HelpLine(out, "  -k, --kind [kind]",
             "Hand-shake as client, module-server or platform (default client); web sends "
             "without a handshake, as the web side.");
    HelpLine(out, "  -u, --uuid [uuid]", "This peer's UUID, otherwise a new one.");
    HelpLine(out, "  -n, --node [uuid]", "The node UUID of the handshake, otherwise a new one.");
    HelpLine(out, "  -m, --module-type [n]", "The module type of every packet sent (default 0).");
    HelpLine(out, "  -s, --source-type [n]",
             "The source type of every packet sent (default 0; always 1 for web).");
    HelpLine(out, "  -t, --target [uuid]",
             "Send to this UUID, otherwise to the server platform named by the handshake answer.");
    HelpLine(out, "  -T, --target-type [n]", "The target type of every packet sent (default 0).");
    HelpLine(out, "  -p, --payload [json]",
             "Send a normal packet with this JSON payload; - reads it from standard input.");
    HelpLine(out, "  -l, --log [1|2]",
             "Send log packets of this sub-kind instead, with the payload as their data.");
    HelpLine(out, "  -c, --count [n]", "Send the packet n times (default 1).");
    HelpLine(out, "  -w, --wait [seconds]",
             "Stay connected this long after sending (default 1 after sending, otherwise until "
             "killed).");
    HelpLine(out, "  -e, --expect [n]", "Exit once n packets have arrived.");
    HelpLine(out, "  -o, --timeout [seconds]",
             "Time allowed to connect and for the handshake answer (default 5).");
    HelpLine(out, "  -a, --keepalive [seconds]",
             "Send a keep-alive packet this often (default 10, 0 never).");
    HelpLine(out, "  -j, --json", "Print one JSON object per received packet.");
    out << "Exit status:\n"
        << "  0\tSuccess.\n"
        << "  1\tA send or receive failed.\n"
        << "  2\tBad arguments.\n"
        << "  3\tConnection refused.\n"
        << "  4\tTime-out: no connection, no handshake answer or too few packets.\n"
        << "  5\tServer not ready.\n"
        << "  6\tTarget connection lost.\n"
        << "  7\tConnection closed by the router.\n";
    out << std::endl;
}
