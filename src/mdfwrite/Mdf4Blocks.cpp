#include "mdfwrite/Mdf4Blocks.h"

#include "mdfwrite/MdfInfo.h"

namespace {

void BlockHeader(MdfByteBuffer& out, char const* type, uint64_t length, uint64_t linkCount)
{
    out.Bytes(type, 4);
    out.Zeros(4);
    out.U64(length);
    out.U64(linkCount);
}

}  // namespace

void IDBLOCK_V4::Serialize(MdfByteBuffer& out) const
{
    out.FixedText("MDF     ", 8, 8);
    out.FixedText("4.00", 8, 8);
    out.FixedText("orbk", 8, 8);
    out.Zeros(4);
    out.U16(400);
    out.Zeros(34);
}

void HDBLOCK_V4::Serialize(MdfByteBuffer& out) const
{
    BlockHeader(out, "##HD", kSize, 6);
    out.Link64(firstDataGroup);
    out.Link64(fileHistory);
    out.Link64(0);  // channel hierarchy
    out.Link64(0);  // attachment
    out.Link64(firstEvent);
    out.Link64(comment);
    out.U64(startTimeNs);
    out.I16(0);  // time zone offset
    out.I16(0);  // daylight saving offset
    out.U8(0);   // time flags: UTC
    out.U8(0);   // time quality class
    out.U8(0);   // flags
    out.U8(0);
    out.F64(0.0);  // start angle
    out.F64(0.0);  // start distance
}

void FHBLOCK_V4::Serialize(MdfByteBuffer& out) const
{
    BlockHeader(out, "##FH", kSize, 2);
    out.Link64(0);  // next file history
    out.Link64(comment);
    out.U64(timeNs);
    out.I16(0);
    out.I16(0);
    out.U8(0);
    out.Zeros(3);
}

TXBLOCK_V4::TXBLOCK_V4(std::string const& text, char const* type) : m_text(TextBeforeZero(text)), m_type(type) {}

uint64_t TXBLOCK_V4::GetLength() const { return GetStringStructSize(m_text.c_str()); }

void TXBLOCK_V4::Serialize(MdfByteBuffer& out) const
{
    uint64_t length = GetLength();
    BlockHeader(out, m_type, length, 0);
    out.Bytes(m_text.data(), m_text.size());
    out.Zeros(length - 24 - m_text.size());
}

void DGBLOCK_V4::Serialize(MdfByteBuffer& out) const
{
    BlockHeader(out, "##DG", kSize, 4);
    out.Link64(nextDataGroup);
    out.Link64(firstChannelGroup);
    out.Link64(data);
    out.Link64(0);  // comment
    out.U8(0);      // record id size: records carry none
    out.Zeros(7);
}

void CGBLOCK_V4::Serialize(MdfByteBuffer& out) const
{
    BlockHeader(out, "##CG", kSize, 6);
    out.Link64(0);  // next channel group
    out.Link64(firstChannel);
    out.Link64(acquisitionName);
    out.Link64(0);  // acquisition source
    out.Link64(0);  // sample reduction
    out.Link64(0);  // comment
    out.U64(1);     // record id
    out.U64(cycleCount);
    out.U16(0);  // flags
    out.Zeros(2);
    out.Zeros(4);
    out.U32(dataBytes);
    out.U32(0);  // invalidation bytes
}

uint64_t CCBLOCK_V4::GetLength() const
{
    uint64_t references = conversionType == kValueToText ? values.size() + 1 : 0;
    return 24 + 8 * (4 + references) + 24 + 8 * values.size();
}

void CCBLOCK_V4::Serialize(MdfByteBuffer& out) const
{
    bool valueToText = conversionType == kValueToText;
    uint64_t references = valueToText ? values.size() + 1 : 0;
    BlockHeader(out, "##CC", GetLength(), 4 + references);
    out.Link64(0);  // name
    out.Link64(unit);
    out.Link64(0);  // comment
    out.Link64(0);  // inverse
    if (valueToText) {
        for (uint64_t link : stateTextLinks)
            out.Link64(link);
        out.Link64(0);  // no default text
    }
    out.U8(conversionType);
    out.U8(0);   // precision
    out.U16(0);  // flags
    out.U16(static_cast<uint16_t>(references));
    out.U16(static_cast<uint16_t>(values.size()));
    out.F64(0.0);  // physical range
    out.F64(0.0);
    for (double value : values)
        out.F64(value);
    for (TXBLOCK_V4 const& text : stateTexts)
        text.Serialize(out);
}

void CNBLOCK_V4::Serialize(MdfByteBuffer& out) const
{
    BlockHeader(out, "##CN", kSize, 8);
    out.Link64(nextChannel);
    out.Link64(0);  // composition
    out.Link64(name);
    out.Link64(0);  // source
    out.Link64(conversion);
    out.Link64(0);  // signal data
    out.Link64(unit);
    out.Link64(comment);
    out.U8(channelType);
    out.U8(syncType);
    out.U8(dataType);
    out.U8(bitOffset);
    out.U32(byteOffset);
    out.U32(bitCount);
    out.U32(flags);
    out.U32(0);  // invalidation bit position
    out.U8(precision);
    out.U8(0);
    out.U16(0);  // attachments
    out.F64(minimum);
    out.F64(maximum);
    out.Zeros(4 * 8);  // limits and extended limits

    nameText.Serialize(out);
    if (descriptionText)
        descriptionText->Serialize(out);
    if (unitText)
        unitText->Serialize(out);
    if (conversionBlock)
        conversionBlock->Serialize(out);
}

void EVBLOCK_V4::Serialize(MdfByteBuffer& out) const
{
    BlockHeader(out, "##EV", kSize, 5);
    out.Link64(nextEvent);
    out.Link64(0);  // parent
    out.Link64(0);  // range
    out.Link64(name);
    out.Link64(comment);
    out.U8(6);  // marker
    out.U8(1);  // sync: time in seconds
    out.U8(1);  // start of a range
    out.U8(3);  // cause: script
    out.U8(0);  // flags
    out.Zeros(3);
    out.U32(0);  // scopes
    out.U16(0);  // attachments
    out.U16(0);  // creator index
    out.I64(syncBaseValue);
    out.F64(1e-6);

    nameText.Serialize(out);
    commentText.Serialize(out);
}

void SerializeDataBlockHeader(MdfByteBuffer& out, uint64_t recordBytes)
{
    BlockHeader(out, "##DT", recordBytes + kDataBlockHeaderSize, 0);
}
