#include "support/CFormat.h"

#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <locale.h>
#include <vector>

namespace {

locale_t classicLocale()
{
    static locale_t classic = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return classic;
}

// Switches the calling thread to the "C" locale for the lifetime of the object.
class ClassicLocaleScope {
public:
    ClassicLocaleScope() : previous_(uselocale(classicLocale())) {}
    ~ClassicLocaleScope() { uselocale(previous_); }

private:
    locale_t previous_;
};

}  // namespace

std::string FormatC(char const* format, ...)
{
    ClassicLocaleScope scope;
    va_list args;
    va_start(args, format);
    char small[256];
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    std::string out;
    if (length < 0) {
        va_end(args);
        return out;
    }
    if (static_cast<size_t>(length) < sizeof small) {
        out.assign(small, static_cast<size_t>(length));
    } else {
        out.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(&out[0], out.size(), format, args);
        out.resize(static_cast<size_t>(length));
    }
    va_end(args);
    return out;
}

std::wstring FormatCW(wchar_t const* format, ...)
{
    ClassicLocaleScope scope;
    // vswprintf reports a too small buffer only by failing: grow until it fits.
    std::vector<wchar_t> buffer(256);
    for (;;) {
        va_list args;
        va_start(args, format);
        int length = std::vswprintf(buffer.data(), buffer.size(), format, args);
        va_end(args);
        if (length >= 0)
            return std::wstring(buffer.data(), static_cast<size_t>(length));
        if (buffer.size() >= (1u << 26))
            return std::wstring();
        buffer.resize(buffer.size() * 4);
    }
}

double StrtodC(char const* text, char** end)
{
    return strtod_l(text, end, classicLocale());
}
