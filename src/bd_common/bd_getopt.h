#ifndef BD_COMMON_BD_GETOPT_H_
#define BD_COMMON_BD_GETOPT_H_

#include <string>
#include <vector>

// Command-line option parser. The whole parse happens in the constructor; the object then only
// answers questions about its outcome. It keeps no pointer into the argument vector or the option
// table after construction. A plain value: safe to copy, not shared between threads.
class BdGetopt {
  public:
    // How an option takes its argument.
    enum ArgumentMode { kNoArgument = 0, kRequiredArgument = 1, kOptionalArgument = 2 };

    // One accepted option. A table of options ends with an entry whose code is 0.
    struct Option {
        int code;          // the option letter for options with a short form
        const char *name;  // long form without the leading "--", or null
        int mode;          // ArgumentMode; any value other than 0 and 1 means optional
    };

    // One parsed item: an option (code != 0) or a non-option argument (code 0).
    struct Record {
        int code;
        std::string argument;
    };

    // Parses argv[1..argc-1] against options. With inOrder false, non-option arguments are
    // collected after all options; with inOrder true they are recorded where they occur.
    BdGetopt(int argc, const char *const *argv, const Option *options, bool inOrder);

    // Empty when the parse succeeded, else the message of the first problem.
    const std::string &Error() const { return _error; }
    int Arguments() const { return static_cast<int>(_data.size()); }
    // The code of record i, or 0 when i is out of range.
    int Code(int i) const;
    // The argument of record i, or the error text when i is out of range.
    std::string Argument(int i) const;

  private:
    // Each consumes argv[*index] (and possibly the next argument) and returns false on error.
    bool ParseLongOption(int argc, const char *const *argv, int *index);
    bool ParseShortOption(int argc, const char *const *argv, int *index);
    const Option *FindShort(int code) const;

    const Option *_options;  // only valid during construction
    std::string _error;
    std::vector<Record> _data;
};

#endif  // BD_COMMON_BD_GETOPT_H_
