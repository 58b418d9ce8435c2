#include "mdfread/CCBlock.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "mdfread/TXBlock.h"
#include "support/LibUtils.h"

namespace {

// MDF 3 layout: head, range flag, minimum, maximum, unit[20], type, size.
constexpr size_t Mdf3Fixed = 46;
// MDF 4 fields after the links: type, precision, flags, reference count,
// value count, physical range.
constexpr uint64_t Mdf4Fixed = 24;

std::string FixedText(const uint8_t* p, size_t size)
{
    size_t length = 0;
    while (length < size && p[length] != 0)
        ++length;
    return std::string(reinterpret_cast<const char*>(p), length);
}

}  // namespace

CCCBlockOp::CCCBlockOp(CMdfStream* file, CBlockOp* parent) : CBlockOp(file, parent, "CC") {}

CCCBlockOp::~CCCBlockOp() { delete m_rule; }

bool CCCBlockOp::Refuse(const char* why, unsigned long long offset)
{
    m_fatal = true;
    ReportBlock(why, offset);
    return false;
}

bool CCCBlockOp::ReadData(unsigned long long offset, bool littleEndian)
{
    if (m_depth > MaxNesting)
        return Refuse("Conversion blocks nested in a loop or too deep", offset);
    BLOCKHEAD head;
    if (ReadBlock(head, offset, littleEndian) == 0)
        return false;
    std::vector<uint8_t> bytes;
    if (!LoadBlock(bytes, Mdf3Fixed, Mdf3Fixed, 4, Mdf4Fixed))
        return false;
    if (!(IsMdf4() ? ReadMdf4(bytes) : ReadMdf3(bytes)))
        return false;
    if (m_rule) {
        m_states = m_rule->GetStates();
        m_changesNumbers = m_rule->ChangesNumbers();
    }
    return true;
}

bool CCCBlockOp::ReadMdf3(const std::vector<uint8_t>& bytes)
{
    const bool le = m_littleEndian;
    m_unit = FixedText(&bytes[22], 20);
    m_type = ReadU16(&bytes[42], le);
    const size_t count = ReadU16(&bytes[44], le);
    const size_t length = size_t(m_blockLength);
    // Only whole entries inside the block are taken.
    auto entries = [&](size_t entrySize) { return std::min(count, (length - Mdf3Fixed) / entrySize); };
    auto f64 = [&](size_t at) { return ReadF64(&bytes[at], le); };

    switch (m_type) {
    case 0: case 6: case 7: case 8: case 9: {
        double p[7] = {0, 0, 0, 0, 0, 0, 0};
        size_t present = std::min<size_t>(7, (length - Mdf3Fixed) / 8);
        for (size_t i = 0; i < present; ++i)
            p[i] = f64(Mdf3Fixed + 8 * i);
        CParametricRule* rule = nullptr;
        if (m_type == 0) {
            m_rule = new CLinear(p[0], p[1]);
            break;
        }
        if (m_type == 6)
            rule = new CPolynomial;
        else if (m_type == 7)
            rule = new CExponential;
        else if (m_type == 8)
            rule = new CLogarithmic;
        else
            rule = new CRational;
        rule->SetParameter(p, 7);
        m_rule = rule;
        break;
    }
    case 1: case 2: {
        auto* rule = new CValue2Value(m_type == 1 ? CValue2Value::Interpolate : CValue2Value::LowerKey);
        for (size_t i = 0, n = entries(16); i < n; ++i)
            rule->AddKeyValue(f64(Mdf3Fixed + 16 * i), f64(Mdf3Fixed + 16 * i + 8));
        m_rule = rule;
        break;
    }
    case 10:
        m_rule = new CTextFormula;
        break;
    case 11: {
        auto* rule = new CValue2Tabular;
        for (size_t i = 0, n = entries(40); i < n; ++i) {
            size_t at = Mdf3Fixed + 40 * i;
            rule->AddConversion(f64(at), FixedText(&bytes[at + 8], 32), false);
        }
        m_rule = rule;
        break;
    }
    case 12: {
        // The first entry is the default; the others are added from the last
        // down, so range positions count in reverse file order.
        auto* rule = new CValueRange2Tabular;
        size_t n = entries(20);
        for (size_t i = n; i-- > 1;) {
            size_t at = Mdf3Fixed + 20 * i;
            std::string text;
            if (CTXBlockOp::ReadText(m_file, this, ReadU32(&bytes[at + 16], le), le, text))
                rule->AddConversion(f64(at), f64(at + 8), text);
        }
        std::string text;
        if (n > 0 && CTXBlockOp::ReadText(m_file, this, ReadU32(&bytes[Mdf3Fixed + 16], le), le, text))
            rule->SetDefault(text);
        m_rule = rule;
        break;
    }
    case 65535:
        m_rule = new COne2One;
        break;
    default:
        break;  // unsupported: values stay raw
    }
    return true;
}

bool CCCBlockOp::ReadReference(uint64_t link, bool& isText, std::string& text,
                               std::shared_ptr<CCCBlockOp>& conversion)
{
    isText = false;
    conversion.reset();
    if (CTXBlockOp::ReadText(m_file, this, link, true, text)) {
        isText = true;
        return true;
    }
    return ReadNested(link, conversion);
}

// A block read before is shared as long as the nesting stays within
// MaxNesting along this path; one still being read is a loop.
bool CCCBlockOp::ReadNested(uint64_t link, std::shared_ptr<CCCBlockOp>& conversion)
{
    auto& shared = m_file->NestedConversions();
    auto known = shared.find(link);
    if (known != shared.end()) {
        const std::shared_ptr<CCCBlockOp>& block = known->second;
        if (block && (block->m_reading || m_depth + 1 + block->m_height > MaxNesting))
            return Refuse("Conversion blocks nested in a loop or too deep", link);
        conversion = block;
        return true;
    }
    auto block = std::make_shared<CCCBlockOp>(m_file, nullptr);
    block->m_depth = m_depth + 1;
    block->m_reading = true;
    shared.emplace(link, block);
    const bool read = block->ReadData(link, true);
    block->m_reading = false;
    if (!read) {
        shared[link] = nullptr;  // left out of every table that references it
        return !block->FailsTheFile();
    }
    conversion = block;
    return true;
}

bool CCCBlockOp::ReadReferences(const std::vector<uint64_t>& refs, const ReferenceUse& use)
{
    for (uint64_t i = 0; i < refs.size(); ++i) {
        if (refs[i] == 0)
            continue;
        bool isText;
        std::string text;
        std::shared_ptr<CCCBlockOp> nested;
        if (!ReadReference(refs[i], isText, text, nested)) {
            m_fatal = true;
            return false;
        }
        if (!m_file->ChargeNestingWork(1 + (nested ? nested->m_states.size() : 0)))
            return Refuse("Conversion tables nested with more work than the file's size allows", m_blockOffset);
        if (nested)
            m_height = std::max(m_height, nested->m_height + 1);
        use(i, isText, text, nested);
    }
    return true;
}

bool CCCBlockOp::ReadMdf4(const std::vector<uint8_t>& bytes)
{
    const uint64_t linksEnd = DataSectionStart();
    const uint8_t* fields = &bytes[linksEnd];
    const unsigned fileType = fields[0];
    const uint64_t refCount = ReadU16(fields + 4, true);
    const uint64_t valueCount = ReadU16(fields + 6, true);
    if (refCount > m_linkCount - 4 || valueCount * 8 > m_blockLength - linksEnd - Mdf4Fixed) {
        ReportBlock("Conversion block with more references or values than it holds", m_blockOffset);
        return false;
    }
    std::vector<double> values(valueCount);
    for (uint64_t i = 0; i < valueCount; ++i)
        values[i] = ReadF64(fields + Mdf4Fixed + 8 * i, true);
    std::vector<uint64_t> refs(refCount);
    for (uint64_t i = 0; i < refCount; ++i)
        refs[i] = ReadU64(&bytes[24 + 8 * (4 + i)], true);

    std::string unit;
    if (CTXBlockOp::ReadText(m_file, this, ReadU64(&bytes[24 + 8], true), true, unit))
        m_unit = unit;

    switch (fileType) {
    case 0:
        m_type = 65535;
        m_rule = new COne2One;
        return true;
    case 1:
        if (valueCount < 2)
            return false;
        m_type = 0;
        m_rule = new CLinear(values[0], values[1]);
        return true;
    case 2: {
        if (valueCount < 6)
            return false;
        m_type = 9;
        auto* rule = new CRational;
        rule->SetParameter(values.data(), 6);
        m_rule = rule;
        return true;
    }
    case 3: {
        if (refCount < 1)
            return false;
        m_type = 10;
        std::string expression;
        if (CTXBlockOp::ReadText(m_file, this, refs[0], true, expression))
            m_rule = new CTextFormula;
        return true;
    }
    case 4: case 5: {
        m_type = fileType == 4 ? 1 : 1000;
        auto* rule = new CValue2Value(fileType == 4 ? CValue2Value::Interpolate : CValue2Value::Nearest);
        for (uint64_t i = 0; i + 1 < valueCount; i += 2)
            rule->AddKeyValue(values[i], values[i + 1]);
        m_rule = rule;
        return true;
    }
    case 6: {
        if (valueCount < 1)
            return false;
        m_type = 1001;
        auto* rule = new CValueRange2ValTab;
        for (uint64_t t = 0; t < (valueCount - 1) / 3; ++t)
            rule->AddValueTable(values[3 * t], values[3 * t + 1], values[3 * t + 2]);
        rule->SetDefaultVal(values[valueCount - 1]);
        m_rule = rule;
        return true;
    }
    case 7: {
        m_type = 1002;
        auto* rule = new CValue2Tabular;
        m_rule = rule;
        return ReadReferences(refs, [&](uint64_t i, bool isText, const std::string& text,
                                        const std::shared_ptr<CCCBlockOp>& nested) {
            double key = i < valueCount ? values[i] : 0;
            if (isText)
                rule->AddConversion(key, text, i >= valueCount);
            else if (nested)
                rule->AddConversion(key, nested, i >= valueCount);
        });
    }
    case 8: {
        m_type = 12;
        auto* rule = new CValueRange2Tabular;
        m_rule = rule;
        const uint64_t ranges = valueCount / 2;
        for (uint64_t i = 0; i < ranges; ++i)
            rule->AddRange(values[2 * i], values[2 * i + 1]);
        return ReadReferences(refs, [&](uint64_t i, bool isText, const std::string& text,
                                        const std::shared_ptr<CCCBlockOp>& nested) {
            if (i < ranges) {
                if (isText)
                    rule->SetText(i, text);
                else if (nested)
                    rule->SetConversion(i, nested);
            } else if (isText) {
                rule->SetDefault(text);
            } else if (nested) {
                rule->SetDefault(nested);
            }
        });
    }
    default:
        m_type = 65535;  // text-to-value, text-to-text, bit-field tables: no rule
        return true;
    }
}
