#include <gtest/gtest.h>

#include "support/LibUtils.h"

#include <string>

namespace {

struct Case {
    char const* pattern;
    char const* text;
    bool matches;
};

void expectTable(std::initializer_list<Case> cases)
{
    for (Case const& c : cases)
        EXPECT_EQ(MatchField(c.pattern, c.text), c.matches) << "pattern '" << c.pattern << "' text '" << c.text << "'";
}

}  // namespace

TEST(MatchField, LiteralsQuestionMarksAndEscapes)
{
    expectTable({{"", "", true}, {"", "Engine Speed", true}, {"abc", "abc", true}, {"abc", "abcd", false},
                 {"abc", "ab", false}, {"Abc", "abc", false}, {"a?c", "abc", true}, {"a?c", "ac", false},
                 {"a\\*c", "a*c", true}, {"a\\*c", "abc", false}, {"abc\\", "abc\\", false}, {"abc\\", "abc", false},
                 {"HS CAN | 0x1A0", "HS CAN | 0x1A0", true}});
}

TEST(MatchField, BracketSets)
{
    expectTable({{"[a-c]x", "bx", true}, {"[a-c]x", "dx", false}, {"[-a]x", "-x", true}, {"[-a]x", "ax", true},
                 {"[ab", "a", false}, {"[ab", "[ab", false}, {"[a-]", "a", false}, {"[a-]", "-", false},
                 {"[]x", "x", false}, {"[c-a]", "b", false}, {"[!a]", "!", true}, {"[^a]", "b", false},
                 {"[\\]]", "]", true}, {"[a\\-c]", "-", true}, {"[a\\-c]", "b", false}, {"[a\\", "a", false},
                 {"[a-c-e]", "d", true}, {"[\xC0-\xFF]", "\xE9", true}, {"[a-\xC3]", "b", false}});
}

TEST(MatchField, StarTakesZeroOrMoreCharacters)
{
    expectTable({{"*", "", true}, {"*", "x", true}, {"**", "", true}, {"a*", "a", true}, {"a*", "ab", true},
                 {"a*c", "ac", true}, {"a*c", "abbbc", true}, {"a*c", "abd", false}, {"*b*", "abc", true},
                 {"*b*", "acd", false}, {"a*b*c", "aXbYc", true}, {"a*b*c", "aXcYb", false}, {"*ab", "aab", true},
                 {"*a?", "xxab", true}, {"\\**", "*x", true}, {"\\**", "x*", false}, {"*[ab", "x[ab", false}});

    std::string text(100000, 'a'), stars;
    for (int i = 0; i < 200; ++i)
        stars += "*a";
    EXPECT_FALSE(MatchField(stars + "*b", text));
    EXPECT_TRUE(MatchField(stars + "*b", text + "b"));
    EXPECT_FALSE(MatchField(stars + "*b", text.substr(0, 199) + "b"));
    EXPECT_TRUE(MatchField("*" + text + "*", "x" + text + "y"));
    EXPECT_FALSE(MatchField("*?*?*b", text));
}
