#include "support/CFormat.h"

#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <langinfo.h>
#include <locale.h>

namespace {

locale_t classicLocale()
{
    static locale_t classic = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return classic;
}

// "C" for numbers, the host's LC_CTYPE for characters: %s and %ls arguments
// convert as mbstring and widestring convert them, so the ASCII-only "C"
// locale counts as UTF-8 here too. Rebuilt only when the host's LC_CTYPE
// changes.
locale_t formattingLocale()
{
    static std::string builtFor;
    static locale_t built = static_cast<locale_t>(0);
    char const* current = std::setlocale(LC_CTYPE, nullptr);
    std::string name = current ? current : "C";
    if (built && name == builtFor)
        return built;
    if (built)
        freelocale(built);
    built = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    if (!built)
        return classicLocale();
    if (locale_t withCtype = newlocale(LC_CTYPE_MASK, name.c_str(), built))
        built = withCtype;
    if (std::strcmp(nl_langinfo_l(CODESET, built), "ANSI_X3.4-1968") == 0)
        if (locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", built))
            built = utf8;
    builtFor = name;
    return built;
}

// Switches the calling thread to the formatting locale for the lifetime of
// the object.
class FormattingLocaleScope {
public:
    FormattingLocaleScope() : previous_(uselocale(formattingLocale())) {}
    ~FormattingLocaleScope() { uselocale(previous_); }

private:
    locale_t previous_;
};

}  // namespace

std::string FormatC(char const* format, ...)
{
    FormattingLocaleScope scope;
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
    FormattingLocaleScope scope;
    // vswprintf fails alike for a buffer too small and for an argument that
    // does not convert; a memory stream grows by itself, so a failure here
    // is always the argument's.
    wchar_t* buffer = nullptr;
    size_t size = 0;
    FILE* stream = open_wmemstream(&buffer, &size);
    if (!stream)
        return std::wstring();
    va_list args;
    va_start(args, format);
    int length = std::vfwprintf(stream, format, args);
    va_end(args);
    std::fclose(stream);
    std::wstring out;
    if (length >= 0 && buffer)
        out.assign(buffer, size);
    std::free(buffer);
    return out;
}

double StrtodC(char const* text, char** end)
{
    return strtod_l(text, end, classicLocale());
}
