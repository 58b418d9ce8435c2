// The tests' one maker of MDF files: MDF 3 and MDF 4 blocks laid out byte by
// byte in one image and linked by offset, so that a test can break any field
// on purpose.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace mdftest {

using Bytes = std::vector<uint8_t>;

// A little-endian value of n bytes, a double's bytes, and pieces appended.
Bytes LE(uint64_t v, int n);
Bytes LEF64(double v);
void Add(Bytes& to, std::initializer_list<Bytes> pieces);

// Each block function appends a block and returns its offset. The header must
// be the first block (it lies at offset 64).
class MdfBuilder {
public:
    explicit MdfBuilder(bool mdf4, bool bigEndian = false);  // MDF 4 is always little-endian

    Bytes bytes;
    uint64_t size() const { return bytes.size(); }
    // Fields in the file's byte order.
    void U16(uint64_t at, uint64_t v) { Put(at, v, 2); }
    void U32(uint64_t at, uint64_t v) { Put(at, v, 4); }
    void U64(uint64_t at, uint64_t v) { Put(at, v, 8); }
    void Text(uint64_t at, const std::string& text) { std::copy(text.begin(), text.end(), bytes.begin() + at); }
    uint64_t Append(const Bytes& data);

    uint64_t Block3(const char* id, size_t size);  // zero-filled, with its head
    uint64_t Hd3(const std::string& date = "", const std::string& time = "");
    uint64_t Dg3(uint64_t cg, uint64_t data, unsigned recordIds = 0);
    uint64_t Cg3(uint64_t cn, unsigned recordId, unsigned recordSize, uint32_t records);
    uint64_t Cn3(const std::string& name, bool isTime, unsigned startBit, unsigned bits, unsigned dataType,
                 uint64_t cc = 0, size_t size = 228);
    uint64_t Tx3(const std::string& text);
    void Link3(uint64_t block, unsigned field, uint64_t target) { U32(block + field, target); }

    uint64_t Block4(const char* id, const std::vector<uint64_t>& links, const Bytes& data);
    uint64_t Hd4(uint64_t dg, uint64_t startNs = 1167609600ULL * 1000000000ULL);  // default: time 0
    uint64_t Dg4(uint64_t cg, uint64_t data, unsigned recordIdSize = 0);
    uint64_t Cg4(uint64_t cn, uint64_t recordId, uint64_t cycles, uint32_t dataBytes);
    uint64_t Cn4(uint64_t name, unsigned channelType, unsigned syncType, unsigned dataType, unsigned bitOffset,
                 uint32_t byteOffset, uint32_t bits, uint64_t cc = 0, uint64_t comment = 0);
    uint64_t Cc4(unsigned type, const std::vector<uint64_t>& refs, const std::vector<double>& values,
                 uint64_t unit = 0);
    uint64_t Tx4(const std::string& text, const char* id = "##TX");
    uint64_t Dt4(const Bytes& data, const char* id = "##DT") { return Block4(id, {}, data); }
    uint64_t Dl4(uint64_t next, const std::vector<uint64_t>& blocks);
    void Link4(uint64_t block, int index, uint64_t target) { U64(block + 24 + 8 * index, target); }
    // Links MDF 4 blocks into a chain by their first link; returns the first.
    uint64_t Chain4(const std::vector<uint64_t>& blocks);

    void Save(const std::string& path) const;

private:
    void Put(uint64_t at, uint64_t v, int n);
    bool m_little;
};

}  // namespace mdftest
