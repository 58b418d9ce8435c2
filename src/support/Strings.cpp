#include "support/LibUtils.h"

#include <algorithm>
#include <set>

namespace {

template <typename String>
void trimLeft(String& text, typename String::value_type const* blanks)
{
    size_t first = text.find_first_not_of(blanks);
    if (first == String::npos)
        text.clear();
    else
        text.erase(0, first);
}

}  // namespace

void TrimLeft(std::string& text)
{
    trimLeft(text, " \t");
}

void TrimLeft(std::wstring& text)
{
    trimLeft(text, L" \t");
}

void TrimRight(std::wstring& text)
{
    size_t last = text.find_last_not_of(L" \t");
    if (last == std::wstring::npos)
        text.clear();
    else
        text.erase(last + 1);
}

std::wstring Right(std::wstring const& text, size_t count)
{
    if (count >= text.size())
        return text;
    return text.substr(text.size() - count);
}

size_t FindOneOf(std::wstring const& text, std::wstring const& set)
{
    return text.find_first_not_of(set);
}

void ReplaceStringInPlace(std::string& text, std::string const& from, std::string const& to)
{
    if (from.empty())
        return;
    size_t position = 0;
    while ((position = text.find(from, position)) != std::string::npos) {
        text.replace(position, from.size(), to);
        position += to.size();
    }
}

void ScrubMatlabName(std::string& name)
{
    TrimLeft(name);
    static char const replaced[] = " -[]/\\\t.,:;?~@#$%^&*()";
    for (char& c : name)
        for (char const* r = replaced; *r; ++r)
            if (c == *r)
                c = '_';
    // MATLAB names hold at most 63 characters.
    if (name.size() > 63)
        name.resize(63);
}

std::string WithSuffixWithin(std::string const& text, std::string const& suffix, size_t limit)
{
    size_t cut = std::min(text.size(), limit > suffix.size() ? limit - suffix.size() : 0);
    while (cut > 0 && cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;  // whole characters only
    return text.substr(0, cut) + suffix;
}

void MakeMatlabNamesUnique(std::vector<std::string>& names)
{
    constexpr size_t kLongest = 63;
    // Every name that stands once keeps it: a suffixed name must not take the
    // text of a later channel.
    std::set<std::string> taken(names.begin(), names.end());
    taken.insert("header");
    std::set<std::string> kept;
    for (std::string& name : names) {
        if (name != "header" && kept.insert(name).second)
            continue;
        for (int number = 2;; ++number) {
            const std::string candidate = WithSuffixWithin(name, "_" + std::to_string(number), kLongest);
            if (taken.insert(candidate).second) {
                name = candidate;
                kept.insert(candidate);
                break;
            }
        }
    }
}
