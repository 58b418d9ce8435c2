// mdf_tool CALLS.json OUT: makes the MDF writer calls that a JSON document
// lists ({"version": 3 or 4, "unbuffered": bool, "calls": [[name, arguments...]]},
// see Call) on a new writer and stream; prints "offset NAME FROM TO" when the
// writer moved a channel. Exits 2 when the writer has failed, 3 when it changed
// the caller's start time, 4 when the stream did not close, 1 on bad use.
#include "jsonxx/jsonxx.h"
#include "mdfwrite/MDFFile.h"
#include "mdfwrite/MDFFile_V4.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

using namespace jsonxx;

namespace {

// Numbers come as numbers or as texts such as "nan" and "-inf"; null texts as null.
double Num(Value const& value, double fallback = 0.0)
{
    if (value.is<String>())
        return std::strtod(value.get<String>().c_str(), nullptr);
    return value.is<Number>() ? double(value.get<Number>()) : fallback;
}

char const* Text(Value const& value) { return value.is<String>() ? value.get<String>().c_str() : nullptr; }

// A channel description: [name, unit, description, dataType, byteOffset, bitCount, bitOffset, bigEndian, factor,
// offset, precision, min, max, time bits or null, [[state value, text], ...]].
MdfChannelInfo Channel(Array const& d)
{
    auto at = [&](unsigned i) -> Value const& { return *d.values().at(i); };
    MdfChannelInfo ci;
    if (at(13).is<Number>())
        ci.SetTimeField(int(Num(at(13))));
    ci.name = Text(at(0)) ? Text(at(0)) : ci.name;
    ci.unit = Text(at(1)) ? Text(at(1)) : ci.unit;
    ci.description = Text(at(2)) ? Text(at(2)) : "";
    ci.dataType = uint16_t(Num(at(3), ci.dataType));
    ci.byteOffset = uint16_t(Num(at(4)));
    ci.bitCount = uint16_t(Num(at(5), ci.bitCount));
    ci.bitOffset = uint8_t(Num(at(6)));
    ci.bigEndian = at(7).is<Boolean>() ? at(7).get<Boolean>() : Num(at(7)) != 0;
    ci.factor = Num(at(8), 1.0);
    ci.offset = Num(at(9));
    ci.precision = int8_t(Num(at(10), -1));
    ci.minValue = Num(at(11));
    ci.maxValue = Num(at(12));
    for (auto const& state : at(14).get<Array>().values())
        ci.states[Num(*state->get<Array>().values().at(0))] = state->get<Array>().get<String>(1);
    return ci;
}

std::string Bytes(std::string const& hex)
{
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

// One call: its name and arguments in the order of the writer's function.
bool Call(MDFFile& writer, FILE*& fp, Array const& call, tm& start, tm& given)
{
    std::string const& name = call.get<String>(0);
    auto arg = [&](unsigned i) -> Value const& { return *call.values().at(i); };
    if (name == "marker") {
        static_cast<MDFFile_V4&>(writer).AddMarker(MdfMarker(Text(arg(1)), Text(arg(2)), Num(arg(3))));
    } else if (name == "header") {  // project, vehicle, author, group count, [y, m, d, H, M, S] or null for now
        MdfHeaderInfo info(Text(arg(1)), Text(arg(2)), Text(arg(3)));
        int* fields[] = {&start.tm_year, &start.tm_mon, &start.tm_mday, &start.tm_hour, &start.tm_min, &start.tm_sec};
        for (unsigned i = 0; i < 6 && arg(5).is<Array>(); ++i)
            *fields[i] = int(arg(5).get<Array>().get<Number>(i)) - (i == 0 ? 1900 : i == 1 ? 1 : 0);
        given = start;
        writer.WriteHeader(info, static_cast<unsigned short>(Num(arg(4))), arg(5).is<Array>() ? &start : nullptr);
    } else if (name == "file") {
        writer.WriteHeaderToFile(fp);
    } else if (name == "prepare") {  // record size, record count, channel count, name
        writer.PrepareDataGroup(uint16_t(Num(arg(1))), unsigned(Num(arg(2))), uint16_t(Num(arg(3))), Text(arg(4)));
    } else if (name == "channel") {  // description, how many times
        for (int i = 0; i < int(Num(arg(2))); ++i) {
            MdfChannelInfo ci = Channel(arg(1).get<Array>());
            uint16_t before = ci.byteOffset;
            writer.AddChannelToPreparedGroup(ci);
            if (ci.byteOffset != before)
                std::printf("offset %s %u %u\n", ci.name.c_str(), unsigned(before), unsigned(ci.byteOffset));
        }
    } else if (name == "flush") {
        writer.FlushPreparedGroup(fp, arg(1).get<Boolean>());
    } else if (name == "record") {  // hex bytes, or null
        std::string bytes = Bytes(Text(arg(1)) ? Text(arg(1)) : "00000000");
        writer.WriteRecord(Text(arg(1)) ? &bytes[0] : nullptr, int(bytes.size()), fp);
    } else if (name == "value") {  // value, bits
        double value = Num(arg(1));
        writer.WriteValue(&value, int(Num(arg(2))), fp);
    } else if (name == "finish") {
        writer.FinishWritingData(fp);
    } else if (name == "seek") {  // stands for records written by other means
        fseeko(fp, off_t(Num(arg(1))), SEEK_SET);
    } else if (name == "raw") {  // hex bytes written past the writer
        std::fputs(Bytes(Text(arg(1))).c_str(), fp);
    } else if (name == "nostream") {
        fp = nullptr;
    } else if (name == "wholefile") {  // the road nothing takes
        if (writer.AddChannelGroup(1, "g") || writer.FlushDataGroups(fp))
            std::puts("whole file written");
    } else {
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    Object calls;
    std::ifstream in(argc == 3 ? argv[1] : "");
    FILE* stream = argc == 3 && calls.parse(in) ? std::fopen(argv[2], "wb") : nullptr;
    if (!stream)
        return 1;
    if (calls.has<Boolean>("unbuffered") && calls.get<Boolean>("unbuffered"))
        std::setvbuf(stream, nullptr, _IONBF, 0);
    std::unique_ptr<MDFFile> writer(calls.get<Number>("version") == 4 ? new MDFFile_V4 : new MDFFile);
    if (writer->GetMdfVersion() != calls.get<Number>("version"))
        return 1;
    FILE* fp = stream;
    tm start{}, given{};
    for (auto const& call : calls.get<Array>("calls").values())
        if (!Call(*writer, fp, call->get<Array>(), start, given))
            return 1;
    int result = writer->HasFailed() ? 2 : std::memcmp(&start, &given, sizeof start) != 0 ? 3 : 0;
    writer.reset();  // releases a group still prepared
    return std::fclose(stream) != 0 && result == 0 ? 4 : result;
}
