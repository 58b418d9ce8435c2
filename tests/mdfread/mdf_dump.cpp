// mdf_dump <mdf file> <json out>: what the reader makes of a file, as JSON for
// check_fixtures.py: the start time, and per channel group its record count
// and size and per channel its texts (as hex bytes, so the script sees the
// file's bytes), position, type and conversion codes and every raw value.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "mdfread/MDFFileOp.h"

namespace {

std::string Hex(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text)
        out += "0123456789abcdef"[c >> 4], out += "0123456789abcdef"[c & 15];
    return out + "\"";
}

// Doubles in full, always read as floats; python's json reads NaN and Infinity.
std::string Number(double v)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", v);
    const std::string number = text + std::string(std::strpbrk(text, ".e") ? "" : ".0");
    return std::isnan(v) ? "NaN" : std::isinf(v) ? (v > 0 ? "Infinity" : "-Infinity") : number;
}

std::string Raw(CCNBlockOp* cn, const char* p)
{
    const int code = cn->GetDataType();
    if (cn->IsFloat())
        return Number(cn->GetFloat(p));
    if (code != 0 && code != 1 && code != 9 && code != 10)
        return "null";
    return cn->IsSigned() ? std::to_string(cn->GetInteger(p)) : std::to_string(cn->GetUnsigned(p));
}

void DumpGroup(FILE* out, CCGBlockOp* group)
{
    std::vector<CCNBlockOp*> all;
    for (CCNBlockOp* cn = group->GetFirstCN(); cn; cn = cn->GetNextCN())
        all.push_back(cn);
    std::vector<std::string> raw(all.size());
    std::vector<char> record(group->GetDataRecordSize());
    for (unsigned long long i = 0; i < group->GetRecordCount(); ++i) {
        const bool read = group->ReadRecord(record.data(), i);
        for (size_t k = 0; k < all.size(); ++k)
            raw[k] += (i ? "," : "") +
                      (read ? Raw(all[k], record.data() + all[k]->GetByteOffset() + all[k]->GetStartBit() / 8)
                            : "\"unread\"");
    }
    std::string channels;
    for (size_t k = 0; k < all.size(); ++k) {
        CCNBlockOp* cn = all[k];
        CCCBlockOp* cc = cn->GetConversion();
        channels += (channels.empty() ? "" : ",") + std::string("{\"name\":") + Hex(cn->GetName()) +
                    ",\"unit\":" + Hex(cn->GetUnit()) + ",\"comment\":" + Hex(cn->GetComment()) +
                    ",\"is_time\":" + (cn->IsTimeChannel() ? "true" : "false") +
                    ",\"code\":" + std::to_string(cn->GetDataType()) +
                    ",\"bits\":" + std::to_string(cn->GetBitCount()) +
                    ",\"byte_offset\":" + std::to_string(cn->GetByteOffset()) +
                    ",\"start_bit\":" + std::to_string(cn->GetStartBit()) +
                    ",\"conv_type\":" + std::to_string(cc ? int(cc->GetConversionType()) : -1) +
                    ",\"raw\":[" + raw[k] + "]}";
    }
    std::fprintf(out, "{\"record_count\":%llu,\"record_size\":%u,\"channels\":[%s]}", group->GetRecordCount(),
                 group->GetDataRecordSize(), channels.c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    CMDFFileOp mdf;
    FILE* out = argc == 3 && mdf.ReadFile(std::string(argv[1])) ? std::fopen(argv[2], "w") : nullptr;
    if (!out) {
        std::fprintf(stderr, "usage: mdf_dump <readable mdf file> <json out>\n");
        return 1;
    }
    std::fprintf(out, "{\"start_time\":%s,\"groups\":[", Number(mdf.GetMeasurementStartTimestamp()).c_str());
    CCGBlockOp* current = nullptr;
    for (CCNBlockOp* cn = mdf.GetNextChannel(true); cn; cn = mdf.GetNextChannel(false))
        if (cn->GetChannelGroup() != current) {
            std::fprintf(out, current ? "," : "");
            DumpGroup(out, current = cn->GetChannelGroup());
        }
    std::fprintf(out, "]}\n");
    return std::fclose(out) == 0 ? 0 : 1;
}
