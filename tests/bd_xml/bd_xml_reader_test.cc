#include "bd_xml/bd_xml_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "xml_test_file.h"

namespace {

using Settings = XmlSettings;

class BdXmlReaderTest : public testing::Test {
  protected:
    // The data of the single child of the root.
    std::string DataOf(const std::string &text) {
        const Settings settings = ReadSettings(dir_, "<root><v>" + text + "</v></root>");
        return settings.size() == 1 ? settings[0].second : "<no single child>";
    }

    TempDir dir_;
};

TEST_F(BdXmlReaderTest, ReadsChildrenOfTheRootInDocumentOrder) {
    bool wellFormed = false;
    const Settings settings =
        ReadSettings(dir_,
                     "<?xml version=\"1.0\"?>\n<config>\n  <listen_ip>127.0.0.1</listen_ip>\n"
                     "  <!-- port -->\n  <listen_port>9000</listen_port>\n</config>\n",
                     &wellFormed);
    EXPECT_TRUE(wellFormed);
    EXPECT_EQ(settings, (Settings{{"listen_ip", "127.0.0.1"}, {"listen_port", "9000"}}));
}

// Text is kept as written, but for references that decode, comments and CDATA wrappers.
TEST_F(BdXmlReaderTest, TextDataIsDecodedOrLeftAsWritten) {
    const struct {
        const char *text;
        const char *data;
    } cases[] = {
        {" 42 ", " 42 "},
        {"a &amp; b", "a & b"},
        {"&#65;&#x42;&#X43;", "ABC"},
        {"&AMP;&Lt;&GT;&quot;&APOS;", "&<>\"'"},
        {"&euro;&#x1F600;", "\xE2\x82\xAC\xF0\x9F\x98\x80"},
        // Names that differ only in case: the exact spelling decides, else the lower-case one.
        {"&Oslash;&oslash;&OSLASH;", "\xC3\x98\xC3\xB8\xC3\xB8"},
        {"&Dagger;&dagger;", "\xE2\x80\xA1\xE2\x80\xA0"},
        {"AT&T", "AT&T"},
        {"a & b;", "a & b;"},
        {"&nosuch;&;&#;&#x;&#12a;", "&nosuch;&;&#;&#x;&#12a;"},
        // A number is digits only: no sign, blank or second "0x".
        {"&#+65;&#-1;&# 65;&#x0x41;&#xx41;", "&#+65;&#-1;&# 65;&#x0x41;&#xx41;"},
        {"&toolongname;", "&toolongname;"},
        {"&am\xC3\xA9;", "&am\xC3\xA9;"},
        // Zero, surrogates and numbers past U+10FFFF have no UTF-8 form.
        {"&#0;&#xD800;&#x110000;&#99999999;", "&#0;&#xD800;&#x110000;&#99999999;"},
        {"x<!-- note -->y", "xy"},
        {"<![CDATA[&amp; <raw>]]>", "&amp; <raw>"},
        {" <![CDATA[a]]> <?pi x?> <![CDATA[b]]> ", "ab"},
        {"a &lt; <!---->b", "a < b"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(DataOf(c.text), c.data) << c.text;
    }
}

TEST_F(BdXmlReaderTest, EmptyElementsAndParentsHaveNoData) {
    const Settings settings =
        ReadSettings(dir_, "<r><a/><b></b><c x='1' /><d>text<e>1</e>more</d><f href=x/>t</f></r>");
    EXPECT_EQ(settings, (Settings{{"a", ""}, {"b", ""}, {"c", ""}, {"d", ""}, {"f", "t"}}));
}

TEST_F(BdXmlReaderTest, QuotedGreaterThanDoesNotEndATag) {
    EXPECT_EQ(ReadSettings(dir_, "<r><a t=\"x>y\" u='>'>1</a><b q=\"/\">2</b></r>"),
              (Settings{{"a", "1"}, {"b", "2"}}));
    // A quote outside a value does not open one, so it cannot swallow the rest of the file.
    EXPECT_EQ(ReadSettings(dir_, "<r><a it's>1</a><b>2</b></r>"),
              (Settings{{"a", "1"}, {"b", "2"}}));
}

TEST_F(BdXmlReaderTest, NeverEndedElementsBecomeEmptyAndTheirChildrenFollowThem) {
    bool wellFormed = true;
    EXPECT_EQ(ReadSettings(dir_, "<r><a>1<b>2</b><c>3</c></r>", &wellFormed),
              (Settings{{"a", ""}, {"b", "2"}, {"c", "3"}}));
    EXPECT_FALSE(wellFormed);
    wellFormed = true;
    EXPECT_EQ(ReadSettings(dir_, "<r><a><b><c>3</c><d>4</d></r>", &wellFormed),
              (Settings{{"a", ""}, {"b", ""}, {"c", "3"}, {"d", "4"}}));
    EXPECT_FALSE(wellFormed);
}

TEST_F(BdXmlReaderTest, StrayEndTagIsIgnored) {
    BdXmlReader reader;
    EXPECT_FALSE(LoadAndEnterRoot(&reader, dir_.Write("<r><a>1</a></x><b>2</b></r>")));
    ASSERT_TRUE(reader.FindElem());
    EXPECT_EQ(reader.GetData(), "1");
    ASSERT_TRUE(reader.FindElem());
    EXPECT_EQ(reader.GetData(), "2");
    EXPECT_FALSE(reader.FindElem());
    EXPECT_NE(reader.GetResult().find("<lone_end_tag tagname=\"x\""), std::string::npos);
}

TEST_F(BdXmlReaderTest, OnlyTheChildrenOfAnEndedFirstRootAreVisited) {
    bool wellFormed = true;
    EXPECT_EQ(ReadSettings(dir_, "<r><a>1</a></r><s><b>2</b></s>", &wellFormed),
              (Settings{{"a", "1"}}));
    EXPECT_FALSE(wellFormed);
    wellFormed = true;
    EXPECT_TRUE(ReadSettings(dir_, "<r><a>1</a>", &wellFormed).empty());
    EXPECT_FALSE(wellFormed);
}

TEST_F(BdXmlReaderTest, ReportsEveryKindOfMarkupError) {
    const struct {
        const char *document;
        const char *entry;
    } cases[] = {
        {"<r>< a</r>", "<first_tag_syntax offset=\"3\"/>"},
        {"<r><!x></r>", "<exclamation_tag_syntax offset=\"3\"/>"},
        {"<r><!-x></r>", "<comment_tag_syntax offset=\"3\"/>"},
        {"<r><![x></r>", "<cdata_section_syntax offset=\"3\"/>"},
        {"<!DOCTYPE r [<?x?>]><r/>", "<doctype_tag_syntax offset=\"13\"/>"},
        {"<r></r><!-- open", "type=\"comment\""},
        {"<r></r><![CDATA[ open", "type=\"cdata_section\""},
        {"<r></r><?pi open", "type=\"processing_instruction\""},
        {"<r></r><!DOCTYPE [ open", "type=\"document_type\""},
        {"<r></r><a b='", "type=\"start_tag\""},
        {"<r></r></r", "type=\"end_tag\""},
        {"<r></r><", "type=\"tag\""},
    };
    for (const auto &c : cases) {
        BdXmlReader reader;
        EXPECT_FALSE(reader.Load(dir_.Write(c.document))) << c.document;
        EXPECT_NE(reader.GetResult().find(c.entry), std::string::npos)
            << c.document << " gave " << reader.GetResult();
        // The element before or around the error is still found.
        reader.ResetMainPos();
        EXPECT_TRUE(reader.FindElem()) << c.document;
        EXPECT_EQ(reader.GetTagName(), "r") << c.document;
    }
}

TEST_F(BdXmlReaderTest, DocumentTypeWithInternalSubsetIsSkipped) {
    bool wellFormed = false;
    EXPECT_EQ(ReadSettings(dir_,
                           "<!DOCTYPE r [\n<!ENTITY e \"a>b\">\n<!ELEMENT r ANY>\n]>\n"
                           "<r><a>1</a></r>",
                           &wellFormed),
              (Settings{{"a", "1"}}));
    EXPECT_TRUE(wellFormed);
}

TEST_F(BdXmlReaderTest, FindElemByNameAndResetMainPos) {
    BdXmlReader reader;
    EXPECT_TRUE(LoadAndEnterRoot(&reader, dir_.Write("<r><a>1</a><b>2</b><a>3</a></r>")));
    EXPECT_EQ(reader.GetTagName(), "");
    EXPECT_EQ(reader.GetData(), "");
    EXPECT_FALSE(reader.IntoElem());
    ASSERT_TRUE(reader.FindElem("b"));
    EXPECT_EQ(reader.GetData(), "2");
    ASSERT_TRUE(reader.FindElem(std::string("a")));
    EXPECT_EQ(reader.GetData(), "3");
    EXPECT_FALSE(reader.FindElem("b"));
    EXPECT_EQ(reader.GetData(), "3");  // a failed search does not move
    reader.ResetMainPos();
    ASSERT_TRUE(reader.FindElem("a"));
    EXPECT_EQ(reader.GetData(), "1");
    EXPECT_FALSE(reader.FindElem("A"));  // names are case-sensitive
}

TEST_F(BdXmlReaderTest, UnreadablePathsGiveAnEmptyDocument) {
    const std::string fifo = dir_.Path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string paths[] = {dir_.Path() + "/missing.xml", dir_.Path(), fifo, "/dev/zero", ""};
    for (const std::string &path : paths) {
        BdXmlReader reader;
        EXPECT_FALSE(reader.Load(path)) << path;
        EXPECT_NE(reader.GetResult().find("<file_error msg=\""), std::string::npos) << path;
        EXPECT_FALSE(reader.FindElem()) << path;
    }
    BdXmlReader reader;
    EXPECT_FALSE(reader.Load(XmlText()));
    EXPECT_FALSE(reader.FindElem());
}

TEST_F(BdXmlReaderTest, ReloadReplacesThePreviousDocument) {
    BdXmlReader reader;
    EXPECT_TRUE(LoadAndEnterRoot(&reader, dir_.Write("<r><a>1</a></r>", "one.xml")));
    EXPECT_FALSE(reader.Load(dir_.Write("", "empty.xml")));
    EXPECT_NE(reader.GetResult().find("<no_root_element/>"), std::string::npos);
    EXPECT_FALSE(reader.FindElem());
}

TEST_F(BdXmlReaderTest, IndexGrowsAcrossSegments) {
    // More records than one segment holds, with the capacity reserved up front far too small.
    const int count = 150000;
    std::string document = "<r>";
    for (int i = 0; i < count; ++i) {
        document += "<e>" + std::to_string(i) + "</e>";
    }
    document += "</r>";
    BdXmlReader reader;
    EXPECT_TRUE(LoadAndEnterRoot(&reader, dir_.Write(document)));
    int seen = 0;
    while (reader.FindElem()) {
        ASSERT_EQ(reader.GetData(), std::to_string(seen));
        ++seen;
    }
    EXPECT_EQ(seen, count);
}

TEST_F(BdXmlReaderTest, DeepNestingWithinTheLimitLoads) {
    const int depth = 65000;
    std::string document;
    for (int i = 0; i < depth; ++i) {
        document += "<n>";
    }
    document += "x";
    for (int i = 0; i < depth; ++i) {
        document += "</n>";
    }
    BdXmlReader reader;
    EXPECT_TRUE(reader.Load(dir_.Write(document)));
    for (int i = 0; i < depth; ++i) {
        ASSERT_TRUE(reader.FindElem());
        ASSERT_TRUE(reader.IntoElem());
    }
    EXPECT_FALSE(reader.FindElem());
}

TEST_F(BdXmlReaderTest, TagsTheRecordCannotHoldStopIndexing) {
    std::string tooDeep;
    for (int i = 0; i < 65536; ++i) {
        tooDeep += "<n>";
    }
    const std::string longEndTag = "<r></r" + std::string(1100, ' ') + "><s/>";
    const std::string longStartTag = "<r" + std::string(0x400000, ' ') + ">";
    const struct {
        const std::string &document;
        const char *entry;
    } cases[] = {
        {tooDeep, "<record_limit type=\"nesting\" offset=\"196605\"/>"},
        {longEndTag, "<record_limit type=\"end_tag\" offset=\"3\"/>"},
        {longStartTag, "<record_limit type=\"start_tag\" offset=\"0\"/>"},
    };
    for (const auto &c : cases) {
        BdXmlReader reader;
        EXPECT_FALSE(reader.Load(dir_.Write(c.document)));
        EXPECT_NE(reader.GetResult().find(c.entry), std::string::npos) << reader.GetResult();
    }
}

TEST_F(BdXmlReaderTest, ResultLogStaysSmall) {
    std::string document = "<r>";
    for (int i = 0; i < 10000; ++i) {
        document += "</stray>";
    }
    BdXmlReader reader;
    EXPECT_FALSE(reader.Load(dir_.Write(document + "</r>")));
    EXPECT_LT(reader.GetResult().size(), 1200u);
}

}  // namespace
