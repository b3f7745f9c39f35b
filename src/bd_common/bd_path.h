#ifndef BD_COMMON_BD_PATH_H_
#define BD_COMMON_BD_PATH_H_

#include <string>

// Every fixed path of the program (configuration, UUID directory, pid file, certificate and key)
// goes through Resolve, so a package or a test can relocate them all under one root. Paths that
// come from the configuration are used as written and never pass through here.
class BdPath {
  public:
    BdPath() = delete;

    // NORVALE_ROOT + fixedPath when the environment variable NORVALE_ROOT is set and non-empty,
    // otherwise fixedPath unchanged. Reads the environment on every call; callable from any thread
    // as long as nobody changes the environment meanwhile.
    static std::string Resolve(const std::string &fixedPath);
};

#endif  // BD_COMMON_BD_PATH_H_
