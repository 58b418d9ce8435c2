// Little-endian field writer for MDF block images. Every block is written
// field by field into a byte buffer (never by copying a compiler struct), and
// a group's or header's blocks go out in one stream write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

class MdfByteBuffer {
public:
    void U8(uint8_t value);
    void U16(uint16_t value);
    void U32(uint32_t value);
    void U64(uint64_t value);
    void I16(int16_t value);
    void I64(int64_t value);
    void F64(double value);
    // An MDF 3 link: a 32-bit file position. A position that does not fit is
    // written as 0 and marks the buffer, so a truncated link never reaches a
    // file unnoticed.
    void Link32(uint64_t position);
    void Link64(uint64_t position) { U64(position); }
    // A fixed-size text field: at most maxChars bytes of text (the text ends
    // at its first zero byte), then zero bytes up to fieldSize.
    void FixedText(std::string const& text, size_t fieldSize, size_t maxChars);
    void Bytes(void const* data, size_t size);
    void Zeros(size_t count);

    size_t Size() const { return m_bytes.size(); }
    uint8_t const* Data() const { return m_bytes.data(); }
    bool LinkOverflow() const { return m_linkOverflow; }

private:
    void PutLittleEndian(uint64_t value, unsigned byteCount);

    std::vector<uint8_t> m_bytes;
    bool m_linkOverflow = false;
};

// The text up to its first zero byte: the MDF text blocks end there.
std::string TextBeforeZero(std::string const& text);

// Narrows a double to an IEEE single the way IEEE round-to-nearest does,
// including overflow to infinity, without relying on an out-of-range
// conversion.
float ToFloat32(double value);
