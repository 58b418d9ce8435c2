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

    // The next channel in file order; restart begins with the first. Null
    // when no file is open or every channel has been returned.
    CCNBlockOp* GetNextChannel(bool restart);
    // Seconds since 2007-01-01 UTC (-1.0 when the file gives none, 0.0 when
    // no file is open).
    double GetMeasurementStartTimestamp() const;
    // After a ReadFile that failed: the file was refused because it is not
    // finalized (identifier "UnFinMF "), not because it is damaged.
    bool WasUnfinalized() const { return m_unfinalized; }

private:
    CIDBlockOp* m_id = nullptr;
    bool m_unfinalized = false;
};
