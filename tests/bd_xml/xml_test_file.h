#ifndef TESTS_BD_XML_XML_TEST_FILE_H
#define TESTS_BD_XML_XML_TEST_FILE_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "bd_xml/bd_xml_reader.h"

// A scratch directory for one test's documents, removed with its files afterwards.
class XmlTestDir {
  public:
    XmlTestDir() {
        std::string pattern = testing::TempDir() + "xml_test_XXXXXX";
        dir_ = mkdtemp(&pattern[0]) ? pattern : std::string();
    }
    ~XmlTestDir() {
        if (!dir_.empty()) {
            std::string command = "rm -rf '" + dir_ + "'";
            (void)!system(command.c_str());
        }
    }
    XmlTestDir(const XmlTestDir &) = delete;
    XmlTestDir &operator=(const XmlTestDir &) = delete;

    const std::string &Path() const { return dir_; }

    // Writes `bytes` (any bytes, zeros included) to a file in the directory; returns its path.
    std::string Write(const std::string &bytes, const std::string &name = "doc.xml") const {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        return path;
    }

  private:
    std::string dir_;
};

// Loads a document and steps into its root, the way the configuration loader does.
inline bool LoadAndEnterRoot(BdXmlReader *reader, const std::string &path) {
    const bool wellFormed = reader->Load(path);
    reader->ResetMainPos();
    EXPECT_TRUE(reader->FindElem());
    EXPECT_TRUE(reader->IntoElem());
    return wellFormed;
}

using XmlSettings = std::vector<std::pair<std::string, std::string>>;

// Loads `bytes` and returns each child of the root as (tag name, data), in document order.
inline XmlSettings ReadSettings(const XmlTestDir &dir, const std::string &bytes,
                                bool *wellFormed = nullptr) {
    BdXmlReader reader;
    const bool loaded = LoadAndEnterRoot(&reader, dir.Write(bytes));
    if (wellFormed) {
        *wellFormed = loaded;
    }
    XmlSettings settings;
    while (reader.FindElem()) {
        settings.emplace_back(reader.GetTagName(), reader.GetData());
    }
    return settings;
}

#endif  // TESTS_BD_XML_XML_TEST_FILE_H
