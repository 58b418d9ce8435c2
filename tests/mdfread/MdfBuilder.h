// The tests' one maker of MDF files: lays out MDF 3 and MDF 4 blocks byte by
// byte, appended to one image and linked by offset, so a test can also break
// any field on purpose; and, on top of that, whole files of channel groups
// with given values (WriteGroups).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace mdftest {

// Bytes of a little-endian value.
std::vector<uint8_t> LE(uint64_t v, int n);
std::vector<uint8_t> LEF64(double v);

class MdfBuilder {
public:
    // MDF 3 (little- or big-endian) or MDF 4 (always little-endian).
    explicit MdfBuilder(bool mdf4, bool bigEndian = false);

    std::vector<uint8_t> bytes;
    uint64_t size() const { return bytes.size(); }

    // Fields at an offset, in the file's byte order.
    void U8(uint64_t at, uint64_t v) { bytes.at(at) = uint8_t(v); }
    void U16(uint64_t at, uint64_t v) { Put(at, v, 2); }
    void U32(uint64_t at, uint64_t v) { Put(at, v, 4); }
    void U64(uint64_t at, uint64_t v) { Put(at, v, 8); }
    void F64(uint64_t at, double v);
    void Text(uint64_t at, const std::string& text);
    uint64_t Append(const std::vector<uint8_t>& data);

    // ---- MDF 3: each returns the block's offset ----
    uint64_t Block3(const char* id, size_t size);  // zero-filled, with its head
    uint64_t Hd3(const std::string& date = "", const std::string& time = "");
    uint64_t Dg3(uint64_t cg, uint64_t data, unsigned recordIds = 0);
    uint64_t Cg3(uint64_t cn, unsigned recordId, unsigned recordSize, uint32_t records);
    uint64_t Cn3(const std::string& name, bool isTime, unsigned startBit, unsigned bits, unsigned dataType,
                 uint64_t cc = 0, size_t size = 228);
    uint64_t Cc3(unsigned type, const std::vector<double>& params, const std::string& unit = "");
    uint64_t Tx3(const std::string& text);
    // The 32-bit link at a field offset of an MDF 3 block.
    void Link3(uint64_t block, unsigned field, uint64_t target) { U32(block + field, target); }

    // ---- MDF 4 ----
    uint64_t Block4(const char* id, const std::vector<uint64_t>& links, const std::vector<uint8_t>& data);
    uint64_t Hd4(uint64_t dg, uint64_t startNs = 1167609600ULL * 1000000000ULL);  // default: time 0
    uint64_t Dg4(uint64_t cg, uint64_t data, unsigned recordIdSize = 0);
    uint64_t Cg4(uint64_t cn, uint64_t recordId, uint64_t cycles, uint32_t dataBytes);
    uint64_t Cn4(uint64_t name, unsigned channelType, unsigned syncType, unsigned dataType, unsigned bitOffset,
                 uint32_t byteOffset, uint32_t bits, uint64_t cc = 0, uint64_t unit = 0, uint64_t comment = 0);
    uint64_t Cc4(unsigned type, const std::vector<uint64_t>& refs, const std::vector<double>& values,
                 uint64_t unit = 0);
    uint64_t Tx4(const std::string& text, const char* id = "##TX");
    uint64_t Dt4(const std::vector<uint8_t>& data, const char* id = "##DT") { return Block4(id, {}, data); }
    uint64_t Dl4(uint64_t next, const std::vector<uint64_t>& blocks);
    // Link i of an MDF 4 block.
    void Link4(uint64_t block, int index, uint64_t target) { U64(block + 24 + 8 * index, target); }

    void Save(const std::string& path) const;

private:
    void Put(uint64_t at, uint64_t v, int n);
    bool m_little;
};

// A channel of a generated group: a raw value per record, with a linear
// conversion {offset, factor} or a value-to-text table when given.
struct GenChannel {
    std::string name, comment;
    unsigned type = 0, bits = 8;  // MDF 4 data type: 0 unsigned, 2 signed, 4 float
    uint32_t byteOffset = 0;  // 0: behind the channel before; else placed there, taking no room
    std::vector<double> values;
    std::vector<double> linear;
    std::map<double, std::string> states;
};

struct GenGroup {
    std::vector<double> times;  // one per record
    std::vector<GenChannel> channels;
    std::string timeComment;  // "message | network" names the group's message
    bool timed = true;
};

// An MDF 4 file starting at 2007-01-01 UTC (time 0), one data group per
// group: a float64 time channel (when timed), then the channels back to back.
void WriteGroups(const std::string& path, const std::vector<GenGroup>& groups);

}  // namespace mdftest
