#include "mdfread/BlockOp.h"

#include <algorithm>
#include <iterator>
#include <cstring>
#include <sys/stat.h>

#include "support/LibUtils.h"

double ReadF64(const uint8_t* p, bool littleEndian)
{
    uint64_t bits = ReadU64(p, littleEndian);
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

float ReadF32(const uint8_t* p, bool littleEndian)
{
    uint32_t bits = ReadU32(p, littleEndian);
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

CMdfStream::~CMdfStream()
{
    if (m_file)
        std::fclose(m_file);
}

namespace {
constexpr size_t WindowSize = 1 << 20;
}

bool CMdfStream::Open(const std::string& path)
{
    // Only a regular file opens: a FIFO or device is refused at once.
    m_file = OpenRegularFile(path, "rbe");
    if (!m_file)
        return false;
    struct stat info;
    if (fstat(fileno(m_file), &info) != 0 || info.st_size < 0)
        return false;
    m_size = uint64_t(info.st_size);
    m_window.resize(size_t(std::min<uint64_t>(m_size, WindowSize)));
    return true;
}

bool CMdfStream::Claim(uint64_t offset, uint64_t length)
{
    if (length == 0)
        return true;
    if (length > UINT64_MAX - offset)
        return false;
    const uint64_t end = offset + length;
    auto after = m_claims.upper_bound(offset);
    if (after != m_claims.end() && after->first < end)
        return false;
    if (after != m_claims.begin() && std::prev(after)->second > offset)
        return false;
    m_claims.emplace(offset, end);
    return true;
}

bool CMdfStream::ChargeNestingWork(uint64_t units)
{
    // A table's references and its nested tables' states each take bytes of
    // the file; sharing lets a few bytes count more than once, within reason.
    constexpr uint64_t kPerByte = 16, kBase = 1 << 16;
    m_nestingWork += units;
    return m_nestingWork <= kBase + kPerByte * m_size;
}

bool CMdfStream::ReadFromFile(uint64_t offset, void* buffer, size_t count)
{
    if (m_position != offset) {
        if (offset > uint64_t(INT64_MAX) || fseeko64(m_file, off64_t(offset), SEEK_SET) != 0) {
            m_position = UINT64_MAX;
            return false;
        }
        m_position = offset;
    }
    size_t got = std::fread(buffer, 1, count, m_file);
    if (got != count) {
        m_position = UINT64_MAX;
        std::clearerr(m_file);
        return false;
    }
    m_position += count;
    return true;
}

bool CMdfStream::ReadAt(uint64_t offset, void* buffer, size_t count)
{
    if (!m_file || !Contains(offset, count))
        return false;
    if (count == 0)
        return true;
    if (count > m_window.size() / 2)
        return ReadFromFile(offset, buffer, count);
    if (offset < m_windowStart || offset - m_windowStart > m_windowLength ||
        count > m_windowLength - (offset - m_windowStart)) {
        size_t length = size_t(std::min<uint64_t>(m_window.size(), m_size - offset));
        m_windowLength = 0;
        if (!ReadFromFile(offset, m_window.data(), length))
            return false;
        m_windowStart = offset;
        m_windowLength = length;
    }
    std::memcpy(buffer, m_window.data() + (offset - m_windowStart), count);
    return true;
}

namespace {

// An MDF 4 head's length and link count: the block lies in the file and
// holds its head and links.
bool Mdf4HeadFits(CMdfStream const& file, uint64_t offset, uint64_t length, uint64_t links)
{
    return length >= 24 && file.Contains(offset, length) && links <= (length - 24) / 8;
}

}  // namespace

std::string Mdf4BlockIdAt(CMdfStream* file, uint64_t offset)
{
    uint8_t head[24];
    if (offset == 0 || !file || !file->ReadAt(offset, head, sizeof head) || head[0] != '#' || head[1] != '#' ||
        !Mdf4HeadFits(*file, offset, ReadU64(head + 8, true), ReadU64(head + 16, true)))
        return std::string();
    return std::string(reinterpret_cast<const char*>(head), 4);
}

CBlockOp::CBlockOp(CMdfStream* file, CBlockOp* parent, const char* identifier)
    : m_identifier(identifier), m_file(file), m_parent(parent)
{
}

unsigned long long CBlockOp::ReadBlock(BLOCKHEAD& head, unsigned long long offset, bool littleEndian)
{
    m_blockLength = 0;
    m_headerSize = 4;
    m_linkCount = 0;
    m_blockOffset = offset;
    m_littleEndian = littleEndian;
    if (offset == 0 || !m_file || !m_file->ReadAt(offset, head.id, 4))
        return 0;
    if (head.id[0] == m_identifier[0] && head.id[1] == m_identifier[1]) {
        uint8_t size[2];
        std::memcpy(size, head.id + 2, 2);
        uint64_t length = ReadU16(size, littleEndian);
        if (length < 4 || !m_file->Contains(offset, length))
            return 0;
        m_blockLength = length;
        return length;
    }
    if (head.id[0] != '#' || head.id[1] != '#' || head.id[2] != m_identifier[0] || head.id[3] != m_identifier[1])
        return 0;
    uint8_t rest[20];
    if (!m_file->ReadAt(offset + 4, rest, sizeof rest))
        return 0;
    uint64_t length = ReadU64(rest + 4, true);
    uint64_t links = ReadU64(rest + 12, true);
    if (!Mdf4HeadFits(*m_file, offset, length, links))
        return 0;
    m_headerSize = 24;
    m_linkCount = links;
    m_blockLength = length;
    m_littleEndian = true;  // MDF 4 fields are always little-endian
    return length;
}

bool CBlockOp::LoadBlock(std::vector<uint8_t>& bytes, size_t mdf3Minimum, size_t mdf3Layout, uint64_t minLinks,
                         uint64_t fixedBytes)
{
    if (m_blockLength == 0)
        return false;
    if (IsMdf4()) {
        if (m_linkCount < minLinks || fixedBytes > m_blockLength - DataSectionStart())
            return false;
    } else if (m_blockLength < mdf3Minimum) {
        return false;
    }
    size_t length = size_t(m_blockLength);
    size_t size = IsMdf4() ? length : std::max(length, mdf3Layout);
    bytes.assign(size, 0);
    return m_file->ReadAt(m_blockOffset, bytes.data(), length);
}

void ReportBlock(const char* what, unsigned long long offset)
{
    char text[64];
    std::snprintf(text, sizeof text, "%llu", offset);
    std::string line = std::string(what) + " at offset %s";
    DebugOutput1(line.c_str(), text);
}
