// The channel lists of hand-made MDF files through the exported functions:
// groups that begin with a data channel, a group without records, a negative
// slope, the groups the builder leaves out, records that cannot be read, and
// outputs that cannot be written. The fixtures are swept by
// check_channel_lists.py.
#include <cfloat>
#include <cmath>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "DbTestSupport.h"
#include "MdfBuilder.h"
#include "MdfGen.h"
#include "jsonxx/jsonxx.h"
#include "testlib/TestSupport.h"
#include "vantrel.h"

namespace {

using mdftest::LE;
using mdftest::LEF64;

struct Listing {
    int result;
    std::string output;
    std::vector<jsonxx::Object> channels;
    std::vector<std::string> names;
};

Listing List(int (*function)(char const*, char const*), std::string const& mdf, std::string const& json)
{
    Listing listing;
    testlib::StdoutCapture capture;
    listing.result = function(mdf.c_str(), json.c_str());
    listing.output = capture.text();
    jsonxx::Object document;
    if (listing.result == 1 && document.parse(testlib::readText(json)))
        for (auto const& value : document.get<jsonxx::Array>("Channels").values()) {
            listing.channels.push_back(value->get<jsonxx::Object>());
            listing.names.push_back(listing.channels.back().get<jsonxx::String>("name"));
        }
    return listing;
}

double Number(jsonxx::Object const& entry, char const* key)
{
    return entry.has<jsonxx::Number>(key) ? static_cast<double>(entry.get<jsonxx::Number>(key)) : NAN;
}

bool Contains(std::string const& text, std::string const& part) { return text.find(part) != std::string::npos; }

// Groups whose time channel comes last: v (8 bits) and n (16 bits through
// -0.5 x + 10) with three records, and w without records.
void WriteDataFirstFile(std::string const& path)
{
    mdftest::MdfBuilder b(true);
    uint64_t hd = b.Hd4(0, 1167609600ULL * 1000000000ULL);
    uint64_t v = b.Cn4(b.Tx4("v"), 0, 0, 0, 0, 8, 8);
    uint64_t n = b.Cn4(b.Tx4("n"), 0, 0, 0, 0, 9, 16, b.Cc4(1, {}, {10.0, -0.5}));
    b.Link4(v, 0, n);
    b.Link4(n, 0, b.Cn4(b.Tx4("t"), 2, 1, 4, 0, 0, 64));
    std::vector<uint8_t> data;
    for (auto [t, vv, nn] : {std::tuple{0.0, 5, 100}, {0.1, 7, 40}, {0.2, 3, 60}})
        for (auto const& bytes : {LEF64(t), LE(vv, 1), LE(nn, 2)})
            data.insert(data.end(), bytes.begin(), bytes.end());
    uint64_t first = b.Dg4(b.Cg4(v, 0, 3, 11), b.Dt4(data));
    uint64_t w = b.Cn4(b.Tx4("w"), 0, 0, 0, 0, 8, 8);
    b.Link4(w, 0, b.Cn4(b.Tx4("t"), 2, 1, 4, 0, 0, 64));
    b.Link4(first, 0, b.Dg4(b.Cg4(w, 0, 0, 9), b.Dt4({})));
    b.Link4(hd, 0, first);
    b.Save(path);
}

TEST(ChannelLists, DataChannelsFirstEmptyGroupAndNegativeSlope)
{
    testlib::TempDir dir;
    const std::string mdf = dir.file("datafirst.mf4"), json = dir.file("list.json"), db = dir.file("datafirst.db");
    WriteDataFirstFile(mdf);
    Listing names = List(GetChannels, mdf, json);
    EXPECT_EQ(names.names, (std::vector<std::string>{"v", "n", "w"}));
    for (jsonxx::Object const& entry : names.channels)
        EXPECT_EQ(entry.size(), 1u);  // no comment names a message

    Listing stats = List(GetChannelStatistics, mdf, json);
    ASSERT_EQ(stats.names, names.names) << stats.output;
    const double mean = -70.0 / 3;
    const double spread = std::sqrt((std::pow(-40 - mean, 2) + std::pow(-10 - mean, 2) + std::pow(-20 - mean, 2)) / 3);
    struct Want {
        char const* label;
        double records, minTime, maxTime, min, timeAtMin, max, timeAtMax, avg, stdDev, first, slope, offset;
    } const want[] = {
        {"Group0001", 3, 0, 0.2, 3, 0.2, 7, 0.1, 5, std::sqrt(8.0 / 3), 5, NAN, NAN},
        {"Group0001", 3, 0, 0.2, -40, 0, -10, 0.1, mean, spread, -40, -0.5, 10},
        {"Group0002", 0, DBL_MAX, -DBL_MAX, DBL_MAX, DBL_MAX, -DBL_MAX, -DBL_MAX, 0, 0, 0, NAN, NAN},
    };
    char const* keys[] = {"num_records", "min_time",   "max_time", "min",     "time_at_min", "max",   "time_at_max",
                          "avg",         "std_dev",    "first_value", "slope", "offset"};
    ASSERT_EQ(dbtest::Build(mdf.c_str(), db.c_str()).result, 1);
    char const* columns[] = {"MinVal", "MaxVal", "AvgVal", "StdDev"};
    for (size_t c = 0; c < stats.channels.size(); ++c) {
        jsonxx::Object const& entry = stats.channels[c];
        EXPECT_EQ(entry.get<jsonxx::String>("message_name"), want[c].label);
        EXPECT_FALSE(entry.has<jsonxx::String>("network_name") || entry.has<jsonxx::String>("unit"));
        const double* wanted = &want[c].records;
        for (size_t k = 0; k < std::size(keys); ++k) {
            if (std::isnan(wanted[k]))
                EXPECT_FALSE(entry.kv_map().count(keys[k])) << keys[k];
            else
                EXPECT_NEAR(Number(entry, keys[k]), wanted[k], 1e-12) << names.names[c] << " " << keys[k];
        }
        // The Channels row of the same channel holds the same numbers.
        for (size_t k = 0; k < std::size(columns); ++k)
            EXPECT_EQ(dbtest::Column(db, std::string("SELECT ") + columns[k] + " FROM Channels WHERE ID > 0")[c],
                      Number(entry, (char const*[]){"min", "max", "avg", "std_dev"}[k]));
    }
}

TEST(ChannelLists, GroupsTheBuilderLeavesOutAndUnreadRecords)
{
    testlib::TempDir dir;
    const std::string mdf = dir.file("timeless.mf4"), stray = dir.file("stray.mf4"), json = dir.file("list.json");
    dbtest::GenGroup timeless, timed;
    timeless.withTime = false;
    timeless.times = {0, 0.01, 0.02};
    timeless.channels = {dbtest::CounterChannel("s1", 1, 3), dbtest::CounterChannel("s2", 2, 3)};
    timed.times = {0, 0.01};
    timed.channels = {dbtest::CounterChannel("s1", 1, 2)};
    ASSERT_TRUE(dbtest::WriteMdf4(mdf, {timeless, timed}));
    EXPECT_EQ(List(GetChannels, mdf, json).names, (std::vector<std::string>{"s1", "s2", "s1"}));
    Listing stats = List(GetChannelStatistics, mdf, json);
    EXPECT_EQ(stats.names, std::vector<std::string>{"s1"});
    EXPECT_EQ(stats.channels.at(0).get<jsonxx::String>("message_name"), "Group0002");
    EXPECT_EQ(Number(stats.channels.at(0), "num_records"), 2);
    EXPECT_TRUE(Contains(stats.output, "Channel group 1 is left out: it has no time channel")) << stats.output;

    dbtest::WriteStrayRecordFile(stray);
    stats = List(GetChannelStatistics, stray, json);
    ASSERT_EQ(stats.names, (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(Number(stats.channels[0], "num_records"), 1);
    EXPECT_EQ(Number(stats.channels[0], "max"), 10);  // nothing decoded from the records not read
    EXPECT_EQ(Number(stats.channels[0], "avg"), 10);
    EXPECT_TRUE(Contains(stats.output, "Channel group 1 ends after 1 of 3 records: record 1 cannot be read"))
        << stats.output;
}

TEST(ChannelLists, OutputsThatCannotBeWrittenLeaveNoFile)
{
    testlib::TempDir dir;
    const std::string mdf = dir.file("datafirst.mf4"), json = dir.file("list.json");
    WriteDataFirstFile(mdf);
    const std::string unwritable = dir.file("no folder/list.json");
    Listing listing = List(GetChannelStatistics, mdf, unwritable);
    EXPECT_EQ(listing.result, 0);
    EXPECT_EQ(listing.output, "Could not open Json file!\n" + unwritable + "\n");

    // Devices and files of another kind (the MDF file itself) are never
    // replaced by a list.
    const std::vector<uint8_t> mdfBytes = testlib::readBytes(mdf);
    for (std::string const& target : {std::string("/dev/full"), mdf}) {
        listing = List(GetChannels, mdf, target);
        EXPECT_EQ(listing.result, 0);
        EXPECT_TRUE(Contains(listing.output, "left untouched")) << listing.output;
    }
    EXPECT_EQ(testlib::readBytes(mdf), mdfBytes);
    struct stat device;
    EXPECT_TRUE(::stat("/dev/full", &device) == 0 && S_ISCHR(device.st_mode));

    // A regular file that takes only part of the document is removed.
    rlimit saved;
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 512;  // the document is longer, the captured diagnostics shorter
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &small);
    listing = List(GetChannelStatistics, mdf, json);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(listing.result, 0);
    EXPECT_TRUE(Contains(listing.output, "Could not write " + json)) << listing.output;
    EXPECT_FALSE(testlib::fileExists(json));

    testlib::StdoutCapture capture;
    for (auto [m, j] : {std::pair<char const*, char const*>{nullptr, json.c_str()}, {mdf.c_str(), nullptr},
                        {"", json.c_str()}, {mdf.c_str(), ""}}) {
        EXPECT_EQ(GetChannels(m, j) + GetChannelStatistics(m, j), 0);
        EXPECT_EQ(GetChannelsW(nullptr, L"x.json") + GetChannelStatisticsW(L"", nullptr), 0);
    }
    EXPECT_EQ(dbtest::FilesIn(dir.path()), std::vector<std::string>{"datafirst.mf4"});
}

}  // namespace
