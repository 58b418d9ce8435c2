// A channel group (CG): record size, record count, record id, its channel
// chain, and reading one record of the group.
#pragma once

#include "mdfread/BlockOp.h"

class CCNBlockOp;
class CDGBlockOp;

class CCGBlockOp : public CBlockOp {
public:
    CCGBlockOp(CMdfStream* file, CDGBlockOp* parent);
    // Deletes the channel chain; the data group deletes the group chain.
    ~CCGBlockOp() override;

    // Reads the group and builds its channel chain. Channels whose bits do
    // not lie inside the record are left out with a diagnostic line.
    bool ReadData(unsigned long long offset, bool littleEndian) override;

    // Record index (counted among this group's records), without its record
    // id, into buffer, which holds at least GetDataRecordSize() bytes. Reading
    // in ascending order costs one read per record. On failure the buffer is
    // zero-filled and the result is false.
    bool ReadRecord(char* buffer, unsigned long long index);
    // Records first, first + 1, ... (at most count) back to back into buffer,
    // which holds count * GetDataRecordSize() bytes; returns the number read,
    // which stops at the first record that cannot be read (its bytes and
    // those after it are then not filled).
    unsigned long long ReadRecords(char* buffer, unsigned long long first, unsigned long long count);

    unsigned GetDataRecordSize() const { return m_recordSize; }
    // Records that can be read: the declared count, bounded by what the
    // group's data holds, and 0 when the data cannot be read at all.
    unsigned long long GetRecordCount() const { return m_recordCount; }
    unsigned long long GetRecordId() const { return m_recordId; }
    CCNBlockOp* GetFirstCN() const { return m_firstCN; }
    CCGBlockOp* GetNextCG() const { return m_nextCG; }
    void SetNextCG(CCGBlockOp* next) { m_nextCG = next; }
    unsigned long long GetNextCGOffset() const { return m_nextOffset; }
    CDGBlockOp* GetDataGroup() const { return m_dataGroup; }

private:
    // The data group locates this group's records and bounds its count.
    friend class CDGBlockOp;
    void LimitRecordCount(unsigned long long count) { m_recordCount = count; }

    // Where a scan through an unsorted data group stands for this group: the
    // next record of this group to be found and the stream position to look
    // from.
    struct ScanCursor {
        unsigned long long nextIndex = 0;
        unsigned long long position = 0;
    } m_scan;
    bool m_problemReported = false;

    void DropChannelsOutsideRecord();

    CDGBlockOp* m_dataGroup;
    CCNBlockOp* m_firstCN = nullptr;
    CCGBlockOp* m_nextCG = nullptr;
    unsigned m_recordSize = 0;
    unsigned long long m_recordCount = 0;
    unsigned long long m_recordId = 0;
    unsigned long long m_nextOffset = 0;
};
