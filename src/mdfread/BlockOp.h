// Block heads, byte-order helpers and the open file that a whole MDF block
// tree shares.
//
// Every offset, length and count taken from a file is checked here or where
// it is read: a block must lie inside the file, carry at least the links and
// fixed fields the reader takes from it, and no chain may visit a block twice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class CCCBlockOp;

// ---- Byte order ------------------------------------------------------------

// The host is little-endian (x86-64); big-endian fields are byte-swapped.
inline uint16_t ReadU16(const uint8_t* p, bool littleEndian)
{
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return littleEndian ? v : __builtin_bswap16(v);
}

inline uint32_t ReadU32(const uint8_t* p, bool littleEndian)
{
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return littleEndian ? v : __builtin_bswap32(v);
}

inline uint64_t ReadU64(const uint8_t* p, bool littleEndian)
{
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return littleEndian ? v : __builtin_bswap64(v);
}

double ReadF64(const uint8_t* p, bool littleEndian);
float ReadF32(const uint8_t* p, bool littleEndian);

// ---- The open file ---------------------------------------------------------

// The one FILE* of a file object, its size, and the block offsets already
// visited by the chains. Reads are bounded by the file size. Small reads are
// served from a window of the file read ahead in one piece, so reading
// records one after the other costs a copy each and a file read per window;
// a text read elsewhere in between only moves the window.
class CMdfStream {
public:
    CMdfStream() = default;
    ~CMdfStream();
    CMdfStream(const CMdfStream&) = delete;
    CMdfStream& operator=(const CMdfStream&) = delete;

    // path: the bytes of the file name.
    bool Open(const std::string& path);
    uint64_t Size() const { return m_size; }
    bool Contains(uint64_t offset, uint64_t length) const
    {
        return offset <= m_size && length <= m_size - offset;
    }
    // Reads exactly count bytes at offset; false (and nothing promised about
    // buffer) when they do not all lie in the file or the read fails.
    bool ReadAt(uint64_t offset, void* buffer, size_t count);
    // Records a block of a chain; false when it was visited before.
    bool Visit(uint64_t offset) { return m_visited.insert(offset).second; }
    // Claims bytes of the file as one data group's records; false when they
    // overlap bytes claimed before (or the range wraps). No two groups read
    // the same data.
    bool Claim(uint64_t offset, uint64_t length);

    // Conversion blocks nested in tables, read once per file and shared by
    // every table that references them; null marks one that could not be
    // read.
    std::unordered_map<uint64_t, std::shared_ptr<CCCBlockOp>>& NestedConversions() { return m_nestedConversions; }
    // Adds to the work spent on nested conversions (references followed,
    // states gathered); false once the total exceeds what the file's size
    // allows, so that tables referencing each other many times over cost
    // time and memory in proportion to the file.
    bool ChargeNestingWork(uint64_t units);

private:
    bool ReadFromFile(uint64_t offset, void* buffer, size_t count);

    FILE* m_file = nullptr;
    uint64_t m_size = 0;
    uint64_t m_position = UINT64_MAX;  // of the stdio stream; unknown
    std::vector<char> m_window;
    uint64_t m_windowStart = 0;
    size_t m_windowLength = 0;
    std::unordered_set<uint64_t> m_visited;
    std::map<uint64_t, uint64_t> m_claims;  // first byte -> byte after the last
    std::unordered_map<uint64_t, std::shared_ptr<CCCBlockOp>> m_nestedConversions;
    uint64_t m_nestingWork = 0;
};

// ---- Blocks ----------------------------------------------------------------

// Scratch for the first bytes of a block: "XX" and the size in MDF 3, "##XX"
// in MDF 4.
struct BLOCKHEAD {
    char id[4];
};

class CBlockOp {
public:
    CBlockOp(CMdfStream* file, CBlockOp* parent, const char* identifier);
    virtual ~CBlockOp() = default;
    CBlockOp(const CBlockOp&) = delete;
    CBlockOp& operator=(const CBlockOp&) = delete;

    virtual bool ReadData(unsigned long long offset, bool littleEndian) = 0;

    // Reads and checks the head of the block at offset (0 is "no block" and
    // fails). Returns the block length, 0 on failure.
    unsigned long long ReadBlock(BLOCKHEAD& head, unsigned long long offset, bool littleEndian);

protected:
    bool IsMdf4() const { return m_headerSize == 24; }
    // After a successful ReadBlock: the whole block into bytes. An MDF 3
    // block needs at least mdf3Minimum bytes and reads as if zero-filled to
    // mdf3Layout bytes; an MDF 4 block needs minLinks links and fixedBytes
    // bytes after its links.
    bool LoadBlock(std::vector<uint8_t>& bytes, size_t mdf3Minimum, size_t mdf3Layout, uint64_t minLinks,
                   uint64_t fixedBytes);
    // Position of the first byte after the links of an MDF 4 block.
    uint64_t DataSectionStart() const { return 24 + 8 * m_linkCount; }

    const char* m_identifier;
    CMdfStream* m_file;
    CBlockOp* m_parent;
    unsigned m_headerSize = 4;
    unsigned long long m_linkCount = 0;
    unsigned long long m_blockLength = 0;
    unsigned long long m_blockOffset = 0;
    bool m_littleEndian = true;
};

// The identifier ("##CN", "##CA", ...) of the MDF 4 block whose head lies at
// offset, or an empty text when no sound block head lies there (offset 0,
// outside the file, or a length or link count the file cannot hold). Only
// the head is read.
std::string Mdf4BlockIdAt(CMdfStream* file, uint64_t offset);

// Diagnostic line naming a block kind and its offset.
void ReportBlock(const char* what, unsigned long long offset);
