#include "MdfBuilder.h"

#include <cstring>
#include <fstream>

namespace mdftest {

std::vector<uint8_t> LE(uint64_t v, int n)
{
    std::vector<uint8_t> out(n);
    for (int i = 0; i < n; ++i)
        out[i] = uint8_t(v >> (8 * i));
    return out;
}

std::vector<uint8_t> LEF64(double v)
{
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    return LE(bits, 8);
}

namespace {

void Add(std::vector<uint8_t>& to, const std::vector<uint8_t>& more) { to.insert(to.end(), more.begin(), more.end()); }

}  // namespace

MdfBuilder::MdfBuilder(bool mdf4, bool bigEndian) : bytes(64, 0), m_little(mdf4 || !bigEndian)
{
    Text(0, mdf4 ? "MDF     4.10    test" : "MDF     3.30    test");
    U16(24, m_little ? 0 : 1);
    U16(28, mdf4 ? 410 : 330);
}

void MdfBuilder::Put(uint64_t at, uint64_t v, int n)
{
    for (int i = 0; i < n; ++i)
        bytes.at(at + (m_little ? i : n - 1 - i)) = uint8_t(v >> (8 * i));
}

void MdfBuilder::F64(uint64_t at, double v)
{
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    U64(at, bits);
}

void MdfBuilder::Text(uint64_t at, const std::string& text)
{
    for (size_t i = 0; i < text.size(); ++i)
        bytes.at(at + i) = uint8_t(text[i]);
}

uint64_t MdfBuilder::Append(const std::vector<uint8_t>& data)
{
    uint64_t at = bytes.size();
    Add(bytes, data);
    return at;
}

// ---- MDF 3 -----------------------------------------------------------------

uint64_t MdfBuilder::Block3(const char* id, size_t size)
{
    uint64_t at = Append(std::vector<uint8_t>(size, 0));
    Text(at, std::string(id, 2));
    U16(at + 2, size);
    return at;
}

uint64_t MdfBuilder::Hd3(const std::string& date, const std::string& time)
{
    uint64_t at = Block3("HD", 164);
    Text(at + 18, date);
    Text(at + 28, time);
    return at;
}

uint64_t MdfBuilder::Dg3(uint64_t cg, uint64_t data, unsigned recordIds)
{
    uint64_t at = Block3("DG", 28);
    U32(at + 8, cg);
    U32(at + 16, data);
    U16(at + 20, 1);
    U16(at + 22, recordIds);
    return at;
}

uint64_t MdfBuilder::Cg3(uint64_t cn, unsigned recordId, unsigned recordSize, uint32_t records)
{
    uint64_t at = Block3("CG", 30);
    U32(at + 8, cn);
    U16(at + 16, recordId);
    U16(at + 20, recordSize);
    U32(at + 22, records);
    return at;
}

uint64_t MdfBuilder::Cn3(const std::string& name, bool isTime, unsigned startBit, unsigned bits, unsigned dataType,
                         uint64_t cc, size_t size)
{
    uint64_t at = Block3("CN", size);
    U32(at + 8, cc);
    U16(at + 24, isTime ? 1 : 0);
    Text(at + 26, name.substr(0, 32));
    U16(at + 186, startBit);
    U16(at + 188, bits);
    U16(at + 190, dataType);
    return at;
}

uint64_t MdfBuilder::Cc3(unsigned type, const std::vector<double>& params, const std::string& unit)
{
    uint64_t at = Block3("CC", 46 + 8 * params.size());
    Text(at + 22, unit.substr(0, 19));
    U16(at + 42, type);
    U16(at + 44, params.size());
    for (size_t i = 0; i < params.size(); ++i)
        F64(at + 46 + 8 * i, params[i]);
    return at;
}

uint64_t MdfBuilder::Tx3(const std::string& text)
{
    uint64_t at = Block3("TX", 4 + text.size() + 1);
    Text(at + 4, text);
    return at;
}

// ---- MDF 4 -----------------------------------------------------------------

uint64_t MdfBuilder::Block4(const char* id, const std::vector<uint64_t>& links, const std::vector<uint8_t>& data)
{
    bytes.resize((bytes.size() + 7) / 8 * 8, 0);
    std::vector<uint8_t> block(id, id + 4);
    Add(block, LE(0, 4));
    Add(block, LE(24 + 8 * links.size() + data.size(), 8));
    Add(block, LE(links.size(), 8));
    for (uint64_t link : links)
        Add(block, LE(link, 8));
    Add(block, data);
    return Append(block);
}

uint64_t MdfBuilder::Hd4(uint64_t dg, uint64_t startNs)
{
    std::vector<uint8_t> data = LE(startNs, 8);
    data.resize(32, 0);
    return Block4("##HD", {dg, 0, 0, 0, 0, 0}, data);
}

uint64_t MdfBuilder::Dg4(uint64_t cg, uint64_t data, unsigned recordIdSize)
{
    return Block4("##DG", {0, cg, data, 0}, {uint8_t(recordIdSize), 0, 0, 0, 0, 0, 0, 0});
}

uint64_t MdfBuilder::Cg4(uint64_t cn, uint64_t recordId, uint64_t cycles, uint32_t dataBytes)
{
    std::vector<uint8_t> fields = LE(recordId, 8);
    Add(fields, LE(cycles, 8));
    Add(fields, LE(0, 8));
    Add(fields, LE(dataBytes, 8));  // and 0 invalidation bytes
    return Block4("##CG", {0, cn, 0, 0, 0, 0}, fields);
}

uint64_t MdfBuilder::Cn4(uint64_t name, unsigned channelType, unsigned syncType, unsigned dataType, unsigned bitOffset,
                         uint32_t byteOffset, uint32_t bits, uint64_t cc, uint64_t unit, uint64_t comment)
{
    std::vector<uint8_t> fields = {uint8_t(channelType), uint8_t(syncType), uint8_t(dataType), uint8_t(bitOffset)};
    Add(fields, LE(byteOffset, 4));
    Add(fields, LE(bits, 4));
    fields.resize(72, 0);
    return Block4("##CN", {0, 0, name, 0, cc, 0, unit, comment}, fields);
}

uint64_t MdfBuilder::Cc4(unsigned type, const std::vector<uint64_t>& refs, const std::vector<double>& values,
                         uint64_t unit)
{
    std::vector<uint64_t> links = {0, unit, 0, 0};
    links.insert(links.end(), refs.begin(), refs.end());
    std::vector<uint8_t> fields = {uint8_t(type), 0, 0, 0};
    Add(fields, LE(refs.size(), 2));
    Add(fields, LE(values.size(), 2));
    fields.resize(24, 0);
    for (double v : values)
        Add(fields, LEF64(v));
    return Block4("##CC", links, fields);
}

uint64_t MdfBuilder::Tx4(const std::string& text, const char* id)
{
    std::vector<uint8_t> data(text.begin(), text.end());
    data.resize((text.size() + 8) / 8 * 8, 0);
    return Block4(id, {}, data);
}

uint64_t MdfBuilder::Dl4(uint64_t next, const std::vector<uint64_t>& blocks)
{
    std::vector<uint64_t> links = {next};
    links.insert(links.end(), blocks.begin(), blocks.end());
    std::vector<uint8_t> fields = LE(0, 4);
    Add(fields, LE(blocks.size(), 4));
    return Block4("##DL", links, fields);
}

void MdfBuilder::Save(const std::string& path) const
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(size()));
}

// ---- Whole files -----------------------------------------------------------

void WriteGroups(const std::string& path, const std::vector<GenGroup>& groups)
{
    MdfBuilder b(true);
    const uint64_t hd = b.Hd4(0);
    uint64_t previous = hd;
    for (const GenGroup& group : groups) {
        std::vector<uint64_t> channels;
        uint32_t size = group.timed ? 8 : 0;
        if (group.timed)
            channels.push_back(b.Cn4(b.Tx4("t"), 2, 1, 4, 0, 0, 64, 0, 0, b.Tx4(group.timeComment)));
        for (const GenChannel& c : group.channels) {
            std::vector<uint64_t> texts;
            std::vector<double> keys;
            for (auto& state : c.states)
                texts.push_back(b.Tx4(state.second)), keys.push_back(state.first);
            uint64_t cc = !c.linear.empty() ? b.Cc4(1, {}, c.linear) : !keys.empty() ? b.Cc4(7, texts, keys) : 0;
            const uint32_t at = c.byteOffset ? c.byteOffset : size;
            channels.push_back(b.Cn4(b.Tx4(c.name), 0, 0, c.type, 0, at, c.bits, cc, 0, b.Tx4(c.comment)));
            size += c.byteOffset ? 0 : (c.bits + 7) / 8;
        }
        for (size_t k = 1; k < channels.size(); ++k)
            b.Link4(channels[k - 1], 0, channels[k]);
        std::vector<uint8_t> data;
        for (size_t i = 0; i < group.times.size(); ++i) {
            if (group.timed)
                Add(data, LEF64(group.times[i]));
            for (const GenChannel& c : group.channels) {
                if (c.byteOffset)
                    continue;
                const double v = c.values.at(i);
                const float f = c.bits == 32 ? float(v) : 0.0f;
                uint64_t raw = 0;
                if (c.type == 4)
                    std::memcpy(&raw, c.bits == 32 ? static_cast<const void*>(&f) : &v, c.bits / 8);
                else
                    raw = c.type == 2 ? uint64_t(int64_t(v)) : uint64_t(v);
                Add(data, LE(raw, int(c.bits + 7) / 8));
            }
        }
        const uint64_t cg = b.Cg4(channels.empty() ? 0 : channels[0], 0, group.times.size(), size);
        const uint64_t dg = b.Dg4(cg, 0);
        b.Link4(dg, 2, b.Dt4(data));  // records behind the blocks that describe them
        b.Link4(previous, 0, dg);
        previous = dg;
    }
    b.Save(path);
}

}  // namespace mdftest
