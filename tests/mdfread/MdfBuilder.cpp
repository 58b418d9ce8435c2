#include "MdfBuilder.h"

#include <cstring>
#include <fstream>

namespace mdftest {

Bytes LE(uint64_t v, int n)
{
    Bytes out(n);
    for (int i = 0; i < n; ++i)
        out[i] = uint8_t(i < 8 ? v >> (8 * i) : 0);
    return out;
}

Bytes LEF64(double v)
{
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    return LE(bits, 8);
}

void Add(Bytes& to, std::initializer_list<Bytes> pieces)
{
    for (const Bytes& piece : pieces)
        to.insert(to.end(), piece.begin(), piece.end());
}

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

uint64_t MdfBuilder::Append(const Bytes& data)
{
    const uint64_t at = bytes.size();
    Add(bytes, {data});
    return at;
}

uint64_t MdfBuilder::Block3(const char* id, size_t size)
{
    const uint64_t at = Append(Bytes(size, 0));
    Text(at, std::string(id, 2));
    U16(at + 2, size);
    return at;
}

uint64_t MdfBuilder::Hd3(const std::string& date, const std::string& time)
{
    const uint64_t at = Block3("HD", 164);
    Text(at + 18, date);
    Text(at + 28, time);
    return at;
}

uint64_t MdfBuilder::Dg3(uint64_t cg, uint64_t data, unsigned recordIds)
{
    const uint64_t at = Block3("DG", 28);
    U32(at + 8, cg), U32(at + 16, data), U16(at + 20, 1), U16(at + 22, recordIds);
    return at;
}

uint64_t MdfBuilder::Cg3(uint64_t cn, unsigned recordId, unsigned recordSize, uint32_t records)
{
    const uint64_t at = Block3("CG", 30);
    U32(at + 8, cn), U16(at + 16, recordId), U16(at + 20, recordSize), U32(at + 22, records);
    return at;
}

uint64_t MdfBuilder::Cn3(const std::string& name, bool isTime, unsigned startBit, unsigned bits, unsigned dataType,
                         uint64_t cc, size_t size)
{
    const uint64_t at = Block3("CN", size);
    U32(at + 8, cc), U16(at + 24, isTime), U16(at + 186, startBit), U16(at + 188, bits), U16(at + 190, dataType);
    Text(at + 26, name.substr(0, 32));
    return at;
}

uint64_t MdfBuilder::Tx3(const std::string& text)
{
    const uint64_t at = Block3("TX", 4 + text.size() + 1);
    Text(at + 4, text);
    return at;
}

uint64_t MdfBuilder::Block4(const char* id, const std::vector<uint64_t>& links, const Bytes& data)
{
    bytes.resize((size() + 7) / 8 * 8, 0);
    Bytes block(id, id + 4);
    Add(block, {LE(0, 4), LE(24 + 8 * links.size() + data.size(), 8), LE(links.size(), 8)});
    for (uint64_t link : links)
        Add(block, {LE(link, 8)});
    Add(block, {data});
    return Append(block);
}

uint64_t MdfBuilder::Hd4(uint64_t dg, uint64_t startNs) { return Block4("##HD", {dg, 0, 0, 0, 0, 0}, LE(startNs, 32)); }

uint64_t MdfBuilder::Dg4(uint64_t cg, uint64_t data, unsigned recordIdSize)
{
    return Block4("##DG", {0, cg, data, 0}, LE(recordIdSize, 8));
}

uint64_t MdfBuilder::Cg4(uint64_t cn, uint64_t recordId, uint64_t cycles, uint32_t dataBytes)
{
    Bytes fields;
    Add(fields, {LE(recordId, 8), LE(cycles, 8), LE(0, 8), LE(dataBytes, 8)});  // no invalidation bytes
    return Block4("##CG", {0, cn, 0, 0, 0, 0}, fields);
}

uint64_t MdfBuilder::Cn4(uint64_t name, unsigned channelType, unsigned syncType, unsigned dataType, unsigned bitOffset,
                         uint32_t byteOffset, uint32_t bits, uint64_t cc, uint64_t comment)
{
    Bytes fields = {uint8_t(channelType), uint8_t(syncType), uint8_t(dataType), uint8_t(bitOffset)};
    Add(fields, {LE(byteOffset, 4), LE(bits, 64)});
    return Block4("##CN", {0, 0, name, 0, cc, 0, 0, comment}, fields);
}

uint64_t MdfBuilder::Cc4(unsigned type, const std::vector<uint64_t>& refs, const std::vector<double>& values,
                         uint64_t unit)
{
    std::vector<uint64_t> links = {0, unit, 0, 0};
    links.insert(links.end(), refs.begin(), refs.end());
    Bytes fields = {uint8_t(type), 0, 0, 0};
    Add(fields, {LE(refs.size(), 2), LE(values.size(), 18)});
    for (double v : values)
        Add(fields, {LEF64(v)});
    return Block4("##CC", links, fields);
}

uint64_t MdfBuilder::Tx4(const std::string& text, const char* id)
{
    Bytes data(text.begin(), text.end());
    data.resize((text.size() + 8) / 8 * 8, 0);
    return Block4(id, {}, data);
}

uint64_t MdfBuilder::Dl4(uint64_t next, const std::vector<uint64_t>& blocks)
{
    std::vector<uint64_t> links = {next};
    links.insert(links.end(), blocks.begin(), blocks.end());
    return Block4("##DL", links, LE(blocks.size() << 32, 8));
}

uint64_t MdfBuilder::Chain4(const std::vector<uint64_t>& blocks)
{
    for (size_t k = 1; k < blocks.size(); ++k)
        Link4(blocks[k - 1], 0, blocks[k]);
    return blocks.empty() ? 0 : blocks[0];
}

void MdfBuilder::Save(const std::string& path) const
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(size()));
}

}  // namespace mdftest
