#include <gtest/gtest.h>

#include <string>

#include "bd_xml/bd_xml_reader.h"
#include "bd_xml/xml_file.h"
#include "xml_test_file.h"

namespace {

using Settings = XmlSettings;

// ASCII text as UTF-16 units in either byte order.
std::string Utf16(const std::string &ascii, bool bigEndian) {
    std::string units;
    for (char c : ascii) {
        units += bigEndian ? std::string(1, '\0') + c : std::string(1, c) + '\0';
    }
    return units;
}

class XmlEncodingTest : public testing::Test {
  protected:
    TempDir dir_;
};

TEST_F(XmlEncodingTest, Utf8MarkIsNotPartOfTheDocument) {
    BdXmlReader reader;
    EXPECT_TRUE(LoadAndEnterRoot(&reader, dir_.Write("\xEF\xBB\xBF<r><a>\xC3\xA9</a></r>")));
    EXPECT_EQ(reader.GetDocFlags(), XmlFile::kUtf8Mark);
    ASSERT_TRUE(reader.FindElem());
    EXPECT_EQ(reader.GetData(), "\xC3\xA9");
}

TEST_F(XmlEncodingTest, Utf16InEitherByteOrderIsDecoded) {
    const std::string document = "<root><value>1</value></root>";
    const struct {
        std::string bytes;
        uint32_t flag;
    } cases[] = {
        {"\xFF\xFE" + Utf16(document, false), XmlFile::kUtf16LeFile},
        {"\xFE\xFF" + Utf16(document, true), XmlFile::kUtf16BeFile},
    };
    for (const auto &c : cases) {
        BdXmlReader reader;
        EXPECT_TRUE(reader.Load(dir_.Write(c.bytes)));
        EXPECT_EQ(reader.GetDocFlags(), c.flag);
        ASSERT_TRUE(reader.FindElem());
        EXPECT_EQ(reader.GetTagName(), "root");
        ASSERT_TRUE(reader.IntoElem());
        ASSERT_TRUE(reader.FindElem());
        EXPECT_EQ(reader.GetTagName(), "value");
        EXPECT_EQ(reader.GetData(), "1");
    }
}

TEST_F(XmlEncodingTest, Utf16SurrogatesAndStrayUnits) {
    // A pair gives one four-byte character; a lone surrogate at the very end becomes "?"; zero
    // units and an odd trailing byte are dropped.
    const std::string bytes = "\xFF\xFE" + Utf16("<r><a>", false) +
                              std::string("\x3D\xD8\x00\xDE\0\0", 6) + Utf16("</a></r>", false) +
                              std::string("\x00\xD8x", 3);
    BdXmlReader reader;
    EXPECT_TRUE(LoadAndEnterRoot(&reader, dir_.Write(bytes)));
    ASSERT_TRUE(reader.FindElem());
    EXPECT_EQ(reader.GetData(), "\xF0\x9F\x98\x80");
    EXPECT_NE(reader.GetResult().find("<nulls_removed count=\"1\"/>"), std::string::npos);
}

TEST_F(XmlEncodingTest, DeclaredLatin1IsConverted) {
    EXPECT_EQ(ReadSettings(dir_,
                           "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>\n"
                           "<r><name>caf\xE9</name></r>"),
              (Settings{{"name", "caf\xC3\xA9"}}));
    EXPECT_EQ(ReadSettings(dir_,
                           "<?xml version='1.0' encoding='Windows-1252'?>"
                           "<r><p>\x80</p></r>"),
              (Settings{{"p", "\xE2\x82\xAC"}}));
}

TEST_F(XmlEncodingTest, DeclaredEncodingIsFoundWhereItMayBe) {
    const struct {
        const char *head;
        const char *encoding;
    } cases[] = {
        {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r/>", "ISO-8859-1"},
        {"<?XML encoding='latin1' ?>", "latin1"},
        {"<?xml encoding=koi8-r ?>", "koi8-r"},
        {"<?xml version=\"1.0\"?><r/>", ""},
        {" <?xml encoding=\"latin1\"?>", ""},  // only at the very first byte
        {"<!-- x --><html><head><meta http-equiv=\"content-type\" "
         "content=\"text/html; charset=ISO-8859-2\"></head></html>",
         "ISO-8859-2"},
        {"<html><head><meta name=x><META HTTP-EQUIV='Content-Type' CONTENT='text/html;"
         "Charset = cp1251;x'>",
         "cp1251"},
        {"<html><head></head><meta http-equiv=\"Content-Type\" content=\"charset=koi8-r\">", ""},
        {"<body><meta http-equiv=\"Content-Type\" content=\"charset=koi8-r\"></body>", ""},
        {"no markup at all", ""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(XmlFile::DeclaredEncoding(c.head, std::string(c.head).size()), c.encoding)
            << c.head;
    }
}

TEST_F(XmlEncodingTest, InvalidUtf8BecomesQuestionMarks) {
    EXPECT_EQ(ReadSettings(dir_, "<r><a>x\xFF\xFEy\xC3\xA9</a></r>"),
              (Settings{{"a", "x??y\xC3\xA9"}}));
}

TEST_F(XmlEncodingTest, IncompleteSequenceAtTheEndIsDropped) {
    bool wellFormed = false;
    EXPECT_EQ(ReadSettings(dir_, "<r><a>1</a></r>\xE2\x82", &wellFormed), (Settings{{"a", "1"}}));
    EXPECT_TRUE(wellFormed);
}

TEST_F(XmlEncodingTest, UnknownEncodingIsReadAsRawBytes) {
    EXPECT_EQ(ReadSettings(dir_, "<?xml encoding=\"no-such-charset\"?><r><a>\xE9</a></r>"),
              (Settings{{"a", "\xE9"}}));
}

TEST_F(XmlEncodingTest, ZeroBytesAreRemoved) {
    BdXmlReader reader;
    const std::string bytes = std::string("<r><a>4") + '\0' + '\0' + "2</a>" + '\0' + "</r>";
    EXPECT_TRUE(LoadAndEnterRoot(&reader, dir_.Write(bytes)));
    ASSERT_TRUE(reader.FindElem());
    EXPECT_EQ(reader.GetData(), "42");
    EXPECT_NE(reader.GetResult().find("<nulls_removed count=\"3\"/>"), std::string::npos);
}

}  // namespace
