// The identification block (owner of the open file) and the header block
// (start time, data-group chain, channel iteration).
#pragma once

#include <string>

#include "mdfread/BlockOp.h"

class CCGBlockOp;
class CCNBlockOp;
class CDGBlockOp;

class CHDBlockOp : public CBlockOp {
public:
    CHDBlockOp(CMdfStream* file, CBlockOp* parent) : CBlockOp(file, parent, "HD") {}
    // Deletes the data-group chain one group at a time.
    ~CHDBlockOp() override;

    bool ReadData(unsigned long long offset, bool littleEndian) override;

    // Seconds since 2007-01-01 00:00:00 UTC; -1.0 when the file gives none.
    double GetTimestamp() const { return m_startTime; }

    // Channels in file order: data groups, their channel groups, their
    // channels. The cursor belongs to this header; restart begins again.
    CCNBlockOp* GetNextChannel(bool restart);

private:
    bool ReadMdf3(const std::vector<uint8_t>& bytes, uint64_t& firstGroup);
    void StartTimeFromComment(const std::string& comment);
    void StartTimeFromDate();
    bool ReadDataGroups(uint64_t link, bool littleEndian);

    CDGBlockOp* m_firstDG = nullptr;
    double m_startTime = -1.0;
    std::string m_date, m_time;

    struct Cursor {
        CDGBlockOp* dg = nullptr;
        CCGBlockOp* cg = nullptr;
        CCNBlockOp* cn = nullptr;
        bool active = false;
        bool atStart = false;
    };
    Cursor m_channelCursor;
};

class CIDBlockOp : public CBlockOp {
public:
    explicit CIDBlockOp(const std::wstring& path);
    ~CIDBlockOp() override;

    bool ReadData() { return ReadData(0, true); }
    // Opens the file, checks the identification and reads the header.
    bool ReadData(unsigned long long offset, bool littleEndian) override;

    double GetTimestamp() const;
    CCNBlockOp* GetNextChannel(bool restart);
    // The file's identifier is "UnFinMF ": a writer left it unfinished.
    // Such a file is not read.
    bool IsUnfinalized() const { return m_unfinalized; }

private:
    CMdfStream m_stream;
    bool m_unfinalized = false;
    unsigned char m_image[64] = {};
    CHDBlockOp* m_header = nullptr;
    std::wstring m_path;
};
