// Conversion rules on their own: formulas, value tables in each look-up
// mode, value-to-text and range-to-text tables with their default key.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "mdfread/Conversions.h"

TEST(ConversionRules, LinearAndItsFormula)
{
    CLinear rule(10, 0.5);
    double v = 4;
    EXPECT_TRUE(rule.GetPhyVal(v));
    EXPECT_EQ(v, 12);
    double slope, offset;
    ASSERT_TRUE(rule.GetLinearFormula(slope, offset));
    EXPECT_EQ(slope, 0.5);
    EXPECT_EQ(offset, 10);
    CRational other;
    EXPECT_FALSE(other.GetLinearFormula(slope, offset));
}

TEST(ConversionRules, ZeroDenominatorsLeaveTheValue)
{
    CRational rational;
    double p[6] = {1, 2, 3, 0, 0, 0};
    rational.SetParameter(p, 6);
    double v = 7;
    EXPECT_FALSE(rational.GetPhyVal(v));
    EXPECT_EQ(v, 7);
    CPolynomial polynomial;  // all parameters 0: denominator 0
    EXPECT_FALSE(polynomial.GetPhyVal(v));
    EXPECT_EQ(v, 7);
}

TEST(ConversionRules, Mdf3ExponentialTakesTheLogarithmAndLogarithmicTheExponential)
{
    double p[7] = {1000, 1, 0, 0, 0, 1, 0};
    CExponential exponential;
    exponential.SetParameter(p, 7);
    CLogarithmic logarithmic;
    logarithmic.SetParameter(p, 7);
    double a = 2000, b = 2000;
    EXPECT_TRUE(exponential.GetPhyVal(a));
    EXPECT_TRUE(logarithmic.GetPhyVal(b));
    EXPECT_DOUBLE_EQ(a, std::log(2.0));
    EXPECT_DOUBLE_EQ(b, std::exp(2.0));
}

TEST(ConversionRules, ValueTableModes)
{
    struct Case {
        int mode;
        double x, want;
    };
    for (Case c : {Case{0, 5, 50}, Case{1, 4, 0}, Case{1, 5, 0}, Case{1, 6, 100}, Case{2, 9, 0}, Case{0, -3, 0},
                   Case{1, -3, 0}, Case{2, 20, 100}, Case{0, 20, 100}}) {
        CValue2Value table(c.mode);
        table.AddKeyValue(0, 0);
        table.AddKeyValue(10, 100);
        table.AddKeyValue(std::numeric_limits<double>::quiet_NaN(), 5);  // skipped
        double v = c.x;
        EXPECT_TRUE(table.GetPhyVal(v));
        EXPECT_EQ(v, c.want) << "mode " << c.mode << " x " << c.x;
    }
    CValue2Value empty(0);
    double v = 1;
    EXPECT_FALSE(empty.GetPhyVal(v));
}

TEST(ConversionRules, ValueToTextKeepsStateNumbersAndUsesTheDefaultKey)
{
    CValue2Tabular table;
    table.AddConversion(0, "Off", false);
    table.AddConversion(1, "On", false);
    table.AddConversion(0, "Error", true);
    double v = 1;
    EXPECT_TRUE(table.GetPhyVal(v));
    EXPECT_EQ(v, 1);
    v = 7;
    EXPECT_TRUE(table.GetPhyVal(v));
    EXPECT_EQ(v, 2);
    EXPECT_EQ(table.GetStates(), (std::map<double, std::string>{{0, "Off"}, {1, "On"}, {2, "Error"}}));

    CValue2Tabular single;
    single.AddConversion(0, "Zero", false);
    single.AddConversion(0, "Other", true);
    EXPECT_EQ(single.GetDefaultKey(), 1);
}

// Both text tables take an empty default text as no default: a value outside
// the table keeps its raw number rather than a key that names no state.
TEST(ConversionRules, AnEmptyDefaultTextIsNoDefault)
{
    CValue2Tabular values;
    values.AddConversion(0, "Off", false);
    values.AddConversion(0, "", true);
    CValueRange2Tabular ranges;
    ranges.AddConversion(0, 0, "Off");
    ranges.SetDefault("");
    for (CConversionType* table : {static_cast<CConversionType*>(&values), static_cast<CConversionType*>(&ranges)}) {
        double v = 7;
        EXPECT_TRUE(table->GetPhyVal(v));
        EXPECT_EQ(v, 7);
        EXPECT_EQ(table->GetStates(), (std::map<double, std::string>{{0, "Off"}}));
    }
}

TEST(ConversionRules, RangeToValueFallsBackToTheDefault)
{
    CValueRange2ValTab table;
    table.AddValueTable(0, 99, 1.5);
    table.AddValueTable(100, 199, 2.5);
    table.SetDefaultVal(-1);
    for (auto [x, want] : {std::pair<double, double>{0, 1.5}, {99, 1.5}, {100, 2.5}, {150, 2.5}, {250, -1}}) {
        double v = x;
        EXPECT_TRUE(table.GetPhyVal(v));
        EXPECT_EQ(v, want) << x;
    }
}

TEST(ConversionRules, RangeToTextGivesTheRangesOwnPosition)
{
    CValueRange2Tabular table;
    table.AddRange(0, 9);      // position 0, no text: cannot convert
    table.AddRange(10, 19);    // position 1
    table.SetText(1, "Mid");
    table.AddConversion(20, 29, "High");  // position 2
    table.SetDefault("Other");
    double v = 15;
    EXPECT_TRUE(table.GetPhyVal(v));
    EXPECT_EQ(v, 1);
    v = 25;
    EXPECT_TRUE(table.GetPhyVal(v));
    EXPECT_EQ(v, 2);
    v = 5;
    EXPECT_FALSE(table.GetPhyVal(v));
    v = 40;
    EXPECT_TRUE(table.GetPhyVal(v));
    EXPECT_EQ(v, 3);
    EXPECT_EQ(table.GetStates(), (std::map<double, std::string>{{1, "Mid"}, {2, "High"}, {3, "Other"}}));
    EXPECT_EQ(table.GetRange(2), (std::pair<double, double>(20, 29)));
    EXPECT_EQ(table.GetRange(9), (std::pair<double, double>(0, 0)));
}

TEST(ConversionRules, TextFormulaIsNotEvaluated)
{
    CTextFormula formula;
    formula.SetExpression("X * 2");
    double v = 3;
    EXPECT_FALSE(formula.GetPhyVal(v));
    EXPECT_EQ(v, 3);
}
