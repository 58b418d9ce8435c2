#include "mdfwrite/MdfInfo.h"

#include "support/LibUtils.h"
#include "support/Utf8.h"

#include <cstring>

void MdfChannelInfo::SetTimeField(int bits)
{
    isTime = true;
    name = "time";
    unit = "s";
    if (bits == 0 || bits == 32) {
        dataType = 3;
        bitCount = 32;
    } else {
        dataType = 4;
        bitCount = 64;
    }
}

uint16_t MdfChannelInfo::GetV3Type() const
{
    // Big-endian numbers take the Motorola codes 9 to 12, so the file never
    // declares another byte order than its records hold.
    switch (dataType) {
    case 0: return bigEndian ? 9 : 0;
    case 1: return bigEndian ? 10 : 1;
    case 3: return bigEndian ? 11 : 2;
    case 4: return bigEndian ? 12 : 3;
    default: return 0;
    }
}

uint8_t MdfChannelInfo::GetV4Type() const
{
    // MDF 4 takes the width of a float from the bit count, so 32- and 64-bit
    // floats share their codes.
    switch (dataType) {
    case 0: return bigEndian ? 1 : 0;
    case 1: return bigEndian ? 3 : 2;
    case 3:
    case 4: return bigEndian ? 5 : 4;
    case 7: return 6;
    default: return bigEndian ? 1 : 0;
    }
}

MdfHeaderInfo::MdfHeaderInfo(char const* project_, char const* vehicle_, char const* author_)
    : project(project_ ? project_ : ""), vehicle(vehicle_ ? vehicle_ : ""), author(author_ ? author_ : "")
{
}

MdfMarker::MdfMarker(char const* name_, char const* comment_, double time_)
    : time(time_), comment(comment_ ? comment_ : ""), name(name_ ? name_ : "")
{
}

void XMLEncode(std::string& text)
{
    std::string encoded;
    encoded.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': encoded += "&amp;"; break;
        case '"': encoded += "&quot;"; break;
        case '\'': encoded += "&apos;"; break;
        case '<': encoded += "&lt;"; break;
        case '>': encoded += "&gt;"; break;
        default: encoded += c; break;
        }
    }
    text.swap(encoded);
}

uint64_t GetStringStructSize(char const* text)
{
    uint64_t length = text ? std::strlen(text) : 0;
    return (length + 25 + 7) / 8 * 8;
}

namespace {

bool AllowedInXml(wchar_t c)
{
    if (c < 0x20)
        return c == 0x09 || c == 0x0A || c == 0x0D;
    if (c >= 0xD800 && c <= 0xDFFF)
        return false;
    return c != 0xFFFE && c != 0xFFFF && c <= 0x10FFFF;
}

}  // namespace

std::string XmlCharacterData(std::string const& text)
{
    std::wstring wide = widestring(text.c_str());
    for (wchar_t& c : wide) {
        if (!AllowedInXml(c))
            c = 0xFFFD;
    }
    std::string utf8 = Utf8FromWide(wide);
    XMLEncode(utf8);
    return utf8;
}
