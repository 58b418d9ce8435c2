#include "support/MatNames.h"

#include "support/LibUtils.h"

std::string Latin1FromWide(std::wstring const& text)
{
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text)
        out.push_back(c >= 0 && c <= 0xFF ? static_cast<char>(static_cast<unsigned char>(c)) : '?');
    return out;
}

std::string MatlabNameFromWide(std::wstring const& name)
{
    std::string text = Latin1FromWide(name);
    ScrubMatlabName(text);
    return text;
}
