// The permissive JSON parser: // comments, single-quoted strings, trailing
// commas, an empty value before a comma as null, the last of repeated member
// names wins, text after the top-level value ignored. It reads through the
// stream's character operations only; a failed attempt gives back exactly
// what its rule says (the characters of a failed token match, the start of a
// failed number) and nothing else, so the next attempt starts where the
// failed one stopped. Results are bool; nothing is thrown or printed.
#include "jsonxx/jsonxx.h"
#include "jsonxx/ClassicLocale.h"

#include <cmath>
#include <cstdlib>
#include <istream>
#include <sstream>

namespace jsonxx {

namespace detail {

locale_t classic_c_locale()
{
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return locale;
}

}  // namespace detail

namespace {

// Deeper documents fail instead of exhausting the stack: the parser
// recurses once per level of arrays and objects.
constexpr unsigned max_depth = 512;

bool is_white_space(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(int c) { return c >= '0' && c <= '9'; }

void skip_white_space(std::istream& input)
{
    while (is_white_space(input.peek()))
        input.get();
}

int hex_digit_value(int c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void append_utf8(String& text, unsigned long code_point)
{
    if (code_point < 0x80) {
        text += static_cast<char>(code_point);
    } else if (code_point < 0x800) {
        text += static_cast<char>(0xC0 | (code_point >> 6));
        text += static_cast<char>(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
        text += static_cast<char>(0xE0 | (code_point >> 12));
        text += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code_point & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (code_point >> 18));
        text += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code_point & 0x3F));
    }
}

// Appends what \u escapes stand for. Up to 0xFF an escape is the one byte
// of that value; above, the UTF-8 form of the code point, with a high
// surrogate directly followed by a low one joined into one code point. A
// surrogate without its partner keeps its own three-byte form.
class EscapedCodePoints {
public:
    explicit EscapedCodePoints(String& text) : text_(text) {}

    void add(unsigned value)
    {
        if (value >= 0xDC00 && value <= 0xDFFF && high_surrogate_ != 0) {
            append_utf8(text_, 0x10000 + ((high_surrogate_ - 0xD800ul) << 10) + (value - 0xDC00ul));
            high_surrogate_ = 0;
            return;
        }
        flush();
        if (value >= 0xD800 && value <= 0xDBFF)
            high_surrogate_ = value;
        else if (value <= 0xFF)
            text_ += static_cast<char>(value);
        else
            append_utf8(text_, value);
    }

    void flush()
    {
        if (high_surrogate_ != 0)
            append_utf8(text_, high_surrogate_);
        high_surrogate_ = 0;
    }

private:
    String& text_;
    unsigned high_surrogate_ = 0;
};

// The four characters after \u are consumed whatever they are; their leading
// hexadecimal digits make the value. Returns false when the text ends first.
bool read_unicode_escape(std::istream& input, bool& has_digits, unsigned& value)
{
    has_digits = false;
    value = 0;
    bool leading = true;
    for (int i = 0; i < 4; ++i) {
        int c = input.get();
        if (c == EOF)
            return false;
        int digit = hex_digit_value(c);
        if (leading && digit >= 0) {
            value = value * 16 + static_cast<unsigned>(digit);
            has_digits = true;
        } else {
            leading = false;
        }
    }
    return true;
}

char simple_escape(int c, char delimiter, bool& known)
{
    known = true;
    switch (c) {
    case '\\': return '\\';
    case '/': return '/';
    case 'b': return '\b';
    case 'f': return '\f';
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    default:
        known = c == static_cast<unsigned char>(delimiter);
        return delimiter;
    }
}

// Scans the longest prefix that continues a number: optional sign, digits
// with at most one full stop, then an exponent when a digit came before.
// Returns false when the scanned text is no complete number.
bool scan_number(std::istream& input, std::string& text)
{
    int c = input.peek();
    if (c == '+' || c == '-') {
        text += static_cast<char>(input.get());
        c = input.peek();
    }
    bool mantissa_digits = false;
    bool full_stop = false;
    for (;; c = input.peek()) {
        if (is_digit(c))
            mantissa_digits = true;
        else if (c == '.' && !full_stop)
            full_stop = true;
        else
            break;
        text += static_cast<char>(input.get());
    }
    if (!mantissa_digits)
        return false;
    if (c != 'e' && c != 'E')
        return true;
    text += static_cast<char>(input.get());
    c = input.peek();
    if (c == '+' || c == '-') {
        text += static_cast<char>(input.get());
        c = input.peek();
    }
    bool exponent_digits = false;
    for (; is_digit(c); c = input.peek()) {
        exponent_digits = true;
        text += static_cast<char>(input.get());
    }
    return exponent_digits;
}

}  // namespace

bool match(const char* pattern, std::istream& input)
{
    skip_white_space(input);
    const char* next = pattern;
    while (*next != '\0') {
        int c = input.get();
        if (c == EOF)
            return false;
        if (c == static_cast<unsigned char>(*next)) {
            ++next;
            continue;
        }
        input.unget();
        if (parser_is_permissive() && parse_comment(input))
            continue;
        while (next != pattern)
            input.putback(*--next);
        return false;
    }
    return true;
}

bool parse_comment(std::istream& input)
{
    if (input.peek() != '/')
        return false;
    input.get();
    if (input.peek() != '/') {
        input.unget();
        return false;
    }
    for (int c = input.peek(); c != EOF && c != '\r' && c != '\n'; c = input.peek())
        input.get();
    skip_white_space(input);
    return true;
}

bool parse_string(std::istream& input, String& text)
{
    char delimiter = '"';
    if (!match("\"", input)) {
        if (parser_is_strict() || input.peek() != '\'')
            return false;
        input.get();
        delimiter = '\'';
    }
    text.clear();
    EscapedCodePoints escapes(text);
    for (;;) {
        int c = input.get();
        if (c == EOF)
            return false;
        if (c == static_cast<unsigned char>(delimiter)) {
            escapes.flush();
            return true;
        }
        if (c != '\\') {
            escapes.flush();
            text += static_cast<char>(c);
            continue;
        }
        c = input.get();
        if (c == EOF)
            return false;
        if (c == 'u') {
            bool has_digits;
            unsigned value;
            if (!read_unicode_escape(input, has_digits, value))
                return false;
            if (has_digits)
                escapes.add(value);
            else
                escapes.flush();
            continue;
        }
        escapes.flush();
        bool known;
        char replacement = simple_escape(c, delimiter, known);
        if (known) {
            text += replacement;
        } else {
            text += '\\';
            text += static_cast<char>(c);
        }
    }
}

bool parse_number(std::istream& input, Number& number)
{
    skip_white_space(input);
    if (!input.good())
        return false;
    const std::streampos start = input.tellg();
    std::string text;
    bool complete = scan_number(input, text);
    if (complete) {
        char* end = nullptr;
        Number value = strtold_l(text.c_str(), &end, detail::classic_c_locale());
        // Overflow fails; underflow gives the nearest (zero or subnormal).
        if (end == text.c_str() + text.size() && !std::isinf(value)) {
            number = value;
            return true;
        }
    }
    input.clear();
    input.seekg(start);
    return false;
}

bool parse_bool(std::istream& input, Boolean& flag)
{
    if (match("true", input)) {
        flag = true;
        return true;
    }
    if (match("false", input)) {
        flag = false;
        return true;
    }
    return false;
}

bool parse_null(std::istream& input, Null&) { return match("null", input); }

bool Value::parse_nested(std::istream& input, Value& value, unsigned depth)
{
    value.reset();
    String text;
    if (parse_string(input, text)) {
        value.adopt(new String(std::move(text)));
        return true;
    }
    Number number;
    if (parse_number(input, number)) {
        value.import(number);
        return true;
    }
    Boolean flag;
    if (parse_bool(input, flag)) {
        value.import(flag);
        return true;
    }
    Null null;
    if (parse_null(input, null) || (!parser_is_strict() && input.peek() == ',')) {
        value.import(null);
        return true;
    }
    if (input.peek() == '[') {
        auto array = std::make_unique<Array>();
        if (Array::parse_nested(input, *array, depth + 1)) {
            value.adopt(array.release());
            return true;
        }
    }
    auto object = std::make_unique<Object>();
    if (Object::parse_nested(input, *object, depth + 1)) {
        value.adopt(object.release());
        return true;
    }
    return false;
}

bool Array::parse_nested(std::istream& input, Array& array, unsigned depth)
{
    array.reset();
    if (depth > max_depth) {
        input.setstate(std::ios::failbit);
        return false;
    }
    if (!match("[", input))
        return false;
    if (match("]", input))
        return true;
    for (;;) {
        auto value = std::make_unique<Value>();
        if (!Value::parse_nested(input, *value, depth))
            break;
        array.values_.push_back(std::move(value));
        if (!match(",", input))
            break;
    }
    return match("]", input);
}

bool Object::parse_nested(std::istream& input, Object& object, unsigned depth)
{
    object.reset();
    if (depth > max_depth) {
        input.setstate(std::ios::failbit);
        return false;
    }
    if (!match("{", input))
        return false;
    if (match("}", input))
        return true;
    for (;;) {
        String key;
        if (!parse_string(input, key)) {
            if (parser_is_permissive() && input.peek() == '}')
                break;
            return false;
        }
        if (!match(":", input))
            return false;
        auto value = std::make_unique<Value>();
        if (!Value::parse_nested(input, *value, depth))
            break;
        auto found = object.map_.find(key);
        if (found == object.map_.end())
            object.map_.emplace_hint(found, std::move(key), std::move(value));
        else if (parser_is_permissive())
            found->second = std::move(value);
        else
            return false;
        if (!match(",", input))
            break;
    }
    return match("}", input);
}

bool Value::parse(std::istream& input) { return parse_nested(input, *this, 0); }

bool Value::parse(const String& input)
{
    std::istringstream stream(input);
    return parse(stream);
}

bool Array::parse(std::istream& input) { return parse_nested(input, *this, 1); }

bool Array::parse(const String& input)
{
    std::istringstream stream(input);
    return parse(stream);
}

bool Object::parse(std::istream& input) { return parse_nested(input, *this, 1); }

bool Object::parse(const String& input)
{
    std::istringstream stream(input);
    return parse(stream);
}

bool Object::parse(std::istream& input, Object& object) { return object.parse(input); }

bool parse_value(std::istream& input, Value& value) { return value.parse(input); }

bool parse_array(std::istream& input, Array& array) { return array.parse(input); }

bool parse_object(std::istream& input, Object& object) { return object.parse(input); }

bool validate(std::istream& input)
{
    for (int c = input.peek(); c != EOF && c <= 0x20; c = input.peek())
        input.get();
    switch (input.peek()) {
    case '{': {
        Object object;
        return object.parse(input);
    }
    case '[': {
        Array array;
        return array.parse(input);
    }
    default:
        return false;
    }
}

bool validate(const String& input)
{
    std::istringstream stream(input);
    return validate(stream);
}

}  // namespace jsonxx
