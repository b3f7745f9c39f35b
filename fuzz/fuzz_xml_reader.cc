// BdXmlReader::Load over arbitrary files, then the walk the configuration loader makes (root,
// each child's tag name and text) and one path down to the deepest level, every element's tag
// name and text read on the way.
//
// The same input also drives a round trip: it describes a configuration-like document (a root
// whose children hold text with references, comments and CDATA sections), which is written in one
// of the encodings the reader detects; loading it must give back exactly those names and texts.
//
// Load takes a path, so each input is written to one scratch file of this process first.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
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

// One piece of an element's content, as written and as the reader must give it back.
struct Piece {
    enum Kind { kText, kComment, kCdata } kind;
    std::u32string raw;      // the characters in the file
    std::u32string decoded;  // what GetData makes of them
};

struct Child {
    std::string tag;
    std::string attributes;  // with their leading spaces
    bool selfClosing = false;
    std::vector<Piece> pieces;
};

enum Encoding { kUtf8, kUtf8Bom, kUtf16LeBom, kUtf16BeBom, kLatin1Declared, kUtf8Declared };

void AppendUtf8(char32_t c, std::string *out) {
    if (c < 0x80) {
        out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out->push_back(static_cast<char>(0xC0 | c >> 6));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | c >> 12));
        out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | c >> 18));
        out->push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

std::string Utf8(const std::u32string &text) {
    std::string out;
    for (char32_t c : text) {
        AppendUtf8(c, &out);
    }
    return out;
}

std::u32string Ascii(const std::string &text) {
    return std::u32string(text.begin(), text.end());
}

void AppendUtf16(char32_t c, bool bigEndian, std::string *out) {
    auto unit = [&](uint32_t u) {
        out->push_back(static_cast<char>(bigEndian ? u >> 8 : u & 0xFF));
        out->push_back(static_cast<char>(bigEndian ? u & 0xFF : u >> 8));
    };
    if (c < 0x10000) {
        unit(c);
    } else {
        unit(0xD800 | (c - 0x10000) >> 10);
        unit(0xDC00 | ((c - 0x10000) & 0x3FF));
    }
}

std::string Encode(const std::u32string &document, Encoding encoding) {
    std::string out;
    switch (encoding) {
        case kUtf8:
            return Utf8(document);
        case kUtf8Bom:
            return "\xEF\xBB\xBF" + Utf8(document);
        case kUtf8Declared:
            return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n" + Utf8(document);
        case kUtf16LeBom:
        case kUtf16BeBom:
            out = encoding == kUtf16LeBom ? "\xFF\xFE" : "\xFE\xFF";
            for (char32_t c : document) {
                AppendUtf16(c, encoding == kUtf16BeBom, &out);
            }
            return out;
        case kLatin1Declared:
            out = "<?xml version='1.0' encoding='ISO-8859-1'?>\n";
            for (char32_t c : document) {
                out.push_back(static_cast<char>(c));
            }
            return out;
    }
    return out;
}

// A character that needs no escaping: printable ASCII but the two markup starters, or beyond
// ASCII (Latin-1 only holds up to U+00FF). Surrogates and the two non-characters at the end of
// the basic plane are left out, since a converter may refuse them.
char32_t PlainCharacter(FuzzedDataProvider &input, bool latin1) {
    switch (input.ConsumeIntegralInRange(0, 3)) {
        case 0:
            return U"\t\n\r "[input.ConsumeIntegralInRange(0, 3)];
        case 1: {
            char32_t c = input.ConsumeIntegralInRange<char32_t>(0x21, 0x7E);
            return c == '<' || c == '&' ? U'x' : c;
        }
        default:
            break;
    }
    if (latin1) {
        return input.ConsumeIntegralInRange<char32_t>(0xA0, 0xFF);
    }
    char32_t c = input.ConsumeIntegralInRange<char32_t>(0xA0, 0x10FFFF);
    return (c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFE || c == 0xFFFF ? U'\u00e9' : c;
}

// A character reference: named (the XML five, a few without a case twin, AMP in capitals),
// decimal or hexadecimal.
Piece Reference(FuzzedDataProvider &input) {
    static const struct {
        const char *name;
        char32_t value;
    } kNamed[] = {{"amp", '&'},     {"lt", '<'},       {"gt", '>'},    {"quot", '"'},
                  {"apos", '\''},   {"AMP", '&'},      {"nbsp", 0xA0}, {"copy", 0xA9},
                  {"euro", 0x20AC}, {"hellip", 0x2026}};
    const int choice = input.ConsumeIntegralInRange(0, 11);
    if (choice < 10) {
        return {Piece::kText, Ascii("&" + std::string(kNamed[choice].name) + ";"),
                std::u32string(1, kNamed[choice].value)};
    }
    char32_t c = input.ConsumeIntegralInRange<char32_t>(1, 0x10FFFF);
    if (c >= 0xD800 && c <= 0xDFFF) {
        c = 0x41;
    }
    char digits[16];
    snprintf(digits, sizeof digits, choice == 10 ? "&#%u;" : "&#x%X;", static_cast<unsigned>(c));
    return {Piece::kText, Ascii(digits), std::u32string(1, c)};
}

Piece NextPiece(FuzzedDataProvider &input, bool latin1) {
    switch (input.ConsumeIntegralInRange(0, 9)) {
        case 0:
            return Reference(input);
        case 1: {
            std::u32string body;
            for (char c : input.ConsumeRandomLengthString(8)) {
                body.push_back(c > 0x20 && c < 0x7F && c != '-' ? c : ' ');
            }
            return {Piece::kComment, U"<!--" + body + U"-->", U""};
        }
        case 2: {
            // Raw inside CDATA: markup characters stay as they are, references undecoded.
            std::u32string body;
            for (char c : input.ConsumeRandomLengthString(12)) {
                body.push_back(c > 0x20 && c < 0x7F && c != ']' ? c : '&');
            }
            return {Piece::kCdata, U"<![CDATA[" + body + U"]]>", body};
        }
        default: {
            char32_t c = PlainCharacter(input, latin1);
            return {Piece::kText, std::u32string(1, c), std::u32string(1, c)};
        }
    }
}

// GetData of an element holding these pieces: plain content is decoded whole; with markup inside,
// comments vanish, CDATA stays raw, and a run of text between markup that is whitespace alone in
// the file is dropped.
std::string ExpectedData(const std::vector<Piece> &pieces) {
    std::u32string data;
    std::u32string run;
    std::u32string runDecoded;
    bool hasMarkup = false;
    for (const Piece &piece : pieces) {
        hasMarkup = hasMarkup || piece.kind != Piece::kText;
    }
    auto flushRun = [&]() {
        bool whitespaceOnly = run.find_first_not_of(U"\t\n\r ") == std::u32string::npos;
        if (!hasMarkup || !whitespaceOnly) {
            data += runDecoded;
        }
        run.clear();
        runDecoded.clear();
    };
    for (const Piece &piece : pieces) {
        if (piece.kind == Piece::kText) {
            run += piece.raw;
            runDecoded += piece.decoded;
            continue;
        }
        flushRun();
        data += piece.decoded;
    }
    flushRun();
    return Utf8(data);
}

std::string TagName(FuzzedDataProvider &input) {
    static const char kFirst[] = "abcdefghijklmnopqrstuvwxyz_";
    static const char kRest[] = "abcdefghijklmnopqrstuvwxyz0123456789_.-";
    std::string tag(1, kFirst[input.ConsumeIntegralInRange<size_t>(0, sizeof kFirst - 2)]);
    for (int n = input.ConsumeIntegralInRange(0, 12); n > 0; --n) {
        tag.push_back(kRest[input.ConsumeIntegralInRange<size_t>(0, sizeof kRest - 2)]);
    }
    return tag;
}

// Attributes whose values hold what must not end or empty the tag: a greater-than sign or a slash
// inside quotes, and an unquoted value that ends in a slash.
std::string Attributes(FuzzedDataProvider &input) {
    std::string attributes;
    for (int n = input.ConsumeIntegralInRange(0, 3); n > 0; --n) {
        const char quote = "\"' "[input.ConsumeIntegralInRange(0, 2)];
        std::string value;
        for (char c : input.ConsumeRandomLengthString(10)) {
            bool allowed = quote == ' ' ? isalnum(static_cast<unsigned char>(c)) || c == '/'
                                        : c >= 0x20 && c < 0x7F && c != quote && c != '<';
            value.push_back(allowed ? c : '/');
        }
        attributes += " " + TagName(input) + "=";
        // An unquoted value takes a slash right before the closing sign as its own, so a space
        // ends it.
        attributes += quote == ' ' ? (value.empty() ? "v" : value) + " " : quote + value + quote;
    }
    return attributes;
}

// What may stand between two children without being one.
std::string Between(FuzzedDataProvider &input) {
    switch (input.ConsumeIntegralInRange(0, 3)) {
        case 0:
            return "<!-- <not> an element -->";
        case 1:
            return "<?app step='1'?>";
        default:
            return "\n    ";
    }
}

void CheckRoundTrip(const uint8_t *data, size_t size) {
    FuzzedDataProvider input(data, size);
    const Encoding encoding = static_cast<Encoding>(input.ConsumeIntegralInRange(0, 5));
    const std::string root = TagName(input);
    std::vector<Child> children(input.ConsumeIntegralInRange(0, 8));
    std::u32string document = Ascii("<" + root + ">");
    for (Child &child : children) {
        child.tag = TagName(input);
        child.attributes = Attributes(input);
        child.selfClosing = input.ConsumeIntegralInRange(0, 7) == 0;
        document += Ascii(Between(input) + "<" + child.tag + child.attributes);
        if (child.selfClosing) {
            document += Ascii(input.ConsumeBool() ? " />" : "/>");
            continue;
        }
        for (int n = input.ConsumeIntegralInRange(0, 24); n > 0; --n) {
            child.pieces.push_back(NextPiece(input, encoding == kLatin1Declared));
        }
        document += Ascii(input.ConsumeBool() ? " >" : ">");
        for (const Piece &piece : child.pieces) {
            document += piece.raw;
        }
        document += Ascii("</" + child.tag + ">");
    }
    document += Ascii("\n</" + root + ">\n");
    const std::string file = Encode(document, encoding);
    if (!WriteScratchFile(reinterpret_cast<const uint8_t *>(file.data()), file.size())) {
        return;
    }

    BdXmlReader reader;
    FUZZ_CHECK(reader.Load(g_path));
    reader.ResetMainPos();
    FUZZ_CHECK(reader.FindElem() && reader.GetTagName() == root);
    FUZZ_CHECK(reader.IntoElem());
    for (const Child &child : children) {
        FUZZ_CHECK(reader.FindElem());
        FUZZ_CHECK(reader.GetTagName() == child.tag);
        FUZZ_CHECK(reader.GetData() == ExpectedData(child.pieces));
    }
    FUZZ_CHECK(!reader.FindElem());
}

// The file as given: whatever it holds, loading and walking it must stay inside its memory and
// end.
void CheckArbitraryFile(const uint8_t *data, size_t size) {
    if (!WriteScratchFile(data, size)) {
        return;
    }
    const size_t elementLimit = 4 * size + 16;

    // The configuration loader's walk.
    BdXmlReader reader;
    bool wellFormed = reader.Load(g_path);
    reader.ResetMainPos();
    bool hasRoot = reader.FindElem();
    FUZZ_CHECK(hasRoot || !wellFormed);
    if (!hasRoot) {
        return;
    }
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
        if (WalkChildren(deep, elementLimit).empty()) {
            return;
        }
        FUZZ_CHECK(deep.IntoElem());
    }
    FUZZ_CHECK(!"nesting deeper than the document has elements");
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
    CheckArbitraryFile(data, size);
    CheckRoundTrip(data, size);
    return 0;
}
