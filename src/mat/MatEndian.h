// Little-endian encoding of the words of a MAT file, independent of the
// host's byte order.
#pragma once

#include <cstdint>
#include <cstring>

namespace mat {

constexpr bool kHostIsLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

inline void PutU16LE(uint8_t* out, uint16_t value)
{
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
}

inline void PutU32LE(uint8_t* out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline void PutU64LE(uint8_t* out, uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        out[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline void PutDoubleLE(uint8_t* out, double value)
{
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    PutU64LE(out, bits);
}

// A data element tag: type and byte count, 8 bytes.
inline void PutTag(uint8_t* out, uint32_t type, uint32_t bytes)
{
    PutU32LE(out, type);
    PutU32LE(out + 4, bytes);
}

}  // namespace mat
