// jsonxx: typed access, ownership and copies, the permissive grammar and what
// a failed parse keeps, the compact and XML forms. json_crosscheck.py checks
// the indented text against python's json independently.
#include <gtest/gtest.h>

#include "jsonxx/jsonxx.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <sstream>

using namespace jsonxx;

namespace {

template <typename Document>
std::string compact(const Document& document)
{
    std::ostringstream out;
    out << document;
    return out.str();
}

Object parsed(const std::string& text)
{
    Object object;
    EXPECT_TRUE(object.parse(text)) << text;
    return object;
}

std::string stderr_of(const std::function<void()>& body)
{
    testing::internal::CaptureStderr();
    body();
    return testing::internal::GetCapturedStderr();
}

// Which one of Number, String, Boolean, Null, Array, Object (0 to 5) passes test; 6 for none or several.
template <typename Test>
int kind_of(Test test)
{
    const bool is[] = {test(Number()), test(String()), test(Boolean()), test(Null()), test(Array()), test(Object())};
    return std::count(is, is + 6, true) == 1 ? static_cast<int>(std::find(is, is + 6, true) - is) : 6;
}

}  // namespace

TEST(JsonDocument, EachValueIsExactlyOneKind)
{
    Object doc = parsed(R"({"number": 12, "digits": "12", "flag": true, "quoted": "true", "null": null,
                            "array": [], "object": {}, "e": 10E-1})");
    const std::pair<const char*, int> members[] = {{"number", 0}, {"digits", 1}, {"flag", 2}, {"quoted", 1},
        {"null", 3}, {"array", 4}, {"object", 5}, {"e", 0}, {"absent", 6}, {"Digits", 6}};
    for (const auto& m : members)
        EXPECT_EQ(kind_of([&](auto kind) { return doc.has<decltype(kind)>(m.first); }), m.second) << m.first;
    const Value values[] = {"literal", String("s"), 3, 3.5f, Number(3), true, Null(), Array(), Object(), Value()};
    const int kinds[] = {1, 1, 0, 0, 0, 2, 3, 4, 5, 6};  // a literal is no Boolean
    for (size_t i = 0; i < 10; ++i)
        EXPECT_TRUE(kind_of([&](auto kind) { return values[i].is<decltype(kind)>(); }) == kinds[i] &&
                    values[i].empty() == (kinds[i] == 6)) << i;
    doc.get<Number>("e") += 1;  // references into the document
    doc.get<Array>("array") << Value(Object("k", false));
    doc.get<Array>("array").get<Object>(0).get<Boolean>("k") = true;
    EXPECT_EQ(compact(doc), R"({"array": [{"k": true}], "digits": "12", "e": 2, "flag": true, "null": null, )"
                            R"("number": 12, "object": {}, "quoted": "true"})");
}

// A failed check prints the Part's diagnostic and hands back a fresh default.
TEST(JsonDocument, FailedChecksReportAndGiveADefault)
{
    Object doc = parsed(R"({"n": 1, "list": [1]})");
    const Object& constant = doc;
    std::string message = stderr_of([&] {
        String& missing = doc.get<String>("absent");
        EXPECT_EQ(missing, "");
        missing = "scribbled";  // must not show in the next failure
    });
    EXPECT_EQ(message.rfind("[JSONXX] expression 'has<T>(key)' failed at jsonxx.h:", 0), 0u) << message;
    EXPECT_EQ(message.substr(message.find(" -> ")), " -> ");  // and no line feed
    Value reset("abc");
    reset.reset();
    const std::pair<std::function<bool()>, const char*> rows[] = {
        {[&] { return doc.get<String>("n").empty(); }, "'has<T>(key)'"},
        {[&] { return !constant.get<Boolean>("n"); }, "'has<T>(key)'"},
        {[&] { return doc.get<Array>("list").get<Number>(7) == 0; }, "'i < size()'"},
        {[&] { return constant.get<Array>("list").get<Number>(7) == 0; }, "'i < size()'"},
        {[&] { return doc.get<Array>("list").get<Object>(0).empty(); }, "'is<Object>()'"},
        {[&] { return constant.get<Array>("list").get<String>(0).empty(); }, "'is<String>()'"},
        {[&] { return reset.empty() && reset.get<Array>().empty() && reset.get<Number>() == 0; }, "'is<Number>()'"},
        {[&] { return reset.get<String>().empty() && !reset.get<Boolean>(); }, "'is<Boolean>()'"}};
    for (const auto& row : rows)
        EXPECT_NE(stderr_of([&] { EXPECT_TRUE(row.first()); }).find(row.second), std::string::npos) << row.second;
    EXPECT_EQ(compact(doc), R"({"list": [1], "n": 1})");
}

TEST(JsonDocument, MembersAndElements)
{
    Object object("k", Value(1));
    object.import("k", Value("two"));  // the last value wins
    object.import(parsed(R"({"z": 4, "a": 0})"));
    EXPECT_EQ(compact(object), R"({"a": 0, "k": "two", "z": 4})");
    object << "name" << Value(7) << "nested" << Object("x", Value(true));
    EXPECT_NE(stderr_of([&] { object << Value(5); }).find("'is<String>()'"), std::string::npos);  // names are texts
    object << "kept";
    object.reset();  // a pending name outlives reset()
    object << Value("value");
    EXPECT_EQ(compact(object), R"({"kept": "value"})");

    Array pair, nested, flat, only;
    pair << Value(1) << Value(2);
    nested.append(pair);  // nests
    flat.import(pair);    // flattens
    flat << pair;
    only = Value("only");
    EXPECT_EQ(compact(nested) + compact(flat) + compact(only), R"([[1, 2]][1, 2, 1, 2]["only"])");
}

// Copies are deep; a source inside the target is copied before the target
// lets go of it (ASan checks the rest).
TEST(JsonDocument, CopiesAndSelfImports)
{
    const std::string original = R"({"a": {"b": [1, {"c": "d"}]}, "e": "f"})";
    auto source = std::make_unique<Object>(parsed(original));
    Object copy(*source), assigned;
    Value wrapped;
    assigned = *source;
    wrapped = Value(*source);
    source->get<Object>("a").get<Array>("b").get<Object>(1).get<String>("c") = "changed";
    source.reset();
    EXPECT_EQ(compact(copy) + compact(assigned) + compact(wrapped), original + original + original);

    Value value(Object("k", Value("v"))), holder(Array(Value(Array(Value(3)))));
    value.import(value);
    value.import(value.get<Object>());
    value.import(value.get<Object>().get<String>("k"));
    holder.import(*holder.get<Array>().values()[0]);
    EXPECT_EQ(compact(value) + compact(holder), R"("v"[3])");

    Object object = parsed(R"({"a": {"a": {"x": 1}, "b": 2}})");
    object.import(object);
    object.import(object.get<Object>("a"));  // replaces "a" by a member of itself
    object.import("b", *object.kv_map().at("b"));
    object.import("c", *object.kv_map().at("a"));
    EXPECT_EQ(compact(object), R"({"a": {"x": 1}, "b": 2, "c": {"x": 1}})");
    object = object.get<Object>("c");
    object = static_cast<const Object&>(object);
    EXPECT_EQ(compact(object), R"({"x": 1})");

    Array array = Array(Value(Array(Value(1))));
    array.import(array);
    array << array;
    EXPECT_EQ(compact(array), "[[1], [1], [1], [1]]");
    array = array.get<Array>(0);
    array = *array.values()[0];
    EXPECT_EQ(compact(array), "[1]");
}

// Whether the object parses, and what it holds afterwards.
TEST(JsonParser, AcceptanceTable)
{
    const std::tuple<std::string, bool, std::string> rows[] = {
        {"", false, "{}"}, {"  // one\n\t// two\n", false, "{}"}, {"{// nothing here\n}", true, "{}"},
        {"// head\n{ // a\n\"a\" // b\n: // c\n1 // d\n}", true, R"({"a": 1})"},
        {R"({"a": 1, "b": 2,})", true, R"({"a": 1, "b": 2})"}, {R"({"a": [1, 2,]})", true, R"({"a": [1, 2]})"},
        {"{'a': 'b', \"c\": 'd'}", true, R"({"a": "b", "c": "d"})"}, {R"({"a": 1, "a": 2})", true, R"({"a": 2})"},
        {R"({"a": 1} {"b": 2} garbage [)", true, R"({"a": 1})"}, {"\xef\xbb\xbf{\"a\": 1}", false, "{}"},
        {"[1, 2]", false, "{}"}, {R"({"a": 1, "b": 1e})", false, R"({"a": 1})"}, {R"({"b": 1e+})", false, "{}"},
        {R"({"a": 1.5e3, "b": 007, "c": -0.25, "d": +4, "e": .5, "f": 5.})", true,
         R"({"a": 1500, "b": 7, "c": -0.25, "d": 4, "e": 0.5, "f": 5})"},
        {R"({"a": 0x10})", false, R"({"a": 0})"}, {R"({"a": inf})", false, "{}"}, {R"({"a": 1e5000})", false, "{}"},
        {R"({"a": 1e-5000})", true, R"({"a": 0})"}, {R"({"a": [1,,2]})", true, R"({"a": [1, null, 2]})"},
        {R"({"a": , "b": 1})", true, R"({"a": null, "b": 1})"}, {R"({"a": 1, "b": })", true, R"({"a": 1})"},
        {R"({"a": 1, "b": tru})", false, R"({"a": 1})"}, {R"({"a": 1 "b": 2})", false, R"({"a": 1})"},
        {"{\"a\": tr// split\nue, \"b\": nu//\nll}", true, R"({"a": true, "b": null})"},
        {R"({"a": tr ue})", false, "{}"}, {R"({a: 1})", false, "{}"}, {R"({"a" 1})", false, "{}"},
        {R"({"a": 1,, "b": 2})", false, R"({"a": 1})"}, {R"({"a": 1, "b": {"c": 2 "d": 3}})", false, R"({"a": 1})"},
        {R"({/* x */ "a": 1})", false, "{}"}, {R"({"a": / 1})", false, "{}"}, {R"({"a": "abc)", false, "{}"},
        {"{\"a\": \"x\ny\"}", true, "{\"a\": \"x\\ny\"}"}, {R"({"a": [1 2]})", false, "{}"},
        {R"({"a": 1.5.6})", false, R"({"a": 1.5})"},
        {R"({"a": [,], "b": [1, 'a', [], {},]})", true, R"({"a": [null], "b": [1, "a", [], {}]})"}};
    Object object;
    for (const auto& [text, parses, kept] : rows)
        EXPECT_TRUE(object.parse(text) == parses && compact(object) == kept) << text << " kept " << compact(object);
}

TEST(JsonParser, StringEscapesAndNumbers)
{
    const std::pair<std::string, std::string> escapes[] = {
        {R"("\\ \/ \b \f \n \r \t")", "\\ / \b \f \n \r \t"}, {R"("\q")", "\\q"}, {R"("\'")", "\\'"},
        {R"("\u00e9\u0041\u001F")", "\xe9" "A\x1f"}, {R"("\u0000")", std::string(1, '\0')},
        {R"("\u00FF\u0100")", "\xff\xc4\x80"}, {R"("\u20ac")", "\xe2\x82\xac"}, {R"('\'\"')", "'\\\""},
        {R"("\u07FF\u0800")", "\xdf\xbf\xe0\xa0\x80"},  // the last code point of two bytes, the first of three
        {R"("\ud83d\ude00")", "\xf0\x9f\x98\x80"}, {R"("\ud800x")", "\xed\xa0\x80x"}, {R"("\u12"x")", "\x12"},
        {R"("\ude00\ud83d")", "\xed\xb8\x80\xed\xa0\xbd"}, {R"("\ud83d\u0041")", "\xed\xa0\xbd" "A"},
        {R"("\u41xyz")", "Az"}, {R"("\uzzzz!")", "!"}, {R"("\u00")", ""}, {R"("abc\)", ""}, {R"("\u00e)", ""},
        {"'abc\"", ""}};  // the last four end too early
    for (const auto& e : escapes) {
        std::istringstream in(e.first);
        String text;
        EXPECT_EQ(parse_string(in, text), !e.second.empty()) << e.first;
        EXPECT_TRUE(e.second.empty() || text == e.second) << e.first;
    }
    // The nearest long double, beyond what a double holds.
    const std::pair<const char*, Number> numbers[] = {
        {"1.189731495357231765e+4932", 1.189731495357231765e+4932L}, {"123456789012345678", 123456789012345678.0L},
        {"3.6451995318824746025e-4951", 3.6451995318824746025e-4951L}, {"-0.25", -0.25L}};
    for (const auto& n : numbers) {
        Value value;
        EXPECT_TRUE(value.parse(String(n.first)) && value.get<Number>() == n.second) << n.first;
    }
    Value zero;
    EXPECT_TRUE(zero.parse(String("-0")) && std::signbit(zero.get<Number>()));
}

// The entry points read one value each from a stream.
TEST(JsonParser, EntryPoints)
{
    std::istringstream stream("{\"a\": 1}{\"b\": 2}[3] 4");
    Object first, second("old", Value(1));
    Array array;
    Value value;
    EXPECT_TRUE(Object::parse(stream, first) && parse_object(stream, second) && parse_array(stream, array) &&
                parse_value(stream, value));
    EXPECT_EQ(compact(first) + compact(second) + compact(array) + compact(value), R"({"a": 1}{"b": 2}[3]4)");
    EXPECT_TRUE(value.parse(String(" 'text'")) && value.get<String>() == "text");
    EXPECT_FALSE(value.parse(String("}")) || !value.empty());
    EXPECT_TRUE(validate(String("\x01\x02 \n{}")) && validate(String("[1]")));
    EXPECT_FALSE(validate(String("// c\n{}")) || validate(String("{")) || validate(String("1")));
}

// Every proper prefix of a valid document fails without crashing and keeps
// only members of the whole; deeper than 512 levels fails without overflow.
TEST(JsonParser, TruncatedAndDeepDocuments)
{
    const std::string document =
        "{\n\t\"Channels\": [\n\t\t{\n\t\t\t\"name\": \"EngineSpeed\",\n\t\t\t\"required\": false\n\t\t},\n"
        "\t\t{\"name\": 'Gear', \"message_name\": \"M\\u0041\", \"x\": [1.5e3, -2, null, true,,]}\n\t],\n"
        "\t\"Count\": 12345, // trailing comment\n\t\"Empty\": {}, \"Nested\": {\"a\": {\"b\": [[]]}},\n"
        "\t\"HitList\": [{\"FilenameAndPath\": \"C:\\/data\\/x.db\", \"Hits\": [{\"StartTime\": 0.25}]}]\n}";
    Object whole = parsed(document), object;
    Array array;
    Value value;
    for (size_t length = 0; length < document.size(); ++length) {
        const std::string prefix = document.substr(0, length);
        EXPECT_FALSE(object.parse(prefix) || array.parse("[" + prefix) || value.parse(prefix)) << length;
        for (const auto& member : object.kv_map())
            EXPECT_EQ(whole.kv_map().count(member.first), 1u) << length << " " << member.first;
    }
    auto arrays = [](size_t levels) { return std::string(levels, '[') + std::string(levels, ']'); };
    for (size_t levels : {512, 513, 100000}) {
        std::string objects;
        for (size_t i = 0; i < levels; ++i)
            objects += "{\"k\": ";
        EXPECT_EQ(object.parse(objects + "1" + std::string(levels, '}')), levels == 512) << levels;
        EXPECT_EQ(object.parse("{\"a\": " + arrays(levels - 1) + "}"), levels == 512) << levels;
        EXPECT_EQ(array.parse(arrays(levels)), levels == 512) << levels;
        EXPECT_EQ(reformat(arrays(levels)).empty(), levels != 512) << levels;
        EXPECT_FALSE(value.parse(std::string(levels, '[')));
    }
}

// inf and nan have no JSON form; null is what any reader takes back.
TEST(JsonWriter, NonFiniteNumbersAndTheCompactForm)
{
    Array array;
    array << Value(std::numeric_limits<Number>::infinity()) << Value(-std::numeric_limits<double>::infinity())
          << Value(std::numeric_limits<Number>::quiet_NaN()) << Value(0.1);
    EXPECT_EQ(array.json(), "[\n\tnull,\n\tnull,\n\tnull,\n\t0.1000000000000000056 \n] \n");
    EXPECT_EQ(compact(parsed(R"({"s": "a/b\u0001", "n": 1.25, "l": [null, false, {}], "o": {"x": 1}})")),
              R"({"l": [null, false, {}], "n": 1.25, "o": {"x": 1}, "s": "a\/b\u0001"})");
    EXPECT_EQ(compact(Value()) + reformat(String("x")), "");
}

// The XML forms, also of text that starts with white space or control bytes.
TEST(JsonWriter, XmlForms)
{
    const std::string header = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><!-- generated by jsonxx 0.22-a -->\n";
    const std::string doc = R"({"n": 1, "s": "a<b&c", "z": null, "l": [true]})";
    const std::string jxml = "<j son=\"o\">\n\t<j son=\"a:l\">\n\t\t<j son=\"b\">true</j>\n\t</j>\n"
                             "\t<j son=\"n:n\">1</j>\n\t<j son=\"s:s\">a&lt;b&amp;c</j>\n\t<j son=\"0:z\" />\n</j>\n";
    const std::tuple<std::string, unsigned, std::string> rows[] = {
        {doc, JXML, jxml}, {" \t\r\n" + doc, JXML, jxml},
        {"\x01\x1f\x7f" + doc, JXML, ""},  // 0x7F is no white space
        {"\x02 [1]", JXML, "<j son=\"a\">\n\t<j son=\"n\">1</j>\n</j>\n"}, {"x", JXML, ""}, {"{\"a\": ", JXML, ""},
        {"\x01\x1f" + doc, JXMLex, "\t<j son=\"s:s\" s=\"a<b&c\">a&lt;b&amp;c</j>\n"},
        {"\x1f" + doc, JSONx, "<json:object xsi:schemaLocation="},
        {"\x0b" + doc, JSONx, "\t<json:number name=\"n\">1</json:number>\n"},
        {doc, TaggedXML, "\t<n type=\"json:number\" name=\"n\">1</n>\n"},
        {doc, TaggedXML, "\t\t<JsonItem type=\"json:boolean\">true</JsonItem>\n"}};
    for (const auto& row : rows) {
        const std::string out = xml(std::get<0>(row), std::get<1>(row));
        EXPECT_EQ(out.compare(0, header.size(), header), 0) << std::get<0>(row);
        if (std::get<1>(row) == JXML)
            EXPECT_EQ(out.substr(header.size()), std::get<2>(row)) << std::get<0>(row);
        else
            EXPECT_NE(out.find(std::get<2>(row)), std::string::npos) << std::get<0>(row) << "\n" << out;
    }
    Object object = parsed(doc);
    EXPECT_EQ(object.write(JXMLex) + object.write(0), object.xml(JXMLex, "", "") + object.json());
    EXPECT_EQ(object.xml(JXML, "<h/>", "id=\"1\"").substr(0, 22), "<h/><j son=\"o\" id=\"1\">");
    std::string message = stderr_of([&] { EXPECT_EQ(object.write(7), ""); });
    EXPECT_NE(message.find("'format == jsonxx::JSONx || format == jsonxx::JXML || format == jsonxx::JXMLex || "
                           "format == jsonxx::TaggedXML'"), std::string::npos) << message;
}
