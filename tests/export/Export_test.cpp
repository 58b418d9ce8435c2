// One table of databases exported in every format, each output checked by the independent model of
// export_model.py: small databases that stress one rule each and the MDF fixtures (whose MDF files also go
// round through CreateDatabase). Then the exported functions, the host program on the shared library (cancel,
// outputs not written, leak check), and what has a hand-computed image: CSV cells, MAT limits, local time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <filesystem>
#include <functional>
#include <iterator>
#include <sstream>

#include "export/CsvExport.h"
#include "export/MatExport.h"
#include "support/LibUtils.h"
#include "testlib/MeasurementDbBuilder.h"
#include "testlib/TestSupport.h"
#include "vantrel_export.h"

using namespace testlib;

namespace {

constexpr unsigned kAll = kExportCsv | kExportMat | kExportMdf3 | kExportMdf4;

void Int16(TestSignal& s) { s.integer = true; s.dataType = 1; s.bitLength = 16; }

TestSignal Signal(std::string name, std::function<void(TestSignal&)> adjust = nullptr)
{
    TestSignal s;
    s.name = std::move(name);
    if (adjust)
        adjust(s);
    return s;
}

// Rows at times t0, t0 + step, ...; value v of signal k is (row + 1) * (k + 1).
std::vector<TestRow> Rows(int count, size_t signals, double t0, double step)
{
    std::vector<TestRow> rows(count);
    for (int r = 0; r < count; ++r) {
        rows[r].time = t0 + r * step;
        for (size_t k = 0; k < signals; ++k)
            rows[r].values.push_back((r + 1) * (k + 1.0));
    }
    return rows;
}

// Every signal kind and width, NULL cells, names that clash as MAT names (cut at 63 characters, "header");
// Channels rows that describe another column, a column described already, a column not there; a SignalCount
// and a MessageCount beyond the tables.
TestDatabase KindsAndWidths()
{
    const std::string longName(63, 'L');
    TestMessage m{"Engine", "CAN1", {}, {}, 1000000000000LL, 1000000000000LL};
    m.signals = {
        Signal("physical_u8", [](TestSignal& s) { s.signalType = "Double"; s.dataType = 0; s.bitLength = 8; s.slope = 2; s.daqRate = "10 ms"; }),
        Signal("hybrid_f32", [](TestSignal& s) { s.signalType = ""; s.dataType = 3; s.slope = 0.5; s.states = {{2, "T\"wo"}}; }),
        Signal("states_raw", [](TestSignal& s) { s.signalType = "State Encoded"; s.integer = true; s.dataType = 0; s.bitLength = 2; s.states = {{1, "On"}, {2, "O\"ff\""}}; s.daqRate = "1 \u00b5s \u03a9"; }),
        Signal("header", [](TestSignal& s) { s.signalType = "Foo"; s.integer = true; s.dataType = 1; s.bitLength = 12; s.slope = 3; s.offset = -1; }),
        Signal("u8_max", [](TestSignal& s) { s.integer = true; s.dataType = 0; s.bitLength = 8; }),
        Signal("u32_max", [](TestSignal& s) { s.integer = true; s.dataType = 0; s.bitLength = 32; }),
        Signal("i64", [](TestSignal& s) { s.integer = true; s.dataType = 1; s.bitLength = 64; }),
        Signal("f32", [](TestSignal& s) { s.dataType = 3; s.slope = -0.25; }),
        Signal(longName + "type5", [](TestSignal& s) { s.dataType = 5; s.slope = 2; }),
        Signal("muxed", [](TestSignal& s) { s.integer = true; s.dataType = 0; s.bitLength = 8; s.muxValue = 3; s.slope = 10; }),
        Signal(longName + "null_scaling", [](TestSignal& s) { s.nullScaling = true; s.dataType = 4; }),
        Signal("Name_\u00e9_\u03a9", [](TestSignal& s) { s.units = "\u00b0C \u03a9"; }),
        Signal("to_fifteen", [](TestSignal& s) { s.messageChannel = 15; }),
        Signal("again_first", [](TestSignal& s) { s.messageChannel = 1; s.slope = 7; }),
        Signal("outside", [](TestSignal& s) { s.messageChannel = 99; })};
    m.rows = {{0.25, {300.5, 2, 1, 7, 255, 4294967295.0, -5, 1.5, 9, 4, 7.5, 1, 13, 14, 15}},
              {0.5, {}},
              {1.75, {-1e10, 3, 2, -2048, 0, 0, -9007199254740993.0, 1e39, -3, 255, 0, -2, -13, -14, -15}}};
    return TestDatabase{{m}, {}};
}

// Messages at different rates, one with two records at one time (the first is sampled), one after a pause.
TestDatabase Grid(double pause)
{
    TestMessage fast{"Fast", "CAN", {Signal("f")}, Rows(20, 1, 1000.0, 0.01), {}, {}};
    TestMessage slow{"Slow", "CAN", {Signal("s", Int16)}, Rows(3, 1, 1000.05, 0.07), {}, {}};
    slow.rows[2].time = slow.rows[1].time;
    TestMessage late{"Late", "CAN", {Signal("l")}, Rows(4, 1, 1000.2 + pause, 0.05), {}, {}};
    return TestDatabase{{fast, slow, late}, {}};
}

TestDatabase Wide(int signals, int rows)
{
    TestMessage m{"Wide", "CAN", {}, Rows(rows, static_cast<size_t>(signals), 5.5, 0.5), {}, {}};
    for (int k = 0; k < signals; ++k)
        m.signals.push_back(Signal("w" + std::to_string(k), [](TestSignal& s) { s.dataType = 4; }));
    return TestDatabase{{m}, {}};
}

// Records filling pages in every way: 250, 100 and none, equal times, a wrong MessageCount, time going back
// over a page end.
TestDatabase Pages()
{
    TestMessage many{"Many", "CAN", {Signal("m1"), Signal("m2", Int16)}, Rows(250, 2, 0.0, 0.01), {}, {}};
    TestMessage hundred{"Hundred", "CAN", {Signal("h1")}, Rows(100, 1, 0.005, 0.02), {}, {}};
    TestMessage none{"Nothing", "CAN", {Signal("n1")}, {}, {}, {}};
    TestMessage equal{"Equal", "CAN", {Signal("e1", Int16)}, Rows(150, 1, 0.5, 0.0), {}, 7};
    for (size_t r = 0; r < equal.rows.size(); ++r)
        equal.rows[r].time = 0.5 + static_cast<double>(r / 3) * 0.01;
    TestMessage backwards{"Backwards", "CAN", {Signal("b1")}, Rows(230, 1, 0.0, 0.01), {}, 3000};
    for (size_t r = 95; r < 105; ++r)
        backwards.rows[r].time -= 0.5;
    return TestDatabase{{many, hundred, none, equal, backwards}, {}};
}

TestDatabase NoSignals()
{
    return TestDatabase{{TestMessage{"Empty", "CAN", {}, Rows(3, 0, 1.0, 1.0), {}, {}},
                         TestMessage{"NoRows", "CAN", {Signal("x")}, {}, {}, {}}}, {}};
}

// Every record of every channel of a database as record access steps through it: the time, then each channel's
// value and time. The channels are those of the source database, named by channel and message.
std::vector<std::vector<double>> Stepped(std::string const& db, std::string const& source)
{
    const std::string list = testlib::sqlite3(source, "SELECT json_object('Channels', json_group_array(json_object("
                                                      "'name', c.Name, 'message_name', m.Name, 'required', json('true')"
                                                      "))) FROM (SELECT * FROM Channels WHERE ID > 0 ORDER BY ID) c "
                                                      "JOIN Messages m ON m.ID = c.MessageId;").output;
    double *values = nullptr, *stamps = nullptr;
    int count = 0;
    std::vector<std::vector<double>> records;
    StdoutCapture quiet;
    if (OpenDataFile(db.c_str(), list.c_str(), &values, &stamps, &count) <= 0.0)
        return records;
    for (double t = SetCursorsToStart(values, 0); t != DBL_MAX; t = GetNextRecord(values, 0)) {
        records.push_back({t});
        records.back().insert(records.back().end(), values, values + count);
        records.back().insert(records.back().end(), stamps, stamps + count);
    }
    CloseDataFile(values, 0);
    return records;
}

struct Scenario {
    std::string source;  // an MDF fixture, or a name for what make writes
    std::function<TestDatabase()> make = nullptr;
    std::string settings = "";  // lines of the settings file
    double rate = -1.0;         // seconds; positive: a grid
    std::string sql = "";       // run on the database before the export
    bool messageBytes = false;
};

// What the progress callback reported other than percentages, and every percentage.
std::vector<std::string> reports;
std::vector<int> percentages;
int Record(int percent, wchar_t const* text)
{
    if (percent <= 0)
        reports.push_back(std::to_string(percent) + " " + mbstring(text ? text : L""));
    percentages.push_back(percent);
    return 1;
}

// Each of so many outputs: its title (0), percentages that rise, and 100 at its end.
void ExpectProgressRisesTo100(size_t outputs, std::string const& where)
{
    std::vector<std::vector<int>> each;
    for (int percent : percentages) {
        if (percent == 0)
            each.emplace_back();
        else if (!each.empty())
            each.back().push_back(percent);
    }
    ASSERT_EQ(each.size(), outputs) << where;
    for (std::vector<int> const& rise : each) {
        ASSERT_FALSE(rise.empty()) << where;
        EXPECT_EQ(rise.back(), 100) << where;
        for (size_t i = 0; i < rise.size(); ++i)
            EXPECT_TRUE(rise[i] > (i ? rise[i - 1] : 0) && rise[i] <= 100) << where << " report " << i << ": " << rise[i];
    }
}

class Exports : public ::testing::Test {
protected:
    // The model checks every output of the test at its end.
    void TearDown() override
    {
        if (checks.empty())
            return;
        const CommandResult model = run(python() + " " + sourcePath("tests/export/export_model.py") + checks);
        EXPECT_EQ(model.exitCode, 0);
        EXPECT_EQ(model.output, "");
    }

    void Check(std::string const& db, std::string const& base, double rate, unsigned formats)
    {
        for (std::string const& word : {db, base, std::to_string(rate > 0 ? int(rate * 1000) : 0), std::to_string(formats)})
            checks += " " + shellQuote(word);
    }

    // A folder with the scenario's settings file and database (if any).
    std::string Prepare(std::string const& folder, Scenario const& s = {})
    {
        std::filesystem::create_directory(dir.file(folder));
        writeText(dir.file(folder + "/kvxexport.cfg"), s.settings);
        const std::string db = dir.file(folder + "/source.db");
        if (s.make) {
            MakeMeasurementDb(db, s.make());
        } else if (!s.source.empty()) {
            StdoutCapture quiet;
            EXPECT_EQ(CreateDatabase(fixture("mdf/" + s.source).c_str(), db.c_str()), 1);
        }
        if (!s.sql.empty()) {
            EXPECT_EQ(testlib::sqlite3(db, s.sql).exitCode, 0);
        }
        return db;
    }

    // ExportDbData as a C++ host calls it, in the folder; the outputs are named o<FF>.
    std::string Export(std::string const& folder, Scenario const& s, unsigned formats = kAll, bool relativeFirst = false)
    {
        const std::string path = Prepare(folder, s);
        ScopedChdir here(dir.file(folder));
        CArbitration::m_bUseMessageBytes = s.messageBytes;
        CppSQLite3DB db;
        db.open(widestring(path).c_str());
        COrbkBin bin;
        bin.progress = Record;
        bin.relativeTimeFirst = relativeFirst;
        std::vector<CArbDbInfo*> cursors;
        std::wstring base = L"o\xDCFF";
        EXPECT_TRUE(LoadChannelsFromDatabase(&db, bin, cursors));
        if (s.rate > 0)
            CreateIndices(&db, bin.messages, nullptr);
        ExportDbData(&db, bin.messages, cursors, bin, base, formats, s.rate > 0 ? int(s.rate * 1000) : 0);
        CArbitration::m_bUseMessageBytes = false;
        for (CArbDbInfo* cursor : cursors)
            delete cursor;
        return path;
    }

    std::string Base(std::string const& folder) const { return dir.file(folder + "/o\xFF"); }

    // The host program (export_host.cpp) in the folder, with the sanitizers' leak check, under a file size
    // limit of so many 512-byte blocks (0: none); its report lines. The C library keeps a locale it loads
    // from LOCPATH (set by commaDecimalLocale): not a leak of ours.
    std::vector<std::string> Host(std::string const& db, std::string const& folder, int cancelAt, unsigned formats,
                                  int rateMs = 0, int blocks = 0)
    {
        Prepare(folder);
        const std::string limit = blocks ? "trap '' XFSZ; ulimit -f " + std::to_string(blocks) + "; " : "";
        const std::string command = "unset LOCPATH; cd " + shellQuote(dir.file(folder)) + " && " + limit +
                                    "ASAN_OPTIONS=detect_leaks=1 exec " EXPORT_HOST " " + shellQuote(db) + " out " +
                                    std::to_string(cancelAt) + " " + std::to_string(formats) + " " + std::to_string(rateMs);
        const CommandResult host = run("sh -c " + shellQuote(command));
        EXPECT_EQ(host.exitCode, 0) << host.output;
        std::vector<std::string> lines;
        std::istringstream in(host.output);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    std::vector<std::string> Files(std::string const& folder) const
    {
        std::vector<std::string> names;
        for (auto const& entry : std::filesystem::directory_iterator(dir.file(folder)))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    TempDir dir;
    std::string checks;
};

TEST_F(Exports, EveryFormatOfEveryScenarioMatchesTheModel)
{
    std::string rowidGaps, blobs;
    for (char const* table : {"MessageData0001", "MessageData0001_0002", "MessageData0001_0003"})
        rowidGaps += std::string("DELETE FROM ") + table + " WHERE rowid IN (2, 3, 101, 150);";
    rowidGaps += "INSERT INTO MessageData0001_0002 (rowid, TIME_VAL, Signal501) VALUES (150, 1, 2), (9999, 3, 4);";
    for (char id : {'1', '2', '3', '4', '5'})
        blobs += std::string("ALTER TABLE MessageData000") + id + " ADD BLOB; UPDATE MessageData000" + id + " SET BLOB = x'0102';";
    char const* kLaterParts600 = "UPDATE Channels SET Sequence = 0 WHERE ID > 0 AND MessageChannel <= 500;";
    char const* kLaterParts1100 = "UPDATE Channels SET Sequence = 0 WHERE ID > 0 AND MessageChannel <= 500 OR "
                                  "MessageChannel BETWEEN 530 AND 1050;";
    const Scenario scenarios[] = {
        {"kinds", KindsAndWidths, "", -1.0, "INSERT INTO ChannelStates (ChannelId, StateText, NumVal) VALUES (0, "
         "'Ann \u00d6', 1), (0, 'P&<r> \u03a9', 2), (0, 'Veh', 3), (0, 'no header text', 4);"},
        {"kinds", KindsAndWidths, "WriteStateText=0\nWriteUnits=1\nGroupMessages=0\nWriteDuplicates=3\n"},
        {"kinds", KindsAndWidths, "", 0.25},
        {"pages", Pages},
        {"pages", Pages, "WriteDuplicates=1\nGroupMessages=0\n"},
        {"pages", Pages, "WriteDuplicates=2\n"},
        {"pages", Pages, "", 0.007},
        {"pages", Pages, "WriteDuplicates=3\n", 0.013},
        {"bytes", Pages, "", -1.0, blobs, true},
        {"grid", [] { return Grid(0.0); }, "", 0.01},
        {"grid", [] { return Grid(60.0); }, "ForceRateGap=5\n", 0.01},
        {"grid", [] { return Grid(60.0); }, "ForceRateGap=0.005\n", 0.01},
        {"grid", [] { return Grid(0.0); }, "", 1000.0},
        {"grid", [] { return Grid(0.0); }, "", 0.01, "UPDATE Messages SET MaxTime = 9e999 WHERE ID = 3;"},
        {"wide", [] { return Wide(1200, 230); }, "", -1.0, rowidGaps},
        {"wide", [] { return Wide(1200, 230); }, "", 7.0, rowidGaps},
        // A later part's row that part 1 lacks, at the time of a record the grid reads: passed over there too.
        {"wide", [] { return Wide(600, 8); }, "", 0.5, "DELETE FROM MessageData0001 WHERE rowid = 3; UPDATE "
         "MessageData0001_0002 SET TIME_VAL = 7.0, Signal501 = -1 WHERE rowid = 3;"},
        {"no_signals", NoSignals},
        {"no_signals", NoSignals, "", 0.1},
        {"types_v400.mf4"},
        {"conversions_v400.mf4", {}, "WriteDuplicates=3\nWriteStateText=0\n"},
        {"conversions_v330.mdf"},
        {"multirate_v400.mf4"},
        {"names_v400.mf4", {}, "GroupMessages=0\nWriteUnits=1\n"},
        {"wide600_v400.mf4"},
        {"bigrecord1100_v330.mdf"},
        {"multirate_v400.mf4", {}, "ForceRateGap=0.05\nWriteDuplicates=2\n", 0.005},
        {"bigrecord1100_v330.mdf", {}, "", 0.5},
        {"types_v400.mf4", {}, "", 0.05},
        // Text states beside physical values (AmbTemp, VehSpd), and range indices (Level).
        {"textdefaults_v410.mf4"},
        {"textdefaults_v410.mf4", {}, "GroupMessages=0\n", 0.05},
        // Default state numbers past the channel's type (256 on u8, 128 on i8, 65536 on u16), and one that fits.
        {"statekeys_v410.mf4"},
        {"statekeys_v410.mf4", {}, "GroupMessages=0\n", 0.01},
        // Half-precision floats (the largest, a subnormal) and a complex channel kept as the integer of its bits.
        {"halffloat_v410.mf4"},
        {"halffloat_v410.mf4", {}, "GroupMessages=0\n", 0.004},
        // The collection (key 4) and Sequence choose and order the channels, all bits choose those of a
        // non-zero Sequence; when nothing is chosen, everything is.
        {"multirate_v400.mf4", {}, "WriteUnits=1\n", -1.0, "UPDATE Channels SET Sequence = ID * 7 % 15, "
         "CollectionMask = ID % 8 WHERE ID > 0; UPDATE Channels SET CollectionMask = 4 WHERE ID = 0;"},
        {"multirate_v400.mf4", {}, "GroupMessages=0\n", 0.1, "UPDATE Channels SET Sequence = ID * 7 % 15 * (ID % 3 > 0) "
         "WHERE ID > 0; UPDATE Channels SET CollectionMask = -1 WHERE ID = 0;"},
        {"conversions_v400.mf4", {}, "", -1.0, "UPDATE Channels SET Sequence = 0; UPDATE Channels SET SignalType = 'Text' WHERE ID = 8;"},
        // Channels of later table parts alone, or one at a time: part 1 gives only the times.
        {"wide600_v400.mf4", {}, "GroupMessages=0\n"},
        {"wide600_v400.mf4", {}, "", -1.0, kLaterParts600},
        {"wide600_v400.mf4", {}, "GroupMessages=0\n", -1.0, kLaterParts600},
        {"wide600_v400.mf4", {}, "", 0.05, kLaterParts600},
        {"wide600_v400.mf4", {}, "GroupMessages=0\n", 0.05, kLaterParts600},
        {"bigrecord1100_v330.mdf", {}, "", -1.0, kLaterParts1100},
        {"bigrecord1100_v330.mdf", {}, "GroupMessages=0\n", -1.0, kLaterParts1100},
        {"bigrecord1100_v330.mdf", {}, "", 0.02, kLaterParts1100},
        {"bigrecord1100_v330.mdf", {}, "GroupMessages=0\n", 0.02, kLaterParts1100},
    };
    // Numbers are read and written alike under a decimal comma. MDF 3.30 header times are local: UTC makes
    // the round trip exact.
    ScopedLocale comma(commaDecimalLocale().c_str());
    ASSERT_TRUE(comma.ok());
    ScopedEnv tz("TZ", "UTC");
    for (size_t i = 0; i < std::size(scenarios); ++i) {
        Scenario const& s = scenarios[i];
        const std::string folder = std::to_string(i) + "_" + s.source;
        percentages.clear();
        Check(Export(folder, s), Base(folder), s.rate, kAll);
        ExpectProgressRisesTo100(4, folder);
        if (s.make || s.rate > 0 || !s.sql.empty())
            continue;
        const std::string source = dir.file(folder + "/source.db");
        const std::vector<std::vector<double>> records = Stepped(source, source);
        EXPECT_FALSE(records.empty()) << folder;
        for (char const* mdf : {".dat", ".mf4"}) {
            const std::string back = Base(folder) + mdf + ".db";
            {
                StdoutCapture quiet;
                EXPECT_EQ(CreateDatabase((Base(folder) + mdf).c_str(), back.c_str()), 1) << folder;
            }
            // Record access reads the same values at the same absolute times from both; but it reads an unsigned
            // 64-bit value of 2^63 and more as the signed integer the source stores, the copy as the value.
            const std::vector<std::vector<double>> again = Stepped(back, source);
            ASSERT_EQ(again.size(), records.size()) << folder << mdf;
            for (size_t r = 0; r < records.size(); ++r)
                for (size_t c = 0; c < records[r].size(); ++c) {
                    const double got = again[r][c];
                    const double want = records[r][c] + (records[r][c] < 0 && got > 0 ? 18446744073709551616.0 : 0.0);
                    ASSERT_NEAR(got, want, 1e-6 * std::max(1.0, std::fabs(want)))
                        << folder << mdf << " record " << r << " column " << c;
                }
        }
    }
}

// The exported functions write one MDF file (4.00 for an ".mf4" extension in any case; recorded times for a
// rate below a millisecond, which adds the time indexes all the same), or nothing, a diagnostic line and 0.
TEST_F(Exports, TheExportedFunctionsWriteOneMdfFileOrNothing)
{
    // Rates of no use (not a number, a grid of no point) write the recorded times; only a positive one adds indexes.
    const std::tuple<char const*, double, char const*> written[] = {
        {"MDF Extension=.MF4\n", -1.0, "o.mf4"}, {"MDF Extension=.mdf\n", -1.0, "o.mdf"}, {"", 0.0005, "o.dat"},
        {"", std::nan(""), "o.dat"}, {"", 1e300, "o.dat"}};
    for (size_t i = 0; i < std::size(written); ++i) {
        auto const& [settings, rate, file] = written[i];
        const std::string folder = "api" + std::to_string(i);
        const std::string db = Prepare(folder, {"multirate_v400.mf4", {}, settings});
        Check(db, dir.file(folder + "/o"), -1.0, kExportMdf3);
        const std::string before = readText(db);
        ScopedChdir here(dir.file(folder));
        StdoutCapture quiet;
        EXPECT_EQ(i == 0 ? ExportToMdfW(L"source.db", L"o")
                         : i == 1 ? ExportToMdf("source.db", "o") : ExportToMdfForceRateW(L"source.db", L"o", rate),
                  1);
        EXPECT_EQ(Files(folder), (std::vector<std::string>{"kvxexport.cfg", file, "source.db"}));
        if (rate > 0)
            EXPECT_EQ(testlib::sqlite3(db, "SELECT count(*) = (SELECT count(*) FROM Messages) FROM sqlite_master "
                                           "WHERE name LIKE 'MessageIndex%';").output, "1\n");
        else
            EXPECT_TRUE(readText(db) == before) << folder;
    }
    // A channel that names no column is left out, by name; messages without any signal give a file without data.
    const std::pair<Scenario, char const*> partly[] = {
        {{"grid", [] { return Grid(0.0); }, "", -1.0, "UPDATE Channels SET MessageChannel = 2 WHERE ID = 3; INSERT INTO "
          "Channels (ID, MessageId, MessageChannel, Name, Sequence, CollectionMask) SELECT 9, 1, 1, 'again', 5, 1;"},
         "The channel l of message Late is not exported: its MessageChannel 2 is not a signal column of its message "
         "(1 to 1)\nThe channel again of message Fast is not exported: its MessageChannel 1 is described by an "
         "earlier Channels row\n"},
        {{"none", [] { return TestDatabase{{TestMessage{"Empty", "CAN", {}, Rows(3, 0, 1.0, 1.0), {}, {}}}, {}}; }}, ""}};
    for (size_t i = 0; i < std::size(partly); ++i) {
        const std::string folder = "partly" + std::to_string(i);
        Check(Prepare(folder, partly[i].first), dir.file(folder + "/o"), -1.0, kExportMdf3);
        ScopedChdir here(dir.file(folder));
        StdoutCapture capture;
        EXPECT_EQ(ExportToMdf("source.db", "o"), 1) << folder;
        EXPECT_EQ(capture.text(), partly[i].second);
    }

    // A later table part that lacks a record of part 1 fails the export, at the recorded times or on a grid.
    auto damaged = [](char const* sql, double rate = -1.0) {
        return Scenario{"wide", [] { return Wide(600, 5); }, "", rate, sql};
    };
    const Scenario grid{"grid", [] { return Grid(0.0); }};
    const std::tuple<Scenario, char const*, char const*, char const*> failures[] = {
        {grid, "text.db", "o", "UNKNOWN_ERROR error from: text.db\n"},
        {grid, "missing.db", "o", "SQLITE_ERROR error from: missing.db\n"},
        {damaged("DELETE FROM MessageData0001_0002 WHERE rowid = 3;"), "source.db", "o", "CPPSQLITE_ERROR error from: source.db\n"},
        {damaged("DELETE FROM MessageData0001_0002 WHERE rowid = 3;", 0.5), "source.db", "o",
         "CPPSQLITE_ERROR error from: source.db\n"},
        // A view (here one that recurses without end) or a virtual table where the export reads a table.
        {damaged("ALTER TABLE Channels RENAME TO C; CREATE VIEW Channels AS SELECT * FROM C;"), "source.db", "o",
         "Channels is not a plain table: the database is not exported\n"},
        {damaged("DROP TABLE ChannelStates; CREATE VIRTUAL TABLE ChannelStates USING fts5(a);"), "source.db", "o",
         "ChannelStates is not a plain table"},
        {damaged("DROP TABLE MessageData0001; CREATE VIEW MessageData0001 AS WITH RECURSIVE r(t) AS (SELECT 0.0 "
                 "UNION ALL SELECT t + 1 FROM r) SELECT t AS TIME_VAL, t AS Signal1 FROM r;"),
         "source.db", "o", "MessageData0001 is not a plain table"},
        {damaged("ALTER TABLE MessageData0001_0002 RENAME TO P; CREATE VIEW MessageData0001_0002 AS SELECT * FROM P;"),
         "source.db", "o", "MessageData0001_0002 is not a plain table"},
        // What an MDF file cannot declare: a record of 65608 bytes, a grid of 10^18 points.
        {{"big", [] { return Wide(8200, 2); }}, "source.db", "o", "The export file o.dat was not written: "},
        {{"long", grid.make, "", 0.001, "UPDATE Messages SET MaxTime = 1e15 WHERE ID = 3;"}, "source.db", "o",
         "The export file o.dat was not written: "},
        {{"groups", [] { return Wide(65536, 1); }, "GroupMessages=0\n"}, "source.db", "o",
         "The export file o.dat was not written: 65536 data groups are more than an MDF file can count\n"},
        // Selected channels the export cannot place: named, and nothing written when none is left.
        {{"grid", grid.make, "", -1.0, "UPDATE Messages SET SignalCount = 0 WHERE ID = 1; UPDATE Messages SET "
          "SignalCount = NULL WHERE ID = 2; UPDATE Messages SET SignalCount = 'many' WHERE ID = 3;"}, "source.db", "o",
         "The channel f of message Fast is not exported: its message has no signal columns\nThe channel s of message "
         "Slow is not exported: its message has no signal columns\nThe channel l of message Late is not exported: its "
         "message has no signal columns\nThe export file o.dat was not written: none of the selected channels can be "
         "exported\n"},
        {{"grid", grid.make, "", 0.01, "UPDATE Channels SET Sequence = 0 WHERE ID <> 2; DROP TABLE MessageData0002;"},
         "source.db", "o", "The channel s of message Slow is not exported: its message has no record table\n"},
        {{"grid", grid.make, "", -1.0, "UPDATE Channels SET MessageChannel = MessageChannel + 1 WHERE ID IN (1, 3); "
          "UPDATE Channels SET MessageChannel = NULL WHERE ID = 2; UPDATE Channels SET Sequence = 0;"},
         "source.db", "o", "The channel f of message Fast is not exported: its MessageChannel 2 is not a signal column of "
         "its message (1 to 1)\nThe channel s of message Slow is not exported: it names no MessageChannel\nThe channel "
         "l of message Late is not exported: its MessageChannel 2 is not a signal column of its message (1 to 1)\n"},
        {{"grid", grid.make, "", -1.0, "DELETE FROM Messages;"}, "source.db", "o", "source.db holds no message to export\n"},
        {grid, "source.db", "link", "The export link.dat would replace the database it is made from"},
        {grid, "source.db", "absent/o", "The export file absent/o.dat was not written: it cannot be created"},
        {grid, nullptr, "o", "ExportToMdf needs a database and an output name"},
    };
    for (size_t i = 0; i < std::size(failures); ++i) {
        auto const& [s, db, out, line] = failures[i];
        const std::string folder = "failure" + std::to_string(i);
        std::filesystem::create_hard_link(Prepare(folder, s), dir.file(folder + "/link.dat"));
        writeText(dir.file(folder + "/text.db"), std::string(3000, 'x'));
        const std::vector<std::string> before = Files(folder);
        ScopedChdir here(dir.file(folder));
        StdoutCapture capture;
        EXPECT_EQ(ExportToMdfForceRate(db, out, s.rate), 0) << folder;
        EXPECT_NE(capture.text().find(line), std::string::npos) << folder;
        std::vector<std::string> after = Files(folder);
        after.erase(std::remove(after.begin(), after.end(), "missing.db"), after.end());
        EXPECT_EQ(after, before);
    }
}

// Cancelled at any title or first percentage, the export keeps the outputs written before and leaves nothing
// of the cancelled one, but for a CSV file, which keeps its rows, and a grid cancelled while its matrix is
// filled, which leaves the MAT header of 128 bytes. Files
// of other kinds in the way are refused, writes that fail midway leave nothing behind, and an SQL failure
// reaches the host as CppSQLite3Exception.
TEST_F(Exports, TheHostProgram)
{
    const std::string db = Prepare("all", {"multirate_v400.mf4"});
    const std::vector<std::string> lines = Host(db, "all", 0, kAll);
    Check(db, dir.file("all/out"), -1.0, kAll);
    char const* outputs[] = {"out Log File.csv", "out.mat", "out.dat", "out.mf4"};
    std::vector<std::string> kept = {"kvxexport.cfg"};
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind("0 ", 0) != 0)
            continue;
        ASSERT_LT(kept.size(), 5u) << lines[i];
        for (size_t cancel : {i, i + 1}) {  // a title, the first percentage after it
            const std::string folder = "cancel" + std::to_string(cancel);
            Host(db, folder, int(cancel) + 1, kAll);
            std::vector<std::string> left = kept;
            // Cancelled while writing, a CSV file keeps the rows written so far.
            if (cancel == i + 1 && kept.size() == 1) {
                left = {"kvxexport.cfg", outputs[0]};
                const std::string rows = readText(dir.file(folder + "/") + outputs[0]);
                EXPECT_EQ(readText(dir.file("all/") + outputs[0]).rfind(rows, 0), 0u);
                EXPECT_GT(std::count(rows.begin(), rows.end(), '\n'), 1) << rows;
                EXPECT_EQ(rows.back(), '\n');
            }
            EXPECT_EQ(Files(folder), left) << lines[cancel];
        }
        kept.push_back(outputs[kept.size() - 1]);
        std::sort(kept.begin(), kept.end());
    }
    EXPECT_EQ(kept.size(), 5u);
    Host(db, "grid", 2, kExportMat, 10);  // report 2: the first percentage
    EXPECT_EQ(std::filesystem::file_size(dir.file("grid/out.mat")), 128u);

    Prepare("refused");
    writeText(dir.file("refused/out Log File.csv"), "my table\n");
    writeText(dir.file("refused/out.dat"), "notes");
    const std::vector<std::string> refused = Host(db, "refused", 0, kAll);
    Check(db, dir.file("refused/out"), -1.0, kExportMat | kExportMdf4);
    for (char const* file : {"out Log File.csv", "out.dat"})
        EXPECT_NE(std::find(refused.begin(), refused.end(),
                            std::string("-1 The export file ") + file + " was not written: it would replace another file"),
                  refused.end());
    EXPECT_EQ(readText(dir.file("refused/out Log File.csv")) + readText(dir.file("refused/out.dat")), "my table\nnotes");
    const std::pair<unsigned, int> failing[] = {{kExportCsv, 0}, {kExportMat, 0}, {kExportMat, 5}, {kExportMdf3, 0}};
    for (auto const& [formats, rateMs] : failing) {
        const std::string folder = "full" + std::to_string(formats) + "_" + std::to_string(rateMs);
        const std::vector<std::string> reported = Host(db, folder, 0, formats, rateMs, 100);
        EXPECT_TRUE(std::any_of(reported.begin(), reported.end(),
                                [](std::string const& line) { return line.rfind("-1 The export file", 0) == 0; }))
            << folder;
        EXPECT_EQ(Files(folder), std::vector<std::string>{"kvxexport.cfg"});
    }
    EXPECT_EQ(Host(dir.file("refused/out.dat"), "refused", 0, kAll).back(), "caught UNKNOWN_ERROR");
    // A later page that cannot be read whole fails the export rather than ending its message early.
    const std::string damaged = Prepare("damaged", {"wide", [] { return Wide(600, 150); }, "", -1.0,
                                                    "DELETE FROM MessageData0001_0002 WHERE rowid = 120;"});
    EXPECT_EQ(Host(damaged, "failed", 0, kExportCsv).back(), "caught CPPSQLITE_ERROR");
    EXPECT_EQ(Files("failed"), std::vector<std::string>{"kvxexport.cfg"});
}

TEST_F(Exports, CsvCellsAndTheirCache)
{
    FILE* file = std::fopen(dir.file("cells").c_str(), "w");
    for (double v : {3.0, 2.5, 98765.4321, 0.000000001, 4294967296.0, -0.0, std::nan(""), 3.0, -2147483648.0,
                     2147483648.0, DBL_MAX})
        WriteCsvValue(file, v);
    for (int i = 0; i < 20000; ++i)  // past the cache's bound, integral or not, all still written
        WriteCsvValue(file, 0.5 + i);
    for (int i = 0; i < 20000; ++i)
        WriteCsvValue(file, 1e6 + i);
    std::fclose(file);
    const std::string text = readText(dir.file("cells"));
    EXPECT_EQ(text.substr(0, text.find(",0.5")),
              ",3,2.5,98765.43,1e-09,4.294967e+09,0,nan,3,-2147483648,2.147484e+09,1.797693e+308");
    EXPECT_NE(text.find(",19998.5,19999.5,1000000,1000001,"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 16), ",1019998,1019999");
}

// Without room for a channel's arrays the MAT file is removed; without room for a grid's matrix the grid goes
// on in further files, at the rows that fit (1000 points of 4 columns, room for 500 rows).
TEST_F(Exports, MatFilesWithinTheMemoryTheyMayTake)
{
    reports.clear();
    for (char const* settings : {"", "GroupMessages=0\n"}) {
        SetMatrixAllocationLimit(200 * sizeof(double));
        Export(settings[0] ? "channels" : "messages", {"arrays", Pages, settings}, kExportMat);
        EXPECT_EQ(Files(settings[0] ? "channels" : "messages"), (std::vector<std::string>{"kvxexport.cfg", "source.db"}));
    }
    ASSERT_EQ(reports.size(), 6u);
    EXPECT_EQ(reports[1], "-1 Error allocating 250 points for channel m1\n");
    EXPECT_NE(reports[2].find(".mat was not written: writing it failed"), std::string::npos);
    reports.clear();
    SetMatrixAllocationLimit(500 * 4 * sizeof(double));
    Check(Export("split", {"split", [] { return Wide(2, 3); }, "", 0.001}, kExportMat), Base("split"), 0.001, kExportMat);
    EXPECT_EQ(reports, (std::vector<std::string>{"0 Writing MAT file", "-1 Error allocating 1000 points for 4 channels\n",
                                                 "0 Writing MAT file"}));
    EXPECT_EQ(Files("split"), (std::vector<std::string>{"kvxexport.cfg", "o\xFF.mat", "o\xFF_02.mat", "source.db"}));
    // A further file of an earlier export stays as it was.
    std::filesystem::create_directory(dir.file("older"));
    writeText(dir.file("older/o\xFF_03.mat"), "earlier");
    Export("older", {"split", [] { return Wide(2, 3); }, "", 0.001}, kExportMat);
    SetMatrixAllocationLimit(0);
    EXPECT_EQ(Files("older"), (std::vector<std::string>{"kvxexport.cfg", "o\xFF.mat", "o\xFF_02.mat", "o\xFF_03.mat",
                                                        "source.db"}));
    EXPECT_EQ(readText(dir.file("older/o\xFF_03.mat")), "earlier");
}

// CSV rows follow the local time setting and may put the relative time first; MDF headers start at the UTC
// second all the same.
TEST_F(Exports, CsvRowsInLocalTime)
{
    ScopedEnv tz("TZ", "Asia/Tokyo");
    g_bUseLocalTime = true;
    Check(Export("local", {"rows", [] { return Grid(0.0); }}, kAll, true), Base("local"), -1.0, kExportMdf3 | kExportMdf4);
    g_bUseLocalTime = false;
    const std::string text = readText(Base("local") + " Log File.csv");
    EXPECT_EQ(text.substr(text.find('\n') + 1, 34), "0.0000000,2007/1/1,9:16:40 AM,1,,\n");
}

}  // namespace
