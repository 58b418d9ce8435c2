// The document model: owned trees of values, arrays and objects. Every copy
// is deep. Where the source of a copy may live inside the target (self-import,
// assigning a nested part to its container), the copy is made before the
// target lets go of anything.
#include "jsonxx/jsonxx.h"

#include <cstdio>
#include <cstring>
#include <utility>

namespace jsonxx {

namespace detail {

void report_failed_check(const char* check, const char* file, int line)
{
    const char* slash = std::strrchr(file, '/');
    std::fprintf(stderr, "[JSONXX] expression '%s' failed at %s:%d -> ", check, slash ? slash + 1 : file, line);
    std::fflush(stderr);
}

}  // namespace detail

// Value

Value::Value() : type_(detail::invalid_tag), number_value_(0) {}

Value::~Value() { reset(); }

Value::Value(const Value& other) : Value() { import(other); }

Value& Value::operator=(const Value& other)
{
    import(other);
    return *this;
}

Value::Value(const String& text) : Value() { import(text); }
Value::Value(const char* text) : Value() { import(text); }
Value::Value(const Number& number) : Value() { import(number); }
Value::Value(const Boolean& flag) : Value() { import(flag); }
Value::Value(const Null& null) : Value() { import(null); }
Value::Value(const Array& array) : Value() { import(array); }
Value::Value(const Object& object) : Value() { import(object); }

void Value::reset()
{
    switch (type_) {
    case detail::Kind<String>::tag: delete string_value_; break;
    case detail::Kind<Array>::tag: delete array_value_; break;
    case detail::Kind<Object>::tag: delete object_value_; break;
    default: break;
    }
    type_ = detail::invalid_tag;
    number_value_ = 0;
}

void Value::adopt(String* text)
{
    reset();
    type_ = detail::Kind<String>::tag;
    string_value_ = text;
}

void Value::adopt(Array* array)
{
    reset();
    type_ = detail::Kind<Array>::tag;
    array_value_ = array;
}

void Value::adopt(Object* object)
{
    reset();
    type_ = detail::Kind<Object>::tag;
    object_value_ = object;
}

// The copy is made first: the text may belong to this value.
void Value::import(const String& text) { adopt(new String(text)); }

void Value::import(const char* text) { adopt(new String(text ? text : "")); }

void Value::import(const Number& number)
{
    Number copy = number;
    reset();
    type_ = detail::Kind<Number>::tag;
    number_value_ = copy;
}

void Value::import(const Boolean& flag)
{
    Boolean copy = flag;
    reset();
    type_ = detail::Kind<Boolean>::tag;
    bool_value_ = copy;
}

void Value::import(const Null&)
{
    reset();
    type_ = detail::Kind<Null>::tag;
}

void Value::import(const Array& array) { adopt(new Array(array)); }

void Value::import(const Object& object) { adopt(new Object(object)); }

void Value::import(const Value& other)
{
    if (&other == this)
        return;
    switch (other.type_) {
    case detail::Kind<Number>::tag: import(other.number_value_); break;
    case detail::Kind<String>::tag: import(*other.string_value_); break;
    case detail::Kind<Boolean>::tag: import(other.bool_value_); break;
    case detail::Kind<Null>::tag: import(Null()); break;
    case detail::Kind<Array>::tag: import(*other.array_value_); break;
    case detail::Kind<Object>::tag: import(*other.object_value_); break;
    default: reset(); break;
    }
}

// Array

Array::Array() = default;

Array::~Array() = default;

Array::Array(const Array& other) { import(other); }

Array::Array(const Value& value) { append(value); }

Array& Array::operator=(const Array& other)
{
    if (&other != this) {
        Array copy(other);
        values_.swap(copy.values_);
    }
    return *this;
}

Array& Array::operator=(const Value& value)
{
    Array copy(value);
    values_.swap(copy.values_);
    return *this;
}

void Array::import(const Array& other)
{
    if (&other == this) {
        Array copy(other);
        import(copy);
        return;
    }
    values_.reserve(values_.size() + other.values_.size());
    for (const auto& value : other.values_)
        values_.push_back(std::make_unique<Value>(*value));
}

void Array::import(const Value& value) { values_.push_back(std::make_unique<Value>(value)); }

void Array::append(const Value& value) { import(value); }

void Array::append(const Array& other) { values_.push_back(std::make_unique<Value>(other)); }

Array& Array::operator<<(const Array& other)
{
    import(other);
    return *this;
}

Array& Array::operator<<(const Value& value)
{
    import(value);
    return *this;
}

void Array::reset() { values_.clear(); }

// Object

Object::Object() = default;

Object::~Object() = default;

Object::Object(const Object& other)
{
    // The source is already in order: each insert lands at the end.
    for (const auto& member : other.map_)
        map_.emplace_hint(map_.end(), member.first, std::make_unique<Value>(*member.second));
}

Object::Object(const String& key, const Value& value) { import(key, value); }

Object::Object(const char* key, const Value& value) { import(String(key ? key : ""), value); }

Object& Object::operator=(const Object& other)
{
    pending_key_.clear();
    if (&other != this) {
        Object copy(other);
        map_.swap(copy.map_);
    }
    return *this;
}

void Object::import(const Object& other)
{
    pending_key_.clear();
    // Copy first: other may be this object or lie inside one of its members.
    Object copy(other);
    for (auto& member : copy.map_)
        map_[member.first] = std::move(member.second);
}

void Object::import(const String& key, const Value& value)
{
    pending_key_.clear();
    auto copy = std::make_unique<Value>(value);
    map_[key] = std::move(copy);
}

Object& Object::operator<<(const Value& value)
{
    if (pending_key_.empty()) {
        pending_key_ = value.get<String>();
    } else {
        String key = std::move(pending_key_);
        import(key, value);
    }
    return *this;
}

Object& Object::operator<<(const Object& value)
{
    String key = std::move(pending_key_);
    import(key, Value(value));
    return *this;
}

void Object::reset() { map_.clear(); }

}  // namespace jsonxx
