// Splits a fuzz input into words at its zero bytes, the one byte a command-line word or a C string
// cannot hold. Used by the targets whose input is a list of texts.
#ifndef FUZZ_FUZZ_WORDS_H
#define FUZZ_FUZZ_WORDS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline std::vector<std::string> SplitAtZeroBytes(const uint8_t *data, size_t size) {
    std::vector<std::string> words(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            words.emplace_back();
        } else {
            words.back().push_back(static_cast<char>(data[i]));
        }
    }
    return words;
}

#endif  // FUZZ_FUZZ_WORDS_H
