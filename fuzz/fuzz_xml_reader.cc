// BdXmlReader::Load over arbitrary files, then the walk the configuration loader makes (root,
// each child's tag name and text) and one path down to the deepest level, every element's tag
// name and text read on the way.
//
// Load takes a path, so each input is written to one scratch file of this process first.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bd_xml/bd_xml_reader.h"
#include "fuzz_check.h"

namespace {

std::string g_path;

void RemoveScratchFile() {
    unlink(g_path.c_str());
}

bool WriteScratchFile(const uint8_t *data, size_t size) {
    FILE *file = fopen(g_path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    bool written = fwrite(data, 1, size, file) == size;
    return fclose(file) == 0 && written;
}

// Visits the children of the current parent; returns their tag names. The sibling chain must end:
// a document of n bytes cannot hold more elements than a few per byte.
std::vector<std::string> WalkChildren(BdXmlReader &reader, size_t elementLimit) {
    std::vector<std::string> names;
    while (reader.FindElem()) {
        const std::string name = reader.GetTagName();
        FUZZ_CHECK(!name.empty());
        reader.GetData();
        names.push_back(name);
        FUZZ_CHECK(names.size() <= elementLimit);
    }
    // A failed move leaves the position where it was.
    FUZZ_CHECK(names.empty() ? reader.GetTagName().empty() : reader.GetTagName() == names.back());
    return names;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const char *tmp = getenv("TMPDIR");
    g_path = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/fuzz_xml_reader." +
             std::to_string(getpid()) + ".xml";
    atexit(RemoveScratchFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (!WriteScratchFile(data, size)) {
        return 0;
    }
    const size_t elementLimit = 4 * size + 16;

    // The configuration loader's walk.
    BdXmlReader reader;
    bool wellFormed = reader.Load(g_path);
    reader.ResetMainPos();
    bool hasRoot = reader.FindElem();
    FUZZ_CHECK(hasRoot || !wellFormed);
    if (!hasRoot) {
        return 0;
    }
    const std::string root = reader.GetTagName();
    FUZZ_CHECK(reader.IntoElem());
    std::vector<std::string> children = WalkChildren(reader, elementLimit);
    if (!children.empty()) {
        // Found by name, the first child with that name is the first child itself.
        reader.ResetMainPos();
        FUZZ_CHECK(reader.FindElem(children.front()));
        FUZZ_CHECK(reader.GetTagName() == children.front());
    }

    // Down one path to the deepest level: at each level into the last child.
    BdXmlReader deep;
    deep.Load(g_path);
    for (size_t depth = 0; depth <= elementLimit; ++depth) {
        std::vector<std::string> names = WalkChildren(deep, elementLimit);
        if (names.empty()) {
            return 0;
        }
        FUZZ_CHECK(deep.IntoElem());
    }
    FUZZ_CHECK(!"nesting deeper than the document has elements");
    return 0;
}
