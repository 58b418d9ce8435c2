#include "support/Utf8.h"

#include <cstdint>

namespace {

constexpr uint32_t kReplacement = 0xFFFD;

}  // namespace

void AppendUtf8(std::string& out, uint32_t code)
{
    if (code >= 0xD800 && (code <= 0xDFFF || code > 0x10FFFF))
        code = kReplacement;
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

size_t DecodeUtf8(char const* bytes, size_t length, size_t i, uint32_t& code)
{
    auto text = reinterpret_cast<unsigned char const*>(bytes);
    unsigned char lead = text[i];
    size_t count;
    uint32_t minimum;
    if (lead < 0x80) {
        code = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        count = 2, minimum = 0x80, code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        count = 3, minimum = 0x800, code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        count = 4, minimum = 0x10000, code = lead & 0x07;
    } else {
        return 0;
    }
    if (length - i < count)
        return 0;
    for (size_t k = 1; k < count; ++k) {
        if ((text[i + k] & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (text[i + k] & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return count;
}

std::string Utf8FromWide(wchar_t const* text, size_t length)
{
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i)
        AppendUtf8(out, static_cast<uint32_t>(text[i]));
    return out;
}

std::string Utf8FromWide(std::wstring const& text)
{
    return Utf8FromWide(text.data(), text.size());
}

std::wstring WideFromUtf8(char const* text, size_t length)
{
    std::wstring out;
    out.reserve(length);
    for (size_t i = 0; i < length;) {
        uint32_t code = 0;
        size_t n = DecodeUtf8(text, length, i, code);
        if (n == 0) {
            out.push_back(static_cast<wchar_t>(kReplacement));
            ++i;
        } else {
            out.push_back(static_cast<wchar_t>(code));
            i += n;
        }
    }
    return out;
}

std::wstring WideFromUtf8(std::string const& text)
{
    return WideFromUtf8(text.data(), text.size());
}
