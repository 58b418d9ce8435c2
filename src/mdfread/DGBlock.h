// A data group (DG) with its channel groups and where its records lie: the
// sections of plain data (MDF 3 data, MDF 4 "##DT" blocks alone or listed in
// "##DL" lists) read as one continuous stream of records.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "mdfread/BlockOp.h"

class CCGBlockOp;
class CDGBlockOp;

class DataRec {
public:
    void AddDataBlock(unsigned long long offset, unsigned long long length);
    // Bytes of the continuous stream.
    unsigned long long GetTotalLength() const { return m_total; }
    // Copies count bytes of the stream from position on, across sections.
    bool Read(CMdfStream& file, unsigned long long position, void* buffer, size_t count);

private:
    struct Section {
        unsigned long long offset;  // file offset of the first data byte
        unsigned long long length;
        unsigned long long start;   // stream position of the first data byte
    };
    size_t FindSection(unsigned long long position);

    std::vector<Section> m_sections;
    unsigned long long m_total = 0;
    size_t m_current = 0;
};

// A "##DL" list: appends the "##DT" blocks it lists to the group's data.
class DLBlockOp : public CBlockOp {
public:
    DLBlockOp(CMdfStream* file, CBlockOp* parent, DataRec* data) : CBlockOp(file, parent, "DL"), m_data(data) {}
    // false with problem set when the list or one of its blocks cannot be
    // read as plain data.
    bool ReadData(unsigned long long offset, bool littleEndian) override;
    unsigned long long GetNextBlock() const { return m_next; }
    const std::string& GetProblem() const { return m_problem; }
    // A listed block belongs to another data group: the file is refused.
    bool ClaimedTwice() const { return m_claimedTwice; }

private:
    DataRec* m_data;
    unsigned long long m_next = 0;
    std::string m_problem;
    bool m_claimedTwice = false;
};

class CDGBlockOp : public CBlockOp {
public:
    CDGBlockOp(CMdfStream* file, CBlockOp* parent) : CBlockOp(file, parent, "DG") {}
    ~CDGBlockOp() override;

    bool ReadData(unsigned long long offset, bool littleEndian) override;

    CDGBlockOp* GetNextDG() const { return m_nextDG; }
    void SetNextDG(CDGBlockOp* next) { m_nextDG = next; }
    unsigned long long GetNextDGOffset() const { return m_nextOffset; }
    CCGBlockOp* GetFirstCG() const { return m_firstCG; }
    // Why the group's records cannot be read; empty when they can.
    const std::string& GetDataProblem() const { return m_problem; }

    bool ReadRecordOf(CCGBlockOp& group, char* buffer, unsigned long long index);
    // Records first, first + 1, ... (at most count) back to back into buffer;
    // the number read, which stops at the first record that cannot be read.
    unsigned long long ReadRecordsOf(CCGBlockOp& group, char* buffer, unsigned long long first,
                                     unsigned long long count);

private:
    bool ReadDataSections(unsigned long long link);
    bool ReadChannelGroups(unsigned long long link, bool littleEndian);
    void CheckRecordLayout();
    bool ClaimMdf3Records(unsigned long long link);
    unsigned long long Stride(const CCGBlockOp& group) const;
    bool ReadRecordId(unsigned long long position, unsigned long long& id);
    bool ReadSorted(CCGBlockOp& group, char* buffer, unsigned long long index);
    bool ReadUnsorted(CCGBlockOp& group, char* buffer, unsigned long long index);
    void SetProblem(const std::string& problem);

    CDGBlockOp* m_nextDG = nullptr;
    CCGBlockOp* m_firstCG = nullptr;
    DataRec* m_data = nullptr;
    unsigned m_idCount = 0;       // as stored: MDF 3 id count, MDF 4 id size
    unsigned m_leadingIdBytes = 0;
    unsigned m_trailingIdBytes = 0;  // MDF 3 with two ids: id, data, id
    unsigned long long m_nextOffset = 0;
    std::map<unsigned long long, CCGBlockOp*> m_groupsById;
    std::string m_problem;
};
