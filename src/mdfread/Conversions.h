// Conversion rules: turn a channel's raw value into its physical value, and
// list the text states that value-to-text and range-to-text tables stand for.
// Rules are immutable once the conversion block has been read.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class CCCBlockOp;

class CConversionType {
public:
    CConversionType() = default;
    virtual ~CConversionType() = default;
    CConversionType(const CConversionType&) = delete;
    CConversionType& operator=(const CConversionType&) = delete;

    virtual std::map<double, std::string> GetStates() { return {}; }
    // Converts value in place; false when the rule cannot convert it.
    virtual bool GetPhyVal(double& value) { (void)value; return true; }
    virtual bool GetLinearFormula(double& slope, double& offset) const
    {
        (void)slope;
        (void)offset;
        return false;
    }
    // Whether GetPhyVal can give a number other than the raw value or a text
    // table's key or index: a physical value, which the channel's integer
    // type need not hold.
    virtual bool ChangesNumbers() const { return true; }
};

class COne2One : public CConversionType {
public:
    bool ChangesNumbers() const override { return false; }
};

class CLinear : public CConversionType {
public:
    CLinear(double p1, double p2) : m_p1(p1), m_p2(p2) {}
    bool GetPhyVal(double& value) override;
    bool GetLinearFormula(double& slope, double& offset) const override;
    bool ChangesNumbers() const override { return !(m_p2 == 1 && m_p1 == 0); }

private:
    double m_p1, m_p2;
};

// Parameters P1..P7 in file order; unused ones stay 0.
class CParametricRule : public CConversionType {
public:
    void SetParameter(const double* p, int count);

protected:
    double P(int n) const { return m_p[n - 1]; }
    // The two forms shared by the exponential and logarithmic rules, which
    // differ only in the outer function (ln or exp); other parameters leave
    // the value as it is.
    double ExponentialForm(double value, double (*outer)(double)) const;

private:
    double m_p[7] = {0, 0, 0, 0, 0, 0, 0};
};

class CPolynomial : public CParametricRule {
public:
    bool GetPhyVal(double& value) override;
};

// MDF 3 type 7: the logarithm of the exponential formula's argument.
class CExponential : public CParametricRule {
public:
    bool GetPhyVal(double& value) override;
};

// MDF 3 type 8: as CExponential with exp in place of ln.
class CLogarithmic : public CParametricRule {
public:
    bool GetPhyVal(double& value) override;
};

class CRational : public CParametricRule {
public:
    bool GetPhyVal(double& value) override;
};

// Formulas are not evaluated: values stay raw.
class CTextFormula : public CConversionType {
public:
    bool GetPhyVal(double& value) override { (void)value; return false; }
    bool ChangesNumbers() const override { return false; }
};

class CValue2Value : public CConversionType {
public:
    enum Interpolation { Interpolate = 0, Nearest = 1, LowerKey = 2 };
    explicit CValue2Value(int mode) : m_mode(mode) {}
    void AddKeyValue(double key, double value);
    bool GetPhyVal(double& value) override;

private:
    std::map<double, double> m_table;
    int m_mode;
};

class CValueRange2ValTab : public CConversionType {
public:
    void AddValueTable(double lower, double upper, double value);
    void SetDefaultVal(double value) { m_default = value; }
    bool GetPhyVal(double& value) override;

private:
    std::vector<std::pair<double, double>> m_ranges;
    std::vector<double> m_values;
    double m_default = 0;
};

// Value-to-text table: a value equal to a text key stays as it is (the number
// stands for the text state). Nested conversion blocks are shared with every
// table of the file that references them. An empty default text is no
// default, here as in range-to-text tables: it would give values a key
// that stands for no state.
class CValue2Tabular : public CConversionType {
public:
    using Nested = std::shared_ptr<CCCBlockOp>;
    void AddConversion(double key, const std::string& text, bool isDefault);
    void AddConversion(double key, Nested conversion, bool isDefault);
    std::map<double, std::string> GetStates() override;
    bool GetPhyVal(double& value) override;
    bool ChangesNumbers() const override;
    double GetDefaultKey() const;

private:
    std::map<double, std::string> m_texts;
    std::map<double, Nested> m_conversions;
    std::string m_defaultText;
    Nested m_defaultConversion;
    mutable bool m_defaultKeyKnown = false;
    mutable double m_defaultKey = 0;
};

// Range-to-text table; a value inside range i becomes i, the range's own
// position in the list. A value in no range becomes the default index also
// without a default text, when the table lists states: kept as it is, it
// would read as the state of the index it equals.
class CValueRange2Tabular : public CConversionType {
public:
    using Nested = std::shared_ptr<CCCBlockOp>;
    void AddConversion(double lower, double upper, const std::string& text);
    // A range whose text or conversion is set later by its index.
    void AddRange(double lower, double upper) { m_ranges.emplace_back(lower, upper); }
    void SetText(size_t index, const std::string& text) { m_texts[index] = text; }
    void SetConversion(size_t index, Nested conversion);
    void SetDefault(const std::string& text);
    void SetDefault(Nested conversion);
    std::map<double, std::string> GetStates() override;
    bool GetPhyVal(double& value) override;
    bool ChangesNumbers() const override;

private:
    // The default index; nothing while no state is listed.
    std::optional<double> IndexAfterStates();
    std::vector<std::pair<double, double>> m_ranges;
    std::map<size_t, std::string> m_texts;
    std::map<size_t, Nested> m_conversions;
    std::string m_defaultText;
    Nested m_defaultConversion;
    bool m_indexAfterStatesKnown = false;
    std::optional<double> m_indexAfterStates;
};
