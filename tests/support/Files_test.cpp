#include <gtest/gtest.h>

#include "support/CppSQLite3U.h"
#include "support/LibUtils.h"
#include "support/Paths.h"
#include "testlib/TestSupport.h"

#include <filesystem>
#include <sys/stat.h>

namespace {

std::wstring W(std::string const& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

}  // namespace

TEST(JsonArgument, FileOrInlineTextOrAMessage)
{
    testlib::TempDir dir;
    std::string contents = "{\"channels\": [\"\xC3\x96ltemp\"]}\n" + std::string(200000, ' ') + std::string(3, '\0');
    testlib::writeText(dir.file("list.json"), contents);
    std::string out;
    EXPECT_TRUE(ReadFileToString(W(dir.file("list.json")).c_str(), out));
    EXPECT_EQ(out, contents);
    EXPECT_TRUE(ReadFileToString(L"{\"channels\": [\"Öltemp\"]}", out));
    EXPECT_EQ(out, "{\"channels\": [\"\xC3\x96ltemp\"]}");

    // A missing file gets the message; a folder (which passes fopen on
    // Linux) and a FIFO exist and are only not read, at once.
    std::filesystem::create_directory(dir.file("{dir}"));
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    for (std::string name : {dir.file("missing.json"), dir.path(), dir.file("{dir}"), dir.file("fifo")}) {
        out = "untouched";
        testlib::StdoutCapture capture;
        EXPECT_FALSE(ReadFileToString(W(name).c_str(), out));
        bool missing = name == dir.file("missing.json");
        EXPECT_EQ(capture.text(), missing ? "Could not open file " + name + "\n" : "");
        EXPECT_EQ(out, missing ? name : "untouched");
    }
}

TEST(Files, EveryFileFunctionNarrowsAPathTheSameWay)
{
    testlib::TempDir dir;
    std::string onDisk = dir.file("\xC3\x96l \xC2\xB0" "C \xF0\x9F\x98\x80.db");
    for (char const* locale : {"C.UTF-8", "C"}) {
        testlib::ScopedLocale scope(locale);
        std::wstring path = W(dir.path()) + L"/Öl °C 😀.db";
        FILE* file = Owfopen(path.c_str(), L"wte");
        ASSERT_NE(file, nullptr) << locale;
        std::fclose(file);
        EXPECT_TRUE(testlib::fileExists(onDisk)) << locale;
        EXPECT_TRUE(DeleteFile(path.c_str()));
        EXPECT_FALSE(FileExists(path.c_str()) || ExportFileExists(path.c_str()) || RemoveFile(path.c_str()));
        {
            CppSQLite3DB db;
            db.open(path.c_str());
            db.execDML(L"create table t(v)");
        }
        EXPECT_EQ(testlib::sqlite3(onDisk, "select name from sqlite_master").output, "t\n") << locale;
        EXPECT_TRUE(FileExists(path.c_str()));
        EXPECT_TRUE(RemoveFile(path.c_str()));
    }
}

TEST(Strings, TrimRightFindOneOfReplace)
{
    std::string narrow = " \t a b \t";
    TrimLeft(narrow);
    EXPECT_EQ(narrow, "a b \t");
    std::wstring wide = L"\t x \t", blanks = L" \t ";
    TrimLeft(wide);
    TrimRight(wide);
    TrimRight(blanks);
    EXPECT_EQ(wide + blanks, L"x");

    EXPECT_EQ(Right(L"abc", 2), L"bc");
    EXPECT_EQ(Right(L"abc", 10), L"abc");
    // The first character NOT in the set.
    EXPECT_EQ(FindOneOf(L"  \tx y", L" \t"), 3u);
    EXPECT_EQ(FindOneOf(L" \t ", L" \t"), std::wstring::npos);

    struct {
        char const *text, *from, *to, *result;
    } const replacements[] = {{"a.b.c", ".", "::", "a::b::c"}, {"aaa", "a", "aa", "aaaaaa"}, {"abc", "", "x", "abc"}};
    for (auto const& r : replacements) {
        std::string text = r.text;
        ReplaceStringInPlace(text, r.from, r.to);
        EXPECT_EQ(text, r.result) << r.text << " " << r.from;
    }
}

TEST(Strings, MatlabNames)
{
    struct {
        std::string name, scrubbed;
    } const cases[] = {{"  Engine Speed [rpm]", "Engine_Speed__rpm_"},
                       {"x -[]/\\\t.,:;?~@#$%^&*()", "x" + std::string(22, '_')},
                       {"_1a!+='\"\xC3\x96 ", "_1a!+='\"\xC3\x96_"},
                       {std::string(70, 'n'), std::string(63, 'n')}};
    for (auto const& c : cases) {
        std::string name = c.name;
        ScrubMatlabName(name);
        EXPECT_EQ(name, c.scrubbed);
    }
}

TEST(Strings, MatlabNamesAreMadeUnique)
{
    const std::string long63(63, 'y'), wide = std::string(60, 'x') + "\xC3\x9C" "z";
    struct Case {
        std::vector<std::string> names, unique;
    } cases[] = {
        {{"a", "b"}, {"a", "b"}},
        {{"a", "a", "a"}, {"a", "a_2", "a_3"}},
        {{"a", "a", "a_2"}, {"a", "a_3", "a_2"}},  // a later name keeps its own text
        {{"header", "x"}, {"header_2", "x"}},
        {{long63, long63}, {long63, std::string(61, 'y') + "_2"}},
        {{wide, wide}, {wide, std::string(60, 'x') + "_2"}},  // never half a character
    };
    for (Case& c : cases) {
        std::vector<std::string> names = c.names;
        MakeMatlabNamesUnique(names);
        EXPECT_EQ(names, c.unique);
    }
}

TEST(Diagnostics, LinesOnStandardOutput)
{
    testlib::StdoutCapture capture;
    DebugOutput("100% %s %d");
    DebugOutput1("Could not open file %s", "x%d.json");
    DebugOutput1("Channel %s", std::string(5000, 'c').c_str());
    EXPECT_EQ(capture.text(), "100% %s %d\nCould not open file x%d.json\nChannel " + std::string(1015, 'c') + "\n");
}

// A narrow path is the file's bytes and its wide form names the same file:
// bytes that decode to nothing are U+DC80..U+DCFF. A wide path with a
// character that has no exact byte form names no file.
TEST(Paths, NarrowAndWideFormsNameOneFile)
{
    std::string latin1 = testlib::latin1Locale();
    struct Case {
        char const* locale;
        char const* bytes;
        wchar_t const* wide;
    } const cases[] = {
        {"C.UTF-8", "\xC3\x96l/t\xFF", L"Öl/t\xDCFF"}, {"C", "\xC3\x96l/t\xFF", L"Öl/t\xDCFF"},
        {"C.UTF-8", "\xED\xA0\x80\xC0\xAF", L"\xDCED\xDCA0\xDC80\xDCC0\xDCAF"},  // a surrogate, overlong
        {latin1.c_str(), "\xC3\x96l/t\xFF", L"Ã\u0096l/tÿ"},
    };
    for (Case const& c : cases) {
        testlib::ScopedLocale scope(c.locale);
        if (!scope.ok())
            continue;
        EXPECT_EQ(WidePath(c.bytes), c.wide) << c.locale;
        EXPECT_EQ(PathBytes(c.wide).value_or("none"), c.bytes) << c.locale;
        for (wchar_t const* none : {L"\xD800", L"\xDC41", L"\x110000", c.locale == latin1 ? L"€" : L"\xDBFF"})
            EXPECT_FALSE(PathBytes(std::wstring(L"a") + none)) << c.locale;
    }
    EXPECT_FALSE(latin1.empty()) << "no ISO-8859-1 locale: the locale road of paths went untested";

    testlib::TempDir dir;
    std::wstring path = WidePath(dir.file("x\xFF"));
    FILE* file = Owfopen(path.c_str(), L"wte");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    EXPECT_TRUE(testlib::fileExists(dir.file("x\xFF")) && FileExists(path.c_str()) && RemoveFile(path.c_str()));
    testlib::StdoutCapture capture;
    EXPECT_FALSE(CheckPaths({path.c_str(), nullptr, L"a\xD800"}));
    EXPECT_EQ(capture.text(), "Path a\xEF\xBF\xBD cannot be named exactly in the current locale\n");
}
