#ifndef TESTS_SUPPORT_FILE_TEXT_H_
#define TESTS_SUPPORT_FILE_TEXT_H_

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// Everything the file at path holds, byte for byte; empty when it cannot be read.
inline std::string ReadFileText(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// The file's lines without their line feeds; empty when it cannot be read.
inline std::vector<std::string> ReadFileLines(const std::string &path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

#endif  // TESTS_SUPPORT_FILE_TEXT_H_
