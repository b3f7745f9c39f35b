#ifndef TESTS_SUPPORT_FILE_TEXT_H_
#define TESTS_SUPPORT_FILE_TEXT_H_

#include <fstream>
#include <sstream>
#include <string>

// Everything the file at path holds, byte for byte; empty when it cannot be read.
inline std::string ReadFileText(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

#endif  // TESTS_SUPPORT_FILE_TEXT_H_
