// The settings file "./kvxexport.cfg" of the current working directory.
#include <gtest/gtest.h>

#include "support/LibUtils.h"
#include "testlib/TestSupport.h"

#include <filesystem>

namespace {

wchar_t const kKey[] = L"Software\\norvaneinc\\Kalderon\\Plotter\\General";

unsigned number(wchar_t const* name, unsigned defaultValue = 99)
{
    return ReadRegValue(0, kKey, name, defaultValue);
}

std::wstring text(wchar_t const* name, wchar_t const* defaultValue = L"default")
{
    return ReadRegStringValue(0, kKey, name, defaultValue);
}

}  // namespace

TEST(Settings, NamedValuesFirstLineWins)
{
    testlib::TempDir dir;
    testlib::ScopedChdir cd(dir.path());
    std::string longValue(5000, 'v');
    testlib::writeText("kvxexport.cfg",
                       "WriteUnits=1\r\n"
                       "WriteUnits=0\n"
                       "WriteUnits = 7\n"
                       "GroupMessages=0x10\n"
                       "Octal=010\n"
                       "Blanks=  12 apples\n"
                       "Bad=abc\n"
                       "a line without an equals sign\n"
                       "#Comment=5\n"
                       "MDF Extension=.mf4\r\n"
                       "Formula=a=b\n"
                       "Empty=\n"
                       "Long=" + longValue + "\n"
                       "Last=3");
    EXPECT_EQ(number(L"WriteUnits"), 1u);
    EXPECT_EQ(number(L"WriteUnits "), 7u);
    EXPECT_EQ(number(L"writeunits"), 99u);
    EXPECT_EQ(number(L"GroupMessages"), 16u);
    EXPECT_EQ(number(L"Octal"), 8u);
    EXPECT_EQ(number(L"Blanks"), 12u);
    EXPECT_EQ(number(L"Bad"), 0u);
    EXPECT_EQ(number(L"#Comment"), 5u);
    EXPECT_EQ(number(L"Missing", 42), 42u);
    EXPECT_EQ(number(L"Last"), 3u);

    EXPECT_EQ(text(L"MDF Extension"), L".mf4");
    EXPECT_EQ(text(L"WriteUnits"), L"1");
    EXPECT_EQ(text(L"Formula"), L"a=b");
    EXPECT_EQ(text(L"Empty"), L"");
    EXPECT_EQ(text(L"Missing"), L"default");
    EXPECT_EQ(text(L"Missing", nullptr), L"");
    // A line is read in pieces of 4095 characters, each piece a line.
    EXPECT_EQ(text(L"Long"), std::wstring(4090, L'v'));
}

TEST(Settings, WithoutAFileEverythingTakesItsDefault)
{
    testlib::TempDir dir;
    testlib::ScopedChdir cd(dir.path());
    EXPECT_EQ(number(L"WriteUnits", 1), 1u);
    EXPECT_EQ(text(L"MDF Extension", L".mdf"), L".mdf");
    std::filesystem::create_directory("kvxexport.cfg");
    EXPECT_EQ(number(L"WriteUnits", 1), 1u);
    EXPECT_EQ(text(L"MDF Extension", L".mdf"), L".mdf");
}
