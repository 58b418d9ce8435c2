// The settings file: name=value lines in "./kvxexport.cfg", read by name on
// every lookup. The first line whose name matches wins.
#include "support/LibUtils.h"

#include <cstdlib>
#include <cstring>

namespace {

// Finds the value of name; false when the file or the name is missing.
bool findSetting(wchar_t const* name, std::string& value)
{
    if (!name)
        return false;
    std::string wanted = ASCIIfromUnicode(name);
    FILE* file = Owfopen(L"./kvxexport.cfg", L"rte");
    if (!file)
        return false;
    char line[4096];
    bool found = false;
    while (std::fgets(line, sizeof line, file)) {
        char* equals = std::strchr(line, '=');
        if (!equals)
            continue;
        *equals = '\0';
        if (wanted != line)
            continue;
        value = equals + 1;
        // Neither the line end nor the '\r' of a CRLF file is part of the value.
        while (!value.empty() && (value.back() == '\n' || value.back() == '\r'))
            value.pop_back();
        found = true;
        break;
    }
    std::fclose(file);
    return found;
}

}  // namespace

unsigned ReadRegValue(unsigned /*root*/, wchar_t const* /*keyPath*/, wchar_t const* name, unsigned defaultValue)
{
    std::string value;
    if (!findSetting(name, value))
        return defaultValue;
    return static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 0));
}

std::wstring ReadRegStringValue(unsigned /*root*/, wchar_t const* /*keyPath*/, wchar_t const* name,
                                wchar_t const* defaultValue)
{
    std::string value;
    if (!findSetting(name, value))
        return defaultValue ? std::wstring(defaultValue) : std::wstring();
    std::wstring result;
    for (unsigned char byte : value)
        result.push_back(static_cast<wchar_t>(byte));
    return result;
}
