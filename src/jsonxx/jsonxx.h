// jsonxx: the system's JSON document model, its permissive parser and its
// text writer. A leaf library: it calls nothing else of the system.
//
// Typed access is checked: a caller tests has<T>(key) (object member) or
// is<T>() (value, array element) before get<T>. A failed check prints one
// diagnostic to standard error and get<T> then hands back a default T, so a
// broken contract never reads a payload of the wrong kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace jsonxx {

typedef long double Number;
typedef std::string String;
typedef bool Boolean;

// Stands for JSON null.
class Null {};

class Value;
class Array;
class Object;

// Output forms of Object::write and the XML writers.
enum Format { JSONx = 1, JXML = 2, JXMLex = 3, TaggedXML = 4 };

// The parser's fixed grammar settings.
inline bool parser_is_strict() { return false; }
inline bool parser_is_permissive() { return true; }
inline bool unquoted_keys_are_enabled() { return false; }

namespace detail {

// Type tags of Value, and the text a failed get<T> check reports.
template <typename T> struct Kind;
template <> struct Kind<Number> { static constexpr int32_t tag = 0; static constexpr const char* check = "is<Number>()"; };
template <> struct Kind<String> { static constexpr int32_t tag = 1; static constexpr const char* check = "is<String>()"; };
template <> struct Kind<Boolean> { static constexpr int32_t tag = 2; static constexpr const char* check = "is<Boolean>()"; };
template <> struct Kind<Null> { static constexpr int32_t tag = 3; };
template <> struct Kind<Array> { static constexpr int32_t tag = 4; static constexpr const char* check = "is<Array>()"; };
template <> struct Kind<Object> { static constexpr int32_t tag = 5; static constexpr const char* check = "is<Object>()"; };
constexpr int32_t invalid_tag = 6;

// Integers and floating types other than bool are stored as Number.
template <typename N>
using EnableIfNumeric = std::enable_if_t<std::is_arithmetic<N>::value && !std::is_same<N, bool>::value, int>;

// Writes "[JSONXX] expression '<check>' failed at <file>:<line> -> " to
// standard error.
void report_failed_check(const char* check, const char* file, int line);

// What get<T> hands back after a failed check: a static default T, set back
// to its default on every failure so that a caller who wrote into it earlier
// does not leak that into the next failure.
template <typename T>
T& failed_check(const char* check, const char* file, int line)
{
    report_failed_check(check, file, line);
    static T fallback;
    fallback = T();
    return fallback;
}

}  // namespace detail

// One JSON value of any kind. Owns its string, array or object.
class Value {
public:
    Value();
    ~Value();
    Value(const Value& other);
    Value& operator=(const Value& other);

    Value(const String& text);
    Value(const char* text);
    Value(const Number& number);
    template <typename N, detail::EnableIfNumeric<N> = 0>
    Value(N number) : Value(static_cast<Number>(number)) {}
    Value(const Boolean& flag);
    Value(const Null& null);
    Value(const Array& array);
    Value(const Object& object);

    void import(const String& text);
    void import(const char* text);
    void import(const Number& number);
    template <typename N, detail::EnableIfNumeric<N> = 0>
    void import(N number) { import(static_cast<Number>(number)); }
    void import(const Boolean& flag);
    void import(const Null& null);
    void import(const Array& array);
    void import(const Object& object);
    void import(const Value& other);

    template <typename T> bool is() const { return type_ == detail::Kind<T>::tag; }
    template <typename T> T& get();
    template <typename T> const T& get() const;

    // True for a value that holds nothing (default-constructed, reset, or
    // left by a failed parse).
    bool empty() const { return type_ == detail::invalid_tag; }
    // Releases the payload; the value is then invalid and every get fails.
    void reset();

    bool parse(std::istream& input);
    bool parse(const String& input);

private:
    friend class Array;
    friend class Object;

    static bool parse_nested(std::istream& input, Value& value, unsigned depth);
    void adopt(String* text);
    void adopt(Array* array);
    void adopt(Object* object);

    Number& payload(Number*) { return number_value_; }
    const Number& payload(Number*) const { return number_value_; }
    Boolean& payload(Boolean*) { return bool_value_; }
    const Boolean& payload(Boolean*) const { return bool_value_; }
    String& payload(String*) { return *string_value_; }
    const String& payload(String*) const { return *string_value_; }
    Array& payload(Array*) { return *array_value_; }
    const Array& payload(Array*) const { return *array_value_; }
    Object& payload(Object*) { return *object_value_; }
    const Object& payload(Object*) const { return *object_value_; }

    // Invariant: a string, array or object tag always has its payload.
    int32_t type_;
    union {
        Number number_value_;
        Boolean bool_value_;
        String* string_value_;
        Array* array_value_;
        Object* object_value_;
    };
};

// An ordered list of owned values.
class Array {
public:
    typedef std::vector<std::unique_ptr<Value>> container;

    Array();
    ~Array();
    Array(const Array& other);
    explicit Array(const Value& value);
    Array& operator=(const Array& other);
    Array& operator=(const Value& value);

    size_t size() const { return values_.size(); }
    bool empty() const { return values_.empty(); }
    const container& values() const { return values_; }

    template <typename T> T& get(unsigned int i);
    template <typename T> const T& get(unsigned int i) const;

    // Appends copies of the elements of other (flattening).
    void import(const Array& other);
    void import(const Value& value);
    void append(const Value& value);
    // Appends one element: an array holding a copy of other (nesting).
    void append(const Array& other);
    Array& operator<<(const Array& other);
    Array& operator<<(const Value& value);

    void reset();

    bool parse(std::istream& input);
    bool parse(const String& input);

    String json() const;
    String xml(unsigned int format = JSONx, const String& header = String(), const String& attrib = String()) const;

private:
    friend class Value;
    static bool parse_nested(std::istream& input, Array& array, unsigned depth);

    container values_;
};

// Members keyed by name. std::string orders names by unsigned byte value
// (char_traits<char> compares as unsigned char), which is the order members
// are visited and written in.
class Object {
public:
    typedef std::map<String, std::unique_ptr<Value>> container;

    Object();
    ~Object();
    Object(const Object& other);
    Object(const String& key, const Value& value);
    Object(const char* key, const Value& value);
    Object& operator=(const Object& other);

    size_t size() const { return map_.size(); }
    bool empty() const { return map_.empty(); }
    const container& kv_map() const { return map_; }

    template <typename T> bool has(const String& key) const;
    template <typename T> T& get(const String& key);
    template <typename T> const T& get(const String& key) const;

    // Replaces or adds every member of other; members other lacks stay.
    void import(const Object& other);
    // The last value written under a name wins.
    void import(const String& key, const Value& value);
    // Shifting a name, then a value, adds one member.
    Object& operator<<(const Value& value);
    Object& operator<<(const Object& value);

    // Deletes every member; a pending key of operator<< stays.
    void reset();

    bool parse(std::istream& input);
    bool parse(const String& input);
    static bool parse(std::istream& input, Object& object);

    String json() const;
    // 0: json(); JSONx, JXML, JXMLex, TaggedXML: xml(format).
    String write(unsigned int format) const;
    String xml(unsigned int format = JSONx, const String& header = String(), const String& attrib = String()) const;

private:
    friend class Value;
    static bool parse_nested(std::istream& input, Object& object, unsigned depth);

    container map_;
    String pending_key_;  // empty when none
};

// Parser (free forms and the token level).
bool parse_value(std::istream& input, Value& value);
bool parse_array(std::istream& input, Array& array);
bool parse_object(std::istream& input, Object& object);
bool parse_string(std::istream& input, String& text);
bool parse_number(std::istream& input, Number& number);
bool parse_bool(std::istream& input, Boolean& flag);
bool parse_null(std::istream& input, Null& null);
bool parse_comment(std::istream& input);
bool match(const char* pattern, std::istream& input);
bool validate(std::istream& input);
bool validate(const String& input);

// Writer.
String escape_string(const String& text, bool quote = false);
String reformat(std::istream& input);
String reformat(const String& input);
String xml(std::istream& input, unsigned int format = JSONx);
String xml(const String& input, unsigned int format = JSONx);
std::ostream& operator<<(std::ostream& stream, const Value& value);
std::ostream& operator<<(std::ostream& stream, const Array& array);
std::ostream& operator<<(std::ostream& stream, const Object& object);

// Typed access.

template <typename T>
T& Value::get()
{
    if (!is<T>())
        return detail::failed_check<T>(detail::Kind<T>::check, __FILE__, __LINE__);
    return payload(static_cast<T*>(nullptr));
}

template <typename T>
const T& Value::get() const
{
    if (!is<T>())
        return detail::failed_check<T>(detail::Kind<T>::check, __FILE__, __LINE__);
    return payload(static_cast<T*>(nullptr));
}

template <typename T>
T& Array::get(unsigned int i)
{
    if (!(i < size()))
        return detail::failed_check<T>("i < size()", __FILE__, __LINE__);
    return values_[i]->get<T>();
}

template <typename T>
const T& Array::get(unsigned int i) const
{
    if (!(i < size()))
        return detail::failed_check<T>("i < size()", __FILE__, __LINE__);
    return static_cast<const Value&>(*values_[i]).get<T>();
}

template <typename T>
bool Object::has(const String& key) const
{
    auto it = map_.find(key);
    return it != map_.end() && it->second->is<T>();
}

template <typename T>
T& Object::get(const String& key)
{
    auto it = map_.find(key);
    if (it == map_.end() || !it->second->is<T>())
        return detail::failed_check<T>("has<T>(key)", __FILE__, __LINE__);
    return it->second->get<T>();
}

template <typename T>
const T& Object::get(const String& key) const
{
    auto it = map_.find(key);
    if (it == map_.end() || !it->second->is<T>())
        return detail::failed_check<T>("has<T>(key)", __FILE__, __LINE__);
    return static_cast<const Value&>(*it->second).get<T>();
}

}  // namespace jsonxx
