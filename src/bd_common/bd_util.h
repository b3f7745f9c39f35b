#ifndef BD_COMMON_BD_UTIL_H_
#define BD_COMMON_BD_UTIL_H_

#include <sstream>
#include <string>
#include <string_view>
#include <vector>

// Stateless helpers; every operation may be called from any thread.
class BdUtil {
  public:
    BdUtil() = delete;

    static int BdSleep(unsigned int seconds);
    static int Memcpy(void *destination, const void *source, unsigned int length);
    // 36 characters: 8-4-4-4-12 hexadecimal digits.
    static std::string GenerateUuidString();

    // Leading number of the text by stream extraction; 0 when there is none.
    template <typename T>
    static T StrToNum(const std::string &text) {
        std::istringstream stream(text);
        T value{};
        stream >> value;
        return stream.fail() ? T{} : value;
    }

    template <typename T>
    static std::string NumToStr(T value) {
        std::ostringstream stream;
        stream << value;
        return stream.str();
    }

    // Appends to parts the pieces of text between occurrences of pattern; an empty piece between
    // two occurrences (or before the first) becomes a single blank, an empty remainder is dropped.
    // The placeholder substitution of the query layer relies on exactly this. Returns 0 without
    // touching parts when text or pattern is empty, else 1.
    static int SplitStringByPattern(std::string text, std::string pattern,
                                    std::vector<std::string> &parts);

    // Runs command through the shell and appends what it writes to standard output; waits for it
    // and returns 1, or 0 at once for an empty command or a null output.
    static int DoShellCommand(std::string command, std::string *output);

    // text with every control character (below 0x20, and 0x7f) written as an escape: "\\n", "\\r",
    // "\\t", else "\\x" and two lower-case hexadecimal digits; other bytes, backslashes included,
    // stay as they are. Text from peers goes through it before it reaches a line-based record, so
    // a peer cannot end a line early and forge the next one.
    static std::string EscapeControlChars(std::string_view text);
    // True when text holds a byte EscapeControlChars would rewrite.
    static bool HasControlChars(std::string_view text);

    // Host facts carried by an outgoing handshake.
    static std::string GetHostName();
    static std::string GetOSType();
    static std::string GetOSVersion();
    static std::string GetProcessType();
};

#endif  // BD_COMMON_BD_UTIL_H_
