// A channel's conversion block (CC): the rule, its MDF 3 type number and the
// unit. Tables may own nested conversion blocks.
#pragma once

#include <functional>
#include <map>
#include <string>

#include "mdfread/BlockOp.h"
#include "mdfread/Conversions.h"

class CCCBlockOp : public CBlockOp {
public:
    // Deepest nesting of conversions inside tables that is read.
    static constexpr int MaxNesting = 8;

    CCCBlockOp(CMdfStream* file, CBlockOp* parent);
    ~CCCBlockOp() override;

    bool ReadData(unsigned long long offset, bool littleEndian) override;

    bool GetPhyVal(double& value) { return m_rule ? m_rule->GetPhyVal(value) : false; }
    std::map<double, std::string> GetStates() { return m_rule ? m_rule->GetStates() : std::map<double, std::string>(); }
    bool GetLinearFormula(double& slope, double& offset) const
    {
        return m_rule ? m_rule->GetLinearFormula(slope, offset) : false;
    }
    char const* GetUnit() const { return m_unit.c_str(); }
    // MDF 3 numbering: 0 linear, 1/2 tables, 6-9 formulas, 10 text formula,
    // 11 value-to-text, 12 range-to-text, 1000-1002 MDF 4 tables, 65535 identity.
    unsigned GetConversionType() const { return m_type; }
    CConversionType* GetRule() const { return m_rule; }
    // The block (or one nested in it) revisits a block of its own nesting.
    bool FoundCycle() const { return m_cycle; }

private:
    bool ReadMdf3(const std::vector<uint8_t>& bytes);
    bool ReadMdf4(const std::vector<uint8_t>& bytes);
    bool CheckNesting(unsigned long long offset);
    // A table reference: a text (TX or MD), else a nested conversion block.
    // Returns false only when the nesting loops; text or conversion may
    // both come back empty.
    bool ReadReference(uint64_t link, bool& isText, std::string& text, CCCBlockOp*& conversion);
    // Reads each non-zero reference of a table in order and hands it to use
    // (with its index), which takes ownership of a nested conversion. False
    // when the nesting loops.
    using ReferenceUse = std::function<void(uint64_t index, bool isText, const std::string& text, CCCBlockOp* nested)>;
    bool ReadReferences(const std::vector<uint64_t>& refs, const ReferenceUse& use);

    CConversionType* m_rule = nullptr;
    unsigned m_type = 65535;
    std::string m_unit;
    bool m_cycle = false;
};
