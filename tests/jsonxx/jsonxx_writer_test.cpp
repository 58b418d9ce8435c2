// The writer: the exact bytes of the indented text, the escape table byte by
// byte, number formatting (also under a comma locale), the compact and XML
// forms.
#include <gtest/gtest.h>

#include "testlib/TestSupport.h"
#include "JsonTestSupport.h"
#include "jsonxx/jsonxx.h"

#include <clocale>
#include <cmath>
#include <limits>
#include <sstream>
#include <string>

using jsonxx::Array;
using jsonxx::Null;
using jsonxx::Number;
using jsonxx::Object;
using jsonxx::String;
using jsonxx::Value;

using jsontest::parsed;

namespace {

std::string number_text(Number number)
{
    Array array(Value{number});
    std::string text = array.json();  // "[\n\t<number> \n] \n"
    return text.substr(3, text.size() - 3 - 5);
}

// The byte as the escape table must write it, spelled out independently.
std::string expected_escape(unsigned byte)
{
    switch (byte) {
    case 0x08: return "\\b";
    case 0x09: return "\\t";
    case 0x0A: return "\\n";
    case 0x0C: return "\\f";
    case 0x0D: return "\\r";
    case 0x22: return "\\\"";
    case 0x2F: return "\\/";
    case 0x5C: return "\\\\";
    }
    if (byte < 0x20) {
        const char* hex = "0123456789abcdef";
        return std::string("\\u00") + hex[byte >> 4] + hex[byte & 15];
    }
    return std::string(1, static_cast<char>(byte));
}

}  // namespace

TEST(JsonWriter, ChannelsExampleBytes)
{
    Object channel("name", Value("a"));
    Array channels;
    channels.append(channel);
    Object root("Channels", channels);
    EXPECT_EQ(root.json(),
              "{\n"
              "\t\"Channels\": [\n"
              "\t\t{\n"
              "\t\t\t\"name\": \"a\" \n"
              "\t\t} \n"
              "\t] \n"
              "} \n");
    EXPECT_EQ(root.write(0), root.json());
}

TEST(JsonWriter, LayoutOfEmptyContainersAndLastLines)
{
    EXPECT_EQ(Object().json(), "{\n} \n");
    EXPECT_EQ(Array().json(), "[\n] \n");
    Object object = parsed(R"({"b": [], "a": {}, "c": [1, "x", null, true, false, {"k": []}]})");
    EXPECT_EQ(object.json(),
              "{\n"
              "\t\"a\": {\n"
              "\t},\n"
              "\t\"b\": [\n"
              "\t],\n"
              "\t\"c\": [\n"
              "\t\t1,\n"
              "\t\t\"x\",\n"
              "\t\tnull,\n"
              "\t\ttrue,\n"
              "\t\tfalse,\n"
              "\t\t{\n"
              "\t\t\t\"k\": [\n"
              "\t\t\t] \n"
              "\t\t} \n"
              "\t] \n"
              "} \n");
    EXPECT_EQ(parsed(R"({"e": []})").json(), "{\n\t\"e\": [\n\t] \n} \n");
}

TEST(JsonWriter, NamesInByteOrderAndEscaped)
{
    Object object;
    object.import("b", Value(1));
    object.import("a", Value(2));
    object.import("B", Value(3));
    object.import("q\"uote", Value(4));
    EXPECT_EQ(object.json(), "{\n\t\"B\": 3,\n\t\"a\": 2,\n\t\"b\": 1,\n\t\"q\\\"uote\": 4 \n} \n");
}

// An empty name is still written, so the text stays JSON and reads back.
TEST(JsonWriter, EmptyMemberNameIsWritten)
{
    Object object("", Value(1));
    EXPECT_EQ(object.json(), "{\n\t\"\": 1 \n} \n");
    Object again;
    ASSERT_TRUE(again.parse(object.json()));
    EXPECT_EQ(again.get<Number>(""), 1);
}

TEST(JsonWriter, EveryByteThroughTheEscapeTable)
{
    for (unsigned byte = 0; byte < 256; ++byte) {
        SCOPED_TRACE(byte);
        const String text(1, static_cast<char>(byte));
        EXPECT_EQ(jsonxx::escape_string(text), expected_escape(byte));
        EXPECT_EQ(jsonxx::escape_string(text, true), "\"" + expected_escape(byte) + "\"");
        Object object("s", Value(text));
        EXPECT_EQ(object.json(), "{\n\t\"s\": \"" + expected_escape(byte) + "\" \n} \n");
        Object again;
        ASSERT_TRUE(again.parse(object.json()));
        EXPECT_EQ(again.get<String>("s"), text);
    }
    EXPECT_EQ(jsonxx::escape_string("C:/x"), "C:\\/x");
    EXPECT_EQ(jsonxx::escape_string("\xc3\xa9\x1b"), "\xc3\xa9\\u001b");
}

TEST(JsonWriter, NumbersAsPercent19Lg)
{
    EXPECT_EQ(number_text(0.1), "0.1000000000000000056");
    EXPECT_EQ(number_text(1.5), "1.5");
    EXPECT_EQ(number_text(100), "100");
    EXPECT_EQ(number_text(1e19), "1e+19");
    EXPECT_EQ(number_text(1e18), "1000000000000000000");
    EXPECT_EQ(number_text(1e-5), "1.000000000000000082e-05");
    EXPECT_EQ(number_text(-0.0), "-0");
    EXPECT_EQ(number_text(std::numeric_limits<Number>::max()), "1.189731495357231765e+4932");
    Object read = parsed(R"({"a": 0.1, "b": 2.5, "c": 1500, "d": 1e-4})");
    EXPECT_EQ(read.json(), "{\n\t\"a\": 0.1,\n\t\"b\": 2.5,\n\t\"c\": 1500,\n\t\"d\": 0.0001 \n} \n");
}

// inf and nan have no JSON form; null is what any reader takes back.
TEST(JsonWriter, NonFiniteNumbersAreWrittenAsNull)
{
    Array array;
    array << Value(std::numeric_limits<Number>::infinity()) << Value(-std::numeric_limits<Number>::infinity())
          << Value(std::numeric_limits<Number>::quiet_NaN());
    EXPECT_EQ(array.json(), "[\n\tnull,\n\tnull,\n\tnull \n] \n");
    Array again;
    ASSERT_TRUE(again.parse(array.json()));
    EXPECT_TRUE(again.values()[0]->is<Null>());
}

// A comma as the C library's decimal point (LC_NUMERIC) changes neither
// direction. The locale is compiled for the test; without the locale
// sources the test cannot run.
TEST(JsonWriter, NumbersIgnoreLcNumeric)
{
    testlib::TempDir dir;
    testlib::CommandResult built =
        testlib::run("localedef -i de_DE -f UTF-8 " + testlib::shellQuote(dir.file("de_DE.UTF-8")) + " 2>&1");
    if (!testlib::fileExists(dir.file("de_DE.UTF-8")))
        GTEST_SKIP() << "localedef could not build de_DE.UTF-8: " << built.output;
    testlib::ScopedEnv locpath("LOCPATH", dir.path().c_str());
    std::string previous = std::setlocale(LC_NUMERIC, nullptr);
    ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr);
    char check[16];
    std::snprintf(check, sizeof check, "%.1f", 1.5);
    EXPECT_STREQ(check, "1,5");  // the locale is really in force

    Object object;
    bool parsed_ok = object.parse(String(R"({"a": 1.5, "b": 1e-5})"));
    std::string text = object.json();
    std::setlocale(LC_NUMERIC, previous.c_str());

    ASSERT_TRUE(parsed_ok);
    EXPECT_EQ(object.get<Number>("a"), 1.5L);
    EXPECT_EQ(text, "{\n\t\"a\": 1.5,\n\t\"b\": 1e-05 \n} \n");
}

TEST(JsonWriter, ReformatAndCompactForm)
{
    EXPECT_EQ(jsonxx::reformat(String(" \x01{'b':1,'a':[2,]}")), "{\n\t\"a\": [\n\t\t2 \n\t],\n\t\"b\": 1 \n} \n");
    EXPECT_EQ(jsonxx::reformat(String("[true]")), "[\n\ttrue \n] \n");
    EXPECT_EQ(jsonxx::reformat(String("{")), "");
    EXPECT_EQ(jsonxx::reformat(String("x")), "");

    std::ostringstream compact;
    compact << parsed(R"({"s": "a/b\u0001", "n": 1.25, "l": [null, false, {}], "o": {"x": 1}})");
    EXPECT_EQ(compact.str(), R"({"l": [null, false, {}], "n": 1.25, "o": {"x": 1}, "s": "a\/b\u0001"})");
    std::ostringstream invalid;
    invalid << Value();
    EXPECT_EQ(invalid.str(), "");
}

TEST(JsonWriter, XmlForms)
{
    const std::string header = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><!-- generated by jsonxx 0.22-a -->\n";
    Object object = parsed(R"({"n": 1, "s": "a<b&c", "z": null, "l": [true]})");
    EXPECT_EQ(object.xml(jsonxx::JXML),
              header +
                  "<j son=\"o\">\n"
                  "\t<j son=\"a:l\">\n"
                  "\t\t<j son=\"b\">true</j>\n"
                  "\t</j>\n"
                  "\t<j son=\"n:n\">1</j>\n"
                  "\t<j son=\"s:s\">a&lt;b&amp;c</j>\n"
                  "\t<j son=\"0:z\" />\n"
                  "</j>\n");
    EXPECT_EQ(object.write(jsonxx::JXMLex), object.xml(jsonxx::JXMLex, "", ""));
    EXPECT_NE(object.xml(jsonxx::JXMLex).find("<j son=\"s:s\" s=\"a<b&c\">a&lt;b&amp;c</j>"), std::string::npos);
    EXPECT_NE(object.xml(jsonxx::JSONx).find("<json:object xsi:schemaLocation="), std::string::npos);
    EXPECT_NE(object.xml(jsonxx::JSONx).find("\t<json:number name=\"n\">1</json:number>\n"), std::string::npos);
    EXPECT_NE(object.xml(jsonxx::TaggedXML).find("\t<n type=\"json:number\" name=\"n\">1</n>\n"), std::string::npos);
    EXPECT_NE(object.xml(jsonxx::TaggedXML).find("\t\t<JsonItem type=\"json:boolean\">true</JsonItem>\n"),
              std::string::npos);
    EXPECT_EQ(object.xml(jsonxx::JXML, "<h/>", "id=\"1\"").substr(0, 22), "<h/><j son=\"o\" id=\"1\">");

    testing::internal::CaptureStderr();
    EXPECT_EQ(object.write(7), "");
    std::string message = testing::internal::GetCapturedStderr();
    EXPECT_NE(message.find("'format == jsonxx::JSONx || format == jsonxx::JXML || format == jsonxx::JXMLex || "
                           "format == jsonxx::TaggedXML'"),
              std::string::npos)
        << message;

    EXPECT_EQ(jsonxx::xml(String("not json"), jsonxx::JXML), header);
    EXPECT_EQ(jsonxx::xml(String("[1]"), jsonxx::JXML), header + "<j son=\"a\">\n\t<j son=\"n\">1</j>\n</j>\n");
}
