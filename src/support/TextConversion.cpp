#include "support/LibUtils.h"
#include "support/Utf8.h"

#include <climits>
#include <langinfo.h>
#include <cstring>
#include <cwchar>

// The "C" and "POSIX" locales define only ASCII. Hosts that never call
// setlocale run in them, yet their texts (MDF 4 names, JSON files) are UTF-8:
// there, text beyond ASCII is taken as UTF-8 rather than refused. UTF-8
// locales convert through the same code, which refuses what is no Unicode
// scalar value (the C library encodes code points above U+10FFFF).
bool LocaleTextIsUtf8()
{
    char const* codeset = nl_langinfo(CODESET);
    if (!codeset)
        return false;
    return std::strcmp(codeset, "UTF-8") == 0 || (MB_CUR_MAX == 1 && std::strcmp(codeset, "ANSI_X3.4-1968") == 0);
}

namespace {

// Bytes of a valid UTF-8 sequence at text[i], or 0.
size_t utf8SequenceLength(char const* text, size_t length, size_t i)
{
    unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t count = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (count == 0 || length - i < count)
        return 0;
    std::wstring decoded = WideFromUtf8(text + i, count);
    return decoded.size() == 1 && decoded[0] != 0xFFFD ? count : 0;
}

bool isAscii(wchar_t const* text, size_t length)
{
    for (size_t i = 0; i < length; ++i)
        if (static_cast<uint32_t>(text[i]) >= 0x80)
            return false;
    return true;
}

std::string narrow(wchar_t const* text, size_t length)
{
    std::string out;
    out.reserve(length);
    if (isAscii(text, length)) {
        for (size_t i = 0; i < length; ++i)
            out.push_back(static_cast<char>(text[i]));
        return out;
    }
    if (LocaleTextIsUtf8())
        return Utf8FromWide(text, length);
    std::mbstate_t state{};
    char bytes[MB_LEN_MAX];
    for (size_t i = 0; i < length; ++i) {
        size_t n = std::wcrtomb(bytes, text[i], &state);
        if (n == static_cast<size_t>(-1)) {
            state = std::mbstate_t{};
            uint32_t code = static_cast<uint32_t>(text[i]);
            out.push_back(code < 0x100 ? static_cast<char>(code) : '?');
            continue;
        }
        out.append(bytes, n);
    }
    return out;
}

}  // namespace

std::string mbstring(wchar_t const* text)
{
    if (!text)
        return std::string();
    return narrow(text, std::wcslen(text));
}

std::string mbstring(std::wstring const& text)
{
    // Stops at an embedded NUL like the pointer form.
    return narrow(text.c_str(), std::wcslen(text.c_str()));
}

std::wstring widestring(char const* text)
{
    std::wstring out;
    if (!text)
        return out;
    size_t length = std::strlen(text);
    out.reserve(length);
    bool utf8 = LocaleTextIsUtf8();
    std::mbstate_t state{};
    size_t i = 0;
    while (i < length) {
        unsigned char byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            out.push_back(static_cast<wchar_t>(byte));
            ++i;
            continue;
        }
        if (utf8) {
            size_t n = utf8SequenceLength(text, length, i);
            if (n == 0) {
                out.push_back(static_cast<wchar_t>(byte));
                ++i;
            } else {
                out += WideFromUtf8(text + i, n);
                i += n;
            }
            continue;
        }
        wchar_t wide = 0;
        size_t n = std::mbrtowc(&wide, text + i, length - i, &state);
        if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2) || n == 0) {
            state = std::mbstate_t{};
            out.push_back(static_cast<wchar_t>(byte));
            ++i;
            continue;
        }
        out.push_back(wide);
        i += n;
    }
    return out;
}

std::wstring widestring(std::string const& text)
{
    return widestring(text.c_str());
}

std::string NameKey(std::string const& name)
{
    std::string key;
    size_t start = 0;
    for (;;) {
        const size_t nul = name.find('\0', start);
        key += Utf8FromWide(widestring(name.substr(start, nul - start)));
        if (nul == std::string::npos)
            return key;
        key.push_back('\0');
        start = nul + 1;
    }
}

char const* ASCIIfromUnicode(wchar_t const* text)
{
    static std::string buffer;
    buffer.clear();
    if (text)
        for (; *text; ++text)
            buffer.push_back(static_cast<char>(static_cast<uint32_t>(*text) & 0xFF));
    return buffer.c_str();
}

char const* ASCIIfromUnicode(std::wstring const& text)
{
    return ASCIIfromUnicode(text.c_str());
}

wchar_t* UnicodefromASCII(char const* text, int count)
{
    static std::wstring buffer;
    buffer.clear();
    if (text) {
        std::wstring all = widestring(text);
        size_t limit = count < 0 ? all.size() : static_cast<size_t>(count) + 1;
        buffer.assign(all, 0, limit);
    }
    return &buffer[0];
}
