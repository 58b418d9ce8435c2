#include "mdfread/CNBlock.h"

#include <cstring>
#include <vector>

#include "mdfread/CCBlock.h"
#include "mdfread/CGBlock.h"
#include "mdfread/TXBlock.h"

namespace {

// MDF 3 channel layout up to the additional byte offset; older writers end
// the block at 218 or 222 bytes, which reads as zero-filled.
constexpr size_t Mdf3Layout = 228;
constexpr size_t Mdf3Minimum = 192;
// MDF 4 fields after the links: channel type, sync type, data type, bit
// offset, byte offset, bit count.
constexpr uint64_t Mdf4Fixed = 12;

std::string FixedText(const uint8_t* p, size_t size)
{
    size_t length = 0;
    while (length < size && p[length] != 0)
        ++length;
    return std::string(reinterpret_cast<const char*>(p), length);
}

int CodeFromMdf3(unsigned stored, bool littleEndianFile)
{
    if (stored <= 3)
        return littleEndianFile ? int(stored) : int(stored) + 9;
    if (stored >= 13 && stored <= 16)
        return int(stored) - 13;
    return int(stored);
}

int CodeFromMdf4(unsigned stored, unsigned bits)
{
    switch (stored) {
    case 0: return CodeUnsignedLE;
    case 1: return CodeUnsignedBE;
    case 2: return CodeSignedLE;
    case 3: return CodeSignedBE;
    case 4: return bits == 64 ? CodeDoubleLE : CodeFloatLE;
    case 5: return bits == 64 ? CodeDoubleBE : CodeFloatBE;
    default: return CodeUnsignedLE;  // strings, byte arrays, ...: first bits as an integer
    }
}

}  // namespace

double mdfdecode::HalfToDouble(uint16_t half)
{
    const uint64_t sign = uint64_t(half >> 15) << 63;
    const uint64_t exponent = (half >> 10) & 0x1f;
    const uint64_t fraction = half & 0x3ff;
    if (exponent == 0) {  // zeros and subnormals: the fraction in units of 2^-24
        const double magnitude = double(fraction) * 0x1p-24;
        return sign ? -magnitude : magnitude;
    }
    // Infinities and NaNs (payload kept, made quiet as widening a float does),
    // else the exponent rebiased from 15 to 1023.
    const uint64_t bits = exponent == 0x1f ? sign | 0x7ffULL << 52 | fraction << 42 | (fraction ? 1ULL << 51 : 0)
                                           : sign | (exponent + 1008) << 52 | fraction << 42;
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

CCNBlockOp::CCNBlockOp(CMdfStream* file, CBlockOp* parent) : CBlockOp(file, parent, "CN") {}

CCNBlockOp::~CCNBlockOp() { delete m_conversion; }

bool CCNBlockOp::ReadData(unsigned long long offset, bool littleEndian)
{
    BLOCKHEAD head;
    if (ReadBlock(head, offset, littleEndian) == 0)
        return false;
    std::vector<uint8_t> bytes;
    if (!LoadBlock(bytes, Mdf3Minimum, Mdf3Layout, 8, Mdf4Fixed))
        return false;
    bool ok = IsMdf4() ? ReadMdf4(bytes) : ReadMdf3(bytes);
    PrepareDecoding();
    return ok;
}

bool CCNBlockOp::ReadMdf3(const std::vector<uint8_t>& bytes)
{
    const bool le = m_littleEndian;
    m_nextOffset = ReadU32(&bytes[4], le);
    const uint32_t conversionLink = ReadU32(&bytes[8], le);
    const uint32_t commentLink = ReadU32(&bytes[20], le);
    m_isTime = ReadU16(&bytes[24], le) == 1;
    m_startBit = ReadU16(&bytes[186], le);
    m_bitCount = ReadU16(&bytes[188], le);
    m_dataType = CodeFromMdf3(ReadU16(&bytes[190], le), le);
    const uint32_t longNameLink = ReadU32(&bytes[218], le);
    m_byteOffset = ReadU16(&bytes[226], le);

    if (longNameLink == 0)
        m_name = FixedText(&bytes[26], 32);
    else
        CTXBlockOp::ReadText(m_file, this, longNameLink, le, m_name);
    if (commentLink == 0)
        m_comment = FixedText(&bytes[58], 128);
    else
        CTXBlockOp::ReadText(m_file, this, commentLink, le, m_comment);
    return ReadConversion(conversionLink);
}

bool CCNBlockOp::ReadMdf4(const std::vector<uint8_t>& bytes)
{
    auto link = [&](int i) { return ReadU64(&bytes[24 + 8 * i], true); };
    const uint8_t* fields = &bytes[DataSectionStart()];
    m_nextOffset = link(0);
    const unsigned channelType = fields[0];
    const unsigned syncType = fields[1];
    const unsigned storedType = fields[2];
    m_startBit = fields[3];
    m_byteOffset = ReadU32(fields + 4, true);
    m_bitCount = ReadU32(fields + 8, true);
    m_isTime = channelType == 2 && syncType == 1;
    m_virtualTimeMaster = channelType == 3 && syncType == 1;
    m_variableLength = channelType == 1;
    m_dataType = CodeFromMdf4(storedType, m_bitCount);
    // Types 6 to 10 are texts and byte arrays; those above hold no integer.
    if (storedType > 10)
        m_undecodedType = storedType;
    // Only the kind of block the composition link leads to is looked at: a
    // link that does not lead to a sound block leaves the channel as it is.
    const std::string composition = Mdf4BlockIdAt(m_file, link(1));
    if (composition == "##CN")
        m_composition = Composition::Structure;
    else if (composition == "##CA")
        m_composition = Composition::Array;

    if (CTXBlockOp::ReadText(m_file, this, link(2), true, m_name)) {
        size_t end = m_name.find_last_not_of(" \r\n\t");
        if (end != std::string::npos)
            m_name.erase(end + 1);
    }
    // A unit or comment may be an XML block: its TX element is the text.
    CTXBlockOp::ReadText(m_file, this, link(6), true, m_unit);
    CTXBlockOp::ReadText(m_file, this, link(7), true, m_comment);
    return ReadConversion(link(4));
}

bool CCNBlockOp::ReadConversion(unsigned long long link)
{
    if (link == 0)
        return true;
    m_conversion = new CCCBlockOp(m_file, this);
    if (m_conversion->ReadData(link, m_littleEndian))
        return true;
    ReportBlock("Conversion block cannot be read", link);
    return false;
}

void CCNBlockOp::PrepareDecoding()
{
    switch (m_dataType) {
    case CodeUnsignedLE: case CodeSignedLE: case CodeUnsignedBE: case CodeSignedBE:
        m_kind = Kind::Integer;
        break;
    case CodeFloatLE: case CodeDoubleLE: case CodeFloatBE: case CodeDoubleBE:
        m_kind = Kind::Float;
        break;
    default:
        m_kind = Kind::None;
        break;
    }
    m_bigEndian = m_dataType > 8;
    m_shift = m_startBit % 8;
    m_valueBits = m_bitCount < 64 ? m_bitCount : 64;
    m_spanBytes = (m_shift + m_valueBits + 7) / 8;
    m_mask = m_valueBits == 64 ? ~0ULL : (1ULL << m_valueBits) - 1;
    m_aligned = m_shift == 0 && (m_valueBits == 8 || m_valueBits == 16 || m_valueBits == 32 || m_valueBits == 64);

    const bool isSigned = IsSigned();
    if (m_kind == Kind::Float) {
        if (m_bitCount == 16)
            m_decoder = m_bigEndian ? Decoder::F16BE : Decoder::F16;
        else if (m_bitCount == 32)
            m_decoder = m_bigEndian ? Decoder::F32BE : Decoder::F32;
        else if (m_bitCount == 64)
            m_decoder = m_bigEndian ? Decoder::F64BE : Decoder::F64;
        else
            m_decoder = Decoder::FloatOther;
    } else if (m_kind == Kind::Integer && m_aligned) {
        static const Decoder table[2][2][4] = {
            {{Decoder::U8, Decoder::U16, Decoder::U32, Decoder::U64}, {Decoder::S8, Decoder::S16, Decoder::S32, Decoder::S64}},
            {{Decoder::U8, Decoder::U16BE, Decoder::U32BE, Decoder::U64BE},
             {Decoder::S8, Decoder::S16BE, Decoder::S32BE, Decoder::S64BE}}};
        int width = m_valueBits == 8 ? 0 : m_valueBits == 16 ? 1 : m_valueBits == 32 ? 2 : 3;
        m_decoder = table[m_bigEndian][isSigned][width];
    } else if (m_kind == Kind::Integer) {
        m_decoder = Decoder::Bits;
    } else {
        m_decoder = Decoder::None;
    }

    m_scaling = Scaling::None;
    m_slope = 1;
    m_offset = -0.0;
    if (m_conversion && m_conversion->GetRule()) {
        CConversionType* rule = m_conversion->GetRule();
        if (dynamic_cast<CLinear*>(rule) && rule->GetLinearFormula(m_slope, m_offset))
            m_scaling = Scaling::Linear;
        else if (!dynamic_cast<COne2One*>(rule))
            m_scaling = Scaling::Rule;
    }
}

bool CCNBlockOp::FitsRecord(unsigned long long recordSize) const
{
    unsigned long long end = (unsigned long long)m_byteOffset + (m_startBit + (unsigned long long)m_bitCount + 7) / 8;
    if (m_kind == Kind::Float) {
        unsigned long long floatEnd = (unsigned long long)m_byteOffset + m_startBit / 8 + (m_bitCount == 64 ? 8 : 4);
        if (floatEnd > end && (m_bitCount == 32 || m_bitCount == 64))
            end = floatEnd;
    }
    return end <= recordSize;
}

unsigned long long CCNBlockOp::GetUnsigned(char const* text) const
{
    const auto* p = reinterpret_cast<const uint8_t*>(text);
    uint64_t value;
    if (m_aligned) {
        switch (m_spanBytes) {
        case 1: value = p[0]; break;
        case 2: value = ReadU16(p, !m_bigEndian); break;
        case 4: value = ReadU32(p, !m_bigEndian); break;
        default: value = ReadU64(p, !m_bigEndian); break;
        }
    } else if (!m_bigEndian) {
        uint64_t low = 0;
        for (unsigned i = 0; i < m_spanBytes && i < 8; ++i)
            low |= uint64_t(p[i]) << (8 * i);
        value = low >> m_shift;
        if (m_spanBytes == 9)  // only when shift > 0
            value |= uint64_t(p[8]) << (64 - m_shift);
    } else {
        unsigned __int128 word = 0;
        for (unsigned i = 0; i < m_spanBytes; ++i)
            word = word << 8 | p[i];
        value = uint64_t(word >> m_shift);
    }
    value &= m_mask;
    if (IsSigned() && m_valueBits > 0 && m_valueBits < 64) {
        uint64_t sign = 1ULL << (m_valueBits - 1);
        value = (value ^ sign) - sign;
    }
    return value;
}

double CCNBlockOp::GetFloat(char const* text) const
{
    const auto* p = reinterpret_cast<const uint8_t*>(text);
    const bool little = m_dataType < 9;
    if (m_bitCount == 16)
        return mdfdecode::HalfToDouble(ReadU16(p, little));
    if (m_bitCount == 32)
        return ReadF32(p, little);
    if (m_bitCount == 64)
        return ReadF64(p, little);
    return 0.0;
}

void CCNBlockOp::GetValues(char const* p, size_t stride, size_t count, double* out) const
{
    WithRawLoader([&](auto load) {
        for (size_t i = 0; i < count; ++i)
            out[i] = load(p + i * stride);
    });
    if (m_scaling == Scaling::Rule) {
        for (size_t i = 0; i < count; ++i)
            out[i] = ApplyRule(out[i]);
        return;
    }
    for (size_t i = 0; i < count; ++i)
        out[i] = out[i] * m_slope + m_offset;
}

double CCNBlockOp::DecodeBitField(char const* p) const
{
    return IsSigned() ? double((long long)GetUnsigned(p)) : double(GetUnsigned(p));
}

double CCNBlockOp::ApplyRule(double value) const
{
    m_conversion->GetPhyVal(value);
    return value;
}

bool CCNBlockOp::IsFloat() const { return m_kind == Kind::Float; }

bool CCNBlockOp::GetChannelInfo(std::string& name, std::string& unit, std::string& comment) const
{
    name = m_name;
    comment = m_comment;
    if (!m_unit.empty()) {
        unit = m_unit;
        return true;
    }
    if (m_conversion) {
        unit = m_conversion->GetUnit();
        return true;
    }
    return false;
}

std::string CCNBlockOp::GetUnit() const
{
    if (!m_unit.empty())
        return m_unit;
    return m_conversion ? std::string(m_conversion->GetUnit()) : std::string();
}

std::map<double, std::string> CCNBlockOp::GetStates() const
{
    return m_conversion ? m_conversion->GetStates() : std::map<double, std::string>();
}

CCGBlockOp* CCNBlockOp::GetChannelGroup() const { return dynamic_cast<CCGBlockOp*>(m_parent); }

CCNBlockOp* CCNBlockOp::GetTimeChannel() const
{
    CCGBlockOp* group = GetChannelGroup();
    if (!group)
        return nullptr;
    for (CCNBlockOp* cn = group->GetFirstCN(); cn; cn = cn->GetNextCN())
        if (cn->IsTimeChannel())
            return cn;
    return nullptr;
}
