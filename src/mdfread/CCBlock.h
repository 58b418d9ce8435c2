// A channel's conversion block (CC): the rule, its MDF 3 type number and the
// unit. Tables may reference nested conversion blocks: each is read once per
// file and shared (CMdfStream::NestedConversions), so that tables referencing
// each other many times over cost no more than their blocks.
#pragma once

#include <functional>
#include <map>
#include <memory>
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
    // Gathered once, when the block is read: a table's nested conversions
    // are shared, and their states would otherwise be gathered once per path.
    const std::map<double, std::string>& GetStates() const { return m_states; }
    // The rule's ChangesNumbers, also gathered once; false without a rule,
    // whose values stay raw.
    bool ChangesNumbers() const { return m_changesNumbers; }
    bool GetLinearFormula(double& slope, double& offset) const
    {
        return m_rule ? m_rule->GetLinearFormula(slope, offset) : false;
    }
    char const* GetUnit() const { return m_unit.c_str(); }
    // MDF 3 numbering: 0 linear, 1/2 tables, 6-9 formulas, 10 text formula,
    // 11 value-to-text, 12 range-to-text, 1000-1002 MDF 4 tables, 65535 identity.
    unsigned GetConversionType() const { return m_type; }
    CConversionType* GetRule() const { return m_rule; }
    // The block's nesting loops, is deeper than MaxNesting or costs more
    // work than the file's size allows: the whole file is refused.
    bool FailsTheFile() const { return m_fatal; }

private:
    bool ReadMdf3(const std::vector<uint8_t>& bytes);
    bool ReadMdf4(const std::vector<uint8_t>& bytes);
    bool Refuse(const char* why, unsigned long long offset);
    // A table reference: a text (TX or MD), else a nested conversion block.
    // Returns false only when the file must be refused; text or conversion
    // may both come back empty.
    bool ReadReference(uint64_t link, bool& isText, std::string& text, std::shared_ptr<CCCBlockOp>& conversion);
    bool ReadNested(uint64_t link, std::shared_ptr<CCCBlockOp>& conversion);
    // Reads each non-zero reference of a table in order and hands it to use
    // (with its index). False when the file must be refused.
    using ReferenceUse = std::function<void(uint64_t index, bool isText, const std::string& text,
                                            const std::shared_ptr<CCCBlockOp>& nested)>;
    bool ReadReferences(const std::vector<uint64_t>& refs, const ReferenceUse& use);

    CConversionType* m_rule = nullptr;
    unsigned m_type = 65535;
    std::string m_unit;
    std::map<double, std::string> m_states;
    bool m_changesNumbers = false;
    int m_depth = 0;      // tables this block is nested in
    int m_height = 0;     // levels of conversions nested below it
    bool m_reading = false;
    bool m_fatal = false;
};
