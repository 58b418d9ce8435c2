// Wildcard matching of channel, message and network names.
//
// Every pattern element but '*' consumes exactly one text character, so the
// pattern is first compiled into elements and then matched with the classic
// single-backtrack-point algorithm: linear in the text for each star, never
// exponential.
#include "support/LibUtils.h"

#include <bitset>
#include <vector>

namespace {

struct Element {
    enum Kind { Literal, AnyOne, Set, Star } kind = Literal;
    unsigned char literal = 0;
    std::bitset<256> members;

    bool matches(unsigned char c) const
    {
        switch (kind) {
        case Literal: return c == literal;
        case AnyOne: return true;
        case Set: return members.test(c);
        case Star: break;
        }
        return false;
    }
};

// Expands the text of a bracket set. Ranges compare their ends as signed
// 8-bit values; a first end above the second gives an empty range.
bool compileSet(std::string const& set, Element& element)
{
    size_t i = 0;
    if (i < set.size() && set[i] == '-')
        element.members.set(static_cast<unsigned char>(set[i++]));
    char previous = '-';
    bool havePrevious = i > 0;
    while (i < set.size()) {
        char c = set[i];
        if (c == '-') {
            if (i + 1 >= set.size())
                return false;
            char last = set[i + 1];
            signed char from = static_cast<signed char>(havePrevious ? previous : '-');
            for (int v = from; v <= static_cast<signed char>(last); ++v)
                element.members.set(static_cast<unsigned char>(static_cast<signed char>(v)));
            previous = last;
            havePrevious = true;
            i += 2;
            continue;
        }
        if (c == '\\') {
            if (i + 1 >= set.size())
                return false;
            c = set[++i];
        }
        element.members.set(static_cast<unsigned char>(c));
        previous = c;
        havePrevious = true;
        ++i;
    }
    return true;
}

// False for a malformed pattern: such a pattern can never be consumed whole,
// so it matches nothing.
bool compile(std::string const& pattern, std::vector<Element>& elements)
{
    for (size_t i = 0; i < pattern.size();) {
        char c = pattern[i];
        Element element;
        element.kind = Element::Literal;
        if (c == '?') {
            element.kind = Element::AnyOne;
            ++i;
        } else if (c == '*') {
            element.kind = Element::Star;
            ++i;
            if (!elements.empty() && elements.back().kind == Element::Star)
                continue;
        } else if (c == '\\') {
            if (i + 1 >= pattern.size())
                return false;
            element.literal = static_cast<unsigned char>(pattern[i + 1]);
            i += 2;
        } else if (c == '[') {
            size_t end = i + 1;
            while (end < pattern.size() && pattern[end] != ']') {
                if (pattern[end] == '\\') {
                    if (end + 1 >= pattern.size())
                        return false;
                    ++end;
                }
                ++end;
            }
            if (end >= pattern.size())
                return false;
            element.kind = Element::Set;
            if (!compileSet(pattern.substr(i + 1, end - i - 1), element))
                return false;
            i = end + 1;
        } else {
            element.literal = static_cast<unsigned char>(c);
            ++i;
        }
        elements.push_back(element);
    }
    return true;
}

}  // namespace

bool MatchField(std::string const& pattern, std::string const& text)
{
    if (pattern.empty())
        return true;
    std::vector<Element> elements;
    if (!compile(pattern, elements))
        return false;

    size_t p = 0, t = 0;
    size_t starElement = SIZE_MAX, starText = 0;
    while (t < text.size()) {
        if (p < elements.size() && elements[p].kind == Element::Star) {
            starElement = p++;
            starText = t;
        } else if (p < elements.size() && elements[p].matches(static_cast<unsigned char>(text[t]))) {
            ++p;
            ++t;
        } else if (starElement != SIZE_MAX) {
            p = starElement + 1;
            t = ++starText;
        } else {
            return false;
        }
    }
    while (p < elements.size() && elements[p].kind == Element::Star)
        ++p;
    return p == elements.size();
}
