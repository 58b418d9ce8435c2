// Conversion between wide and narrow text, and formatting that must not
// depend on the host's locale.
#include <gtest/gtest.h>

#include "support/CFormat.h"
#include "support/CppSQLite3U.h"
#include "support/LibUtils.h"
#include "support/Utf8.h"
#include "testlib/TestSupport.h"

#include <cstdio>

namespace {

// The narrow forms are UTF-8 in both: the ASCII-only "C" locale counts as UTF-8.
char const* const kLocales[] = {"C.UTF-8", "C"};

std::wstring longWideText()
{
    std::wstring text;
    while (text.size() < 20000)
        text += L"Öltemp T°C 😀 abc € ";
    return text.substr(0, 20000);
}

}  // namespace

TEST(TextConversion, WholeTextsConvertBothWays)
{
    struct {
        wchar_t const* wide;
        char const* narrow;
    } const samples[] = {{L"", ""}, {L"Engine Speed", "Engine Speed"}, {L"Öltemp T°C", "\xC3\x96ltemp T\xC2\xB0\x43"},
                         {L"Łódź € 😀", "\xC5\x81\xC3\xB3\x64\xC5\xBA \xE2\x82\xAC \xF0\x9F\x98\x80"}};
    std::wstring longText = longWideText();
    for (char const* locale : kLocales) {
        testlib::ScopedLocale scope(locale);
        ASSERT_TRUE(scope.ok()) << locale;
        for (auto const& s : samples) {
            EXPECT_EQ(mbstring(s.wide), s.narrow) << locale;  // no padding, nothing cut
            EXPECT_EQ(widestring(s.narrow), s.wide) << locale;
        }
        std::string narrow = mbstring(longText);
        EXPECT_EQ(narrow, Utf8FromWide(longText));
        EXPECT_EQ(widestring(narrow), longText) << locale;
        EXPECT_EQ(std::wstring(UnicodefromASCII(narrow.c_str(), -1)), longText);

        // A byte that starts no character is taken as Latin-1 and the rest
        // goes on; what is no Unicode scalar value becomes U+FFFD.
        EXPECT_EQ(widestring("a\xFF" "b"), L"a\u00FFb") << locale;
        EXPECT_EQ(widestring("\xED\xA0\x80 \xF4\x90\x80\x80 end\xC3"), L"\u00ED\u00A0\u0080 \u00F4\u0090\u0080\u0080 end\u00C3");
        for (wchar_t invalid : {wchar_t(0xD800), wchar_t(0x110000), wchar_t(-1)})
            EXPECT_EQ(mbstring(std::wstring(L"a") + invalid + L"b"), "a\xEF\xBF\xBD" "b") << locale;
    }
}

TEST(TextConversion, LowByteNarrowing)
{
    EXPECT_STREQ(ASCIIfromUnicode(L"\u0141 T\u00B0C"), "A T\xB0" "C");
    EXPECT_EQ(std::string(ASCIIfromUnicode(std::wstring(20000, L'x'))), std::string(20000, 'x'));
    EXPECT_STREQ(UnicodefromASCII("abcdef", 2), L"abc");  // at most count + 1 characters
}

TEST(CFormat, TextArgumentsConvertLikeTheTextFunctions)
{
    std::wstring longText = longWideText();
    for (char const* locale : kLocales) {
        testlib::ScopedLocale scope(locale);
        EXPECT_EQ(FormatCW(L"%s=%d", "\xC3\x96ltemp", 5), L"Öltemp=5") << locale;
        EXPECT_EQ(FormatC("[%ls]", L"T°C"), "[T\xC2\xB0" "C]") << locale;
        EXPECT_EQ(FormatCW(L"%ls", longText.c_str()), longText);
        EXPECT_EQ(FormatC("%ls", longText.c_str()), mbstring(longText));
        EXPECT_EQ(FormatCW(L"x%sy", "\xFF"), L"") << locale;  // does not convert
    }
}

TEST(CFormat, NumbersKeepAFullStopUnderACommaLocale)
{
    std::string comma = testlib::commaDecimalLocale();
    if (comma.empty())
        GTEST_SKIP() << "no comma-decimal locale installed and localedef could not make one";
    testlib::ScopedLocale scope(comma.c_str());
    char host[32];
    std::snprintf(host, sizeof host, "%.1f", 1.5);
    ASSERT_STREQ(host, "1,5") << comma << " does not write a decimal comma";

    EXPECT_EQ(FormatC("%.3f|%g|%s", 1.5, 0.25, "\xC3\x96l"), "1.500|0.25|\xC3\x96l");
    EXPECT_EQ(FormatCW(L"%.17g %ls", 0.1, L"Öl"), L"0.10000000000000001 Öl");
    char* end = nullptr;
    EXPECT_EQ(StrtodC("2.5;", &end), 2.5);
    EXPECT_EQ(*end, ';');

    testlib::TempDir dir;
    CppSQLite3DB db;
    db.open(widestring(dir.file("n.db")).c_str());
    db.execDML(L"create table t(v real)");
    db.execDML(FormatCW(L"insert into t values(%.17g)", 1234.5678).c_str());
    db.close();
    EXPECT_EQ(testlib::sqlite3(dir.file("n.db"), "select v = 1234.5678 from t").output, "1\n");
}
