#include "rt_tools/rt_tool_command_line.h"

#include <cerrno>
#include <cstdlib>

RtToolUsage::RtToolUsage(int argc, const char *const *argv, const char *fallback, std::ostream &err,
                         int exitCode)
    : _program(argc > 0 && argv[0] != nullptr ? argv[0] : fallback),
      _err(err),
      _exitCode(exitCode) {}

int RtToolUsage::Problem(const std::string &message) const {
    _err << _program << ": " << message << "\n"
         << "Try '" << _program << " -h or --help' for more information.\n";
    return _exitCode;
}

void RtToolHelpHead(std::ostream &out, const std::string &program, const char *operands) {
    out << program << ": Norvale backup and recovery system\n"
        << "\n"
        << "Usage: " << program << " [options] " << operands << "\n";
}

void RtToolHelpLine(std::ostream &out, const std::string &option, const char *text) {
    const size_t kColumn = 32;
    out << option;
    size_t at = option.size();
    do {
        at = (at / 8 + 1) * 8;
        out << '\t';
    } while (at < kColumn);
    out << text << '\n';
}

bool RtToolToInt(const std::string &text, long low, long high, int *value) {
    if (text.empty()) {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high) {
        return false;
    }
    *value = static_cast<int>(parsed);
    return true;
}

bool RtToolTakeTlsOption(int code, const std::string &argument, RtToolTls *tls) {
    switch (code) {
        case kRtToolTls:
            tls->enabled = true;
            return true;
        case kRtToolCa:
            tls->ca_file = argument;
            return true;
        case kRtToolCert:
            tls->certificate_file = argument;
            return true;
        case kRtToolKey:
            tls->key_file = argument;
            return true;
        default:
            return false;
    }
}

std::string RtToolTlsProblem(const RtToolTls &tls) {
    const bool files =
        !tls.ca_file.empty() || !tls.certificate_file.empty() || !tls.key_file.empty();
    if (files && !tls.enabled) {
        return "--ca, --cert and --key go with --tls";
    }
    if (tls.certificate_file.empty() != tls.key_file.empty()) {
        return "--cert and --key go together";
    }
    return std::string();
}

void RtToolTlsHelp(std::ostream &out, const char *certText) {
    RtToolHelpLine(out, "  --tls", "Speak TLS to the router's TLS port.");
    RtToolHelpLine(out, "  --ca [file]",
                   "PEM CA the router's certificate must be signed by; without it the router is "
                   "not verified.");
    RtToolHelpLine(out, "  --cert [file], --key [file]", certText);
}
