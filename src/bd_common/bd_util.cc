#include "bd_common/bd_util.h"

#include <sys/utsname.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

int BdUtil::BdSleep(unsigned int seconds) {
    sleep(seconds);
    return 0;
}

int BdUtil::Memcpy(void *destination, const void *source, unsigned int length) {
    memcpy(destination, source, length);
    return 0;
}

std::string BdUtil::GenerateUuidString() {
    uuid_t uuid;
    uuid_generate(uuid);
    char text[37];
    uuid_unparse(uuid, text);
    return std::string(text, 36);
}

int BdUtil::SplitStringByPattern(std::string text, std::string pattern,
                                 std::vector<std::string> &parts) {
    if (text.empty() || pattern.empty()) {
        return 0;
    }
    size_t position = 0;
    size_t found;
    while ((found = text.find(pattern, position)) != std::string::npos) {
        // An empty piece stands as one blank: the query layer counts pieces to place its arguments.
        parts.push_back(found > position ? text.substr(position, found - position) : " ");
        position = found + pattern.size();
    }
    if (position < text.size()) {
        parts.push_back(text.substr(position));
    }
    return 1;
}

int BdUtil::DoShellCommand(std::string command, std::string *output) {
    if (command.empty() || output == nullptr) {
        return 0;
    }
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return 0;
    }
    char buffer[1024];
    size_t length;
    while ((length = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        output->append(buffer, length);
    }
    pclose(pipe);
    return 1;
}

std::string BdUtil::GetHostName() {
    char name[64] = {0};
    if (gethostname(name, sizeof(name) - 1) != 0) {
        return std::string();
    }
    return std::string(name);
}

std::string BdUtil::GetOSType() {
    return "Linux";
}

std::string BdUtil::GetOSVersion() {
    std::string output;
    DoShellCommand("lsb_release -d", &output);
    size_t tab = output.find('\t');
    if (tab != std::string::npos && tab + 1 < output.size()) {
        size_t end = output.find('\n', tab + 1);
        return output.substr(tab + 1, end == std::string::npos ? std::string::npos : end - tab - 1);
    }
    struct utsname system;
    if (uname(&system) != 0) {
        return "Linux";
    }
    return std::string(system.sysname) + " " + system.release;
}

std::string BdUtil::GetProcessType() {
    return "64 bit";
}

namespace {

bool IsControlChar(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

// Whether one of the eight bytes at bytes is a control character. A word has a byte below n when
// (word - n in every byte) sets the top bit of a byte whose own top bit was clear; the test is
// exact for "some byte", which is all that is asked.
bool WordHasControlChar(const char *bytes) {
    constexpr uint64_t kEachByte = 0x0101010101010101ULL;
    constexpr uint64_t kTopBits = 0x8080808080808080ULL;
    uint64_t word = 0;
    std::memcpy(&word, bytes, sizeof(word));
    const uint64_t belowSpace = (word - kEachByte * 0x20) & ~word & kTopBits;
    const uint64_t zeroAtDelete = word ^ (kEachByte * 0x7f);
    const uint64_t isDelete = (zeroAtDelete - kEachByte) & ~zeroAtDelete & kTopBits;
    return (belowSpace | isDelete) != 0;
}

}  // namespace

bool BdUtil::HasControlChars(std::string_view text) {
    if (text.size() < sizeof(uint64_t)) {
        return std::any_of(text.begin(), text.end(),
                           [](char c) { return IsControlChar(static_cast<unsigned char>(c)); });
    }
    // Every log entry and trace line is checked, so eight bytes are tested at once; the last word
    // overlaps the one before it when the length is not a multiple of eight.
    const size_t last = text.size() - sizeof(uint64_t);
    for (size_t at = 0; at < last; at += sizeof(uint64_t)) {
        if (WordHasControlChar(text.data() + at)) {
            return true;
        }
    }
    return WordHasControlChar(text.data() + last);
}

std::string BdUtil::EscapeControlChars(std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    std::string escaped;
    escaped.reserve(text.size() + 8);
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (!IsControlChar(byte)) {
            escaped += c;
        } else if (c == '\n') {
            escaped += "\\n";
        } else if (c == '\r') {
            escaped += "\\r";
        } else if (c == '\t') {
            escaped += "\\t";
        } else {
            escaped += "\\x";
            escaped += kHex[byte >> 4];
            escaped += kHex[byte & 0x0f];
        }
    }
    return escaped;
}
