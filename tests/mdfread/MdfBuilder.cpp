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

MdfBuilder::MdfBuilder(bool mdf4, bool bigEndian) : m_mdf4(mdf4), m_little(mdf4 || !bigEndian)
{
    bytes.assign(64, 0);
    Text(0, "MDF     ");
    Text(8, mdf4 ? "4.10    " : "3.30    ");
    Text(16, "test    ");
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
    bytes.insert(bytes.end(), data.begin(), data.end());
    return at;
}

uint64_t MdfBuilder::AppendZeros(size_t count) { return Append(std::vector<uint8_t>(count, 0)); }

// ---- MDF 3 -----------------------------------------------------------------

uint64_t MdfBuilder::Block3(const char* id, size_t size)
{
    uint64_t at = AppendZeros(size);
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
                         unsigned byteOffset, uint64_t cc, size_t size)
{
    uint64_t at = Block3("CN", size);
    U32(at + 8, cc);
    U16(at + 24, isTime ? 1 : 0);
    Text(at + 26, name.substr(0, 32));
    U16(at + 186, startBit);
    U16(at + 188, bits);
    U16(at + 190, dataType);
    if (size >= 228)
        U16(at + 226, byteOffset);
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
    while (bytes.size() % 8)
        bytes.push_back(0);
    uint64_t at = bytes.size();
    uint64_t length = 24 + 8 * links.size() + data.size();
    AppendZeros(size_t(length));
    Text(at, std::string(id, 4));
    U64(at + 8, length);
    U64(at + 16, links.size());
    for (size_t i = 0; i < links.size(); ++i)
        U64(at + 24 + 8 * i, links[i]);
    if (!data.empty())
        std::memcpy(&bytes[at + 24 + 8 * links.size()], data.data(), data.size());
    return at;
}

uint64_t MdfBuilder::Hd4(uint64_t dg, uint64_t startNs)
{
    std::vector<uint8_t> data = LE(startNs, 8);
    data.resize(32, 0);
    return Block4("##HD", {dg, 0, 0, 0, 0, 0}, data);
}

uint64_t MdfBuilder::Dg4(uint64_t cg, uint64_t data, unsigned recordIdSize)
{
    std::vector<uint8_t> fields(8, 0);
    fields[0] = uint8_t(recordIdSize);
    return Block4("##DG", {0, cg, data, 0}, fields);
}

uint64_t MdfBuilder::Cg4(uint64_t cn, uint64_t recordId, uint64_t cycles, uint32_t dataBytes, uint32_t invalBytes)
{
    std::vector<uint8_t> fields = LE(recordId, 8);
    auto add = [&](std::vector<uint8_t> more) { fields.insert(fields.end(), more.begin(), more.end()); };
    add(LE(cycles, 8));
    add(LE(0, 8));
    add(LE(dataBytes, 4));
    add(LE(invalBytes, 4));
    return Block4("##CG", {0, cn, 0, 0, 0, 0}, fields);
}

uint64_t MdfBuilder::Cn4(uint64_t name, unsigned channelType, unsigned syncType, unsigned dataType, unsigned bitOffset,
                         uint32_t byteOffset, uint32_t bits, uint64_t cc, uint64_t unit, uint64_t comment)
{
    std::vector<uint8_t> fields = {uint8_t(channelType), uint8_t(syncType), uint8_t(dataType), uint8_t(bitOffset)};
    auto add = [&](std::vector<uint8_t> more) { fields.insert(fields.end(), more.begin(), more.end()); };
    add(LE(byteOffset, 4));
    add(LE(bits, 4));
    fields.resize(72, 0);
    return Block4("##CN", {0, 0, name, 0, cc, 0, unit, comment}, fields);
}

uint64_t MdfBuilder::Cc4(unsigned type, const std::vector<uint64_t>& refs, const std::vector<double>& values,
                         uint64_t unit)
{
    std::vector<uint64_t> links = {0, unit, 0, 0};
    links.insert(links.end(), refs.begin(), refs.end());
    std::vector<uint8_t> fields = {uint8_t(type), 0, 0, 0};
    auto add = [&](std::vector<uint8_t> more) { fields.insert(fields.end(), more.begin(), more.end()); };
    add(LE(refs.size(), 2));
    add(LE(values.size(), 2));
    add(std::vector<uint8_t>(16, 0));
    for (double v : values)
        add(LEF64(v));
    return Block4("##CC", links, fields);
}

uint64_t MdfBuilder::Tx4(const std::string& text, const char* id)
{
    std::vector<uint8_t> data(text.begin(), text.end());
    data.push_back(0);
    while (data.size() % 8)
        data.push_back(0);
    return Block4(id, {}, data);
}

uint64_t MdfBuilder::Dt4(const std::vector<uint8_t>& data, const char* id) { return Block4(id, {}, data); }

uint64_t MdfBuilder::Dl4(uint64_t next, const std::vector<uint64_t>& blocks)
{
    std::vector<uint64_t> links = {next};
    links.insert(links.end(), blocks.begin(), blocks.end());
    std::vector<uint8_t> fields = {0, 0, 0, 0};
    std::vector<uint8_t> count = LE(blocks.size(), 4);
    fields.insert(fields.end(), count.begin(), count.end());
    return Block4("##DL", links, fields);
}

void MdfBuilder::Save(const std::string& path) const
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

}  // namespace mdftest
