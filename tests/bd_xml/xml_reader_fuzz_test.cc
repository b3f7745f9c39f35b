#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "bd_xml/bd_xml_reader.h"
#include "xml_test_file.h"

namespace {

// Pieces that reach the tokenizer's, the decoder's and the encoding sniffer's edge cases far more
// often than uniformly random bytes would.
const char *const kFragments[] = {
    "<",
    ">",
    "</",
    "/>",
    "<a>",
    "</a>",
    "<b x='1'>",
    "</b>",
    "<a/>",
    "<!--",
    "-->",
    "<!",
    "<!-",
    "<![CDATA[",
    "]]>",
    "<?",
    "?>",
    "<!DOCTYPE r [",
    "<!ENTITY e \"a>b\">",
    "]>",
    "[",
    "]",
    "&",
    ";",
    "&amp;",
    "&#",
    "&#x",
    "&#x1F600;",
    "&Oslash;",
    "\"",
    "'",
    "=",
    "/",
    " ",
    "\t",
    "\n",
    "x",
    "\xC3",
    "\xA9",
    "\xFF",
    "\xED\xA0\x80",
    "<html>",
    "<head>",
    "<meta http-equiv=Content-Type content='charset=",
    "</head>",
};

const char *const kEncodings[] = {
    "UTF-8", "utf-16",      "UTF-16LE", "UTF-32",          "iso-8859-1", "shift_jis",
    "UTF-7", "ISO-2022-JP", "gb18030",  "no-such-charset", "",           "EBCDIC-US",
};

const char *const kSeeds[] = {
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<config>\n  <listen_ip>127.0.0.1</listen_ip>\n"
    "  <listen_port>9000</listen_port>\n</config>\n",
    "<!DOCTYPE r [<!ENTITY e \"x\">]><r><a t='1'>a &amp; b<![CDATA[<c>]]><!-- c --></a><b/></r>",
    "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=iso-8859-1\">"
    "</head><body><p>\xE9</p></body></html>",
};

class XmlReaderFuzzTest : public testing::Test {
  protected:
    // Loads the bytes and walks everything the configuration loader could reach, plus one path
    // down the tree, reading every element's name and data on the way.
    void LoadAndWalk(const std::string &bytes) {
        BdXmlReader reader;
        reader.Load(dir_.Write(bytes));
        for (int level = 0; level < 64; ++level) {
            reader.ResetMainPos();
            bool found = false;
            while (reader.FindElem()) {
                found = true;
                reader.GetTagName();
                reader.GetData();
            }
            if (!found) {
                break;
            }
            // Step into the first element of this level, found afresh.
            reader.ResetMainPos();
            reader.FindElem();
            reader.IntoElem();
        }
        EXPECT_FALSE(reader.GetResult().empty());
    }

    std::string RandomFragments(size_t pieces) {
        std::string text;
        std::uniform_int_distribution<size_t> pick(0, std::size(kFragments) - 1);
        for (size_t i = 0; i < pieces; ++i) {
            text += kFragments[pick(random_)];
        }
        return text;
    }

    std::string Mutate(std::string text) {
        std::uniform_int_distribution<int> byte(0, 255);
        const int edits = std::uniform_int_distribution<int>(1, 8)(random_);
        for (int i = 0; i < edits && !text.empty(); ++i) {
            const size_t at = std::uniform_int_distribution<size_t>(0, text.size() - 1)(random_);
            switch (std::uniform_int_distribution<int>(0, 3)(random_)) {
                case 0:
                    text[at] = static_cast<char>(byte(random_));
                    break;
                case 1:
                    text.erase(at, 1 + at % 5);
                    break;
                case 2:
                    text.insert(at, RandomFragments(1));
                    break;
                default:
                    text.insert(at, text.substr(at, 1 + at % 17));
            }
        }
        return text;
    }

    std::string RandomPrefix() {
        switch (std::uniform_int_distribution<int>(0, 5)(random_)) {
            case 0:
                return "\xEF\xBB\xBF";
            case 1:
                return "\xFF\xFE";
            case 2:
                return "\xFE\xFF";
            case 3: {
                std::uniform_int_distribution<size_t> pick(0, std::size(kEncodings) - 1);
                return std::string("<?xml version=\"1.0\" encoding=\"") +
                       kEncodings[pick(random_)] + "\"?>";
            }
            default:
                return "";
        }
    }

    XmlTestDir dir_;
    std::mt19937 random_{20240611};
};

TEST_F(XmlReaderFuzzTest, RandomBytesNeverBreakTheReader) {
    for (int i = 0; i < 1500; ++i) {
        const size_t length = std::uniform_int_distribution<size_t>(0, 600)(random_);
        std::string bytes(length, '\0');
        for (char &c : bytes) {
            c = static_cast<char>(random_());
        }
        LoadAndWalk(RandomPrefix() + bytes);
    }
}

TEST_F(XmlReaderFuzzTest, RandomMarkupNeverBreaksTheReader) {
    for (int i = 0; i < 3000; ++i) {
        const size_t pieces = std::uniform_int_distribution<size_t>(0, 120)(random_);
        LoadAndWalk(RandomPrefix() + RandomFragments(pieces));
    }
}

TEST_F(XmlReaderFuzzTest, MutatedDocumentsNeverBreakTheReader) {
    std::uniform_int_distribution<size_t> pick(0, std::size(kSeeds) - 1);
    for (int i = 0; i < 3000; ++i) {
        LoadAndWalk(RandomPrefix() + Mutate(kSeeds[pick(random_)]));
    }
}

}  // namespace
