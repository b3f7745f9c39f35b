#include "bd_common/bd_getopt.h"
#include "bd_common/bd_application.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

namespace {

const BdGetopt::Option *const kRouterOptions = BdApplication::kOptions;

BdGetopt Parse(std::initializer_list<const char *> words,
               const BdGetopt::Option *options = kRouterOptions, bool inOrder = false) {
    std::vector<const char *> argv(words);
    return BdGetopt(static_cast<int>(argv.size()), argv.data(), options, inOrder);
}

// (code, argument) pairs of every record, for compact expectations.
std::vector<std::pair<int, std::string>> Records(const BdGetopt &parsed) {
    std::vector<std::pair<int, std::string>> out;
    for (int i = 0; i < parsed.Arguments(); ++i)
        out.emplace_back(parsed.Code(i), parsed.Argument(i));
    return out;
}

using Items = std::vector<std::pair<int, std::string>>;

TEST(BdGetoptTest, NothingToParseIsEmptySuccess) {
    EXPECT_EQ(Parse({"prog"}).Arguments(), 0);
    EXPECT_EQ(Parse({"prog"}).Error(), "");
    EXPECT_EQ(BdGetopt(2, nullptr, kRouterOptions, false).Arguments(), 0);
}

TEST(BdGetoptTest, LongOptionsAcceptUniquePrefixesAndEqualsValues) {
    EXPECT_EQ(Records(Parse({"prog", "--conf=/x"})), (Items{{'c', "/x"}}));
    EXPECT_EQ(Records(Parse({"prog", "--c", "/x"})), (Items{{'c', "/x"}}));
    EXPECT_EQ(Records(Parse({"prog", "--b"})), (Items{{'b', ""}}));
    // A required argument is taken even when it looks like an option.
    EXPECT_EQ(Records(Parse({"prog", "--config", "-b"})), (Items{{'c', "-b"}}));
}

TEST(BdGetoptTest, LongOptionErrorsNameTheTableEntry) {
    EXPECT_EQ(Parse({"prog", "--help=yes"}).Error(), "option '--help' doesn't allow an argument");
    EXPECT_EQ(Parse({"prog", "--he=yes"}).Error(), "option '--help' doesn't allow an argument");
    EXPECT_EQ(Parse({"prog", "--conf"}).Error(), "option '--config' requires an argument");
    EXPECT_EQ(Parse({"prog", "--config="}).Error(), "option '--config' requires an argument");
    EXPECT_EQ(Parse({"prog", "--config", ""}).Error(), "option '--config' requires an argument");
    EXPECT_EQ(Parse({"prog", "--nope"}).Error(), "unrecognized option '--nope'");
}

TEST(BdGetoptTest, AmbiguousOnlyWhenPrefixMatchesDiffer) {
    const BdGetopt::Option options[] = {
        {'a', "verbose", BdGetopt::kNoArgument},
        {'b', "version", BdGetopt::kNoArgument},
        {'c', "vers", BdGetopt::kOptionalArgument},
        {0, nullptr, 0},
    };
    EXPECT_EQ(Parse({"prog", "--ver"}, options).Error(), "option '--ver' is ambiguous");
    // An exact name wins over the other prefix matches.
    EXPECT_EQ(Records(Parse({"prog", "--vers"}, options)), (Items{{'c', ""}}));
    EXPECT_EQ(Records(Parse({"prog", "--vers=3"}, options)), (Items{{'c', "3"}}));

    const BdGetopt::Option aliases[] = {
        {'x', "extract", BdGetopt::kNoArgument},
        {'x', "extra", BdGetopt::kNoArgument},
        {0, nullptr, 0},
    };
    EXPECT_EQ(Records(Parse({"prog", "--ext"}, aliases)), (Items{{'x', ""}}));
}

TEST(BdGetoptTest, ShortGroupsAndAttachedArguments) {
    EXPECT_EQ(Records(Parse({"prog", "-bc/x"})), (Items{{'b', ""}, {'c', "/x"}}));
    EXPECT_EQ(Records(Parse({"prog", "-c", "/y", "-b"})), (Items{{'c', "/y"}, {'b', ""}}));
    EXPECT_EQ(Parse({"prog", "-c"}).Error(), "option requires an argument -- c");
    EXPECT_EQ(Parse({"prog", "-bx"}).Error(), "invalid option -- x");
}

TEST(BdGetoptTest, AnErrorDiscardsEveryRecord) {
    BdGetopt parsed = Parse({"prog", "-b", "-x"});
    EXPECT_EQ(parsed.Arguments(), 0);
    EXPECT_EQ(parsed.Code(0), 0);
    EXPECT_EQ(parsed.Argument(0), "invalid option -- x");
}

TEST(BdGetoptTest, NonOptionsFollowTheOptionsUnlessInOrder) {
    EXPECT_EQ(Records(Parse({"prog", "word", "-b", "-", "--", "-h", "tail"})),
              (Items{{'b', ""}, {0, "word"}, {0, "-"}, {0, "-h"}, {0, "tail"}}));
    EXPECT_EQ(Records(Parse({"prog", "word", "-b"}, kRouterOptions, true)),
              (Items{{0, "word"}, {'b', ""}}));
}

}  // namespace
