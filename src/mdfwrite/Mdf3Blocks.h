// Block records of an MDF 3.30 file as the writer builds them. Each record
// holds its fields and writes its exact byte image; links are absolute file
// positions, written as 32 bits (MdfByteBuffer::Link32 catches positions
// that do not fit).
#pragma once

#include "mdfwrite/MdfBytes.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct IDBLOCK_WRITE {
    static constexpr uint64_t kSize = 64;
    void Serialize(MdfByteBuffer& out) const;
};

struct HDBLOCK_WRITE {
    static constexpr uint64_t kSize = 208;

    uint64_t firstDataGroup = 0;
    uint16_t dataGroupCount = 0;
    std::string date;  // "dd:mm:yyyy"
    std::string time;  // "hh:mm:ss"
    std::string author;
    std::string project;
    std::string subject;
    uint64_t startTimeNs = 0;

    void Serialize(MdfByteBuffer& out) const;
};

struct DGBLOCK_WRITE {
    static constexpr uint64_t kSize = 28;

    uint64_t nextDataGroup = 0;
    uint64_t firstChannelGroup = 0;
    uint64_t data = 0;

    void Serialize(MdfByteBuffer& out) const;
};

struct CGBLOCK_WRITE {
    static constexpr uint64_t kSize = 26;

    uint64_t firstChannel = 0;
    uint64_t comment = 0;
    uint16_t channelCount = 0;
    uint16_t recordSize = 0;
    uint32_t recordCount = 0;

    void Serialize(MdfByteBuffer& out) const;
};

struct CNBLOCK_WRITE {
    static constexpr uint64_t kSize = 228;

    uint64_t nextChannel = 0;
    uint64_t conversion = 0;
    uint64_t longName = 0;
    uint16_t channelType = 0;
    std::string shortName;    // first 31 characters are written
    std::string description;  // first 127 characters are written
    uint16_t startOffsetBits = 0;
    uint16_t bitCount = 0;
    uint16_t signalType = 0;
    bool rangeValid = false;
    double minimum = 0.0;
    double maximum = 0.0;
    uint16_t additionalByteOffset = 0;

    void Serialize(MdfByteBuffer& out) const;
};

struct CCBLOCK_WRITE {
    static constexpr uint16_t kLinear = 0;
    static constexpr uint16_t kTextTable = 11;
    // 46 + 40 * n must fit the 16-bit block size.
    static constexpr size_t kMaxStates = (65535 - 46) / 40;

    std::string unit;  // first 19 characters are written, "-" when empty
    uint16_t conversionType = kLinear;
    double p1 = 0.0;  // linear: physical = raw * p2 + p1
    double p2 = 1.0;
    std::vector<std::pair<double, std::string>> states;  // text table, at most kMaxStates

    uint64_t Size() const;
    void Serialize(MdfByteBuffer& out) const;
};

struct TXBLOCK {
    // The 16-bit block size counts 4 header bytes and the terminating zero.
    static constexpr size_t kMaxTextLength = 65535 - 5;

    explicit TXBLOCK(std::string const& text);

    std::string text;  // already cut to kMaxTextLength

    uint64_t Size() const { return text.size() + 5; }
    void Serialize(MdfByteBuffer& out) const;
};
