#include "mdfwrite/Mdf3Blocks.h"

namespace {

void BlockHead(MdfByteBuffer& out, char const* type, uint64_t size)
{
    out.Bytes(type, 2);
    out.U16(static_cast<uint16_t>(size));
}

}  // namespace

void IDBLOCK_WRITE::Serialize(MdfByteBuffer& out) const
{
    out.FixedText("MDF     ", 8, 8);
    out.FixedText("3.30", 8, 8);
    out.FixedText("orbk", 8, 8);
    out.U16(0);    // little-endian
    out.U16(0);    // IEEE 754
    out.U16(330);  // version number
    out.Zeros(34);
}

void HDBLOCK_WRITE::Serialize(MdfByteBuffer& out) const
{
    BlockHead(out, "HD", kSize);
    out.Link32(firstDataGroup);
    out.Link32(0);  // file comment
    out.Link32(0);  // program block
    out.U16(dataGroupCount);
    out.FixedText(date, 10, 10);
    out.FixedText(time, 8, 8);
    out.FixedText(author, 32, 32);
    out.FixedText("", 32, 32);  // organisation
    out.FixedText(project, 32, 32);
    out.FixedText(subject, 32, 32);
    out.U64(startTimeNs);
    out.I16(0);  // UTC offset in hours
    out.U16(0);  // time quality class
    out.Zeros(32);  // timer identification
}

void DGBLOCK_WRITE::Serialize(MdfByteBuffer& out) const
{
    BlockHead(out, "DG", kSize);
    out.Link32(nextDataGroup);
    out.Link32(firstChannelGroup);
    out.Link32(0);  // trigger block
    out.Link32(data);
    out.U16(1);  // channel groups
    out.U16(0);  // record ids: records carry none
    out.U32(0);
}

void CGBLOCK_WRITE::Serialize(MdfByteBuffer& out) const
{
    BlockHead(out, "CG", kSize);
    out.Link32(0);  // next channel group
    out.Link32(firstChannel);
    out.Link32(comment);
    out.U16(1);  // record id
    out.U16(channelCount);
    out.U16(recordSize);
    out.U32(recordCount);
}

void CNBLOCK_WRITE::Serialize(MdfByteBuffer& out) const
{
    BlockHead(out, "CN", kSize);
    out.Link32(nextChannel);
    out.Link32(conversion);
    out.Link32(0);  // extension
    out.Link32(0);  // dependency
    out.Link32(0);  // comment
    out.U16(channelType);
    out.FixedText(shortName, 32, 31);
    out.FixedText(description, 128, 127);
    out.U16(startOffsetBits);
    out.U16(bitCount);
    out.U16(signalType);
    out.U16(rangeValid ? 1 : 0);
    out.F64(rangeValid ? minimum : 0.0);
    out.F64(rangeValid ? maximum : 0.0);
    out.F64(0.0);  // sampling rate
    out.Link32(longName);
    out.Link32(0);  // display name
    out.U16(additionalByteOffset);
}

uint64_t CCBLOCK_WRITE::Size() const
{
    return conversionType == kTextTable ? 46 + 40 * static_cast<uint64_t>(states.size()) : 62;
}

void CCBLOCK_WRITE::Serialize(MdfByteBuffer& out) const
{
    BlockHead(out, "CC", Size());
    out.U16(0);  // physical range valid
    out.F64(0.0);
    out.F64(0.0);
    std::string shownUnit = TextBeforeZero(unit);
    out.FixedText(shownUnit.empty() ? std::string("-") : shownUnit, 20, 19);
    out.U16(conversionType);
    if (conversionType == kTextTable) {
        out.U16(static_cast<uint16_t>(states.size()));
        for (auto const& state : states) {
            out.F64(state.first);
            out.FixedText(state.second, 32, 31);
        }
    } else {
        out.U16(2);
        out.F64(p1);
        out.F64(p2);
    }
}

TXBLOCK::TXBLOCK(std::string const& text_) : text(TextBeforeZero(text_))
{
    if (text.size() > kMaxTextLength)
        text.resize(kMaxTextLength);
}

void TXBLOCK::Serialize(MdfByteBuffer& out) const
{
    BlockHead(out, "TX", Size());
    out.Bytes(text.data(), text.size());
    out.U8(0);
}
