// Opens an MDF file made of the fuzz input, walks every channel and reads and
// decodes the records of every channel group. The work per input is capped
// so that a huge declared record count cannot make one input slow.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "mdfread/MDFFileOp.h"

namespace {

constexpr unsigned long long RecordsPerGroup = 512;
constexpr unsigned long long RecordsPerInput = 4096;

volatile double g_sink;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::MemoryFile file(data, size);
    if (file.path().empty())
        return 0;
    CMDFFileOp mdf;
    if (!mdf.ReadFile(file.path()))
        return 0;
    g_sink = mdf.GetMeasurementStartTimestamp();
    unsigned long long budget = RecordsPerInput;
    CCGBlockOp* group = nullptr;
    std::vector<char> record;
    for (CCNBlockOp* cn = mdf.GetNextChannel(true); cn; cn = mdf.GetNextChannel(false)) {
        std::string name, unit, comment;
        cn->GetChannelInfo(name, unit, comment);
        for (auto& state : cn->GetStates())
            g_sink = state.first + double(state.second.size());
        double slope, offset;
        if (cn->GetConversion() && cn->GetConversion()->GetLinearFormula(slope, offset))
            g_sink = slope + offset;
        if (cn->GetChannelGroup() == group)
            continue;
        group = cn->GetChannelGroup();
        record.assign(group->GetDataRecordSize(), 0);
        unsigned long long count = group->GetRecordCount();
        if (count > RecordsPerGroup)
            count = RecordsPerGroup;
        for (unsigned long long i = 0; i < count && budget > 0; ++i, --budget) {
            group->ReadRecord(record.data(), i);
            for (CCNBlockOp* c = group->GetFirstCN(); c; c = c->GetNextCN()) {
                const char* p = record.data() + c->GetByteOffset() + c->GetStartBit() / 8;
                g_sink = c->getValue(p) + double(c->GetInteger(p)) + c->GetFloat(p);
            }
        }
        // A read past the end and a restart from the beginning.
        group->ReadRecord(record.data(), group->GetRecordCount());
        if (group->GetRecordCount() > 0)
            group->ReadRecord(record.data(), 0);
    }
    return 0;
}
