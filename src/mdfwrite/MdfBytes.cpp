#include "mdfwrite/MdfBytes.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>

void MdfByteBuffer::PutLittleEndian(uint64_t value, unsigned byteCount)
{
    for (unsigned i = 0; i < byteCount; ++i)
        m_bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void MdfByteBuffer::U8(uint8_t value) { m_bytes.push_back(value); }
void MdfByteBuffer::U16(uint16_t value) { PutLittleEndian(value, 2); }
void MdfByteBuffer::U32(uint32_t value) { PutLittleEndian(value, 4); }
void MdfByteBuffer::U64(uint64_t value) { PutLittleEndian(value, 8); }
void MdfByteBuffer::I16(int16_t value) { PutLittleEndian(static_cast<uint16_t>(value), 2); }
void MdfByteBuffer::I64(int64_t value) { PutLittleEndian(static_cast<uint64_t>(value), 8); }

void MdfByteBuffer::F64(double value)
{
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    PutLittleEndian(bits, 8);
}

void MdfByteBuffer::Link32(uint64_t position)
{
    if (position > std::numeric_limits<uint32_t>::max()) {
        m_linkOverflow = true;
        position = 0;
    }
    U32(static_cast<uint32_t>(position));
}

void MdfByteBuffer::FixedText(std::string const& text, size_t fieldSize, size_t maxChars)
{
    size_t length = std::strlen(text.c_str());
    if (length > maxChars)
        length = maxChars;
    if (length > fieldSize)
        length = fieldSize;
    Bytes(text.data(), length);
    Zeros(fieldSize - length);
}

void MdfByteBuffer::Bytes(void const* data, size_t size)
{
    auto const* bytes = static_cast<uint8_t const*>(data);
    m_bytes.insert(m_bytes.end(), bytes, bytes + size);
}

void MdfByteBuffer::Zeros(size_t count) { m_bytes.insert(m_bytes.end(), count, 0); }

std::string TextBeforeZero(std::string const& text) { return std::string(text.c_str()); }

float ToFloat32(double value)
{
    // Finite doubles at or beyond FLT_MAX plus half its last place round to
    // infinity; below that they round to at most FLT_MAX.
    static double const overflowThreshold = std::ldexp(1.0, 128) - std::ldexp(1.0, 103);
    if (std::isnan(value))
        return std::numeric_limits<float>::quiet_NaN();
    if (std::fabs(value) >= overflowThreshold)
        return value > 0 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
    if (std::fabs(value) > FLT_MAX)
        return value > 0 ? FLT_MAX : -FLT_MAX;
    return static_cast<float>(value);
}
