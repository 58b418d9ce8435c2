// The permissive parser: the accepted grammar, what a failure keeps, what the
// token level gives back to the stream, truncated input and deep nesting.
#include <gtest/gtest.h>

#include "JsonTestSupport.h"
#include "jsonxx/jsonxx.h"

#include <cmath>
#include <locale>
#include <sstream>
#include <string>

using jsonxx::Array;
using jsonxx::Number;
using jsonxx::Object;
using jsonxx::String;
using jsonxx::Value;

using jsontest::compact;

namespace {

std::string rest_of(std::istream& in)
{
    in.clear();
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Case {
    const char* name;
    std::string text;
    bool parses;
    std::string members;  // compact form of what the object holds afterwards
};

}  // namespace

TEST(JsonParser, AcceptanceTable)
{
    const Case cases[] = {
        {"empty text", "", false, "{}"},
        {"white space and comments only", "  // one\n\t// two\n", false, "{}"},
        {"comment inside braces", "{// nothing here\n}", true, "{}"},
        {"comments before tokens", "// head\n{ // a\n\"a\" // b\n: // c\n1 // d\n}", true, R"({"a": 1})"},
        {"trailing comma in object", R"({"a": 1, "b": 2,})", true, R"({"a": 1, "b": 2})"},
        {"trailing comma in array", R"({"a": [1, 2,]})", true, R"({"a": [1, 2]})"},
        {"single quotes", "{'a': 'b', \"c\": 'd'}", true, R"({"a": "b", "c": "d"})"},
        {"repeated name", R"({"a": 1, "a": "two"})", true, R"({"a": "two"})"},
        {"text after the object", R"({"a": 1} {"b": 2} garbage [)", true, R"({"a": 1})"},
        {"byte-order mark", "\xef\xbb\xbf{\"a\": 1}", false, "{}"},
        {"array at top", "[1, 2]", false, "{}"},
        {"numbers", R"({"a": 1.5e3, "b": 007, "c": -0.25, "d": +4, "e": .5, "f": 5.})", true,
         R"({"a": 1500, "b": 7, "c": -0.25, "d": 4, "e": 0.5, "f": 5})"},
        {"incomplete exponent", R"({"a": 1, "b": 1e})", false, R"({"a": 1})"},
        {"incomplete signed exponent", R"({"b": 1e+})", false, "{}"},
        {"hexadecimal is no number", R"({"a": 0x10})", false, R"({"a": 0})"},
        {"inf and nan are no numbers", R"({"a": inf})", false, "{}"},
        {"overflow", R"({"a": 1e5000})", false, "{}"},
        {"underflow to zero", R"({"a": 1e-5000})", true, R"({"a": 0})"},
        {"two commas make a null", R"({"a": [1,,2]})", true, R"({"a": [1, null, 2]})"},
        {"empty member value before comma", R"({"a": , "b": 1})", true, R"({"a": null, "b": 1})"},
        {"member without value before brace", R"({"a": 1, "b": })", true, R"({"a": 1})"},
        {"unfinished word", R"({"a": 1, "b": tru})", false, R"({"a": 1})"},
        {"missing comma", R"({"a": 1 "b": 2})", false, R"({"a": 1})"},
        {"comment between letters", "{\"a\": tr// split\nue, \"b\": nu//\nll}", true, R"({"a": true, "b": null})"},
        {"space between letters", R"({"a": tr ue})", false, "{}"},
        {"unquoted name", R"({a: 1})", false, "{}"},
        {"name without colon", R"({"a" 1})", false, "{}"},
        {"double comma in object", R"({"a": 1,, "b": 2})", false, R"({"a": 1})"},
        {"nested failure drops the member", R"({"a": 1, "b": {"c": 2 "d": 3}})", false, R"({"a": 1})"},
        {"block comments do not exist", R"({/* x */ "a": 1})", false, "{}"},
        {"single slash", R"({"a": / 1})", false, "{}"},
        {"raw line feed in string", "{\"a\": \"x\ny\"}", true, "{\"a\": \"x\\ny\"}"},
        {"unterminated string", R"({"a": "abc)", false, "{}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Object object;
        EXPECT_EQ(object.parse(c.text), c.parses);
        EXPECT_EQ(compact(object), c.members);
    }
}

TEST(JsonParser, StringEscapes)
{
    struct Escape {
        std::string text;
        std::string bytes;
    };
    const Escape escapes[] = {
        {R"("\\ \/ \b \f \n \r \t")", "\\ / \b \f \n \r \t"},
        {R"("\q")", "\\q"},
        {R"("\u00e9\u0041\u001F")", "\xe9" "A\x1f"},
        {R"("\u0000")", std::string(1, '\0')},
        {R"("\u00FF\u0100")", "\xff\xc4\x80"},
        {R"("\u20ac")", "\xe2\x82\xac"},
        {R"("\ud83d\ude00")", "\xf0\x9f\x98\x80"},
        {R"("\ud800x")", "\xed\xa0\x80x"},
        {R"("\ude00\ud83d")", "\xed\xb8\x80\xed\xa0\xbd"},
        {R"("\ud83d\u0041")", "\xed\xa0\xbd" "A"},
        {R"("\u41xyz")", "Az"},
        {R"("\uzzzz!")", "!"},
        {R"("\'")", "\\'"},
        {R"('\'\"')", "'\\\""},
        {R"("\u12"x")", "\x12"},
    };
    for (const Escape& e : escapes) {
        SCOPED_TRACE(e.text);
        std::istringstream in(e.text);
        String text;
        ASSERT_TRUE(jsonxx::parse_string(in, text));
        EXPECT_EQ(text, e.bytes);
    }
    for (const char* broken : {R"("\u00")", R"("abc\)", R"("\u00e)", "'abc\""}) {
        std::istringstream in(broken);
        String text;
        EXPECT_FALSE(jsonxx::parse_string(in, text)) << broken;
    }
}

TEST(JsonParser, NumbersAreNearestLongDoubles)
{
    struct Row {
        const char* text;
        Number value;
    };
    const Row rows[] = {
        {"0.1", 0.1L}, {"1500", 1500.0L}, {"-2.5e-3", -2.5e-3L}, {"1.189731495357231765e+4932", 1.189731495357231765e+4932L},
        {"123456789012345678", 123456789012345678.0L}, {"3.6451995318824746025e-4951", 3.6451995318824746025e-4951L},
    };
    for (const Row& row : rows) {
        Value value;
        ASSERT_TRUE(value.parse(String(row.text))) << row.text;
        EXPECT_EQ(value.get<Number>(), row.value) << row.text;
    }
    Value zero;
    ASSERT_TRUE(zero.parse(String("-0")));
    EXPECT_TRUE(std::signbit(zero.get<Number>()));
}

// A comma as decimal separator in the program's C++ locale changes nothing.
TEST(JsonParser, NumbersIgnoreTheGlobalLocale)
{
    struct CommaPoint : std::numpunct<char> {
        char do_decimal_point() const override { return ','; }
        char do_thousands_sep() const override { return '.'; }
        std::string do_grouping() const override { return "\3"; }
    };
    std::locale previous = std::locale::global(std::locale(std::locale::classic(), new CommaPoint));
    Object object;
    bool parsed = object.parse(String(R"({"a": 1.5, "b": 1.000})"));
    std::locale::global(previous);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(object.get<Number>("a"), 1.5L);
    EXPECT_EQ(object.get<Number>("b"), 1.0L);
}

TEST(JsonParser, FailedAttemptsGiveBackWhatTheRuleSays)
{
    {
        std::istringstream in("  trux");
        EXPECT_FALSE(jsonxx::match("true", in));
        EXPECT_EQ(rest_of(in), "trux");  // white space stays consumed
    }
    {
        std::istringstream in("// note\n  x");
        EXPECT_FALSE(jsonxx::match("{", in));
        EXPECT_EQ(rest_of(in), "x");  // the comment stays consumed
    }
    {
        std::istringstream in("/x");
        EXPECT_FALSE(jsonxx::parse_comment(in));
        EXPECT_EQ(rest_of(in), "/x");
    }
    {
        std::istringstream in(" 1e+x");
        Number number = 9;
        EXPECT_FALSE(jsonxx::parse_number(in, number));
        EXPECT_EQ(number, 9);
        EXPECT_EQ(rest_of(in), "1e+x");
    }
    {
        std::istringstream in("12.5.6");
        Number number = 0;
        EXPECT_TRUE(jsonxx::parse_number(in, number));
        EXPECT_EQ(number, 12.5L);
        EXPECT_EQ(rest_of(in), ".6");
    }
    {
        std::istringstream in("tr// c\nue rest");
        jsonxx::Boolean flag = false;
        EXPECT_TRUE(jsonxx::parse_bool(in, flag));
        EXPECT_TRUE(flag);
        EXPECT_EQ(rest_of(in), " rest");
    }
}

TEST(JsonParser, EntryPoints)
{
    Array array;
    EXPECT_TRUE(array.parse(String("[1, 'a', [], {},]")));
    EXPECT_EQ(compact(array), R"([1, "a", [], {}])");
    EXPECT_TRUE(array.parse(String("[,]")));
    EXPECT_EQ(compact(array), "[null]");
    EXPECT_FALSE(array.parse(String("[1 2]")));

    Value value;
    EXPECT_TRUE(value.parse(String(" 'text'")));
    EXPECT_EQ(value.get<String>(), "text");
    EXPECT_FALSE(value.parse(String("}")));
    EXPECT_TRUE(value.empty());

    std::istringstream stream("{\"a\": 1}{\"b\": 2}");
    Object first, second;
    EXPECT_TRUE(Object::parse(stream, first));
    EXPECT_TRUE(jsonxx::parse_object(stream, second));
    EXPECT_EQ(compact(second), R"({"b": 2})");

    Object reused = Object("old", Value(1));
    EXPECT_TRUE(reused.parse(String("{\"new\": 2}")));
    EXPECT_EQ(compact(reused), R"({"new": 2})");

    EXPECT_TRUE(jsonxx::validate(String("\x01\x02 \n{}")));
    EXPECT_TRUE(jsonxx::validate(String("[1]")));
    EXPECT_FALSE(jsonxx::validate(String("// c\n{}")));
    EXPECT_FALSE(jsonxx::validate(String("{")));
    EXPECT_FALSE(jsonxx::validate(String("1")));
}

// Every proper prefix of a valid document fails, without crashing; what the
// object keeps are members the whole document has.
TEST(JsonParser, TruncationAtEveryOffset)
{
    const std::string documents[] = {
        "{\n\t\"Channels\": [\n\t\t{\n\t\t\t\"name\": \"EngineSpeed\",\n\t\t\t\"required\": false\n\t\t},\n"
        "\t\t{\"name\": 'Gear', \"message_name\": \"M\\u0041\", \"x\": [1.5e3, -2, null, true,,]}\n\t],\n"
        "\t\"Count\": 12345, // trailing comment\n\t\"Empty\": {}, \"Nested\": {\"a\": {\"b\": [[]]}}\n}",
        R"({"HitList": [{"FilenameAndPath": "C:\/data\/x.db", "Hits": [{"StartTime": 0.25, "EndTime": 1e1}]}]})",
    };
    for (const std::string& document : documents) {
        Object whole;
        ASSERT_TRUE(whole.parse(document));
        for (size_t length = 0; length < document.size(); ++length) {
            const std::string prefix = document.substr(0, length);
            Object object;
            EXPECT_FALSE(object.parse(prefix)) << length;
            for (const auto& member : object.kv_map())
                EXPECT_EQ(whole.kv_map().count(member.first), 1u) << length << " " << member.first;
            Array array;
            EXPECT_FALSE(array.parse("[" + prefix));
            Value value;
            EXPECT_FALSE(value.parse(prefix));
        }
    }
}

TEST(JsonParser, NestingIsLimitedTo512Levels)
{
    auto arrays = [](size_t levels) {
        return "{\"a\": " + std::string(levels - 1, '[') + std::string(levels - 1, ']') + "}";
    };
    auto objects = [](size_t levels) {
        std::string text;
        for (size_t i = 0; i < levels; ++i)
            text += "{\"k\": ";
        text += "1";
        text += std::string(levels, '}');
        return text;
    };
    Object object;
    EXPECT_TRUE(object.parse(arrays(512)));
    EXPECT_FALSE(object.parse(arrays(513)));
    EXPECT_TRUE(object.parse(objects(512)));
    EXPECT_FALSE(object.parse(objects(513)));

    Array array;
    EXPECT_TRUE(array.parse(std::string(512, '[') + std::string(512, ']')));
    EXPECT_FALSE(array.parse(std::string(513, '[') + std::string(513, ']')));
}

TEST(JsonParser, HundredThousandLevelsFailWithoutOverflow)
{
    const size_t levels = 100000;
    Object object;
    EXPECT_FALSE(object.parse("{\"a\": " + std::string(levels, '[') + std::string(levels, ']') + "}"));
    std::string objects;
    for (size_t i = 0; i < levels; ++i)
        objects += "{\"k\":";
    EXPECT_FALSE(object.parse(objects + std::string(levels, '}')));
    Value value;
    EXPECT_FALSE(value.parse(std::string(levels, '[')));
    EXPECT_TRUE(jsonxx::reformat(std::string(levels, '[')).empty());
}
