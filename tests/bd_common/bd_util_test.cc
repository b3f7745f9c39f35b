#include "bd_common/bd_util.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>

namespace {

std::vector<std::string> Split(const std::string &text, const std::string &pattern) {
    std::vector<std::string> parts;
    BdUtil::SplitStringByPattern(text, pattern, parts);
    return parts;
}

TEST(BdUtilSplitTest, EmptyPiecesBecomeOneBlankAndEmptyRemainderIsDropped) {
    using Parts = std::vector<std::string>;
    EXPECT_EQ(Split("a?b?c", "?"), (Parts{"a", "b", "c"}));
    EXPECT_EQ(Split("?a", "?"), (Parts{" ", "a"}));
    EXPECT_EQ(Split("a??b", "?"), (Parts{"a", " ", "b"}));
    EXPECT_EQ(Split("a?", "?"), (Parts{"a"}));
    EXPECT_EQ(Split("?", "?"), (Parts{" "}));
    EXPECT_EQ(Split("abc", "?"), (Parts{"abc"}));
    EXPECT_EQ(Split("x, y, ", ", "), (Parts{"x", "y"}));
    EXPECT_EQ(Split("SELECT '?' AND '?'", "?"), (Parts{"SELECT '", "' AND '", "'"}));
}

TEST(BdUtilSplitTest, EmptyTextOrPatternLeavesTheResultAlone) {
    std::vector<std::string> parts{"kept"};
    EXPECT_EQ(BdUtil::SplitStringByPattern("", "?", parts), 0);
    EXPECT_EQ(BdUtil::SplitStringByPattern("a?b", "", parts), 0);
    EXPECT_EQ(parts, std::vector<std::string>{"kept"});
}

TEST(BdUtilSplitTest, AppendsWithoutClearing) {
    std::vector<std::string> parts{"old"};
    EXPECT_EQ(BdUtil::SplitStringByPattern("a?b", "?", parts), 1);
    EXPECT_EQ(parts, (std::vector<std::string>{"old", "a", "b"}));
}

TEST(BdUtilNumberTest, StrToNumReadsTheLeadingNumber) {
    EXPECT_EQ(BdUtil::StrToNum<int>(" 42x"), 42);
    EXPECT_EQ(BdUtil::StrToNum<int>("-17"), -17);
    EXPECT_EQ(BdUtil::StrToNum<int>("+8"), 8);
    EXPECT_EQ(BdUtil::StrToNum<int>("x"), 0);
    EXPECT_EQ(BdUtil::StrToNum<int>(""), 0);
}

TEST(BdUtilUuidTest, GeneratesDistinctThirtySixCharacterUuids) {
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        std::string uuid = BdUtil::GenerateUuidString();
        ASSERT_EQ(uuid.size(), 36u);
        for (size_t j = 0; j < uuid.size(); ++j) {
            if (j == 8 || j == 13 || j == 18 || j == 23) {
                EXPECT_EQ(uuid[j], '-');
            } else {
                EXPECT_TRUE(isxdigit(static_cast<unsigned char>(uuid[j]))) << uuid;
            }
        }
        seen.insert(uuid);
    }
    EXPECT_EQ(seen.size(), 100u);
}

TEST(BdUtilShellTest, AppendsTheCommandsOutput) {
    std::string output = "before:";
    EXPECT_EQ(BdUtil::DoShellCommand("printf 'one\\ntwo'", &output), 1);
    EXPECT_EQ(output, "before:one\ntwo");
    EXPECT_EQ(BdUtil::DoShellCommand("", &output), 0);
    EXPECT_EQ(BdUtil::DoShellCommand("true", nullptr), 0);
}

TEST(BdUtilHostTest, HostFactsAreSingleLines) {
    EXPECT_FALSE(BdUtil::GetHostName().empty());
    EXPECT_EQ(BdUtil::GetOSType(), "Linux");
    EXPECT_EQ(BdUtil::GetProcessType(), "64 bit");
    std::string version = BdUtil::GetOSVersion();
    EXPECT_FALSE(version.empty());
    EXPECT_EQ(version.find('\n'), std::string::npos);
}

TEST(BdUtilEscapeTest, EveryControlByteIsFoundWhereverItStandsAndNoOtherByteIs) {
    // The check goes a word at a time: each byte value at each place of texts shorter than a
    // word, of whole words and of words with a tail, among fillers at the edges of the test (a
    // space, 0x7e, bytes with the top bit set).
    for (const char filler : {' ', '~', '\x80', '\xff'}) {
        for (int value = 0; value < 256; ++value) {
            const bool control = value < 0x20 || value == 0x7f;
            for (size_t length = 1; length <= 19; ++length) {
                for (size_t at = 0; at < length; ++at) {
                    std::string text(length, filler);
                    text[at] = static_cast<char>(value);
                    ASSERT_EQ(BdUtil::HasControlChars(text), control)
                        << "byte " << value << " at " << at << " of " << length << " among "
                        << int(filler);
                }
            }
        }
    }
    EXPECT_FALSE(BdUtil::HasControlChars(""));
}

}  // namespace
