// The document model: typed access, ownership and deep copies, member order,
// and what a broken access contract gives back.
#include <gtest/gtest.h>

#include "JsonTestSupport.h"
#include "jsonxx/jsonxx.h"

#include <string>
#include <vector>

using jsonxx::Array;
using jsonxx::Boolean;
using jsonxx::Null;
using jsonxx::Number;
using jsonxx::Object;
using jsonxx::String;
using jsonxx::Value;

using jsontest::compact;
using jsontest::parsed;

namespace {

std::vector<std::string> member_names(const Object& object)
{
    std::vector<std::string> names;
    for (const auto& member : object.kv_map())
        names.push_back(member.first);
    return names;
}

}  // namespace

// Which has<T> holds for each kind of member: exactly one, and a quoted word
// or number is a string.
TEST(JsonTypedAccess, EachMemberSatisfiesExactlyItsOwnKind)
{
    Object doc = parsed(R"({"number": 12, "digits": "12", "flag": true, "quoted": "true",
                            "null": null, "array": [], "object": {}})");
    struct Row {
        const char* key;
        bool number, string, boolean, null, array, object;
    };
    const Row rows[] = {
        {"number", true, false, false, false, false, false},
        {"digits", false, true, false, false, false, false},
        {"flag", false, false, true, false, false, false},
        {"quoted", false, true, false, false, false, false},
        {"null", false, false, false, true, false, false},
        {"array", false, false, false, false, true, false},
        {"object", false, false, false, false, false, true},
        {"absent", false, false, false, false, false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.key);
        EXPECT_EQ(doc.has<Number>(row.key), row.number);
        EXPECT_EQ(doc.has<String>(row.key), row.string);
        EXPECT_EQ(doc.has<Boolean>(row.key), row.boolean);
        EXPECT_EQ(doc.has<Null>(row.key), row.null);
        EXPECT_EQ(doc.has<Array>(row.key), row.array);
        EXPECT_EQ(doc.has<Object>(row.key), row.object);
    }
    EXPECT_EQ(doc.get<Number>("number"), 12);
    EXPECT_EQ(doc.get<String>("quoted"), "true");
    EXPECT_TRUE(doc.get<Boolean>("flag"));
    EXPECT_FALSE(doc.has<String>("Digits"));  // names are case-sensitive
}

TEST(JsonTypedAccess, EveryWrittenFormOfANumberIsANumber)
{
    Object doc = parsed(R"({"a": 1, "b": 1.0, "c": 1e0, "d": 10E-1})");
    for (const char* key : {"a", "b", "c", "d"}) {
        ASSERT_TRUE(doc.has<Number>(key)) << key;
        EXPECT_EQ(doc.get<Number>(key), 1.0L) << key;
    }
}

TEST(JsonTypedAccess, GetReturnsWritableReferencesIntoTheDocument)
{
    Object doc = parsed(R"({"n": 1, "s": "x", "list": [{"k": false}]})");
    doc.get<Number>("n") = 5;
    doc.get<String>("s") += "y";
    doc.get<Array>("list").get<Object>(0).get<Boolean>("k") = true;
    EXPECT_EQ(compact(doc), R"({"list": [{"k": true}], "n": 5, "s": "xy"})");
}

TEST(JsonTypedAccess, FailedChecksReportAndGiveADefault)
{
    Object doc = parsed(R"({"n": 1, "list": [1]})");

    testing::internal::CaptureStderr();
    String& missing = doc.get<String>("absent");
    std::string message = testing::internal::GetCapturedStderr();
    EXPECT_EQ(missing, "");
    EXPECT_EQ(message.rfind("[JSONXX] expression 'has<T>(key)' failed at jsonxx.h:", 0), 0u) << message;
    EXPECT_EQ(message.substr(message.size() - 4), " -> ");
    EXPECT_EQ(message.find('\n'), std::string::npos);

    // A caller writing into the default does not change the next failure's.
    missing = "scribbled";
    testing::internal::CaptureStderr();
    EXPECT_EQ(doc.get<String>("n"), "");
    testing::internal::GetCapturedStderr();

    testing::internal::CaptureStderr();
    EXPECT_EQ(doc.get<Array>("list").get<Number>(7), 0);
    message = testing::internal::GetCapturedStderr();
    EXPECT_NE(message.find("expression 'i < size()' failed"), std::string::npos) << message;

    testing::internal::CaptureStderr();
    EXPECT_TRUE(doc.get<Array>("list").get<Object>(0).empty());
    message = testing::internal::GetCapturedStderr();
    EXPECT_NE(message.find("expression 'is<Object>()' failed"), std::string::npos) << message;

    const Object& constant = doc;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(constant.get<Boolean>("n"));
    message = testing::internal::GetCapturedStderr();
    EXPECT_NE(message.find("'has<T>(key)'"), std::string::npos) << message;

    // The document itself is untouched by the failed reads.
    EXPECT_EQ(compact(doc), R"({"list": [1], "n": 1})");
}

TEST(JsonValue, EmptyMeansHoldingNothing)
{
    EXPECT_TRUE(Value().empty());
    EXPECT_FALSE(Value(String()).empty());
    EXPECT_FALSE(Value(Array()).empty());
    EXPECT_FALSE(Value(Object()).empty());
    EXPECT_FALSE(Value(Null()).empty());
    EXPECT_FALSE(Value(0).empty());
    EXPECT_FALSE(Value(false).empty());
}

TEST(JsonValue, ResetValueFailsEveryGet)
{
    Value text("abc");
    Value number(2.5);
    Value array(Array(Value(1)));
    for (Value* value : {&text, &number, &array}) {
        value->reset();
        EXPECT_TRUE(value->empty());
        testing::internal::CaptureStderr();
        EXPECT_EQ(value->get<String>(), "");
        EXPECT_EQ(value->get<Number>(), 0);
        EXPECT_TRUE(value->get<Array>().empty());
        EXPECT_TRUE(value->get<Object>().empty());
        EXPECT_FALSE(value->get<Boolean>());
        std::string message = testing::internal::GetCapturedStderr();
        EXPECT_NE(message.find("'is<Boolean>()'"), std::string::npos);
    }
}

TEST(JsonValue, ConstructionPicksTheKind)
{
    EXPECT_TRUE(Value("literal").is<String>());  // not converted to a Boolean
    EXPECT_TRUE(Value(String("s")).is<String>());
    EXPECT_TRUE(Value(3).is<Number>());
    EXPECT_TRUE(Value(3.5).is<Number>());
    EXPECT_TRUE(Value(Number(3)).is<Number>());
    EXPECT_TRUE(Value(true).is<Boolean>());
    EXPECT_TRUE(Value(Null()).is<Null>());
    EXPECT_TRUE(Value(Array()).is<Array>());
    EXPECT_TRUE(Value(Object()).is<Object>());
    Value value(1);
    value.import("now text");
    EXPECT_EQ(value.get<String>(), "now text");
    value = Value(false);
    EXPECT_TRUE(value.is<Boolean>());
}

TEST(JsonObject, MembersAreOrderedByUnsignedBytes)
{
    Object object;
    for (const char* name : {"b", "\xc3\xa9", "~", "a", "B", "\x7f", ""})
        object.import(name, Value(1));
    const std::vector<std::string> expected = {"", "B", "a", "b", "~", "\x7f", "\xc3\xa9"};
    EXPECT_EQ(member_names(object), expected);
    EXPECT_EQ(member_names(parsed(R"({"b": 1, "é": 2, "~": 3, "a": 4, "B": 5})")),
              (std::vector<std::string>{"B", "a", "b", "~", "\xc3\xa9"}));
}

TEST(JsonObject, LastValueUnderANameWins)
{
    Object object;
    object.import("k", Value(1));
    object.import("k", Value("two"));
    EXPECT_EQ(object.size(), 1u);
    EXPECT_EQ(object.get<String>("k"), "two");

    Object other = parsed(R"({"k": 3, "z": 4})");
    object.import("a", Value(0));
    object.import(other);  // replaces k, adds z, keeps a
    EXPECT_EQ(compact(object), R"({"a": 0, "k": 3, "z": 4})");
}

TEST(JsonObject, ShiftingANameThenAValueAddsAMember)
{
    Object object;
    object << "name" << Value(7) << "nested" << Object("x", Value(true));
    EXPECT_EQ(compact(object), R"({"name": 7, "nested": {"x": true}})");

    testing::internal::CaptureStderr();
    object << Value(5);  // a name must be a string
    std::string message = testing::internal::GetCapturedStderr();
    EXPECT_NE(message.find("'is<String>()'"), std::string::npos);
    EXPECT_EQ(object.size(), 2u);

    // A pending name outlives reset().
    object << "kept";
    object.reset();
    object << Value("value");
    EXPECT_EQ(compact(object), R"({"kept": "value"})");
}

TEST(JsonObject, OneMemberConstructorBuildsTheOutputRoot)
{
    Array channels;
    channels.append(Object("name", Value("a")));
    Object root("Channels", channels);
    EXPECT_EQ(compact(root), R"({"Channels": [{"name": "a"}]})");
}

TEST(JsonArray, AppendNestsImportFlattens)
{
    Array pair;
    pair << Value(1) << Value(2);
    Array nested;
    nested.append(pair);
    EXPECT_EQ(nested.size(), 1u);
    EXPECT_EQ(compact(nested), "[[1, 2]]");
    Array flat;
    flat.import(pair);
    EXPECT_EQ(flat.size(), 2u);
    flat << pair;
    EXPECT_EQ(compact(flat), "[1, 2, 1, 2]");

    flat = Value("only");
    EXPECT_EQ(compact(flat), R"(["only"])");
}

TEST(JsonCopies, AreDeepAndIndependent)
{
    auto source = std::make_unique<Object>(parsed(R"({"a": {"b": [1, {"c": "d"}]}, "e": "f"})"));
    Object copy(*source);
    Object assigned;
    assigned = *source;
    Value wrapped(*source);
    source->get<Object>("a").get<Array>("b").get<Object>(1).get<String>("c") = "changed";
    EXPECT_EQ(compact(*source), R"({"a": {"b": [1, {"c": "changed"}]}, "e": "f"})");
    source.reset();
    const std::string original = R"({"a": {"b": [1, {"c": "d"}]}, "e": "f"})";
    EXPECT_EQ(compact(copy), original);
    EXPECT_EQ(compact(assigned), original);
    EXPECT_EQ(compact(wrapped.get<Object>()), original);

    Array list;
    {
        Object element("k", Value(1));
        list.append(element);
    }
    EXPECT_EQ(compact(list), R"([{"k": 1}])");
}

// Imports and assignments whose source lives inside the target: the source
// must be copied before the target lets go of it (ASan checks the rest).
TEST(JsonCopies, SelfAndNestedImports)
{
    Value value(Object("k", Value("v")));
    value.import(value);
    EXPECT_EQ(compact(value.get<Object>()), R"({"k": "v"})");
    value.import(value.get<Object>());
    EXPECT_EQ(compact(value.get<Object>()), R"({"k": "v"})");
    value.import(value.get<Object>().get<String>("k"));
    EXPECT_EQ(value.get<String>(), "v");
    Value holder(Array(Value(Array(Value(3)))));
    holder.import(*holder.get<Array>().values()[0]);
    EXPECT_EQ(compact(holder.get<Array>()), "[3]");

    Object object = parsed(R"({"a": {"a": {"x": 1}, "b": 2}})");
    object.import(object);
    EXPECT_EQ(compact(object), R"({"a": {"a": {"x": 1}, "b": 2}})");
    object.import(object.get<Object>("a"));  // replaces "a" by a member of itself
    EXPECT_EQ(compact(object), R"({"a": {"x": 1}, "b": 2})");
    object.import("b", *object.kv_map().at("b"));
    object.import("c", *object.kv_map().at("a"));
    EXPECT_EQ(compact(object), R"({"a": {"x": 1}, "b": 2, "c": {"x": 1}})");
    object = object.get<Object>("c");
    EXPECT_EQ(compact(object), R"({"x": 1})");
    const Object& same = object;
    object = same;
    EXPECT_EQ(compact(object), R"({"x": 1})");

    Array array = Array(Value(Array(Value(1))));
    array.import(array);
    EXPECT_EQ(compact(array), "[[1], [1]]");
    array << array;
    EXPECT_EQ(array.size(), 4u);
    array = array.get<Array>(0);
    EXPECT_EQ(compact(array), "[1]");
    array = *array.values()[0];
    EXPECT_EQ(compact(array), "[1]");
}
