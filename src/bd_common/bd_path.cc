#include "bd_common/bd_path.h"

#include <cstdlib>

std::string BdPath::Resolve(const std::string &fixedPath) {
    const char *root = std::getenv("NORVALE_ROOT");
    if (root == nullptr || root[0] == '\0') {
        return fixedPath;
    }
    return std::string(root) + fixedPath;
}
