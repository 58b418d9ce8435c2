// Hit extraction through the exported function: output axes computed by hand
// on small databases with exact times, results of unusable calls, file
// safety, reuse of the subset database, write failures, and a subset with
// more than 500 channels read back through record access and the MDF reader.
// Subset contents are read with the sqlite3 command.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <csignal>
#include <functional>
#include <cstdlib>
#include <dirent.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "mdfread/MDFFileOp.h"
#include "testlib/MeasurementDbBuilder.h"
#include "testlib/TestSupport.h"
#include "vantrel.h"

namespace {

using testlib::TestMessage;
using testlib::TestRow;

TestMessage Message(std::string name, std::vector<std::string> const& signals, std::vector<TestRow> rows,
                    std::string network = "HS CAN")
{
    TestMessage message;
    message.name = std::move(name);
    message.network = std::move(network);
    for (std::string const& name : signals) {
        testlib::TestSignal signal;
        signal.name = name;
        signal.signalType = "Double";
        message.signals.push_back(signal);
    }
    message.rows = std::move(rows);
    return message;
}

class Hits : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Measurements start at 100 s: a row at 101 lies 1 s after the start.
        // a.db: M (x) at 1, 2, 3, 4 s and N (z) at 2.5 and 5 s.
        testlib::MakeMeasurementDb(dir.file("a.db"), {{Message("M", {"x"}, {{101, {1}}, {102, {2}}, {103, {3}}, {104, {4}}}),
                                                       Message("N", {"z"}, {{102.5, {25}}, {105, {50}}})},
                                                      100.0});
        // b.db: M (x, y) with NULL cells.
        testlib::MakeMeasurementDb(
            dir.file("b.db"),
            {{Message("M", {"x", "y"}, {{101, {10, std::nullopt}}, {102, {std::nullopt, 20}}, {103, {30, 30}}})}, 100.0});
        // c.db: a message and a network whose names hold pattern characters.
        testlib::MakeMeasurementDb(dir.file("c.db"), {{Message("M[1]", {"s"}, {{101, {5}}, {102, {6}}}, "N*[x]")}, 100.0});
    }

    // '@' in a hit list stands for the test folder.
    std::string List(std::string text) const
    {
        for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at))
            text.replace(at, 1, dir.path() + "/");
        return text;
    }

    int Run(std::string const& list, std::string const& output, std::string* printed = nullptr)
    {
        testlib::StdoutCapture capture;
        const int result = OutputHitsToFile(List(list).c_str(), dir.file(output).c_str());
        if (printed)
            *printed = capture.text();
        return result;
    }

    // Every record table, then the markers' output times.
    std::string Subset(std::string const& db, int tables)
    {
        std::string sql;
        for (int t = 1; t <= tables; ++t)
            sql += "SELECT * FROM MessageData000" + std::to_string(t) + "; SELECT '-';";
        return testlib::sqlite3(dir.file(db), sql + "SELECT StartTime FROM Markers;").output;
    }

    std::vector<std::string> Files() const
    {
        std::vector<std::string> names;
        DIR* folder = opendir(dir.path().c_str());
        while (dirent* entry = folder ? readdir(folder) : nullptr)
            if (entry->d_name[0] != '.')
                names.push_back(entry->d_name);
        if (folder)
            closedir(folder);
        std::sort(names.begin(), names.end());
        return names;
    }

    testlib::TempDir dir;
};

char const* const kX = R"("Channels": [{"name": "x"}], )";

TEST_F(Hits, OutputAxis)
{
    struct Case {
        char const* what;
        std::string list;
        int tables;
        char const* expected;
        char const* printed;
    };
    const Case cases[] = {
        {"each hit's first record at its output start; spacing after the last row", std::string("{") + kX +
             R"("HitList": [{"FilenameAndPath": "@a.db", "Hits": [{"StartTime": 1.5, "EndTime": 3, "Spacing": 0.5},
                 {"StartTime": 3.5, "EndTime": 9}]}]})",
         1, "0.0|2.0\n1.0|3.0\n1.5|4.0\n-\n0.0\n1.5\n", ""},
        {"inclusive bounds, spacing 0, a hit's own spacing", std::string("{\"SpacingBetweenHitsInOutputFile\": 0, ") + kX +
             R"("HitList": [{"FilenameAndPath": "@a.db", "Hits": [{"StartTime": 2, "EndTime": 3},
                 {"StartTime": 1, "EndTime": 2, "Spacing": 3}, {"StartTime": 4, "EndTime": 4}]}]})",
         1, "0.0|2.0\n1.0|3.0\n1.0|1.0\n2.0|2.0\n5.0|4.0\n-\n0.0\n1.0\n5.0\n", ""},
        {"empty hits keep their markers and advance by their spacing", std::string("{") + kX +
             R"("HitList": [{"FilenameAndPath": "@a.db", "Hits": [{"StartTime": 1.2, "EndTime": 1.8},
                 {"StartTime": 5, "EndTime": 9}, {"StartTime": 1, "EndTime": 1}]}]})",
         1, "2.0|1.0\n-\n0.0\n1.0\n2.0\n", ""},
        {"tables starting after or ending before a hit; a table's last record",
         R"({"Channels": [{"name": "x", "message_name": "M"}, {"name": "z", "message_name": "N"}],
             "HitList": [{"FilenameAndPath": "@a.db", "Hits": [{"StartTime": 2, "EndTime": 3},
                 {"StartTime": 3, "EndTime": 4.5}, {"StartTime": 4.5, "EndTime": 6}]}]})",
         2, "0.0|2.0\n1.0|3.0\n2.0|3.0\n3.0|4.0\n-\n0.0|25.0\n4.0|50.0\n-\n0.0\n2.0\n4.0\n", ""},
        {"NULL before a channel's first point; untouched cells repeat",
         R"({"Channels": [{"name": "x"}, {"name": "y"}],
             "HitList": [{"FilenameAndPath": "@b.db", "Hits": [{"StartTime": 0, "EndTime": 9}]}]})",
         1, "0.0|10.0|\n1.0|10.0|20.0\n2.0|30.0|30.0\n-\n0.0\n", ""},
        {"two databases, one listed twice", std::string("{") + kX +
             R"("HitList": [{"FilenameAndPath": "@a.db", "Hits": [{"StartTime": 1, "EndTime": 2}]},
                 {"FilenameAndPath": "@b.db", "Hits": [{"StartTime": 1, "EndTime": 1}]},
                 {"FilenameAndPath": "@a.db", "Hits": [{"StartTime": 4, "EndTime": 4}]}]})",
         1, "0.0|1.0\n1.0|2.0\n2.0|10.0\n3.0|4.0\n-\n0.0\n2.0\n3.0\n", ""},
        {"databases without a required channel or that do not open are skipped",
         R"({"Channels": [{"name": "y"}], "HitList": [{"FilenameAndPath": "@nowhere/x.db", "Hits": [{"EndTime": 9}]},
             {"FilenameAndPath": "@a.db", "Hits": [{"EndTime": 9}]},
             {"FilenameAndPath": "@b.db", "Hits": [{"StartTime": 1, "EndTime": 3}]}]})",
         1, "1.0|20.0\n2.0|30.0\n-\n0.0\n", "File does not have enough signals for script "},
        {"names holding pattern characters find their own rows",
         R"({"Channels": [{"name_in_script": "S", "OptionalList": [{"channel_name": "s", "message_name": "M?1?",
             "network_name": "N*"}]}], "HitList": [{"FilenameAndPath": "@c.db", "Hits": [{"EndTime": 9}]}]})",
         1, "0.0|5.0\n1.0|6.0\n-\n0.0\n", ""},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.what);
        std::string printed;
        ASSERT_EQ(Run(c.list, "out.db", &printed), 0) << printed;
        EXPECT_EQ(Subset("out.db", c.tables), c.expected);
        EXPECT_NE(printed.find(c.printed), std::string::npos) << printed;
        ASSERT_EQ(std::remove(dir.file("out.db").c_str()), 0);
    }
}

TEST_F(Hits, UnusableCalls)
{
    const std::string hits = R"("HitList": [{"FilenameAndPath": "@a.db", "Hits": [{"StartTime": 1, "EndTime": 2}]}])";
    struct Case {
        char const* list;  // null: no hit list
        char const* output;
        int expected;
    } const cases[] = {
        {nullptr, "o.db", -3},
        {"{", "o.db", -3},
        {R"({"HitList": []})", "o.db", -3},
        {R"({"Channels": [{"name": "x"}]})", "o.db", -3},
        {R"({"Channels": [{"name": "x"}], "HitList": [{"FilenameAndPath": "@a.db", "Hits": [{"EndTime": 1e400}]}]})", "o.db", -3},
        {R"({"Channels": [{"name": "x"}], "HitList": [{"FilenameAndPath": "@a.db", "Hits": [{"Spacing": -1}]}]})", "o.db", -3},
        {R"({"SpacingBetweenHitsInOutputFile": -1, "Channels": [{"name": "x"}], "HitList": []})", "o.db", -3},
        {R"({"Channels": [{"name": "x"}], "HitList": []})", "o.db", -2},
        {R"({"Channels": [{"name": "x"}], "HitList": [{"FilenameAndPath": "@a.db", "Hits": {"EndTime": 1}}]})", "o.db", -2},
        {R"({"Channels": [{"name": "x"}], "HitList": [5, {"FilenameAndPath": "@a.db", "Hits": ["x", {"EndTime": 1}]}]})", "o.db", 0},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.list ? c.list : "null");
        testlib::StdoutCapture capture;
        EXPECT_EQ(OutputHitsToFile(c.list ? List(c.list).c_str() : nullptr, dir.file(c.output).c_str()), c.expected);
        EXPECT_EQ(testlib::fileExists(dir.file(c.output)), c.expected == 0);
        std::remove(dir.file(c.output).c_str());
    }
    const std::string list = List(std::string("{") + kX + hits + "}");
    testlib::StdoutCapture capture;
    EXPECT_EQ(OutputHitsToFile(list.c_str(), nullptr), -2);
    EXPECT_EQ(OutputHitsToFile(list.c_str(), ""), -2);
    EXPECT_EQ(OutputHitsToFileW(nullptr, L"o.db"), -3);
}

TEST_F(Hits, FilesInTheWayStayUntouched)
{
    const std::string list = std::string("{") + kX +
                             R"("HitList": [{"FilenameAndPath": "@a.db", "Hits": [{"StartTime": 1, "EndTime": 2}]}]})";
    testlib::writeText(dir.file("f.db"), "not a database");
    testlib::writeText(dir.file("h.mf4"), "not an MDF file");
    ASSERT_EQ(std::system(("cp " + dir.file("b.db") + " " + dir.file("g.db")).c_str()), 0);
    const std::vector<std::string> before = Files();
    std::vector<std::vector<uint8_t>> contents;
    for (std::string const& name : before)
        contents.push_back(testlib::readBytes(dir.file(name)));
    // A listed source at the subset path (out a.db, or a.mat whose subset is
    // a.db); a text file and a measurement database without Markers at the
    // subset path; a text file at the output path.
    for (char const* output : {"a.db", "a.mat", "f.mf4", "g.mf4", "h.mf4"}) {
        std::string printed;
        EXPECT_EQ(Run(list, output, &printed), -2) << output;
        EXPECT_NE(printed.find("left untouched"), std::string::npos) << printed;
    }
    ASSERT_EQ(Files(), before);
    for (size_t i = 0; i < before.size(); ++i)
        EXPECT_EQ(testlib::readBytes(dir.file(before[i])), contents[i]) << before[i];
}

TEST_F(Hits, ExistingSubsetIsReusedOnlyForTheSameChannelsAndHits)
{
    const std::string hits = R"("HitList": [{"FilenameAndPath": "@a.db", "Hits": [{"StartTime": 1, "EndTime": 2}]}]})";
    ASSERT_EQ(Run(std::string("{") + kX + hits, "r.mat"), 0);
    const std::vector<uint8_t> subset = testlib::readBytes(dir.file("r.db"));
    std::vector<uint8_t> mat = testlib::readBytes(dir.file("r.mat"));
    testlib::sqlite3(dir.file("a.db"), "UPDATE MessageData0001 SET Signal1 = Signal1 + 100");
    // Rerun: nothing is extracted again, the outputs stay (the MAT file's
    // first 128 bytes hold the time it was written).
    ASSERT_EQ(Run(std::string("{") + kX + hits, "r.mat"), 0);
    EXPECT_EQ(testlib::readBytes(dir.file("r.db")), subset);
    std::vector<uint8_t> again = testlib::readBytes(dir.file("r.mat"));
    ASSERT_EQ(again.size(), mat.size());
    EXPECT_TRUE(std::equal(mat.begin() + 128, mat.end(), again.begin() + 128));
    // Other hits, other channels: rebuilt from the changed source.
    ASSERT_EQ(Run(std::string("{") + kX + R"("HitList": [{"FilenameAndPath": "@a.db", "Hits": [{"StartTime": 2, "EndTime": 3}]}]})",
                  "r.mat"),
              0);
    EXPECT_EQ(Subset("r.db", 1), "0.0|102.0\n1.0|103.0\n-\n0.0\n");
    ASSERT_EQ(Run(R"({"Channels": [{"name": "x", "message_name": "M"}], )" + hits, "r.mat"), 0);
    EXPECT_EQ(testlib::sqlite3(dir.file("r.db"), "SELECT Messages.Name, DataType FROM Messages, Channels").output, "M|4\n");
    // A subset whose tables became endless views is rebuilt, never read to its end.
    for (char const* table : {"Messages", "MessageData0001"}) {
        testlib::sqlite3(dir.file("r.db"), std::string("DROP TABLE ") + table + "; CREATE VIEW " + table +
                                               " AS WITH RECURSIVE r(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM r) "
                                               "SELECT i AS ID, i AS TIME_VAL, i AS Signal1 FROM r");
        ASSERT_EQ(Run(R"({"Channels": [{"name": "x", "message_name": "M"}], )" + hits, "r.mat"), 0) << table;
        EXPECT_EQ(testlib::sqlite3(dir.file("r.db"), "SELECT type FROM sqlite_master WHERE name = 'MessageData0001'")
                      .output,
                  "table\n");
    }
}

// The call in a child whose files may not grow beyond 256 bytes.
int RunWithFileSizeLimit(std::function<int()> const& call)
{
    const pid_t child = fork();
    if (child == 0) {
        const rlimit limit = {256, 256};
        setrlimit(RLIMIT_FSIZE, &limit);
        std::signal(SIGXFSZ, SIG_IGN);  // a write beyond it fails instead
        _exit(call() + 100);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) - 100 : -1000;
}

TEST_F(Hits, FailedWritesLeaveNoFile)
{
    const std::string list = List(std::string("{") + kX +
                                  R"("HitList": [{"FilenameAndPath": "@a.db", "Hits": [{"StartTime": 1, "EndTime": 4}]}]})");
    const std::vector<std::string> before = Files();
    for (char const* output : {"w.db", "w.mat", "w.mf4"})
        EXPECT_EQ(RunWithFileSizeLimit([&] { return OutputHitsToFile(list.c_str(), dir.file(output).c_str()); }), -2)
            << output;
    EXPECT_EQ(Files(), before);
    // The outputs fail also when the subset is there already.
    ASSERT_EQ(Run(list, "w.db"), 0);
    for (char const* output : {"w.mat", "w.mf4"})
        EXPECT_EQ(RunWithFileSizeLimit([&] { return OutputHitsToFile(list.c_str(), dir.file(output).c_str()); }), -2)
            << output;
    std::vector<std::string> expected = before;
    expected.push_back("w.db");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Files(), expected);
}

// 600 channels: the subset continues its record table past 500 signals, and
// record access and the MDF reader read the channels there.
TEST_F(Hits, WideSubsetIsReadBack)
{
    {
        testlib::StdoutCapture quiet;
        ASSERT_EQ(CreateDatabase(testlib::fixture("mdf/wide600_v400.mf4").c_str(), dir.file("w.db").c_str()), 1);
    }
    std::string channels;
    for (int i = 0; i < 600; ++i)
        channels += std::string(i ? ", " : "") + "{\"name\": \"wide600_ch" + (i < 10 ? "000" : i < 100 ? "00" : "0") +
                    std::to_string(i) + "\"}";
    ASSERT_EQ(Run("{\"Channels\": [" + channels + R"(], "HitList": [{"FilenameAndPath": "@w.db", "Hits": [{"EndTime": 99}]}]})",
                  "p.mf4"),
              0);
    const auto source = testlib::sqlite3(dir.file("w.db"), "SELECT quote(Signal551) FROM MessageData0001_0002").output;
    std::vector<double> expected;
    for (char const* p = source.c_str(); *p; ++p)
        expected.push_back(std::strtod(p, const_cast<char**>(&p)));
    ASSERT_EQ(expected.size(), 500u);

    double *values = nullptr, *times = nullptr;
    int count = 0;
    OpenDataFile(dir.file("p.db").c_str(), R"({"Channels": [{"name": "wide600_ch0550"}]})", &values, &times, &count);
    ASSERT_TRUE(values);
    std::vector<double> read;
    do
        read.push_back(values[0]);
    while (GetNextRecord(values, 0) != DBL_MAX);
    CloseDataFile(values, 0);
    EXPECT_EQ(read, expected);

    CMDFFileOp mdf;
    ASSERT_TRUE(mdf.ReadFile(dir.file("p.mf4")));
    std::vector<CCGBlockOp*> groups;
    read.clear();
    for (CCNBlockOp* cn = mdf.GetNextChannel(true); cn; cn = mdf.GetNextChannel(false)) {
        if (groups.empty() || groups.back() != cn->GetChannelGroup())
            groups.push_back(cn->GetChannelGroup());
        if (cn->GetName() != "wide600_ch0550")
            continue;
        std::vector<char> record(cn->GetChannelGroup()->GetDataRecordSize());
        for (unsigned long long i = 0; i < cn->GetChannelGroup()->GetRecordCount(); ++i)
            if (cn->GetChannelGroup()->ReadRecord(record.data(), i))
                read.push_back(cn->getValue(record.data() + cn->GetByteOffset()));
    }
    EXPECT_EQ(groups.size(), 2u);
    EXPECT_EQ(read, expected);
}

}  // namespace
