#ifndef TESTS_SUPPORT_TEMP_DIR_H_
#define TESTS_SUPPORT_TEMP_DIR_H_

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

// A fresh directory under /tmp, removed with everything in it when the object goes.
class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/rt-test-XXXXXX";
        const char *made = mkdtemp(pattern);
        _path = made != nullptr ? made : "";
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(_path, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &Path() const { return _path; }
    std::string Join(const std::string &name) const { return _path + "/" + name; }
    // Writes bytes (any bytes, zeros included) to the file name in the directory; its path.
    std::string Write(const std::string &bytes, const std::string &name = "doc.xml") const {
        std::ofstream(Join(name), std::ios::binary | std::ios::trunc) << bytes;
        return Join(name);
    }

  private:
    std::string _path;
};

#endif  // TESTS_SUPPORT_TEMP_DIR_H_
