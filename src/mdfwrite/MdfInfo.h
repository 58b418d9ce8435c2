// What the callers of the MDF writer fill in: one channel to write, the header
// texts and the markers (events, MDF 4.00 only); and the small text rules the
// writers share.
#pragma once

#include <cstdint>
#include <map>
#include <string>

struct MdfChannelInfo {
    std::string name;
    std::string description;
    std::string unit;
    // Text of raw values (value-to-text conversion), ascending by value.
    std::map<double, std::string> states;
    // physical = raw * factor + offset
    double factor = 1.0;
    double offset = 0.0;
    // 0 unsigned integer, 1 signed integer, 3 IEEE float 32, 4 IEEE double 64,
    // 7 string.
    uint16_t dataType = 3;
    // First byte of the value in the record; records carry no record id.
    uint16_t byteOffset = 0;
    uint16_t bitCount = 32;
    // Only its value modulo 8 is used.
    uint8_t bitOffset = 0;
    bool bigEndian = false;
    bool isTime = false;
    // Decimals to display; any negative value means none.
    int8_t precision = -1;
    // The range is written only when minValue < maxValue.
    double minValue = 0.0;
    double maxValue = 0.0;

    // The group's time (master) channel in seconds: a 32-bit float for a
    // width of 0 or 32, a 64-bit double for any other width.
    void SetTimeField(int bits);
    uint16_t GetV3Type() const;
    uint8_t GetV4Type() const;
};

struct MdfHeaderInfo {
    MdfHeaderInfo() = default;
    // Null texts are taken as empty.
    MdfHeaderInfo(char const* project, char const* vehicle, char const* author);

    std::string project;
    std::string vehicle;  // MDF 3.30 writes it as the header's subject
    std::string author;
};

struct MdfMarker {
    // Null texts are taken as empty.
    MdfMarker(char const* name, char const* comment, double time);

    double time = 0.0;  // seconds on the file's time axis
    std::string comment;
    std::string name;
};

// Replaces & " ' < > by their XML entities, in place; other bytes stay.
void XMLEncode(std::string& text);

// Size of an MDF 4 TX or MD block holding text: 24 bytes of block header, the
// text, a terminating zero, zeros up to a multiple of 8. A null text counts as
// empty.
uint64_t GetStringStructSize(char const* text);

// A narrow text made fit for XML character data in an MDF 4 metadata block:
// decoded through the current C locale (bytes that are no valid character are
// taken as Latin-1), characters XML 1.0 forbids replaced by U+FFFD, written as
// UTF-8 and then XML-encoded.
std::string XmlCharacterData(std::string const& text);
