#include "support/Paths.h"

#include <climits>
#include <cstring>
#include <cwchar>

#include "support/LibUtils.h"
#include "support/Utf8.h"

namespace {

constexpr uint32_t kEscapeFirst = 0xDC80;
constexpr uint32_t kEscapeLast = 0xDCFF;

wchar_t Escaped(unsigned char byte)
{
    return static_cast<wchar_t>(0xDC00 + byte);
}

bool IsEscape(uint32_t code)
{
    return code >= kEscapeFirst && code <= kEscapeLast;
}

// One character of a locale other than UTF-8 at bytes[i]: its length, 0 when
// the bytes there start no character that encodes back to the same bytes.
size_t DecodeInLocale(char const* bytes, size_t length, size_t i, wchar_t& wide)
{
    std::mbstate_t state{};
    size_t n = std::mbrtowc(&wide, bytes + i, length - i, &state);
    if (n == 0 || n > length - i || IsEscape(static_cast<uint32_t>(wide)))
        return 0;
    char back[MB_LEN_MAX];
    std::mbstate_t backState{};
    size_t m = std::wcrtomb(back, wide, &backState);
    return m == n && std::memcmp(back, bytes + i, n) == 0 ? n : 0;
}

bool EncodeInLocale(wchar_t wide, std::string& out)
{
    char bytes[MB_LEN_MAX];
    std::mbstate_t state{};
    size_t n = std::wcrtomb(bytes, wide, &state);
    if (n == static_cast<size_t>(-1) || n == 0)
        return false;
    out.append(bytes, n);
    return true;
}

}  // namespace

std::wstring WidePath(char const* bytes)
{
    std::wstring out;
    if (!bytes)
        return out;
    const size_t length = std::strlen(bytes);
    const bool utf8 = LocaleTextIsUtf8();
    for (size_t i = 0; i < length;) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        size_t n = 0;
        if (byte < 0x80) {
            out.push_back(static_cast<wchar_t>(byte));
            n = 1;
        } else if (utf8) {
            uint32_t code = 0;
            n = DecodeUtf8(bytes, length, i, code);
            if (n)
                out.push_back(static_cast<wchar_t>(code));
        } else {
            wchar_t wide = 0;
            n = DecodeInLocale(bytes, length, i, wide);
            if (n)
                out.push_back(wide);
        }
        if (n == 0) {
            out.push_back(Escaped(byte));
            n = 1;
        }
        i += n;
    }
    return out;
}

std::wstring WidePath(std::string const& bytes)
{
    return WidePath(bytes.c_str());
}

std::optional<std::string> PathBytes(wchar_t const* path)
{
    if (!path)
        return std::nullopt;
    std::string out;
    const bool utf8 = LocaleTextIsUtf8();
    for (; *path; ++path) {
        const auto code = static_cast<uint32_t>(*path);
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (IsEscape(code)) {
            out.push_back(static_cast<char>(code - 0xDC00));
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            return std::nullopt;  // a surrogate that stands for no byte
        } else if (utf8) {
            if (code > 0x10FFFF)
                return std::nullopt;
            AppendUtf8(out, code);
        } else if (!EncodeInLocale(*path, out)) {
            return std::nullopt;
        }
    }
    return out;
}

std::optional<std::string> PathBytes(std::wstring const& path)
{
    // An embedded NUL would end the path early: such a path names no file.
    if (path.find(L'\0') != std::wstring::npos)
        return std::nullopt;
    return PathBytes(path.c_str());
}

bool CheckPaths(std::initializer_list<wchar_t const*> paths)
{
    for (wchar_t const* path : paths) {
        if (path && !PathBytes(path)) {
            DebugOutput1("Path %s cannot be named exactly in the current locale", mbstring(path).c_str());
            return false;
        }
    }
    return true;
}

std::string PathForMessage(wchar_t const* path)
{
    if (!path)
        return std::string();
    std::optional<std::string> bytes = PathBytes(path);
    return bytes ? *bytes : mbstring(path);
}

std::string PathForMessage(std::wstring const& path)
{
    return PathForMessage(path.c_str());
}
