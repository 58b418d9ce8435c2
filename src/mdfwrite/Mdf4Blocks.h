// Block records of an MDF 4.00 file as the writer builds them. Each record
// holds its fields and writes its exact byte image: the 24-byte block header
// (type, reserved, length, link count), the links as 64-bit file positions,
// then the data fields. Every length is a multiple of 8.
#pragma once

#include "mdfwrite/MdfBytes.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct IDBLOCK_V4 {
    static constexpr uint64_t kSize = 64;
    void Serialize(MdfByteBuffer& out) const;
};

struct HDBLOCK_V4 {
    static constexpr uint64_t kSize = 104;

    uint64_t firstDataGroup = 0;
    uint64_t fileHistory = 0;
    uint64_t firstEvent = 0;
    uint64_t comment = 0;
    uint64_t startTimeNs = 0;

    void Serialize(MdfByteBuffer& out) const;
};

struct FHBLOCK_V4 {
    static constexpr uint64_t kSize = 56;

    uint64_t comment = 0;
    uint64_t timeNs = 0;

    void Serialize(MdfByteBuffer& out) const;
};

// A text block ("##TX") or metadata block ("##MD"): the text, then zeros up to
// GetStringStructSize of the text, so at least one zero follows it.
class TXBLOCK_V4 {
public:
    explicit TXBLOCK_V4(std::string const& text, char const* type = "##TX");

    std::string const& Text() const { return m_text; }
    uint64_t GetLength() const;
    void Serialize(MdfByteBuffer& out) const;

private:
    std::string m_text;
    char const* m_type;
};

class MDBLOCK_V4 : public TXBLOCK_V4 {
public:
    explicit MDBLOCK_V4(std::string const& text = std::string()) : TXBLOCK_V4(text, "##MD") {}
};

struct DGBLOCK_V4 {
    static constexpr uint64_t kSize = 64;

    uint64_t nextDataGroup = 0;
    uint64_t firstChannelGroup = 0;
    uint64_t data = 0;

    void Serialize(MdfByteBuffer& out) const;
};

struct CGBLOCK_V4 {
    static constexpr uint64_t kSize = 104;

    uint64_t firstChannel = 0;
    uint64_t acquisitionName = 0;
    uint64_t cycleCount = 0;
    uint32_t dataBytes = 0;

    void Serialize(MdfByteBuffer& out) const;
};

struct CCBLOCK_V4 {
    static constexpr uint8_t kLinear = 1;
    static constexpr uint8_t kValueToText = 7;
    // The reference count (states + 1 default) is a 16-bit field.
    static constexpr size_t kMaxStates = 65535 - 1;

    uint64_t unit = 0;
    uint8_t conversionType = kLinear;
    // Linear: offset, factor (physical = raw * factor + offset).
    // Value to text: the raw values, ascending.
    std::vector<double> values;
    // Value to text: one TX per value, written right behind the CC, and the
    // position of each.
    std::vector<TXBLOCK_V4> stateTexts;
    std::vector<uint64_t> stateTextLinks;

    uint64_t GetLength() const;
    // The CC followed by its state texts.
    void Serialize(MdfByteBuffer& out) const;
};

struct CNBLOCK_V4 {
    static constexpr uint64_t kSize = 160;
    static constexpr uint32_t kPrecisionValid = 4;
    static constexpr uint32_t kRangeValid = 8;

    explicit CNBLOCK_V4(std::string const& channelName) : nameText(channelName) {}

    uint64_t nextChannel = 0;
    uint64_t name = 0;
    uint64_t conversion = 0;
    uint64_t unit = 0;
    uint64_t comment = 0;
    uint8_t channelType = 0;
    uint8_t syncType = 0;
    uint8_t dataType = 0;
    uint8_t bitOffset = 0;
    uint32_t byteOffset = 0;
    uint32_t bitCount = 0;
    uint32_t flags = 0;
    uint8_t precision = 0;
    double minimum = 0.0;
    double maximum = 0.0;

    // The blocks written behind the CN, in this order.
    TXBLOCK_V4 nameText;
    std::unique_ptr<TXBLOCK_V4> descriptionText;
    std::unique_ptr<TXBLOCK_V4> unitText;
    std::unique_ptr<CCBLOCK_V4> conversionBlock;

    // The CN followed by its texts and conversion.
    void Serialize(MdfByteBuffer& out) const;
};

struct EVBLOCK_V4 {
    static constexpr uint64_t kSize = 96;

    EVBLOCK_V4(std::string const& name, std::string const& comment) : nameText(name), commentText(comment) {}

    uint64_t nextEvent = 0;
    uint64_t name = 0;
    uint64_t comment = 0;
    int64_t syncBaseValue = 0;

    TXBLOCK_V4 nameText;
    TXBLOCK_V4 commentText;

    // The EV followed by its name and comment texts.
    void Serialize(MdfByteBuffer& out) const;
};

// Header of the data block that holds a group's records.
void SerializeDataBlockHeader(MdfByteBuffer& out, uint64_t recordBytes);
constexpr uint64_t kDataBlockHeaderSize = 24;
