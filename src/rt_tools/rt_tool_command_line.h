#ifndef RT_TOOLS_RT_TOOL_COMMAND_LINE_H_
#define RT_TOOLS_RT_TOOL_COMMAND_LINE_H_

#include <ostream>
#include <string>

// What the operator tools' command lines have in common: the program name, the usage report, the
// help layout and whole-number arguments, so rt_peer and rt_bench read and answer alike. The free
// functions keep no state and may be called from any thread; an RtToolUsage serves one parse on
// one thread.

// The usage side of one parse: the program's name (argv[0], otherwise fallback) and where problems
// go. Holds err by reference; it must outlive the object.
class RtToolUsage {
  public:
    RtToolUsage(int argc, const char *const *argv, const char *fallback, std::ostream &err,
                int exitCode);
    // Writes the problem and the hint at --help to err, in the router's style; returns the tool's
    // usage exit status.
    int Problem(const std::string &message) const;

  private:
    std::string _program;
    std::ostream &_err;
    int _exitCode;
};

// The help text's first lines: the program, the system, the usage line ending in operands.
void RtToolHelpHead(std::ostream &out, const std::string &program, const char *operands);

// One help line: the option, tabs up to the description column, the description.
void RtToolHelpLine(std::ostream &out, const std::string &option, const char *text);

// The TLS options both tools take, by their option codes (no short forms): --tls, --ca [file],
// --cert [file], --key [file].
enum RtToolTlsOption { kRtToolTls = 2000, kRtToolCa, kRtToolCert, kRtToolKey };
struct RtToolTls {
    bool enabled = false;
    std::string ca_file;
    std::string certificate_file;
    std::string key_file;
};
// Takes the record of a TLS option into tls; false when code is not one.
bool RtToolTakeTlsOption(int code, const std::string &argument, RtToolTls *tls);
// Empty when the TLS options fit together, else the problem to report.
std::string RtToolTlsProblem(const RtToolTls &tls);
// The help lines of the TLS options; certText says whose certificate --cert and --key give.
void RtToolTlsHelp(std::ostream &out, const char *certText);

// A whole decimal integer within [low, high]; false (value untouched) otherwise.
bool RtToolToInt(const std::string &text, long low, long high, int *value);

#endif  // RT_TOOLS_RT_TOOL_COMMAND_LINE_H_
