// Hit extraction through the exported function: output axes computed by hand on small databases with exact
// times (read with the sqlite3 command), unusable calls, file safety, reuse of the subset, write failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "testlib/MeasurementDbBuilder.h"
#include "testlib/TestSupport.h"
#include "vantrel.h"

using namespace testlib;

namespace {

TestMessage Message(std::string name, std::vector<std::string> const& signals, std::vector<TestRow> rows,
                    std::string network = "HS CAN")
{
    TestMessage message{std::move(name), std::move(network), {}, std::move(rows), {}, {}};
    for (std::string const& signal : signals) {
        message.signals.emplace_back();
        message.signals.back().name = signal;
        message.signals.back().signalType = "Double";
    }
    return message;
}

// The hit list entry of a.db with these hits.
std::string OfA(std::string const& hits)
{
    return R"({"FilenameAndPath": "a.db", "Hits": [)" + hits + "]}";
}

class Hits : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Measurements start at 100 s: a row at 101 lies 1 s after the start.
        // a.db: M (x) at 1, 2, 3, 4 s and N (z) at 2.5 and 5 s; b.db: M (x,
        // y) with NULL cells; c.db: message and network names holding
        // pattern characters.
        MakeMeasurementDb("a.db", {{Message("M", {"x"}, {{101, {1}}, {102, {2}}, {103, {3}}, {104, {4}}}),
                                    Message("N", {"z"}, {{102.5, {25}}, {105, {50}}})}, 100.0});
        MakeMeasurementDb("b.db", {{Message("M", {"x", "y"}, {{101, {10, {}}}, {102, {{}, 20}}, {103, {30, 30}}})}, 100.0});
        MakeMeasurementDb("c.db", {{Message("M[1]", {"s"}, {{101, {5}}, {102, {6}}}, "N*[x]")}, 100.0});
        // d.db: N's first record after 1.5 s shares its time with one of M.
        MakeMeasurementDb("d.db", {{Message("M", {"x"}, {{102, {2}}, {102.5, {2.5}}, {103, {3}}}),
                                    Message("N", {"z"}, {{102.5, {25}}, {104, {40}}})}, 100.0});
    }

    static std::string List(std::string const& entries, std::string const& channels = R"({"name": "x"})",
                            std::string const& settings = "")
    {
        return "{" + settings + R"("Channels": [)" + channels + R"(], "HitList": [)" + entries + "]}";
    }

    // The result, and what the call printed.
    std::pair<int, std::string> Run(std::string const& list, std::string const& output)
    {
        StdoutCapture capture;
        const int result = OutputHitsToFile(list.c_str(), output.c_str());
        return {result, capture.text()};
    }

    // Every record table, then the markers' output times.
    std::string Subset(std::string const& db, int tables)
    {
        std::string sql;
        for (int t = 1; t <= tables; ++t)
            sql += "SELECT * FROM MessageData000" + std::to_string(t) + "; SELECT '-';";
        return testlib::sqlite3(db, sql + "SELECT StartTime FROM Markers;").output;
    }

    // The names and contents of the folder's files.
    std::map<std::string, std::vector<uint8_t>> Files() const
    {
        std::map<std::string, std::vector<uint8_t>> files;
        for (auto const& entry : std::filesystem::directory_iterator("."))
            if (entry.is_regular_file())
                files[entry.path().filename().string()] = readBytes(entry.path().string());
        return files;
    }

    TempDir dir;
    ScopedChdir here{dir.path()};  // the databases and outputs are named relative to it
};

TEST_F(Hits, OutputAxis)
{
    const std::tuple<char const*, std::string, int, char const*, char const*> cases[] = {
        {"each hit's first record at its output start; spacing after the last row",
         List(OfA(R"({"StartTime": 1.5, "EndTime": 3, "Spacing": 0.5}, {"StartTime": 3.5, "EndTime": 9})")), 1,
         "0.0|2.0\n1.0|3.0\n1.5|4.0\n-\n0.0\n1.5\n", ""},
        {"inclusive bounds, spacing 0, a hit's own spacing",
         List(OfA(R"({"StartTime": 2, "EndTime": 3}, {"StartTime": 1, "EndTime": 2, "Spacing": 3},
                     {"StartTime": 4, "EndTime": 4})"), R"({"name": "x"})", R"("SpacingBetweenHitsInOutputFile": 0, )"),
         1, "0.0|2.0\n1.0|3.0\n1.0|1.0\n2.0|2.0\n5.0|4.0\n-\n0.0\n1.0\n5.0\n", ""},
        {"empty hits keep their markers and advance by their spacing",
         List(OfA(R"({"StartTime": 1.2, "EndTime": 1.8}, {"StartTime": 5, "EndTime": 9}, {"StartTime": 1, "EndTime": 1})")),
         1, "2.0|1.0\n-\n0.0\n1.0\n2.0\n", ""},
        {"tables starting after or ending before a hit; a table's last record",
         List(OfA(R"({"StartTime": 2, "EndTime": 3}, {"StartTime": 3, "EndTime": 4.5}, {"StartTime": 4.5, "EndTime": 6})"),
              R"({"name": "x", "message_name": "M"}, {"name": "z", "message_name": "N"})"),
         2, "0.0|2.0\n1.0|3.0\n2.0|3.0\n3.0|4.0\n-\n0.0|25.0\n4.0|50.0\n-\n0.0\n2.0\n4.0\n", ""},
        {"NULL before a channel's first point; untouched cells repeat",
         List(R"({"FilenameAndPath": "b.db", "Hits": [{"StartTime": 0, "EndTime": 9}]})", R"({"name": "x"}, {"name": "y"})"),
         1, "0.0|10.0|\n1.0|10.0|20.0\n2.0|30.0|30.0\n-\n0.0\n", ""},
        {"two databases, one listed twice",
         List(OfA(R"({"StartTime": 1, "EndTime": 2})") + R"(, {"FilenameAndPath": "b.db", "Hits": [{"StartTime": 1,
              "EndTime": 1}]}, )" + OfA(R"({"StartTime": 4, "EndTime": 4})")),
         1, "0.0|1.0\n1.0|2.0\n2.0|10.0\n3.0|4.0\n-\n0.0\n2.0\n3.0\n", ""},
        {"databases without a required channel or that do not open are skipped",
         List(R"({"FilenameAndPath": "nowhere/x.db", "Hits": [{"EndTime": 9}]}, )" + OfA(R"({"EndTime": 9})") +
                  R"(, {"FilenameAndPath": "b.db", "Hits": [{"StartTime": 1, "EndTime": 3}]})",
              R"({"name": "y"})"),
         1, "1.0|20.0\n2.0|30.0\n-\n0.0\n", "File does not have enough signals for script "},
        {"a record the jump put in a hit's first row is not written again at the time of another table's row",
         List(R"({"FilenameAndPath": "d.db", "Hits": [{"StartTime": 1.5, "EndTime": 3}]})",
              R"({"name": "x", "message_name": "M"}, {"name": "z", "message_name": "N"})"),
         2, "0.0|2.0\n0.5|2.5\n1.0|3.0\n-\n0.0|25.0\n-\n0.0\n", ""},
        {"names holding pattern characters find their own rows",
         List(R"({"FilenameAndPath": "c.db", "Hits": [{"EndTime": 9}]})",
              R"({"name_in_script": "S", "OptionalList": [{"channel_name": "s", "message_name": "M?1?", "network_name": "N*"}]})"),
         1, "0.0|5.0\n1.0|6.0\n-\n0.0\n", ""},
    };
    for (auto const& [what, list, tables, expected, diagnostic] : cases) {
        SCOPED_TRACE(what);
        const auto [result, printed] = Run(list, "out.db");
        ASSERT_EQ(result, 0) << printed;
        EXPECT_EQ(Subset("out.db", tables), expected);
        EXPECT_NE(printed.find(diagnostic), std::string::npos) << printed;
        ASSERT_EQ(std::remove("out.db"), 0);
    }
}

// Results, and whether the subset o.db was made: also without a hit, once a database was usable (an empty
// subset), never for an output axis that leaves the finite range or on which rows would share a time.
TEST_F(Hits, UnusableCalls)
{
    const std::string axis = R"({"Channels": [{"name": "x"}], "HitList": [)";
    const std::tuple<std::string, int, bool> cases[] = {
        {"{", -3, false},
        {R"({"HitList": []})", -3, false},
        {R"({"Channels": [{"name": "x"}]})", -3, false},
        {R"({"Channels": [{"name": "x"}], "HitList": [{"FilenameAndPath": "a.db", "Hits": [{"EndTime": 1e400}]}]})", -3, false},
        {R"({"Channels": [{"name": "x"}], "HitList": [{"FilenameAndPath": "a.db", "Hits": [{"Spacing": -1}]}]})", -3, false},
        {R"({"SpacingBetweenHitsInOutputFile": -1, "Channels": [{"name": "x"}], "HitList": []})", -3, false},
        {axis + OfA(R"({"StartTime": 1, "EndTime": 2, "Spacing": 1.7e308}, {"StartTime": 1, "EndTime": 2})") + "]}", -3, false},
        {axis + OfA(R"({"EndTime": 1, "Spacing": 1e308}, {"EndTime": 1, "Spacing": 1e308}, {"EndTime": 1})") + "]}", -3, false},
        {axis + OfA(R"({"StartTime": -1e308, "EndTime": 1e308})") + "]}", -3, false},
        {R"({"SpacingBetweenHitsInOutputFile": 1e17, )" + axis.substr(1) + OfA(R"({"StartTime": 1, "EndTime": 3},
              {"StartTime": 1, "EndTime": 3})") + "]}", -3, false},
        {axis + OfA(R"({"StartTime": 1, "EndTime": 2, "Spacing": 1e308})") + "]}", 0, true},
        {R"({"Channels": [{"name": "x"}], "HitList": []})", -2, false},
        {R"({"Channels": [{"name": "x"}], "HitList": [{"FilenameAndPath": "a.db", "Hits": {"EndTime": 1}}]})", -2, true},
        {R"({"Channels": [{"name": "x"}], "HitList": [{"FilenameAndPath": "a.db"}, {"FilenameAndPath": "b.db"}]})", -2, true},
        {R"({"Channels": [{"name": "x"}], "HitList": [5, {"FilenameAndPath": "a.db", "Hits": ["x", {"EndTime": 1}]}]})", 0, true},
    };
    for (auto const& [list, expected, subset] : cases) {
        SCOPED_TRACE(list);
        const auto [result, printed] = Run(list, "o.db");
        EXPECT_EQ(result, expected);
        EXPECT_EQ(fileExists("o.db"), subset);
        if (expected == -3) {
            EXPECT_NE(printed.find("Invalid HRQ file {"), std::string::npos) << printed;
        } else if (subset && expected != 0) {
            EXPECT_EQ(testlib::sqlite3("o.db", "SELECT COUNT(*) FROM Markers; SELECT Name, MessageCount, MinTime, "
                                               "MaxTime FROM Messages; SELECT COUNT(*) FROM Network_Statistics").output,
                      "0\nMessage1|0|0.0|0.0\n1\n");
        }
        std::remove("o.db");
    }
    StdoutCapture quiet;
    EXPECT_EQ(OutputHitsToFile(nullptr, "o.db"), -3);
    const std::string list = List(OfA(R"({"StartTime": 1, "EndTime": 2})"));
    EXPECT_EQ(OutputHitsToFile(list.c_str(), nullptr), -2);
    EXPECT_EQ(OutputHitsToFile(list.c_str(), ""), -2);
    EXPECT_EQ(OutputHitsToFileW(nullptr, L"o.db"), -3);
}

TEST_F(Hits, ExistingSubsetIsReusedOnlyForTheSameChannelsAndHits)
{
    const std::string hits = OfA(R"({"StartTime": 1, "EndTime": 2})"), m = R"({"name": "x", "message_name": "M"})";
    ASSERT_EQ(Run(List(hits), "r.mat").first, 0);
    const auto first = Files();
    testlib::sqlite3("a.db", "UPDATE MessageData0001 SET Signal1 = Signal1 + 100");
    // Rerun: nothing is extracted again, the outputs stay (the MAT file's
    // first 128 bytes hold the time it was written).
    ASSERT_EQ(Run(List(hits), "r.mat").first, 0);
    EXPECT_EQ(readBytes("r.db"), first.at("r.db"));
    const std::vector<uint8_t> mat = first.at("r.mat"), again = readBytes("r.mat");
    ASSERT_EQ(again.size(), mat.size());
    EXPECT_TRUE(std::equal(mat.begin() + 128, mat.end(), again.begin() + 128));
    // Whatever shaped the subset changed (or it records nothing of it): rebuilt from the changed source, equal
    // to a subset made anew, its rows counted from 0.
    // Two hits, the first given by its fields.
    auto two = [&](std::string const& first, std::string const& channel = R"({"name": "x"})",
                   std::string const& settings = "") {
        return List(OfA("{" + first + R"(}, {"StartTime": 1, "EndTime": 1})"), channel, settings);
    };
    const std::string spaced = R"("SpacingBetweenHitsInOutputFile": 2, )";
    // The second alternative names the subset's table; the third shapes nothing the subset holds.
    auto alias = [](std::string const& required, std::string const& channel, std::string const& message) {
        return R"({"name_in_script": "x", )" + required + R"("OptionalList": [{"channel_name": "x"}, {"channel_name": )"
               R"("q", "message_name": "Z"}, {"channel_name": ")" + channel + R"(", "message_name": ")" + message + R"("}]})";
    };
    const std::tuple<char const*, std::string, char const*> changes[] = {
        {"no record of its hit list", List(hits), "PRAGMA user_version = 0"},
        {"a record gone", List(hits), "DELETE FROM MessageData0001 WHERE rowid = 1"},
        {"its network statistics gone", List(hits), "DELETE FROM Network_Statistics"},
        {"a start", List(OfA(R"({"StartTime": 2, "EndTime": 3})")), nullptr},
        {"an end", List(OfA(R"({"StartTime": 2, "EndTime": 4})")), nullptr},
        {"a hit's spacing", two(R"("StartTime": 2, "EndTime": 4, "Spacing": 0.5)"), nullptr},
        {"its spacing again", two(R"("StartTime": 2, "EndTime": 4, "Spacing": 0.25)"), nullptr},
        {"a hit's spacing left out", two(R"("StartTime": 2, "EndTime": 4)"), nullptr},
        {"the default spacing", two(R"("StartTime": 2, "EndTime": 4)", R"({"name": "x"})", spaced), nullptr},
        {"the alias list", two(R"("StartTime": 2, "EndTime": 4)", R"({"name": "x", "network_name": "HS CAN"})", spaced),
         nullptr},
        // Lists the subset's tables and markers cannot tell apart: only the digest can.
        {"alternatives", two(R"("StartTime": 2, "EndTime": 4)", alias("", "ab", "c"), spaced), nullptr},
        {"text moved from one field to the next", two(R"("StartTime": 2, "EndTime": 4)", alias("", "a", "bc"), spaced),
         nullptr},
        {"a one-letter name", two(R"("StartTime": 2, "EndTime": 4)", alias("", "b", "bc"), spaced), nullptr},
        {"the required flag", two(R"("StartTime": 2, "EndTime": 4)", alias(R"("required": false, )", "b", "bc"), spaced),
         nullptr},
    };
    int step = 0;
    for (auto const& [what, list, damage] : changes) {
        SCOPED_TRACE(what);
        if (damage)
            testlib::sqlite3("r.db", damage);
        testlib::sqlite3("a.db", "UPDATE MessageData0001 SET Signal1 = Signal1 + 100");
        const std::string fresh = "f" + std::to_string(++step) + ".db";
        ASSERT_EQ(Run(list, "r.mat").first, 0);
        ASSERT_EQ(Run(list, fresh).first, 0);
        EXPECT_EQ(Subset("r.db", 1), Subset(fresh, 1));
        EXPECT_EQ(testlib::sqlite3("r.db", "SELECT MessageCount - (SELECT COUNT(*) FROM MessageData0001), "
                                           "TotalMessages - MessageCount FROM Messages, Network_Statistics").output,
                  "0|0\n");
    }
    ASSERT_EQ(Run(List(hits, m), "r.mat").first, 0);
    EXPECT_EQ(testlib::sqlite3("r.db", "SELECT Messages.Name, DataType FROM Messages, Channels").output, "M|4\n");
    // A subset whose tables became endless views is rebuilt, never read to its end.
    for (char const* table : {"Messages", "MessageData0001"}) {
        testlib::sqlite3("r.db", std::string("DROP TABLE ") + table + "; CREATE VIEW " + table +
                                               " AS WITH RECURSIVE r(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM r) "
                                               "SELECT i AS ID, i AS TIME_VAL, i AS Signal1 FROM r");
        ASSERT_EQ(Run(List(hits, m), "r.mat").first, 0) << table;
        EXPECT_EQ(testlib::sqlite3("r.db", "SELECT type FROM sqlite_master WHERE name = 'MessageData0001'").output,
                  "table\n");
    }
}

// A path inside a hit list given as JSON text names the file of its bytes, as when the list is in a file: the
// byte 0xFF in narrow text, U+DCFF in wide text and the escape \udcff in either (never "tÿ.db"); each is
// described by those bytes, read as Latin-1 text.
TEST_F(Hits, PathsInsideJsonTextAreBytes)
{
    std::filesystem::copy_file("a.db", "t\xff.db");
    const std::string hits = R"(", "Hits": [{"StartTime": 1, "EndTime": 2}]})";
    const std::string raw = List(R"({"FilenameAndPath": "t)" "\xff" ".db" + hits), escaped =
        List(R"({"FilenameAndPath": "t\udcff.db)" + hits);
    auto wide = [](std::string const& narrow) {
        std::wstring out;
        for (char c : narrow)
            out.push_back(static_cast<unsigned char>(c) == 0xFF ? L'\xDCFF' : static_cast<wchar_t>(c));
        return out;
    };
    writeText("list.json", raw);
    const std::pair<char const*, std::function<int()>> calls[] = {
        {"narrow", [&] { return OutputHitsToFile(raw.c_str(), "o.db"); }},
        {"wide", [&] { return OutputHitsToFileW(wide(raw).c_str(), L"o.db"); }},
        {"escaped, narrow", [&] { return OutputHitsToFile(escaped.c_str(), "o.db"); }},
        {"escaped, wide", [&] { return OutputHitsToFileW(wide(escaped).c_str(), L"o.db"); }},
        {"in a file", [&] { return OutputHitsToFile("list.json", "o.db"); }},
    };
    for (auto const& [what, call] : calls) {
        SCOPED_TRACE(what);
        StdoutCapture capture;
        EXPECT_EQ(call(), 0) << capture.text();
        EXPECT_EQ(Subset("o.db", 1), "0.0|1.0\n1.0|2.0\n-\n0.0\n");
        EXPECT_EQ(testlib::sqlite3("o.db", "SELECT Description FROM Markers").output, "t\u00ff.db\n");
        std::remove("o.db");
    }
}

// The subset's name from the output's last '.', also in a folder's name; an output named like its subset in
// any case is the subset alone; ".mat" alone is an MDF file. The closing rows: times from the markers, no
// 'Collection Key' row, statistics of the points only (no NULL read as DBL_MAX), no units.
TEST_F(Hits, OutputNamesAndClosingRows)
{
    std::filesystem::create_directory("sub.x");
    const std::string list = List(R"({"FilenameAndPath": "b.db", "Hits": [{"StartTime": 0, "EndTime": 9}]})",
                                  R"({"name": "x"}, {"name": "y"})");
    const std::tuple<char const*, std::vector<std::string>, char const*, char const*> cases[] = {
        {"sub.x/out", {"sub.db"}, "sub.x/out", "MDF     "},
        {"out", {"out"}, "out", "SQLite format 3"},
        {"o.DB", {"o.db"}, "o.db", "SQLite format 3"},
        {".mat", {".db", ".mat"}, ".mat", "MDF     "},
    };
    for (auto const& [output, made, written, signature] : cases) {
        SCOPED_TRACE(output);
        const auto before = Files();
        ASSERT_EQ(Run(list, output).first, 0);
        std::vector<std::string> added;
        for (auto const& [name, bytes] : Files())
            if (!before.count(name))
                added.push_back(name);
        EXPECT_EQ(added, made);
        const std::vector<uint8_t> bytes = readBytes(written);
        EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), strlen(signature))), signature);
    }
    EXPECT_EQ(testlib::sqlite3("out", "SELECT MinTime, MaxTime FROM Messages; SELECT COUNT(*) FROM Channels WHERE ID = 0;"
                                      "SELECT Name, MinVal, MaxVal, NumChanges, Median, BigEndian, DataType, Units "
                                      "FROM Channels").output,
              "0.0|9.0\n0\nx|10.0|30.0|1|0.0|1|4|\ny|20.0|30.0|1|0.0|1|4|\n");
}

// Nothing is written (-2) and every file stays as it was for a listed source at the subset path (a.db, or
// a.mat whose subset is a.db; s.db or s.mat for a subset an earlier extraction wrote, which only its listing
// keeps from being rebuilt), a text file or a measurement database without Markers at the subset path, a
// text file at the output path; and for a write beyond 256 bytes (in a child, which the limit binds), with
// and without the subset there already.
TEST_F(Hits, NothingInTheWayIsTouchedAndNoPartialFileIsLeft)
{
    writeText("f.db", "not a database");
    writeText("h.mf4", "not an MDF file");
    std::filesystem::copy_file("b.db", "g.db");
    const std::string list = List(OfA(R"({"StartTime": 1, "EndTime": 4})"));
    auto limited = [&](char const* output) {
        const pid_t child = fork();
        if (child == 0) {
            const rlimit limit = {256, 256};
            setrlimit(RLIMIT_FSIZE, &limit);
            std::signal(SIGXFSZ, SIG_IGN);
            _exit(OutputHitsToFile(list.c_str(), output) + 100);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) - 100 : -1000;
    };
    ASSERT_EQ(Run(list, "s.db").first, 0);
    const std::string subset = List(R"({"FilenameAndPath": "s.db", "Hits": [{"StartTime": 1, "EndTime": 4}]})");
    auto before = Files();
    const std::pair<std::string, char const*> refused[] = {{list, "a.db"},  {list, "./a.mat"}, {list, "f.mf4"},
                                                           {list, "g.mf4"}, {list, "h.mf4"},   {subset, "s.db"},
                                                           {subset, "s.mat"}};
    for (auto const& [hits, output] : refused) {
        const auto [result, printed] = Run(hits, output);
        EXPECT_EQ(result, -2) << output;
        EXPECT_NE(printed.find(hits == subset ? "would replace a listed database" : "left untouched"),
                  std::string::npos) << printed;
    }
    for (char const* output : {"w.db", "w.mat", "w.mf4"})
        EXPECT_EQ(limited(output), -2) << output;
    EXPECT_EQ(Files(), before);
    ASSERT_EQ(Run(list, "w.db").first, 0);
    before = Files();
    for (char const* output : {"w.mat", "w.mf4"})
        EXPECT_EQ(limited(output), -2) << output;
    EXPECT_EQ(Files(), before);
}

}  // namespace

#include <random>

#include "access/SeekByScan.h"

namespace {

// Hits cut the same subset whether each hit's start is found by a search on
// rowid (tables in time order) or by the range queries alone: tables in time
// order with equal times and rowid gaps, out of order, with a NULL time, of
// two parts, starting and ending at different times; hits before, across,
// between and after the rows, overlapping, empty.
TEST_F(Hits, SeekingByRowidCutsWhatTheRangeQueriesCut)
{
    std::mt19937 rng(20);
    auto rows = [&rng](double first, int count, int kind) {  // kind 0: in time order, 1: out of order, 2: a NULL time
        std::vector<TestRow> out;
        double t = first;
        for (int r = 0; r < count; ++r) {
            t += (rng() % 3) * 0.25;
            out.push_back({kind == 1 && r % 7 == 3 ? first + (rng() % 40) * 0.25 : kind == 2 && r == count / 2 ? std::nan("") : t,
                           {static_cast<double>(r), static_cast<double>(rng() % 5)}});
        }
        return out;
    };
    std::vector<std::string> wide;
    for (int k = 1; k <= 502; ++k)
        wide.push_back("w" + std::to_string(k));
    TestMessage two = Message("W", wide, rows(103, 150, 0));
    for (TestRow& row : two.rows)
        row.values.resize(wide.size(), 7.0);
    MakeMeasurementDb("s.db", {{Message("P", {"p", "q"}, rows(100.5, 300, 0)), Message("U", {"u"}, rows(101, 200, 1)),
                                Message("N", {"n"}, rows(99, 120, 2)), two, Message("E", {"e"}, {})},
                               100.0});
    ASSERT_EQ(sqlite3("s.db", "DELETE FROM MessageData0001 WHERE rowid % 5 = 2; DELETE FROM MessageData0004 WHERE "
                              "rowid < 20; DELETE FROM MessageData0004_0002 WHERE rowid % 3 = 0")
                  .output,
              "");
    std::string hits;
    for (int h = 0; h < 60; ++h) {
        double start = -2 + (rng() % 320) * 0.125, length = (rng() % 40) * 0.125;
        hits += (h ? ", " : "") + std::string(R"({"StartTime": )") + std::to_string(start) +
                R"(, "EndTime": )" + std::to_string(start + length) + "}";
    }
    const std::string list = List(R"({"FilenameAndPath": "s.db", "Hits": [)" + hits + "]}",
                                  R"({"name": "p"}, {"name": "q"}, {"name": "u"}, {"name": "n"}, {"name": "w2"},
                                     {"name": "w501"}, {"name": "e", "required": false})");
    std::string subsets[2];
    for (int scan = 0; scan < 2; ++scan) {
        SetSeekByScanDefault(scan == 1);
        const auto [result, printed] = Run(list, "out" + std::to_string(scan) + ".db");
        SetSeekByScanDefault(false);
        ASSERT_EQ(result, 0) << printed;
        // The subset holds the channels in one record table.
        subsets[scan] = sqlite3("out" + std::to_string(scan) + ".db",
                                "SELECT * FROM MessageData0001; SELECT '-'; SELECT * FROM Markers").output;
    }
    EXPECT_EQ(subsets[0], subsets[1]);
    const size_t markers = subsets[0].find("-\n");
    ASSERT_NE(markers, std::string::npos) << subsets[0];
    EXPECT_GT(std::count(subsets[0].begin(), subsets[0].begin() + markers, '\n'), 300) << subsets[0];
    EXPECT_EQ(std::count(subsets[0].begin() + markers, subsets[0].end(), '\n'), 1 + 60);
}

}  // namespace
