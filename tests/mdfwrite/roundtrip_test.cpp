// Files written by the MDF writers (the golden scenarios of
// mdf_golden_writer) read back through the project's own MDF reader: names,
// units, comments, record counts, start time, every decoded value, text
// states and linear formulas, in both versions.
#include <gtest/gtest.h>

#include "testlib/TestSupport.h"
#include "mdfread/MDFFileOp.h"

#include <cmath>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

// 2021-03-05 14:07:09 UTC, the start the golden writer gives, in seconds
// since 2007-01-01 UTC.
constexpr double kStart = 447343629.0;

struct ChannelSeen {
    std::string unit;
    std::string comment;
    std::vector<double> values;  // getValue of every record
    std::vector<double> times;   // the time channel of every record
    std::map<double, std::string> states;
    bool linear = false;
    double slope = 1.0, offset = 0.0;
};

class WrittenFile {
public:
    WrittenFile(std::string const& scenario)
    {
        char const* writer = std::getenv("MDF_GOLDEN_WRITER");
        EXPECT_TRUE(writer) << "MDF_GOLDEN_WRITER is not set";
        path_ = dir_.file(scenario + ".mdf");
        auto run = testlib::run(testlib::shellQuote(writer ? writer : "false") + " " + scenario + " " +
                                testlib::shellQuote(path_));
        EXPECT_EQ(run.exitCode, 0) << scenario << ": " << run.output;
    }

    // Reads every channel of the file (UTC, so MDF 3 header dates, which the
    // reader takes as local time, give the written instant).
    std::map<std::string, ChannelSeen> Read(double& start)
    {
        testlib::ScopedEnv utc("TZ", "UTC");
        std::map<std::string, ChannelSeen> seen;
        CMDFFileOp file;
        EXPECT_TRUE(file.ReadFile(path_));
        start = file.GetMeasurementStartTimestamp();
        for (CCNBlockOp* cn = file.GetNextChannel(true); cn; cn = file.GetNextChannel(false)) {
            if (cn->IsTimeChannel())
                continue;
            ChannelSeen& channel = seen[cn->GetName()];
            channel.unit = cn->GetUnit();
            channel.comment = cn->GetComment();
            if (CCCBlockOp* cc = cn->GetConversion()) {
                channel.states = cc->GetStates();
                channel.linear = cc->GetLinearFormula(channel.slope, channel.offset);
            }
            CCGBlockOp* group = cn->GetChannelGroup();
            CCNBlockOp* time = cn->GetTimeChannel();
            std::vector<char> record(group->GetDataRecordSize());
            for (unsigned long long i = 0; i < group->GetRecordCount(); ++i) {
                EXPECT_TRUE(group->ReadRecord(record.data(), i)) << cn->GetName() << " record " << i;
                channel.values.push_back(cn->getValue(record.data() + cn->GetByteOffset() + cn->GetStartBit() / 8));
                if (time)
                    channel.times.push_back(
                        time->getValue(record.data() + time->GetByteOffset() + time->GetStartBit() / 8));
            }
        }
        return seen;
    }

private:
    testlib::TempDir dir_;
    std::string path_;
};

std::vector<double> Series(int count, double (*f)(int))
{
    std::vector<double> out;
    for (int i = 0; i < count; ++i)
        out.push_back(f(i));
    return out;
}

void ExpectGolden(std::map<std::string, ChannelSeen>& seen, bool v4)
{
    ASSERT_EQ(seen.size(), 9u);

    ChannelSeen& speed = seen["speed"];
    EXPECT_EQ(speed.unit, "rpm");
    EXPECT_EQ(speed.comment, "Engine speed | HS CAN");
    EXPECT_TRUE(speed.linear);
    EXPECT_EQ(speed.slope, 0.25);
    EXPECT_EQ(speed.offset, -10.0);
    EXPECT_EQ(speed.values, Series(5, [](int i) { return (1000 + 4 * i) * 0.25 - 10.0; }));
    EXPECT_EQ(speed.times, Series(5, [](int i) { return i * 0.01; }));

    ChannelSeen& gear = seen["gear"];
    EXPECT_EQ(gear.states, (std::map<double, std::string>{{0, "Park"}, {1, "Reverse"}, {2, "Drive"}}));
    EXPECT_EQ(gear.values, Series(5, [](int i) { return double(i % 3); }));
    EXPECT_EQ(gear.comment, "Gear lever");

    EXPECT_EQ(seen["coolant"].unit, "degC");
    EXPECT_EQ(seen["coolant"].values, Series(5, [](int i) { return 80.5 + i; }));

    EXPECT_EQ(seen["be_word"].values, Series(3, [](int i) { return double(0x1234 + i); }));
    EXPECT_EQ(seen["be_word"].times, Series(3, [](int i) { return 0.5 * i; }));
    EXPECT_EQ(seen["nibble"].values, Series(3, [](int i) { return double((i + 5) & 0xF); }));
    EXPECT_EQ(seen["a_channel_name_longer_than_31_characters"].values,
              Series(3, [](int i) { return -100000.0 + i; }));
    EXPECT_EQ(seen["halved"].values, Series(3, [](int i) { return (-300 + 7 * i) * -0.5; }));

    EXPECT_EQ(seen["square"].values, Series(4, [](int i) { return i * i - 0.5; }));
    EXPECT_EQ(seen["square"].times, Series(4, [](int i) { return 1.0 + i; }));

    // A channel with a formula and states: MDF 3.30 keeps the states, MDF
    // 4.00 the formula.
    ChannelSeen& both = seen["both"];
    if (v4) {
        EXPECT_TRUE(both.linear);
        EXPECT_TRUE(both.states.empty());
        EXPECT_EQ(both.values, Series(4, [](int i) { return 2.0 * i + 1.0; }));
    } else {
        EXPECT_FALSE(both.linear);
        EXPECT_EQ(both.states, (std::map<double, std::string>{{1, "one"}, {3, "three"}}));
    }
}

TEST(MdfRoundTrip, Mdf330ReadsBackWhatWasWritten)
{
    WrittenFile file("golden3");
    double start = 0;
    auto seen = file.Read(start);
    EXPECT_EQ(start, kStart);
    ExpectGolden(seen, false);
}

TEST(MdfRoundTrip, Mdf400ReadsBackWhatWasWritten)
{
    WrittenFile file("golden4");
    double start = 0;
    auto seen = file.Read(start);
    EXPECT_EQ(start, kStart);
    ExpectGolden(seen, true);
}

TEST(MdfRoundTrip, Mdf330ByteOffsetsPast8192)
{
    WrittenFile file("edges3");
    double start = 0;
    auto seen = file.Read(start);
    EXPECT_EQ(seen["bit_at_8191_7"].values, (std::vector<double>{0, 1}));
    EXPECT_EQ(seen["word_at_8192"].values, (std::vector<double>{0xBEEF, 0xBEF0}));
    EXPECT_EQ(seen["word_at_8198"].values, (std::vector<double>{-2, -3}));
    EXPECT_EQ(seen["name_of_exactly_32_characters___"].values, (std::vector<double>{32}));
    // A name longer than a 16-bit text size holds is cut, never wrapped.
    auto cut = seen.find(std::string(65530, 'n'));
    ASSERT_NE(cut, seen.end());
    EXPECT_EQ(cut->second.values, (std::vector<double>{double(0xDEADBEEF)}));
}

}  // namespace
