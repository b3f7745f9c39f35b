#include "bd_common/bd_getopt.h"

#include <cstring>

namespace {

bool IsOption(const char *arg) {
    return arg[0] == '-' && arg[1] != '\0';
}

// An option that requires an argument may take the next command-line word, whatever it looks like,
// as long as it exists and is not empty.
bool TakeNextArgument(int argc, const char *const *argv, int *index, std::string *argument) {
    if (*index + 1 >= argc || argv[*index + 1] == nullptr || argv[*index + 1][0] == '\0') {
        return false;
    }
    ++*index;
    *argument = argv[*index];
    return true;
}

}  // namespace

BdGetopt::BdGetopt(int argc, const char *const *argv, const Option *options, bool inOrder)
    : _options(options) {
    if (argc < 2 || argv == nullptr || options == nullptr) {
        _options = nullptr;
        return;
    }
    // Every word after "--", and unless in order every word that is no option, follows the options.
    std::vector<std::string> nonOptions;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i] != nullptr ? argv[i] : "";
        bool ok = true;
        if (std::strcmp(arg, "--") == 0) {
            for (++i; i < argc; ++i) {
                nonOptions.emplace_back(argv[i] != nullptr ? argv[i] : "");
            }
            break;
        } else if (!IsOption(arg)) {
            if (inOrder) {
                _data.push_back(Record{0, arg});
            } else {
                nonOptions.emplace_back(arg);
            }
        } else if (arg[1] == '-') {
            ok = ParseLongOption(argc, argv, &i);
        } else {
            ok = ParseShortOption(argc, argv, &i);
        }
        if (!ok) {
            _data.clear();
            _options = nullptr;
            return;
        }
    }
    for (const std::string &word : nonOptions) {
        _data.push_back(Record{0, word});
    }
    _options = nullptr;
}

int BdGetopt::Code(int i) const {
    if (i < 0 || i >= Arguments()) {
        return 0;
    }
    return _data[i].code;
}

std::string BdGetopt::Argument(int i) const {
    if (i < 0 || i >= Arguments()) {
        return _error;
    }
    return _data[i].argument;
}

const BdGetopt::Option *BdGetopt::FindShort(int code) const {
    for (const Option *opt = _options; opt->code != 0; ++opt) {
        if (opt->code == code) {
            return opt;
        }
    }
    return nullptr;
}

bool BdGetopt::ParseLongOption(int argc, const char *const *argv, int *index) {
    const std::string typed = argv[*index];
    const std::string body = typed.substr(2);
    const std::string::size_type equals = body.find('=');
    const std::string name = body.substr(0, equals);

    const Option *match = nullptr;
    bool ambiguous = false;
    for (const Option *opt = _options; opt->code != 0; ++opt) {
        if (opt->name == nullptr || std::strncmp(opt->name, name.c_str(), name.size()) != 0) {
            continue;
        }
        if (name == opt->name) {
            match = opt;
            ambiguous = false;
            break;
        }
        if (match == nullptr) {
            match = opt;
        } else if (match->code != opt->code || match->mode != opt->mode) {
            ambiguous = true;
        }
    }
    if (ambiguous) {
        _error = "option '" + typed + "' is ambiguous";
        return false;
    }
    if (match == nullptr) {
        _error = "unrecognized option '" + typed + "'";
        return false;
    }

    const std::string longName = match->name;
    Record record{match->code, ""};
    if (equals != std::string::npos) {
        record.argument = body.substr(equals + 1);
        if (match->mode == kNoArgument) {
            _error = "option '--" + longName + "' doesn't allow an argument";
            return false;
        }
    }
    // "--config=" gives an empty argument; without "=" the next word is taken.
    if (match->mode == kRequiredArgument && record.argument.empty() &&
        (equals != std::string::npos || !TakeNextArgument(argc, argv, index, &record.argument))) {
        _error = "option '--" + longName + "' requires an argument";
        return false;
    }
    _data.push_back(record);
    return true;
}

bool BdGetopt::ParseShortOption(int argc, const char *const *argv, int *index) {
    const char *group = argv[*index];
    for (const char *letter = group + 1; *letter != '\0'; ++letter) {
        const Option *opt = FindShort(static_cast<unsigned char>(*letter));
        if (opt == nullptr) {
            _error = std::string("invalid option -- ") + *letter;
            return false;
        }
        Record record{opt->code, ""};
        if (opt->mode != kNoArgument && letter[1] != '\0') {
            // "-c/path": the rest of the group is the argument.
            record.argument = letter + 1;
            _data.push_back(record);
            return true;
        }
        if (opt->mode == kRequiredArgument && letter[1] == '\0' &&
            !TakeNextArgument(argc, argv, index, &record.argument)) {
            _error = std::string("option requires an argument -- ") + *letter;
            return false;
        }
        _data.push_back(record);
    }
    return true;
}
