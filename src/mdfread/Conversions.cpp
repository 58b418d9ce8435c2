#include "mdfread/Conversions.h"

#include <algorithm>
#include <cmath>

#include "mdfread/CCBlock.h"

namespace {

// Adds the states of a table's nested conversions, its default conversion
// last; states already there (the table's own texts) are kept.
template <typename Key>
void AddNestedStates(std::map<double, std::string>& states,
                     std::map<Key, std::shared_ptr<CCCBlockOp>> const& conversions,
                     std::shared_ptr<CCCBlockOp> const& defaultConversion)
{
    for (auto const& entry : conversions)
        for (auto const& state : entry.second->GetStates())
            states.insert(state);
    if (defaultConversion)
        for (auto const& state : defaultConversion->GetStates())
            states.insert(state);
}

template <typename Key>
bool AnyChangesNumbers(std::map<Key, std::shared_ptr<CCCBlockOp>> const& conversions,
                       std::shared_ptr<CCCBlockOp> const& defaultConversion)
{
    if (defaultConversion && defaultConversion->ChangesNumbers())
        return true;
    return std::any_of(conversions.begin(), conversions.end(),
                       [](auto const& entry) { return entry.second->ChangesNumbers(); });
}

}  // namespace

bool CLinear::GetPhyVal(double& value)
{
    value = value * m_p2 + m_p1;
    return true;
}

bool CLinear::GetLinearFormula(double& slope, double& offset) const
{
    slope = m_p2;
    offset = m_p1;
    return true;
}

void CParametricRule::SetParameter(const double* p, int count)
{
    for (int i = 0; i < count && i < 7; ++i)
        m_p[i] = p[i];
}

bool CPolynomial::GetPhyVal(double& value)
{
    double t = value - P(5) - P(6);
    double denominator = P(3) * t - P(1);
    if (denominator == 0)
        return false;
    value = (P(2) - P(4) * t) / denominator;
    return true;
}

double CParametricRule::ExponentialForm(double value, double (*outer)(double)) const
{
    if (P(4) == 0)
        return outer(((value - P(7)) * P(6) - P(3)) / P(1)) / P(2);
    if (P(1) == 0)
        return outer((P(3) / (value - P(7)) - P(6)) / P(4)) / P(5);
    return value;
}

bool CExponential::GetPhyVal(double& value)
{
    value = ExponentialForm(value, [](double x) { return std::log(x); });
    return true;
}

bool CLogarithmic::GetPhyVal(double& value)
{
    value = ExponentialForm(value, [](double x) { return std::exp(x); });
    return true;
}

bool CRational::GetPhyVal(double& value)
{
    double x = value;
    double denominator = P(4) * x * x + P(5) * x + P(6);
    if (denominator == 0)
        return false;
    value = (P(1) * x * x + P(2) * x + P(3)) / denominator;
    return true;
}

void CValue2Value::AddKeyValue(double key, double value)
{
    if (!std::isnan(key))
        m_table[key] = value;
}

bool CValue2Value::GetPhyVal(double& value)
{
    if (m_table.empty())
        return false;
    auto hi = m_table.upper_bound(value);
    if (hi == m_table.begin()) {
        value = hi->second;
        return true;
    }
    if (hi == m_table.end()) {
        value = m_table.rbegin()->second;
        return true;
    }
    auto lo = std::prev(hi);
    double x = value;
    switch (m_mode) {
    case Interpolate:
        value = lo->second + (x - lo->first) / (hi->first - lo->first) * (hi->second - lo->second);
        return true;
    case Nearest:
        value = (x - lo->first) > (hi->first - x) ? hi->second : lo->second;
        return true;
    case LowerKey:
        value = lo->second;
        return true;
    default:
        return false;
    }
}

void CValueRange2ValTab::AddValueTable(double lower, double upper, double value)
{
    if (std::isnan(lower) || std::isnan(upper))
        return;
    m_ranges.emplace_back(lower, upper);
    m_values.push_back(value);
}

bool CValueRange2ValTab::GetPhyVal(double& value)
{
    for (size_t i = 0; i < m_ranges.size(); ++i)
        if (m_ranges[i].first <= value && value <= m_ranges[i].second) {
            value = m_values[i];
            return true;
        }
    value = m_default;
    return true;
}

// ---- Value to text ---------------------------------------------------------

void CValue2Tabular::AddConversion(double key, const std::string& text, bool isDefault)
{
    if (isDefault)
        m_defaultText = text;
    else if (!std::isnan(key))
        m_texts[key] = text;
}

void CValue2Tabular::AddConversion(double key, Nested conversion, bool isDefault)
{
    if (isDefault)
        m_defaultConversion = std::move(conversion);
    else if (!std::isnan(key))
        m_conversions[key] = std::move(conversion);
}

// One more than the largest key of a text or a nested conversion; fixed once
// the table has been read, so it is computed once.
double CValue2Tabular::GetDefaultKey() const
{
    if (!m_defaultKeyKnown) {
        bool any = !m_texts.empty() || !m_conversions.empty();
        double largest = m_texts.empty() ? 0 : m_texts.rbegin()->first;
        if (!m_conversions.empty() && (m_texts.empty() || m_conversions.rbegin()->first > largest))
            largest = m_conversions.rbegin()->first;
        m_defaultKey = any ? largest + 1 : 0;
        m_defaultKeyKnown = true;
    }
    return m_defaultKey;
}

std::map<double, std::string> CValue2Tabular::GetStates()
{
    std::map<double, std::string> states = m_texts;
    AddNestedStates(states, m_conversions, m_defaultConversion);
    if (!m_defaultConversion && !m_defaultText.empty())
        states.insert({GetDefaultKey(), m_defaultText});
    return states;
}

bool CValue2Tabular::GetPhyVal(double& value)
{
    if (m_texts.count(value))
        return true;
    auto nested = m_conversions.find(value);
    if (nested != m_conversions.end())
        return nested->second->GetPhyVal(value);
    if (m_defaultConversion)
        return m_defaultConversion->GetPhyVal(value);
    if (!m_defaultText.empty())
        value = GetDefaultKey();
    return true;
}

bool CValue2Tabular::ChangesNumbers() const
{
    return AnyChangesNumbers(m_conversions, m_defaultConversion);
}

// ---- Range to text ---------------------------------------------------------

void CValueRange2Tabular::AddConversion(double lower, double upper, const std::string& text)
{
    m_texts[m_ranges.size()] = text;
    m_ranges.emplace_back(lower, upper);
}

void CValueRange2Tabular::SetConversion(size_t index, Nested conversion)
{
    m_conversions[index] = std::move(conversion);
}

void CValueRange2Tabular::SetDefault(const std::string& text) { m_defaultText = text; }

void CValueRange2Tabular::SetDefault(Nested conversion)
{
    m_defaultConversion = std::move(conversion);
}

// One more than the largest state listed before the default text (the range
// texts and the nested conversions' states); nothing when none is listed.
std::optional<double> CValueRange2Tabular::IndexAfterStates()
{
    if (m_indexAfterStatesKnown)
        return m_indexAfterStates;
    std::optional<double> largest;
    auto consider = [&largest](double key) {
        if (!largest || key > *largest)
            largest = key;
    };
    for (auto& entry : m_texts)
        consider(double(entry.first));
    for (auto const& entry : m_conversions)
        for (auto const& state : entry.second->GetStates())
            consider(state.first);
    if (largest)
        m_indexAfterStates = *largest + 1;
    m_indexAfterStatesKnown = true;
    return m_indexAfterStates;
}

std::map<double, std::string> CValueRange2Tabular::GetStates()
{
    std::map<double, std::string> states;
    for (auto& entry : m_texts)
        states.insert({double(entry.first), entry.second});
    AddNestedStates(states, m_conversions, m_defaultConversion);
    if (!m_defaultConversion && !m_defaultText.empty())
        states.insert({IndexAfterStates().value_or(0), m_defaultText});
    return states;
}

bool CValueRange2Tabular::GetPhyVal(double& value)
{
    for (size_t i = 0; i < m_ranges.size(); ++i) {
        if (!(m_ranges[i].first <= value && value <= m_ranges[i].second))
            continue;
        if (m_texts.count(i)) {
            value = double(i);
            return true;
        }
        auto nested = m_conversions.find(i);
        if (nested != m_conversions.end())
            return nested->second->GetPhyVal(value);
        return false;
    }
    if (m_defaultConversion)
        return m_defaultConversion->GetPhyVal(value);
    // Without a default text the default index stands for no state, while
    // the value as it is would read as the state of the index it equals;
    // only a table that lists no state leaves it so.
    const std::optional<double> defaultIndex = IndexAfterStates();
    if (defaultIndex || !m_defaultText.empty())
        value = defaultIndex.value_or(0);
    return true;
}

bool CValueRange2Tabular::ChangesNumbers() const
{
    return AnyChangesNumbers(m_conversions, m_defaultConversion);
}
