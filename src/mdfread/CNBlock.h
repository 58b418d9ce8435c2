// A channel (CN): names, unit, comment, where its bits lie in a record, how
// the raw bits are read, and the conversion to its physical value.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>

#include "mdfread/BlockOp.h"

class CCCBlockOp;
class CCGBlockOp;

// Data-type codes shared by MDF 3 and MDF 4 channels.
enum MdfDataCode {
    CodeUnsignedLE = 0,
    CodeSignedLE = 1,
    CodeFloatLE = 2,
    CodeDoubleLE = 3,
    CodeUnsignedBE = 9,
    CodeSignedBE = 10,
    CodeFloatBE = 11,
    CodeDoubleBE = 12,
};

class CCNBlockOp : public CBlockOp {
public:
    CCNBlockOp(CMdfStream* file, CBlockOp* parent);
    ~CCNBlockOp() override;

    bool ReadData(unsigned long long offset, bool littleEndian) override;

    // Decoding; p = record start (after any record id) + byte offset +
    // start bit / 8. Only channels whose bits lie inside their record are
    // kept in a channel group, so these never read past the record.
    inline double getValue(char const* p) const;
    // getValue of count records laid stride bytes apart, the first at p,
    // into out: the layout is looked at once for all of them.
    void GetValues(char const* p, size_t stride, size_t count, double* out) const;
    // The raw integer: exactly the bytes the field spans, in the channel's
    // byte order, shifted, masked to the bit count (at most 64) and
    // sign-extended for signed codes. An unsigned value of 2^63 or more comes
    // back as its two's-complement bit pattern; GetUnsigned keeps it whole.
    long long GetInteger(char const* p) const { return (long long)GetUnsigned(p); }
    unsigned long long GetUnsigned(char const* p) const;
    double GetFloat(char const* p) const;

    bool GetChannelInfo(std::string& name, std::string& unit, std::string& comment) const;
    std::string GetUnit() const;
    CCNBlockOp* GetTimeChannel() const;
    CCGBlockOp* GetChannelGroup() const;

    const std::string& GetName() const { return m_name; }
    const std::string& GetComment() const { return m_comment; }
    CCCBlockOp* GetConversion() const { return m_conversion; }
    unsigned GetBitCount() const { return m_bitCount; }
    unsigned GetByteOffset() const { return m_byteOffset; }
    unsigned GetStartBit() const { return m_startBit; }
    int GetDataType() const { return m_dataType; }
    bool IsTimeChannel() const { return m_isTime; }
    bool IsFloat() const;
    bool IsSigned() const { return m_dataType == CodeSignedLE || m_dataType == CodeSignedBE; }
    std::map<double, std::string> GetStates() const;

    CCNBlockOp* GetNextCN() const { return m_nextCN; }
    void SetNextCN(CCNBlockOp* next) { m_nextCN = next; }
    unsigned long long GetNextChannelOffset() const { return m_nextOffset; }

    // The channel's bits lie inside a record of recordSize bytes.
    bool FitsRecord(unsigned long long recordSize) const;

    // What an MDF 4 channel's composition link leads to: the member channels
    // of a structure, or a channel array whose record field is its first
    // element. Neither is read; the channel is decoded from its own bits.
    enum class Composition : uint8_t { None, Structure, Array };
    Composition GetComposition() const { return m_composition; }
    // MDF 4 variable-length signal data: the record holds each value's offset
    // into the signal data, which is not read.
    bool IsVariableLength() const { return m_variableLength; }
    // An MDF 4 virtual time master: its times follow from the record number
    // and lie in no record; it does not count as a time channel.
    bool IsVirtualTimeMaster() const { return m_virtualTimeMaster; }
    // The MDF 4 data type of a channel that is neither a number nor a text or
    // byte array (MIME sample and stream, CANopen date and time, complex, and
    // any later type): it is read as the integer of its leading bits. 0 for
    // every other channel.
    unsigned GetUndecodedType() const { return m_undecodedType; }
    // Whether getValue reads the raw value from the channel's bits; a float of
    // a width no MDF version defines, or a code outside the table, reads 0.0.
    bool DecodesRawValue() const { return m_decoder != Decoder::None && m_decoder != Decoder::FloatOther; }

private:
    template <typename Use>
    inline auto WithRawLoader(Use&& use) const;
    double DecodeBitField(char const* p) const;
    double ApplyRule(double value) const;
    bool ReadMdf3(const std::vector<uint8_t>& bytes);
    bool ReadMdf4(const std::vector<uint8_t>& bytes);
    bool ReadConversion(unsigned long long link);
    void PrepareDecoding();

    CCNBlockOp* m_nextCN = nullptr;
    CCCBlockOp* m_conversion = nullptr;
    bool m_isTime = false;
    int m_dataType = CodeUnsignedLE;
    unsigned m_startBit = 0;
    unsigned m_bitCount = 0;
    unsigned m_byteOffset = 0;
    std::string m_name, m_unit, m_comment;
    unsigned long long m_nextOffset = 0;
    Composition m_composition = Composition::None;
    bool m_variableLength = false;
    bool m_virtualTimeMaster = false;

    // Decoding plan, fixed at read time: the common aligned layouts are read
    // with one load, everything else through the general bit-field path; a
    // linear or identity conversion is applied inline (same arithmetic as
    // its rule).
    enum class Kind { Integer, Float, None } m_kind = Kind::None;
    enum class Decoder : uint8_t {
        None, U8, S8, U16, S16, U32, S32, U64, S64, U16BE, S16BE, U32BE, S32BE, U64BE, S64BE,
        F32, F64, F32BE, F64BE, F16, F16BE, Bits, FloatOther
    } m_decoder = Decoder::None;
    enum class Scaling : uint8_t { None, Linear, Rule } m_scaling = Scaling::None;
    double m_slope = 1, m_offset = -0.0;
    bool m_bigEndian = false;
    bool m_aligned = false;
    unsigned m_shift = 0;
    unsigned m_spanBytes = 0;
    unsigned m_valueBits = 0;
    unsigned long long m_mask = 0;
    unsigned m_undecodedType = 0;
};

// ---- Decoding, inline: it runs once per channel per record -----------------

namespace mdfdecode {

template <typename T>
inline T Load(const char* p, bool bigEndian)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    if (bigEndian) {
        if constexpr (sizeof(T) == 2)
            v = T(__builtin_bswap16(uint16_t(v)));
        else if constexpr (sizeof(T) == 4)
            v = T(__builtin_bswap32(uint32_t(v)));
        else if constexpr (sizeof(T) == 8)
            v = T(__builtin_bswap64(uint64_t(v)));
    }
    return v;
}

template <typename F, typename U>
inline double LoadFloat(const char* p, bool bigEndian)
{
    U bits = Load<U>(p, bigEndian);
    F v;
    std::memcpy(&v, &bits, sizeof v);
    return double(v);
}

// An IEEE 754 half-precision value as the double that holds it exactly.
double HalfToDouble(uint16_t half);

}  // namespace mdfdecode

// Calls use(load) with the loader of the channel's layout: load(p) is the
// raw value getValue reads at p, before the conversion.
template <typename Use>
inline auto CCNBlockOp::WithRawLoader(Use&& use) const
{
    using namespace mdfdecode;
    switch (m_decoder) {
    case Decoder::U8: return use([](char const* p) { return double(uint8_t(p[0])); });
    case Decoder::S8: return use([](char const* p) { return double(int8_t(p[0])); });
    case Decoder::U16: return use([](char const* p) { return double(Load<uint16_t>(p, false)); });
    case Decoder::S16: return use([](char const* p) { return double(Load<int16_t>(p, false)); });
    case Decoder::U32: return use([](char const* p) { return double(Load<uint32_t>(p, false)); });
    case Decoder::S32: return use([](char const* p) { return double(Load<int32_t>(p, false)); });
    case Decoder::U64: return use([](char const* p) { return double(Load<uint64_t>(p, false)); });
    case Decoder::S64: return use([](char const* p) { return double(Load<int64_t>(p, false)); });
    case Decoder::U16BE: return use([](char const* p) { return double(Load<uint16_t>(p, true)); });
    case Decoder::S16BE: return use([](char const* p) { return double(Load<int16_t>(p, true)); });
    case Decoder::U32BE: return use([](char const* p) { return double(Load<uint32_t>(p, true)); });
    case Decoder::S32BE: return use([](char const* p) { return double(Load<int32_t>(p, true)); });
    case Decoder::U64BE: return use([](char const* p) { return double(Load<uint64_t>(p, true)); });
    case Decoder::S64BE: return use([](char const* p) { return double(Load<int64_t>(p, true)); });
    case Decoder::F32: return use([](char const* p) { return LoadFloat<float, uint32_t>(p, false); });
    case Decoder::F64: return use([](char const* p) { return LoadFloat<double, uint64_t>(p, false); });
    case Decoder::F32BE: return use([](char const* p) { return LoadFloat<float, uint32_t>(p, true); });
    case Decoder::F64BE: return use([](char const* p) { return LoadFloat<double, uint64_t>(p, true); });
    case Decoder::F16: return use([](char const* p) { return HalfToDouble(Load<uint16_t>(p, false)); });
    case Decoder::F16BE: return use([](char const* p) { return HalfToDouble(Load<uint16_t>(p, true)); });
    case Decoder::Bits: return use([this](char const* p) { return DecodeBitField(p); });
    default: return use([](char const*) { return 0.0; });
    }
}

inline double CCNBlockOp::getValue(char const* p) const
{
    const double value = WithRawLoader([p](auto load) { return load(p); });
    if (m_scaling == Scaling::Rule)
        return ApplyRule(value);
    // Without a rule slope is 1 and offset -0.0, which leaves every value,
    // -0.0 included, bit for bit as it is.
    return value * m_slope + m_offset;
}
