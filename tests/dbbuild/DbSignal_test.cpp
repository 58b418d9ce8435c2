#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include <gtest/gtest.h>

#include "MdfGen.h"
#include "testlib/TestSupport.h"
#include "dbbuild/DbSignal.h"
#include "mdfread/MDFFileOp.h"

namespace {

DbSignal Fed(std::vector<double> const& values, bool accumulate = true)
{
    DbSignal signal;
    for (size_t i = 0; i < values.size(); ++i)
        signal.ProcessValue(static_cast<long long>(i), 0.1 * static_cast<double>(i), values[i], accumulate);
    return signal;
}

TEST(DbSignalStatistics, ThreeSamples)
{
    DbSignal s = Fed({1, 3, 2});
    EXPECT_EQ(s.min, 1);
    EXPECT_EQ(s.timeAtMin, 0.0);
    EXPECT_EQ(s.max, 3);
    EXPECT_EQ(s.timeAtMax, 0.1);
    EXPECT_EQ(s.sum, 6);
    EXPECT_EQ(s.sumOfSquares, 14);
    EXPECT_EQ(s.firstValue, 1);
    EXPECT_EQ(s.mean, 2);
    EXPECT_DOUBLE_EQ(s.GetStdDev(3), std::sqrt(2.0 / 3.0));
}

TEST(DbSignalStatistics, NonFiniteValuesCountAsZero)
{
    DbSignal s;
    EXPECT_EQ(s.ProcessValue(0, 0.0, 5, true), 5);
    EXPECT_EQ(s.ProcessValue(1, 0.1, std::numeric_limits<double>::quiet_NaN(), true), 0);
    EXPECT_EQ(s.ProcessValue(2, 0.2, std::numeric_limits<double>::infinity(), true), 0);
    EXPECT_EQ(s.min, 0);
    EXPECT_EQ(s.timeAtMin, 0.1);
    EXPECT_EQ(s.sum, 5);
    EXPECT_EQ(s.max, 5);
}

TEST(DbSignalStatistics, TiesKeepTheEarliestTime)
{
    DbSignal s = Fed({2, 7, 7, 1, 1});
    EXPECT_EQ(s.timeAtMax, 0.1);
    EXPECT_EQ(s.timeAtMin, 0.1 * 3);
}

TEST(DbSignalStatistics, NoSampleAndConstantSignals)
{
    DbSignal none;
    EXPECT_EQ(none.min, DBL_MAX);
    EXPECT_EQ(none.max, -DBL_MAX);
    EXPECT_EQ(none.GetStdDev(0), 0);
    EXPECT_EQ(none.GetStdDev(5), 0);
    DbSignal constant = Fed({4.25, 4.25, 4.25, 4.25});
    EXPECT_EQ(constant.GetStdDev(4), 0);
    EXPECT_EQ(constant.min, constant.max);
}

// A one-pass sum-of-squares formula loses everything to cancellation here
// (it gives 124.1); the running m2 keeps the spread of the last digits.
TEST(DbSignalStatistics, LargeOffsetSmallSpread)
{
    std::vector<double> values;
    for (int i = 0; i < 10; ++i)
        values.push_back(1e8 + 0.01 * i);
    DbSignal s = Fed(values);
    EXPECT_NEAR(s.GetStdDev(10), 0.01 * std::sqrt(99.0 / 12.0), 1e-7);
}

TEST(DbSignalStatistics, ValuesAtTheLimitsOfTheDoubleRange)
{
    DbSignal s = Fed({1.7e308, -1.7e308, 0.0, 1.7e308});
    const double stddev = s.GetStdDev(4);
    ASSERT_TRUE(std::isfinite(stddev));
    // Population deviation of {a, -a, 0, a}: a * sqrt(11) / 4.
    EXPECT_NEAR(stddev / 1.7e308, std::sqrt(11.0) / 4.0, 1e-12);
}

TEST(DbSignalStatistics, WithoutAccumulationOnlyTheBoundsMove)
{
    DbSignal s = Fed({5, 9, 1}, false);
    EXPECT_EQ(s.min, 1);
    EXPECT_EQ(s.max, 9);
    EXPECT_EQ(s.sum, 5);
    EXPECT_EQ(s.mean, 5);
}

TEST(DbSignalStatistics, ScaleValue)
{
    DbSignal s;
    s.slope = 0.5;
    s.offset = 10;
    EXPECT_EQ(s.ScaleValue(4), 12);
}

// Scaling kinds, data type codes and selection keys of real channels.
TEST(DbSignalChannels, KindsTypesAndKeys)
{
    testlib::TempDir dir;
    dbtest::GenGroup group;
    group.times = {0.0, 0.1};
    auto add = [&](char const* name, int type, int bits, char const* description) -> dbtest::GenChannel& {
        dbtest::GenChannel c;
        c.name = name;
        c.dataType = type;
        c.bits = bits;
        c.description = description;
        c.values = {1, 2};
        group.channels.push_back(c);
        return group.channels.back();
    };
    add("Speed", 0, 8, "Engine | HS CAN");
    add("Torque", 1, 16, "no separator");
    add("Temp", 3, 32, "");
    add("Volts", 4, 64, "Battery | Body | CAN");
    dbtest::GenChannel& linear = add("Scaled", 0, 16, "");
    linear.factor = 0.25;
    linear.offset = -3;
    add("Gear", 0, 8, "").states = {{0, "P"}, {1, "D"}};
    const std::string path = dir.file("kinds.mf4");
    ASSERT_TRUE(dbtest::WriteMdf4(path, {group}));

    CMDFFileOp file;
    ASSERT_TRUE(file.ReadFile(path));
    std::vector<CCNBlockOp*> channels;
    for (CCNBlockOp* cn = file.GetNextChannel(true); cn; cn = file.GetNextChannel(false))
        if (!cn->IsTimeChannel())
            channels.push_back(cn);
    ASSERT_EQ(channels.size(), 6u);

    EXPECT_EQ(GetUniqueChannelName(channels[0]), "Speed | Engine | HS CAN");
    EXPECT_EQ(GetUniqueChannelName(channels[1]), "Torque |  | ");
    EXPECT_EQ(GetUniqueChannelName(channels[3]), "Volts | Battery | Body | CAN");

    const int types[] = {0, 1, 3, 4, 0, 0};
    const int kinds[] = {DbSignal::Raw, DbSignal::Raw, DbSignal::Raw, DbSignal::Raw, DbSignal::Physical,
                         DbSignal::StateEncoded};
    for (size_t k = 0; k < channels.size(); ++k) {
        DbSignal signal(channels[k]);
        EXPECT_EQ(GetOrbkDataType(channels[k]), types[k]) << k;
        EXPECT_EQ(signal.scalingKind, kinds[k]) << k;
        EXPECT_EQ(signal.HasCustomScaling(), kinds[k] == DbSignal::Physical) << k;
    }
    DbSignal scaled(channels[4]);
    EXPECT_EQ(scaled.slope, 0.25);
    EXPECT_EQ(scaled.offset, -3);
    EXPECT_EQ(scaled.bitCount, 16);
    std::map<double, std::string> states;
    EXPECT_TRUE(DbSignal(channels[5]).GetStates(states));
    EXPECT_EQ(states, (std::map<double, std::string>{{0, "P"}, {1, "D"}}));
    EXPECT_FALSE(DbSignal(channels[0]).GetStates(states));
}

}  // namespace

namespace {

// A batch, fed in two blocks, holds bit for bit what feeding each signal
// sample by sample gives: small values with ties, values near the ends of
// the double range (the wide path), infinities and NaN.
TEST(DbSignalStatistics, BatchFeedingEqualsSampleBySample)
{
    std::mt19937_64 random(11);
    const size_t signals = 5, records = 400;  // pairs and a single signal
    std::vector<double> values(signals * records), times(records);
    for (size_t r = 0; r < records; ++r)
        times[r] = 0.01 * static_cast<double>(r);
    double const special[] = {1e300, -1.7e308, std::numeric_limits<double>::infinity(), NAN, 3.0};
    for (double& v : values)
        v = random() % 10 == 0 ? special[random() % 5] : static_cast<double>(random() % 4) + 0.25 * (random() % 3);
    std::vector<DbSignal> single(signals), batched(signals);
    std::vector<DbSignal*> pointers;
    for (size_t k = 0; k < signals; ++k) {
        for (size_t r = 0; r < records; ++r)
            single[k].ProcessValue(static_cast<long long>(r), times[r], values[k * records + r], true);
        batched[k].ProcessValue(0, times[0], values[k * records], true);
        pointers.push_back(&batched[k]);
    }
    SignalBatch batch;
    batch.Load(pointers);
    batch.Feed(values.data() + 1, records, times.data() + 1, 1, 150);
    batch.Feed(values.data() + 151, records, times.data() + 151, 151, records - 151);
    batch.Store();
    for (size_t k = 0; k < signals; ++k) {
        DbSignal const &a = single[k], &b = batched[k];
        for (auto field : {&DbSignal::min, &DbSignal::max, &DbSignal::timeAtMin, &DbSignal::timeAtMax, &DbSignal::sum,
                           &DbSignal::sumOfSquares, &DbSignal::mean, &DbSignal::m2, &DbSignal::firstValue})
            EXPECT_EQ(std::memcmp(&(a.*field), &(b.*field), sizeof(double)), 0) << k << ": " << a.*field << " " << b.*field;
        EXPECT_EQ(a.m2Wide, b.m2Wide) << k;
    }
}

}  // namespace
