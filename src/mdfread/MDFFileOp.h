// The MDF reader's file object: opens an MDF 3.x or 4.x file, owns its whole
// block tree, and iterates its channels.
//
// A malformed or unreadable file is reported by a false or null result and a
// diagnostic line; nothing here throws.
#pragma once

#include <string>

#include "mdfread/CCBlock.h"
#include "mdfread/CGBlock.h"
#include "mdfread/CNBlock.h"
#include "mdfread/DGBlock.h"
#include "mdfread/HDBlock.h"

class CMDFFileOp {
public:
    CMDFFileOp() = default;
    ~CMDFFileOp();
    CMDFFileOp(const CMDFFileOp&) = delete;
    CMDFFileOp& operator=(const CMDFFileOp&) = delete;

    // Replaces any open file; false leaves no file open.
    bool ReadFile(std::wstring const& path);
    bool ReadFile(std::string const& path);
    bool ReadFile(wchar_t const* path);
    bool ReadFile(char const* path);

    // The next channel in file order; restart begins with the first. Null
    // when no file is open or every channel has been returned.
    CCNBlockOp* GetNextChannel(bool restart);
    // Seconds since 2007-01-01 UTC (-1.0 when the file gives none, 0.0 when
    // no file is open).
    double GetMeasurementStartTimestamp() const;

    // Channels that are not time channels; GetChannel counts them from 0.
    // Both walk with the GetNextChannel cursor.
    int GetChannelCount();
    CCNBlockOp* GetChannel(int index);
    bool GetChannelInfo(CCNBlockOp* cn, std::string& name, std::string& unit, std::string& comment) const;
    unsigned long long GetSampleCount(CCNBlockOp* cn) const;
    double GetSampleRate(CCNBlockOp* cn) const;
    CCNBlockOp* GetTimeChannel(CCNBlockOp* cn) const;
    CCNBlockOp* FindChannelInFile(CCNBlockOp* cn);
    // Values of records first .. first + count - 1 of the channel's group (to
    // the group's end for a negative count), with their time channel's values;
    // infinite and NaN values are written as 0. Returns the records read.
    long long GetSampleData(CCNBlockOp* cn, double* values, double* times, unsigned long long first, long long count,
                            double* minimum, double* maximum);

    CIDBlockOp* GetIdentification() const { return m_id; }

private:
    CIDBlockOp* m_id = nullptr;
};
