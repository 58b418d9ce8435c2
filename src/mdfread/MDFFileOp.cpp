#include "mdfread/MDFFileOp.h"

#include "support/LibUtils.h"
#include "support/Paths.h"

CMDFFileOp::~CMDFFileOp() { delete m_id; }

bool CMDFFileOp::ReadFile(std::wstring const& path)
{
    delete m_id;
    m_id = nullptr;
    m_unfinalized = false;
    try {
        m_id = new CIDBlockOp(path);
        if (m_id->ReadData())
            return true;
        m_unfinalized = m_id->IsUnfinalized();
    } catch (...) {
        DebugOutput("Out of memory while reading an MDF file");
    }
    delete m_id;
    m_id = nullptr;
    return false;
}

bool CMDFFileOp::ReadFile(std::string const& path) { return ReadFile(WidePath(path)); }

bool CMDFFileOp::ReadFile(wchar_t const* path) { return ReadFile(std::wstring(path ? path : L"")); }

CCNBlockOp* CMDFFileOp::GetNextChannel(bool restart) { return m_id ? m_id->GetNextChannel(restart) : nullptr; }

double CMDFFileOp::GetMeasurementStartTimestamp() const { return m_id ? m_id->GetTimestamp() : 0.0; }
