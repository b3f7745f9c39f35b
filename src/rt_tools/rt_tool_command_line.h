#ifndef RT_TOOLS_RT_TOOL_COMMAND_LINE_H_
#define RT_TOOLS_RT_TOOL_COMMAND_LINE_H_

#include <ostream>
#include <string>

// What the operator tools' command lines have in common: the program name, the usage report, the
// help layout and whole-number arguments, so rt_peer and rt_bench read and answer alike. Free
// functions without state; any thread.

// argv[0], or fallback when the caller gave none.
std::string RtToolProgramName(int argc, const char *const *argv, const char *fallback);

// Writes the problem and the hint at --help to err, in the router's style.
void RtToolUsageProblem(std::ostream &err, const std::string &program, const std::string &message);

// The help text's first lines: the program, the system, the usage line ending in operands.
void RtToolHelpHead(std::ostream &out, const std::string &program, const char *operands);

// One help line: the option, tabs up to the description column, the description.
void RtToolHelpLine(std::ostream &out, const std::string &option, const char *text);

// A whole decimal integer within [low, high]; false (value untouched) otherwise.
bool RtToolToInt(const std::string &text, long low, long high, int *value);

#endif  // RT_TOOLS_RT_TOOL_COMMAND_LINE_H_
