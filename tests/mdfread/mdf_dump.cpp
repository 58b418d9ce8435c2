// mdf_dump <mdf file> <json out>: writes what the reader decodes from a file
// (header start time, groups, channels with their texts, states and every
// raw and physical value) as JSON for the fixture comparison script. Texts
// are written as hex bytes, so the script sees exactly the file's bytes.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "mdfread/MDFFileOp.h"

namespace {

std::string Hex(const std::string& text)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return "\"" + out + "\"";
}

std::string Number(double v)
{
    if (std::isnan(v))
        return "NaN";
    if (std::isinf(v))
        return v > 0 ? "Infinity" : "-Infinity";
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", v);
    std::string s = text;
    if (s.find_first_of(".en") == std::string::npos)
        s += ".0";
    return s;
}

bool IsIntegerCode(int code) { return code == 0 || code == 1 || code == 9 || code == 10; }

void DumpGroup(FILE* out, CCGBlockOp* group, bool& firstGroup)
{
    std::vector<CCNBlockOp*> channels;
    for (CCNBlockOp* cn = group->GetFirstCN(); cn; cn = cn->GetNextCN())
        channels.push_back(cn);
    const unsigned long long count = group->GetRecordCount();
    std::vector<std::string> raw(channels.size()), phys(channels.size());
    std::vector<char> record(group->GetDataRecordSize() + 1);
    bool allRead = true;
    for (unsigned long long i = 0; i < count; ++i) {
        allRead &= group->ReadRecord(record.data(), i);
        for (size_t k = 0; k < channels.size(); ++k) {
            CCNBlockOp* cn = channels[k];
            const char* p = record.data() + cn->GetByteOffset() + cn->GetStartBit() / 8;
            std::string sep = i ? "," : "";
            char text[32];
            if (cn->IsFloat()) {
                raw[k] += sep + Number(cn->GetFloat(p));
            } else if (IsIntegerCode(cn->GetDataType())) {
                if (cn->IsSigned())
                    std::snprintf(text, sizeof text, "%lld", cn->GetInteger(p));
                else
                    std::snprintf(text, sizeof text, "%llu", cn->GetUnsigned(p));
                raw[k] += sep + text;
            } else {
                raw[k] += sep + "null";
            }
            phys[k] += sep + Number(cn->getValue(p));
        }
    }
    std::fprintf(out, "%s{\"record_count\":%llu,\"record_size\":%u,\"all_read\":%s,\"channels\":[", firstGroup ? "" : ",",
                 count, group->GetDataRecordSize(), allRead ? "true" : "false");
    firstGroup = false;
    for (size_t k = 0; k < channels.size(); ++k) {
        CCNBlockOp* cn = channels[k];
        std::string name, unit, comment;
        cn->GetChannelInfo(name, unit, comment);
        unit = cn->GetUnit();
        CCCBlockOp* cc = cn->GetConversion();
        std::string states;
        for (auto& state : cn->GetStates())
            states += (states.empty() ? "" : ",") + ("[" + Number(state.first) + "," + Hex(state.second) + "]");
        double slope = 1, offset = 0;
        bool linear = cc && cc->GetLinearFormula(slope, offset);
        std::fprintf(out,
                     "%s{\"name\":%s,\"unit\":%s,\"comment\":%s,\"is_time\":%s,\"code\":%d,\"signed\":%s,"
                     "\"float\":%s,\"bits\":%u,\"byte_offset\":%u,\"start_bit\":%u,\"conv_type\":%d,"
                     "\"linear\":%s,\"slope\":%s,\"offset\":%s,\"states\":[%s],\"raw\":[%s],\"phys\":[%s]}",
                     k ? "," : "", Hex(name).c_str(), Hex(unit).c_str(), Hex(comment).c_str(),
                     cn->IsTimeChannel() ? "true" : "false", cn->GetDataType(), cn->IsSigned() ? "true" : "false",
                     cn->IsFloat() ? "true" : "false", cn->GetBitCount(), cn->GetByteOffset(), cn->GetStartBit(),
                     cc ? int(cc->GetConversionType()) : -1, linear ? "true" : "false", Number(slope).c_str(),
                     Number(offset).c_str(), states.c_str(), raw[k].c_str(), phys[k].c_str());
    }
    std::fprintf(out, "]}");
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: mdf_dump <mdf file> <json out>\n");
        return 2;
    }
    CMDFFileOp mdf;
    if (!mdf.ReadFile(std::string(argv[1]))) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 1;
    }
    FILE* out = std::fopen(argv[2], "w");
    if (!out)
        return 1;
    std::fprintf(out, "{\"start_time\":%s,\"groups\":[", Number(mdf.GetMeasurementStartTimestamp()).c_str());
    bool firstGroup = true;
    CCGBlockOp* current = nullptr;
    for (CCNBlockOp* cn = mdf.GetNextChannel(true); cn; cn = mdf.GetNextChannel(false))
        if (cn->GetChannelGroup() != current) {
            current = cn->GetChannelGroup();
            DumpGroup(out, current, firstGroup);
        }
    std::fprintf(out, "]}\n");
    return std::fclose(out) == 0 ? 0 : 1;
}
