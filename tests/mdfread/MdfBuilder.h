// Lays out MDF 3 and MDF 4 files byte by byte for the reader's tests: blocks
// are appended to one image and linked by offset, so a test can also break
// any field on purpose.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mdftest {

class MdfBuilder {
public:
    // MDF 3 (little- or big-endian) or MDF 4 (always little-endian).
    MdfBuilder(bool mdf4, bool bigEndian = false);

    std::vector<uint8_t> bytes;
    uint64_t size() const { return bytes.size(); }

    // Integers and doubles at an offset, in the file's byte order.
    void U8(uint64_t at, uint64_t v) { bytes.at(at) = uint8_t(v); }
    void U16(uint64_t at, uint64_t v) { Put(at, v, 2); }
    void U32(uint64_t at, uint64_t v) { Put(at, v, 4); }
    void U64(uint64_t at, uint64_t v) { Put(at, v, 8); }
    void F64(uint64_t at, double v);
    void Text(uint64_t at, const std::string& text);
    uint64_t Append(const std::vector<uint8_t>& data);
    uint64_t AppendZeros(size_t count);

    // ---- MDF 3 ----
    // A zero-filled block of size bytes with its head; returns its offset.
    uint64_t Block3(const char* id, size_t size);
    uint64_t Hd3(const std::string& date = "", const std::string& time = "");
    uint64_t Dg3(uint64_t cg, uint64_t data, unsigned recordIds = 0);
    uint64_t Cg3(uint64_t cn, unsigned recordId, unsigned recordSize, uint32_t records);
    uint64_t Cn3(const std::string& name, bool isTime, unsigned startBit, unsigned bits, unsigned dataType,
                 unsigned byteOffset = 0, uint64_t cc = 0, size_t size = 228);
    uint64_t Cc3(unsigned type, const std::vector<double>& params, const std::string& unit = "");
    uint64_t Tx3(const std::string& text);

    // ---- MDF 4 ----
    uint64_t Block4(const char* id, const std::vector<uint64_t>& links, const std::vector<uint8_t>& data);
    uint64_t Hd4(uint64_t dg, uint64_t startNs);
    uint64_t Dg4(uint64_t cg, uint64_t data, unsigned recordIdSize = 0);
    uint64_t Cg4(uint64_t cn, uint64_t recordId, uint64_t cycles, uint32_t dataBytes, uint32_t invalBytes = 0);
    uint64_t Cn4(uint64_t name, unsigned channelType, unsigned syncType, unsigned dataType, unsigned bitOffset,
                 uint32_t byteOffset, uint32_t bits, uint64_t cc = 0, uint64_t unit = 0, uint64_t comment = 0);
    uint64_t Cc4(unsigned type, const std::vector<uint64_t>& refs, const std::vector<double>& values,
                 uint64_t unit = 0);
    uint64_t Tx4(const std::string& text, const char* id = "##TX");
    uint64_t Dt4(const std::vector<uint8_t>& data, const char* id = "##DT");
    uint64_t Dl4(uint64_t next, const std::vector<uint64_t>& blocks);

    // Link i of an MDF 4 block, or the 32-bit link at a field offset of an
    // MDF 3 block.
    void Link4(uint64_t block, int index, uint64_t target) { U64(block + 24 + 8 * index, target); }
    void Link3(uint64_t block, unsigned field, uint64_t target) { U32(block + field, target); }

    // Writes the image to path.
    void Save(const std::string& path) const;

private:
    void Put(uint64_t at, uint64_t v, int n);
    bool m_mdf4;
    bool m_little;
};

// Bytes of a little-endian value.
std::vector<uint8_t> LE(uint64_t v, int n);
std::vector<uint8_t> LEF64(double v);

}  // namespace mdftest
