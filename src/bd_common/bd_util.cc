#include "bd_common/bd_util.h"

#include <sys/utsname.h>
#include <unistd.h>
#include <uuid/uuid.h>

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

}  // namespace

bool BdUtil::HasControlChars(std::string_view text) {
    for (char c : text) {
        if (IsControlChar(static_cast<unsigned char>(c))) {
            return true;
        }
    }
    return false;
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
