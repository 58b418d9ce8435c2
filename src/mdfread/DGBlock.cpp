#include "mdfread/DGBlock.h"

#include <algorithm>
#include <cstring>

#include "mdfread/CGBlock.h"
#include "support/LibUtils.h"

namespace {

constexpr size_t Mdf3Minimum = 24;
constexpr size_t Mdf3Layout = 28;

std::string OffsetText(unsigned long long offset) { return std::to_string(offset); }

}  // namespace

// ---- Data sections ---------------------------------------------------------

void DataRec::AddDataBlock(unsigned long long offset, unsigned long long length)
{
    m_sections.push_back({offset, length, m_total});
    m_total += length;
}

size_t DataRec::FindSection(unsigned long long position)
{
    auto holds = [&](size_t i) {
        return position >= m_sections[i].start && position - m_sections[i].start < m_sections[i].length;
    };
    if (m_current < m_sections.size() && holds(m_current))
        return m_current;
    if (m_current + 1 < m_sections.size() && holds(m_current + 1))
        return ++m_current;
    size_t low = 0, high = m_sections.size();
    while (high - low > 1) {
        size_t middle = (low + high) / 2;
        (m_sections[middle].start <= position ? low : high) = middle;
    }
    return m_current = low;
}

bool DataRec::Read(CMdfStream& file, unsigned long long position, void* buffer, size_t count)
{
    if (position > m_total || count > m_total - position)
        return false;
    auto* out = static_cast<char*>(buffer);
    while (count > 0) {
        size_t index = FindSection(position);
        const Section& section = m_sections[index];
        unsigned long long within = position - section.start;
        if (within >= section.length)
            return false;
        size_t piece = size_t(std::min<unsigned long long>(count, section.length - within));
        if (!file.ReadAt(section.offset + within, out, piece))
            return false;
        out += piece;
        position += piece;
        count -= piece;
    }
    return true;
}

// ---- Data lists ------------------------------------------------------------

bool DLBlockOp::ReadData(unsigned long long offset, bool littleEndian)
{
    BLOCKHEAD head;
    std::vector<uint8_t> bytes;
    if (ReadBlock(head, offset, littleEndian) == 0 || !IsMdf4() || !LoadBlock(bytes, 0, 0, 1, 8)) {
        m_problem = "data list at offset " + OffsetText(offset) + " cannot be read";
        return false;
    }
    m_next = ReadU64(&bytes[24], true);
    const uint8_t* fields = &bytes[DataSectionStart()];
    const uint64_t count = ReadU32(fields + 4, true);
    if (count > m_linkCount - 1) {
        m_problem = "data list at offset " + OffsetText(offset) + " lists more blocks than it links";
        return false;
    }
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t link = ReadU64(&bytes[32 + 8 * i], true);
        uint8_t blockHead[24];
        if (link == 0 || !m_file->ReadAt(link, blockHead, sizeof blockHead)) {
            m_problem = "data list at offset " + OffsetText(offset) + " links a block outside the file";
            return false;
        }
        if (std::memcmp(blockHead, "##DT", 4) != 0) {
            m_problem = "data in " + std::string(reinterpret_cast<char*>(blockHead), 4) +
                        " blocks is not supported (compressed or not plain data)";
            return false;
        }
        uint64_t length = ReadU64(blockHead + 8, true);
        if (length < 24 || !m_file->Contains(link, length)) {
            m_problem = "data block at offset " + OffsetText(link) + " does not fit in the file";
            return false;
        }
        if (!m_file->Claim(link, length)) {
            m_claimedTwice = true;
            ReportBlock("Data block already read for another data group", link);
            return false;
        }
        m_data->AddDataBlock(link + 24, length - 24);
    }
    return true;
}

// ---- Data group ------------------------------------------------------------

CDGBlockOp::~CDGBlockOp()
{
    while (m_firstCG) {
        CCGBlockOp* next = m_firstCG->GetNextCG();
        m_firstCG->SetNextCG(nullptr);
        delete m_firstCG;
        m_firstCG = next;
    }
    delete m_data;
}

void CDGBlockOp::SetProblem(const std::string& problem)
{
    m_problem = problem.empty() ? std::string("data cannot be read") : problem;
    delete m_data;
    m_data = nullptr;
}

bool CDGBlockOp::ReadData(unsigned long long offset, bool littleEndian)
{
    BLOCKHEAD head;
    if (ReadBlock(head, offset, littleEndian) == 0)
        return false;
    std::vector<uint8_t> bytes;
    if (!LoadBlock(bytes, Mdf3Minimum, Mdf3Layout, 4, 1))
        return false;
    uint64_t groupLink, dataLink;
    if (IsMdf4()) {
        m_nextOffset = ReadU64(&bytes[24], true);
        groupLink = ReadU64(&bytes[32], true);
        dataLink = ReadU64(&bytes[40], true);
        m_idCount = bytes[DataSectionStart()];
        if (m_idCount != 0 && m_idCount != 1 && m_idCount != 2 && m_idCount != 4 && m_idCount != 8)
            SetProblem("record id size " + std::to_string(m_idCount) + " is not supported");
        m_leadingIdBytes = m_idCount;
    } else {
        m_nextOffset = ReadU32(&bytes[4], m_littleEndian);
        groupLink = ReadU32(&bytes[8], m_littleEndian);
        dataLink = ReadU32(&bytes[16], m_littleEndian);
        unsigned ids = ReadU16(&bytes[22], m_littleEndian);
        if (ids > 2)
            SetProblem(std::to_string(ids) + " record ids per record are not supported");
        m_idCount = ids & 0xFF;
        m_leadingIdBytes = m_idCount ? 1 : 0;
        m_trailingIdBytes = m_idCount == 2 ? 1 : 0;
    }
    // A group without data has no channel groups.
    if (dataLink == 0 || groupLink == 0)
        return true;
    if (m_problem.empty() && !ReadDataSections(dataLink))
        return false;
    if (!m_problem.empty())
        DebugOutput1("MDF data group cannot be read: %s", m_problem.c_str());
    if (!ReadChannelGroups(groupLink, littleEndian))
        return false;
    CheckRecordLayout();
    return IsMdf4() || ClaimMdf3Records(dataLink);
}

// MDF 3 data has no block of its own: the records the groups declare (as
// far as the file holds them) are what this data group claims.
bool CDGBlockOp::ClaimMdf3Records(unsigned long long link)
{
    if (!m_data)
        return true;
    unsigned long long bytes = 0;
    for (CCGBlockOp* cg = m_firstCG; cg; cg = cg->GetNextCG()) {
        const unsigned long long room = m_data->GetTotalLength() - bytes;
        const unsigned long long stride = Stride(*cg);
        bytes += stride && cg->GetRecordCount() > room / stride ? room : cg->GetRecordCount() * stride;
    }
    if (m_file->Claim(link, bytes))
        return true;
    ReportBlock("Data already read for another data group", link);
    return false;
}

// Only plain data is read as records; anything else makes this group's data
// unreadable while the rest of the file opens. A list chain that loops fails
// the open.
bool CDGBlockOp::ReadDataSections(unsigned long long link)
{
    m_data = new DataRec;
    if (!IsMdf4()) {
        if (link >= m_file->Size())
            SetProblem("data link " + OffsetText(link) + " lies outside the file");
        else
            m_data->AddDataBlock(link, m_file->Size() - link);
        return true;
    }
    char id[4];
    uint8_t blockHead[24];
    if (!m_file->ReadAt(link, blockHead, sizeof blockHead)) {
        SetProblem("data link " + OffsetText(link) + " lies outside the file");
        return true;
    }
    std::memcpy(id, blockHead, 4);
    if (std::memcmp(id, "##DT", 4) == 0) {
        uint64_t length = ReadU64(blockHead + 8, true);
        if (length < 24 || !m_file->Contains(link, length)) {
            SetProblem("data block at offset " + OffsetText(link) + " does not fit in the file");
        } else if (!m_file->Claim(link, length)) {
            // Like a loop: read for every group that names it, one block
            // would multiply into as many copies.
            ReportBlock("Data block already read for another data group", link);
            return false;
        } else {
            m_data->AddDataBlock(link + 24, length - 24);
        }
        return true;
    }
    if (std::memcmp(id, "##DL", 4) != 0) {
        SetProblem("data in " + std::string(id, 4) + " blocks is not supported (compressed or not plain data)");
        return true;
    }
    for (uint64_t next = link; next != 0;) {
        if (!m_file->Visit(next)) {
            ReportBlock("Data list chain loops back to the list", next);
            return false;
        }
        DLBlockOp list(m_file, this, m_data);
        if (!list.ReadData(next, true)) {
            if (list.ClaimedTwice())
                return false;
            SetProblem(list.GetProblem());
            return true;
        }
        next = list.GetNextBlock();
    }
    return true;
}

bool CDGBlockOp::ReadChannelGroups(unsigned long long link, bool littleEndian)
{
    CCGBlockOp* last = nullptr;
    while (link != 0) {
        if (!m_file->Visit(link)) {
            ReportBlock("Channel group chain loops back to the group", link);
            return false;
        }
        auto* cg = new CCGBlockOp(m_file, this);
        if (last)
            last->SetNextCG(cg);
        else
            m_firstCG = cg;
        last = cg;
        if (!cg->ReadData(link, littleEndian)) {
            ReportBlock("Channel group cannot be read", link);
            return false;
        }
        link = cg->GetNextCGOffset();
    }
    return true;
}

unsigned long long CDGBlockOp::Stride(const CCGBlockOp& group) const
{
    return m_leadingIdBytes + (unsigned long long)group.GetDataRecordSize() + m_trailingIdBytes;
}

// Record counts are bounded by what the data holds, so no caller loops over
// records that are not there; ids must tell the groups of an unsorted data
// group apart.
void CDGBlockOp::CheckRecordLayout()
{
    if (m_leadingIdBytes == 0 && m_firstCG && m_firstCG->GetNextCG() && m_data) {
        SetProblem("several channel groups share data without record ids");
        DebugOutput1("MDF data group cannot be read: %s", m_problem.c_str());
    }
    if (m_leadingIdBytes > 0)
        for (CCGBlockOp* cg = m_firstCG; cg; cg = cg->GetNextCG())
            if (!m_groupsById.insert({cg->GetRecordId(), cg}).second && m_firstCG->GetNextCG()) {
                SetProblem("two channel groups share record id " + std::to_string(cg->GetRecordId()));
                DebugOutput1("MDF data group cannot be read: %s", m_problem.c_str());
                break;
            }
    for (CCGBlockOp* cg = m_firstCG; cg; cg = cg->GetNextCG()) {
        if (!m_data) {
            cg->LimitRecordCount(0);
            continue;
        }
        unsigned long long stride = Stride(*cg);
        unsigned long long capacity = stride ? m_data->GetTotalLength() / stride : 0;
        if (cg->GetRecordCount() > capacity) {
            DebugOutput1("MDF channel group declares more records than its data holds: %s",
                             OffsetText(m_blockOffset).c_str());
            cg->LimitRecordCount(capacity);
        }
    }
}

bool CDGBlockOp::ReadRecordId(unsigned long long position, unsigned long long& id)
{
    uint8_t bytes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    if (!m_data->Read(*m_file, position, bytes, m_leadingIdBytes))
        return false;
    id = ReadU64(bytes, true);
    return true;
}

bool CDGBlockOp::ReadRecordOf(CCGBlockOp& group, char* buffer, unsigned long long index)
{
    const unsigned size = group.GetDataRecordSize();
    bool ok = false;
    if (!m_data) {
        if (!group.m_problemReported)
            DebugOutput1("MDF records cannot be read: %s", m_problem.c_str());
        group.m_problemReported = true;
    } else if (index < group.GetRecordCount()) {
        ok = m_leadingIdBytes == 0 || !m_firstCG->GetNextCG() ? ReadSorted(group, buffer, index)
                                                              : ReadUnsorted(group, buffer, index);
    }
    if (!ok && size > 0)
        std::memset(buffer, 0, size);
    return ok;
}

unsigned long long CDGBlockOp::ReadRecordsOf(CCGBlockOp& group, char* buffer, unsigned long long first,
                                             unsigned long long count)
{
    const unsigned size = group.GetDataRecordSize();
    const unsigned long long available = first < group.GetRecordCount() ? group.GetRecordCount() - first : 0;
    count = std::min(count, available);
    // Records without ids lie back to back: one read serves them all.
    if (m_data && m_leadingIdBytes == 0 && Stride(group) == size && count > 0 && size > 0 &&
        m_data->Read(*m_file, first * size, buffer, size_t(count * size)))
        return count;
    unsigned long long read = 0;
    while (read < count && ReadRecordOf(group, buffer + read * size, first + read))
        ++read;
    return read;
}

bool CDGBlockOp::ReadSorted(CCGBlockOp& group, char* buffer, unsigned long long index)
{
    const unsigned long long position = index * Stride(group);
    if (m_leadingIdBytes > 0) {
        unsigned long long id;
        if (!ReadRecordId(position, id) || id != group.GetRecordId())
            return false;
    }
    return m_data->Read(*m_file, position + m_leadingIdBytes, buffer, group.GetDataRecordSize());
}

// Records of several groups interleaved: the index-th record carrying the
// group's own id, found by skipping the other records by their group's size.
bool CDGBlockOp::ReadUnsorted(CCGBlockOp& group, char* buffer, unsigned long long index)
{
    CCGBlockOp::ScanCursor& cursor = group.m_scan;
    if (index < cursor.nextIndex)
        cursor = CCGBlockOp::ScanCursor();
    const unsigned long long total = m_data->GetTotalLength();
    while (cursor.position < total) {
        unsigned long long id;
        if (!ReadRecordId(cursor.position, id))
            return false;
        auto owner = m_groupsById.find(id);
        if (owner == m_groupsById.end()) {
            if (!group.m_problemReported)
                DebugOutput1("MDF record with an unknown record id in data group at offset %s",
                             OffsetText(m_blockOffset).c_str());
            group.m_problemReported = true;
            return false;
        }
        const unsigned long long stride = Stride(*owner->second);
        if (owner->second == &group) {
            if (cursor.nextIndex == index) {
                bool ok = m_data->Read(*m_file, cursor.position + m_leadingIdBytes, buffer, group.GetDataRecordSize());
                if (ok) {
                    cursor.position += stride;
                    ++cursor.nextIndex;
                }
                return ok;
            }
            ++cursor.nextIndex;
        }
        cursor.position += stride;
    }
    return false;
}
