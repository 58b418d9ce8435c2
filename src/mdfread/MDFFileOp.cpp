#include "mdfread/MDFFileOp.h"

#include <cfloat>
#include <cmath>
#include <new>
#include <vector>

#include "support/LibUtils.h"
#include "support/Paths.h"

CMDFFileOp::~CMDFFileOp() { delete m_id; }

bool CMDFFileOp::ReadFile(std::wstring const& path)
{
    delete m_id;
    m_id = nullptr;
    try {
        m_id = new CIDBlockOp(path);
        if (m_id->ReadData())
            return true;
    } catch (...) {
        DebugOutput("Out of memory while reading an MDF file");
    }
    delete m_id;
    m_id = nullptr;
    return false;
}

bool CMDFFileOp::ReadFile(std::string const& path) { return ReadFile(WidePath(path)); }

bool CMDFFileOp::ReadFile(wchar_t const* path) { return ReadFile(std::wstring(path ? path : L"")); }

bool CMDFFileOp::ReadFile(char const* path) { return ReadFile(WidePath(path)); }

CCNBlockOp* CMDFFileOp::GetNextChannel(bool restart) { return m_id ? m_id->GetNextChannel(restart) : nullptr; }

double CMDFFileOp::GetMeasurementStartTimestamp() const { return m_id ? m_id->GetTimestamp() : 0.0; }

int CMDFFileOp::GetChannelCount()
{
    int count = 0;
    for (CCNBlockOp* cn = GetNextChannel(true); cn; cn = GetNextChannel(false))
        if (!cn->IsTimeChannel())
            ++count;
    return count;
}

CCNBlockOp* CMDFFileOp::GetChannel(int index)
{
    for (CCNBlockOp* cn = GetNextChannel(true); cn; cn = GetNextChannel(false))
        if (!cn->IsTimeChannel() && index-- == 0)
            return cn;
    return nullptr;
}

bool CMDFFileOp::GetChannelInfo(CCNBlockOp* cn, std::string& name, std::string& unit, std::string& comment) const
{
    return cn ? cn->GetChannelInfo(name, unit, comment) : false;
}

unsigned long long CMDFFileOp::GetSampleCount(CCNBlockOp* cn) const { return cn ? cn->GetSampleCount() : 0; }

double CMDFFileOp::GetSampleRate(CCNBlockOp* cn) const { return cn ? cn->GetSampleRate() : DBL_MAX; }

CCNBlockOp* CMDFFileOp::GetTimeChannel(CCNBlockOp* cn) const { return cn ? cn->GetTimeChannel() : nullptr; }

CCNBlockOp* CMDFFileOp::FindChannelInFile(CCNBlockOp* cn)
{
    for (CCNBlockOp* candidate = GetNextChannel(true); candidate; candidate = GetNextChannel(false))
        if (candidate == cn)
            return candidate;
    return nullptr;
}

long long CMDFFileOp::GetSampleData(CCNBlockOp* cn, double* values, double* times, unsigned long long first,
                                    long long count, double* minimum, double* maximum)
{
    if (minimum)
        *minimum = DBL_MAX;
    if (maximum)
        *maximum = -DBL_MAX;
    CCGBlockOp* group = cn ? cn->GetChannelGroup() : nullptr;
    if (!group || first >= group->GetRecordCount())
        return 0;
    unsigned long long last = group->GetRecordCount();
    if (count >= 0 && (unsigned long long)count < last - first)
        last = first + (unsigned long long)count;
    std::vector<char> record;
    try {
        record.resize(group->GetDataRecordSize());
    } catch (const std::bad_alloc&) {
        return 0;
    }
    CCNBlockOp* time = cn->GetTimeChannel();
    auto finite = [](double v) { return std::isfinite(v) ? v : 0.0; };
    long long read = 0;
    for (unsigned long long i = first; i < last; ++i) {
        if (!group->ReadRecord(record.data(), i))
            break;
        double value = finite(cn->getValue(record.data() + cn->GetByteOffset() + cn->GetStartBit() / 8));
        if (values)
            values[read] = value;
        if (times)
            times[read] = time ? finite(time->getValue(record.data() + time->GetByteOffset() + time->GetStartBit() / 8)) : 0.0;
        if (minimum && value < *minimum)
            *minimum = value;
        if (maximum && value > *maximum)
            *maximum = value;
        ++read;
    }
    return read;
}
