// BdGetopt over arbitrary argument vectors, against the router's option table and a table with
// optional arguments, shared prefixes and a long-only option, in both orders; then the router's
// own BdApplication::ParseArgs over the same vector. The input is the vector itself: words
// separated by zero bytes, the first one being the program name.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bd_common/bd_application.h"
#include "bd_common/bd_getopt.h"
#include "fuzz_check.h"
#include "fuzz_words.h"

namespace {

const BdGetopt::Option *const kRouterOptions = BdApplication::kOptions;

const BdGetopt::Option kTrickyOptions[] = {
    {'o', "output", BdGetopt::kOptionalArgument},
    {'O', "outfile", BdGetopt::kRequiredArgument},
    {'v', "verbose", BdGetopt::kNoArgument},
    {'v', "verb", BdGetopt::kNoArgument},
    {1000, "only-long", 7},
    {'x', nullptr, BdGetopt::kRequiredArgument},
    {0, nullptr, 0},
};

bool InTable(const BdGetopt::Option *table, int code) {
    for (; table->code != 0; ++table) {
        if (table->code == code) {
            return true;
        }
    }
    return false;
}

// Every argument the parser hands out is a whole command-line word or the tail of one (after an
// equals sign, or after a letter of a short group).
bool IsTailOfSomeWord(const std::vector<std::string> &words, const std::string &argument) {
    for (const std::string &word : words) {
        if (word.size() >= argument.size() &&
            word.compare(word.size() - argument.size(), argument.size(), argument) == 0) {
            return true;
        }
    }
    return false;
}

void CheckParse(const std::vector<std::string> &words, const std::vector<const char *> &argv,
                const BdGetopt::Option *table, bool inOrder) {
    const int argc = static_cast<int>(words.size());
    BdGetopt parser(argc, argv.data(), table, inOrder);
    const int n = parser.Arguments();
    FUZZ_CHECK(parser.Code(-1) == 0 && parser.Code(n) == 0);
    FUZZ_CHECK(parser.Argument(-1) == parser.Error() && parser.Argument(n) == parser.Error());
    if (!parser.Error().empty()) {
        FUZZ_CHECK(n == 0);
        return;
    }
    bool nonOptionSeen = false;
    int nonOptions = 0;
    for (int i = 0; i < n; ++i) {
        const int code = parser.Code(i);
        FUZZ_CHECK(code == 0 || InTable(table, code));
        FUZZ_CHECK(IsTailOfSomeWord(words, parser.Argument(i)));
        // Collected non-options follow every option unless the parse keeps the order.
        FUZZ_CHECK(inOrder || code == 0 || !nonOptionSeen);
        nonOptionSeen = nonOptionSeen || code == 0;
        nonOptions += code == 0;
    }
    FUZZ_CHECK(nonOptions < argc);
}

class QuietApplication : public BdApplication {
  public:
    int main(int argc, char **argv) override { return BdApplication::main(argc, argv); }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Help, version and argument errors are printed on standard output; libFuzzer reports on
    // standard error.
    if (freopen("/dev/null", "w", stdout) == nullptr) {
        perror("freopen");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> words = SplitAtZeroBytes(data, size);
    if (words.size() > 64) {
        return 0;
    }
    std::vector<const char *> argv;
    for (const std::string &word : words) {
        argv.push_back(word.c_str());
    }
    argv.push_back(nullptr);
    for (bool inOrder : {false, true}) {
        CheckParse(words, argv, kRouterOptions, inOrder);
        CheckParse(words, argv, kTrickyOptions, inOrder);
    }

    QuietApplication application;
    const int argc = static_cast<int>(words.size());
    BdGetopt parser(argc, argv.data(), kRouterOptions, false);
    bool parsed = application.ParseArgs(argc, const_cast<char **>(argv.data()));
    FUZZ_CHECK(parsed == parser.Error().empty());
    FUZZ_CHECK(application.GetConfigPath().empty() ||
               IsTailOfSomeWord(words, application.GetConfigPath()));
    return 0;
}
