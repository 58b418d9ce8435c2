#include "mdfread/CGBlock.h"

#include <vector>

#include "mdfread/CNBlock.h"
#include "mdfread/DGBlock.h"
#include "support/LibUtils.h"

namespace {

// MDF 3: links, record id, channel count, record size, record count.
constexpr size_t Mdf3Layout = 26;
// MDF 4 after the links: record id, cycle count, flags, path separator,
// reserved, data bytes, invalidation bytes.
constexpr uint64_t Mdf4Fixed = 32;

}  // namespace

CCGBlockOp::CCGBlockOp(CMdfStream* file, CDGBlockOp* parent) : CBlockOp(file, parent, "CG"), m_dataGroup(parent) {}

CCGBlockOp::~CCGBlockOp()
{
    while (m_firstCN) {
        CCNBlockOp* next = m_firstCN->GetNextCN();
        m_firstCN->SetNextCN(nullptr);
        delete m_firstCN;
        m_firstCN = next;
    }
}

bool CCGBlockOp::ReadData(unsigned long long offset, bool littleEndian)
{
    BLOCKHEAD head;
    if (ReadBlock(head, offset, littleEndian) == 0)
        return false;
    std::vector<uint8_t> bytes;
    if (!LoadBlock(bytes, Mdf3Layout, Mdf3Layout, 6, Mdf4Fixed))
        return false;
    uint64_t firstChannel;
    uint64_t recordSize;
    if (IsMdf4()) {
        auto link = [&](int i) { return ReadU64(&bytes[24 + 8 * i], true); };
        const uint8_t* fields = &bytes[DataSectionStart()];
        m_nextOffset = link(0);
        firstChannel = link(1);
        m_recordId = ReadU64(fields, true);
        m_recordCount = ReadU64(fields + 8, true);
        recordSize = uint64_t(ReadU32(fields + 24, true)) + ReadU32(fields + 28, true);
    } else {
        const bool le = m_littleEndian;
        m_nextOffset = ReadU32(&bytes[4], le);
        firstChannel = ReadU32(&bytes[8], le);
        m_recordId = ReadU16(&bytes[16], le);
        recordSize = ReadU16(&bytes[20], le);
        m_recordCount = ReadU32(&bytes[22], le);
    }
    if (recordSize > m_file->Size()) {
        ReportBlock("Channel group whose records are larger than the file", offset);
        return false;
    }
    m_recordSize = unsigned(recordSize);

    CCNBlockOp* last = nullptr;
    for (uint64_t link = firstChannel; link != 0;) {
        if (!m_file->Visit(link)) {
            ReportBlock("Channel chain loops back to the channel", link);
            return false;
        }
        auto* cn = new CCNBlockOp(m_file, this);
        if (last)
            last->SetNextCN(cn);
        else
            m_firstCN = cn;
        last = cn;
        if (!cn->ReadData(link, littleEndian)) {
            ReportBlock("Channel block cannot be read", link);
            return false;
        }
        link = cn->GetNextChannelOffset();
    }
    DropChannelsOutsideRecord();
    return true;
}

void CCGBlockOp::DropChannelsOutsideRecord()
{
    CCNBlockOp* previous = nullptr;
    for (CCNBlockOp* cn = m_firstCN; cn;) {
        CCNBlockOp* next = cn->GetNextCN();
        if (cn->FitsRecord(m_recordSize)) {
            previous = cn;
        } else {
            DebugOutput1("MDF channel %s lies outside its record and is left out", cn->GetName().c_str());
            (previous ? previous->SetNextCN(next) : void(m_firstCN = next));
            cn->SetNextCN(nullptr);
            delete cn;
        }
        cn = next;
    }
}

bool CCGBlockOp::ReadRecord(char* buffer, unsigned long long index)
{
    return m_dataGroup->ReadRecordOf(*this, buffer, index);
}

unsigned long long CCGBlockOp::ReadRecords(char* buffer, unsigned long long first, unsigned long long count)
{
    return m_dataGroup->ReadRecordsOf(*this, buffer, first, count);
}
