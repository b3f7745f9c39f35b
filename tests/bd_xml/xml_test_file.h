#ifndef TESTS_BD_XML_XML_TEST_FILE_H
#define TESTS_BD_XML_XML_TEST_FILE_H

#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

#include "bd_xml/bd_xml_reader.h"
#include "support/temp_dir.h"

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
inline XmlSettings ReadSettings(const TempDir &dir, const std::string &bytes,
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
