// Export of small databases that stress one rule each: signal kinds and
// widths, column mapping, selection and order, pages, grids, names and
// limits. Every MDF file is walked strictly, and every MDF, CSV and MAT file
// is checked against the independent model of export_model.py.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <filesystem>
#include <functional>
#include <set>

#include "export/ChannelNames.h"
#include "export/CsvExport.h"
#include "export/MatExport.h"
#include "support/LibUtils.h"
#include "testlib/MeasurementDbBuilder.h"
#include "testlib/TestSupport.h"
#include "vantrel.h"
#include "vantrel_export.h"

using testlib::TestDatabase;
using testlib::TestMessage;
using testlib::TestRow;
using testlib::TestSignal;

namespace {

TestSignal Signal(std::string name, std::function<void(TestSignal&)> adjust = nullptr)
{
    TestSignal s;
    s.name = std::move(name);
    if (adjust)
        adjust(s);
    return s;
}

// Rows at times t0, t0 + step, ...; value v of signal k is (row + 1) * (k + 1) * scale.
std::vector<TestRow> Rows(int count, size_t signals, double t0, double step, double scale = 1.0)
{
    std::vector<TestRow> rows;
    for (int r = 0; r < count; ++r) {
        TestRow row{t0 + r * step, {}};
        for (size_t k = 0; k < signals; ++k)
            row.values.push_back((r + 1) * (k + 1) * scale);
        rows.push_back(row);
    }
    return rows;
}

struct Scenario {
    char const* name;
    std::function<TestDatabase()> make;
    std::string settings;  // lines of the settings file
    double rate = -1.0;
    int expected = 1;
    // Run on the database after it is made (sqlite3 command).
    std::string sql = "";
};

TestDatabase KindsAndWidths()
{
    TestMessage m{"Engine", "CAN1", {}, {}, {}, {}};
    m.signals = {
        Signal("physical_u8", [](TestSignal& s) { s.signalType = "Double"; s.dataType = 0; s.bitLength = 8; s.slope = 2; }),
        Signal("hybrid_f32", [](TestSignal& s) { s.signalType = ""; s.dataType = 3; s.slope = 0.5; s.states = {{2, "T\"wo"}}; }),
        Signal("states_raw", [](TestSignal& s) { s.signalType = "State Encoded"; s.integer = true; s.dataType = 0; s.bitLength = 2; s.states = {{1, "On"}, {2, "O\"ff\""}}; }),
        Signal("unknown_type", [](TestSignal& s) { s.signalType = "Foo"; s.integer = true; s.dataType = 1; s.bitLength = 12; s.slope = 3; s.offset = -1; }),
        Signal("u8_max", [](TestSignal& s) { s.integer = true; s.dataType = 0; s.bitLength = 8; }),
        Signal("u32_max", [](TestSignal& s) { s.integer = true; s.dataType = 0; s.bitLength = 32; }),
        Signal("i64", [](TestSignal& s) { s.integer = true; s.dataType = 1; s.bitLength = 64; }),
        Signal("f32", [](TestSignal& s) { s.dataType = 3; s.slope = -0.25; }),
        Signal("type5", [](TestSignal& s) { s.dataType = 5; s.slope = 2; }),
        Signal("muxed", [](TestSignal& s) { s.integer = true; s.dataType = 0; s.bitLength = 8; s.muxValue = 3; s.slope = 10; }),
        Signal("null_scaling", [](TestSignal& s) { s.nullScaling = true; s.dataType = 4; }),
        Signal("Name_\u00e9_\u03a9", [](TestSignal& s) { s.units = "\u00b0C"; }),
    };
    m.rows = {{0.25, {300.5, 2, 1, 7, 255, 4294967295.0, -5, 1.5, 9, 4, 7.5, 1}},
              {0.5, {std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                     std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt}},
              {1.75, {-1e10, 3, 2, -2048, 0, 0, -9007199254740993.0, 1e39, -3, 255, 0, -2}}};
    return TestDatabase{{m}, {}};
}

TestDatabase ColumnMapping()
{
    TestMessage m{"Mapped", "", {}, Rows(5, 4, 100.0, 0.1), {}, {}};
    m.signals = {Signal("second_column", [](TestSignal& s) { s.messageChannel = 2; }),
                 Signal("first_column", [](TestSignal& s) { s.messageChannel = 1; s.slope = 5; }),
                 Signal("again_first", [](TestSignal& s) { s.messageChannel = 1; s.slope = 7; }),
                 Signal("outside", [](TestSignal& s) { s.messageChannel = 99; })};
    m.signalCount = 1000000000000LL;  // more than the tables hold
    return TestDatabase{{m}, {}};
}

TestDatabase Selection(unsigned key, bool allSequenceZero)
{
    auto seq = [allSequenceZero](int n) { return [=](TestSignal& s) { s.sequence = allSequenceZero ? 0 : n; }; };
    TestMessage a{"A", "CAN", {}, Rows(4, 3, 10.0, 0.5), {}, {}};
    a.signals = {Signal("a1", [&](TestSignal& s) { seq(30)(s); s.collectionMask = 3; }),
                 Signal("a2", [&](TestSignal& s) { seq(5)(s); s.collectionMask = 4; }),
                 Signal("a3", [&](TestSignal& s) { seq(0)(s); s.states = {{2, "x"}}; s.signalType = "Text"; })};
    TestMessage b{"B", "CAN", {}, Rows(3, 2, 9.0, 1.0), {}, {}};
    b.signals = {Signal("b1", [&](TestSignal& s) { seq(20)(s); s.collectionMask = 2; }),
                 Signal("b2", [&](TestSignal& s) { seq(10)(s); s.collectionMask = 6; s.signalType = "Double"; })};
    TestMessage none{"NoneSelected", "CAN", {}, Rows(2, 1, 1.0, 1.0), {}, {}};
    none.signals = {Signal("n1", [&](TestSignal& s) { seq(1)(s); s.collectionMask = 1; })};
    TestDatabase db{{a, b, none}, {}};
    db.collectionKey = key;
    return db;
}

TestDatabase Grid(double pause)
{
    TestMessage fast{"Fast", "CAN", {Signal("f")}, Rows(20, 1, 1000.0, 0.01), {}, {}};
    TestMessage slow{"Slow", "CAN", {Signal("s", [](TestSignal& s) { s.integer = true; s.dataType = 1; s.bitLength = 16; })},
                     Rows(3, 1, 1000.05, 0.07), {}, {}};
    // Equal times: the first record of a time is the one sampled.
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

TestDatabase NoSignals()
{
    return TestDatabase{{TestMessage{"Empty", "CAN", {}, Rows(3, 0, 1.0, 1.0), {}, {}},
                         TestMessage{"NoRows", "CAN", {Signal("x")}, {}, {}, {}}}, {}};
}

// Messages whose records fill pages in every way: 250, 100 and no records,
// equal times, a wrong MessageCount, time going backwards.
TestDatabase Pages()
{
    auto integer = [](TestSignal& s) { s.integer = true; s.dataType = 1; s.bitLength = 16; };
    TestMessage many{"Many", "CAN", {Signal("m1"), Signal("m2", integer)}, Rows(250, 2, 0.0, 0.01), {}, {}};
    TestMessage hundred{"Hundred", "CAN", {Signal("h1")}, Rows(100, 1, 0.005, 0.02), {}, {}};
    TestMessage none{"Nothing", "CAN", {Signal("n1")}, {}, {}, {}};
    TestMessage equal{"Equal", "CAN", {Signal("e1", integer)}, Rows(150, 1, 0.5, 0.0), {}, 7};
    for (size_t r = 0; r < equal.rows.size(); ++r)
        equal.rows[r].time = 0.5 + static_cast<double>(r / 3) * 0.01;  // threes share a time
    TestMessage backwards{"Backwards", "CAN", {Signal("b1")}, Rows(230, 1, 0.0, 0.01), {}, 3000};
    for (size_t r = 95; r < 105; ++r)
        backwards.rows[r].time -= 0.5;  // ten records step back over a page end
    return TestDatabase{{many, hundred, none, equal, backwards}, {}};
}

class Exports : public ::testing::Test {
protected:
    testlib::TempDir dir;

    int Export(Scenario const& s, bool version4, std::string& output)
    {
        const std::string db = dir.file(std::string(s.name) + ".db");
        testlib::MakeMeasurementDb(db, s.make());
        testlib::writeText(dir.file("kvxexport.cfg"), s.settings + (version4 ? "MDF Extension=.mf4\n" : ""));
        testlib::ScopedChdir here(dir.path());
        testlib::StdoutCapture capture;
        const std::wstring wideDb(db.begin(), db.end()), base = L"out";
        const int result = ExportToMdfForceRateW(wideDb.c_str(), base.c_str(), s.rate);
        output = capture.text();
        return result;
    }

    // ExportDbData as a C++ host calls it, on the database of the scenario.
    void Engine(Scenario const& s, unsigned formats, ExportProgressCallback progress = nullptr,
                bool relativeFirst = false, std::wstring base = L"out")
    {
        const std::string path = dir.file(std::string(s.name) + ".db");
        testlib::MakeMeasurementDb(path, s.make());
        if (!s.sql.empty()) {
            ASSERT_EQ(testlib::sqlite3(path, s.sql).exitCode, 0);
        }
        testlib::writeText(dir.file("kvxexport.cfg"), s.settings);
        testlib::ScopedChdir here(dir.path());
        CppSQLite3DB db;
        db.open(std::wstring(path.begin(), path.end()).c_str());
        COrbkBin bin;
        bin.progress = progress;
        bin.relativeTimeFirst = relativeFirst;
        std::vector<CArbDbInfo*> cursors;
        ASSERT_TRUE(LoadChannelsFromDatabase(&db, bin, cursors));
        if (s.rate > 0)
            CreateIndices(&db, bin.messages, nullptr);
        try {
            ExportDbData(&db, bin.messages, cursors, bin, base, formats, s.rate > 0 ? static_cast<int>(s.rate * 1000) : 0);
        } catch (CppSQLite3Exception const& e) {
            ADD_FAILURE() << mbstring(e.errorMessage());
        }
        for (CArbDbInfo* cursor : cursors)
            delete cursor;
    }

    // The python model's verdict on an output ("ok\n" or what differs).
    std::string Check(char const* kind, Scenario const& s, std::string const& file, std::string const& more = "")
    {
        const int rateMs = s.rate > 0 ? static_cast<int>(s.rate * 1000.0) : 0;
        return testlib::run(testlib::python() + " " + testlib::sourcePath("tests/export/export_model.py") + " " +
                            kind + " " + testlib::shellQuote(dir.file(std::string(s.name) + ".db")) + " " +
                            testlib::shellQuote(dir.file(file)) + " " + std::to_string(rateMs) + " " + more)
            .output;
    }

    std::string Check(Scenario const& s, bool version4) { return Check("mdf", s, version4 ? "out.mf4" : "out.dat"); }
};

TEST_F(Exports, TheGapSettingIsReadWhateverTheHostsDecimalSeparator)
{
    const std::string comma = testlib::commaDecimalLocale();
    ASSERT_FALSE(comma.empty());
    testlib::ScopedLocale locale(comma.c_str());
    ASSERT_TRUE(locale.ok());
    Scenario s{"gap_comma", [] { return Grid(60.0); }, "ForceRateGap=5.0\n", 0.01};
    std::string output;
    EXPECT_EQ(Export(s, false, output), 1) << output;
    EXPECT_EQ(Check(s, false), "ok\n");
}

TEST_F(Exports, HeaderStartsAtTheUtcSecondWhateverTheHostsTimeZone)
{
    testlib::ScopedEnv tz("TZ", "Asia/Tokyo");
    g_bUseLocalTime = true;
    Scenario s{"local", [] { return Grid(0.0); }, ""};
    for (bool version4 : {false, true}) {
        std::string output;
        EXPECT_EQ(Export(s, version4, output), 1) << output;
        EXPECT_EQ(Check(s, version4), "ok\n");
    }
    g_bUseLocalTime = false;
}

TEST_F(Exports, WhatAFileCannotDeclareIsRefusedWithADiagnostic)
{
    const std::vector<Scenario> refused = {
        // 8200 doubles make a record of 65608 bytes.
        {"record_too_big", [] { return Wide(8200, 2); }, ""},
        {"grid_too_long", [] {
             TestDatabase db = Grid(0.0);
             db.messages[2].rows.back().time = 1e15;
             return db;
         }, "", 0.001},
    };
    for (Scenario const& s : refused) {
        SCOPED_TRACE(s.name);
        std::string output;
        EXPECT_EQ(Export(s, false, output), 0);
        EXPECT_NE(output.find("out.dat was not written: "), std::string::npos) << output;
        EXPECT_FALSE(testlib::fileExists(dir.file("out.dat")));
    }
}

TEST_F(Exports, APartMissingARecordFailsTheExport)
{
    const std::string path = dir.file("damaged.db");
    testlib::MakeMeasurementDb(path, Wide(600, 5));
    ASSERT_EQ(testlib::sqlite3(path, "DELETE FROM MessageData0001_0002 WHERE rowid = 3;").exitCode, 0);
    const std::wstring db(path.begin(), path.end());
    testlib::ScopedChdir here(dir.path());
    testlib::StdoutCapture capture;
    EXPECT_EQ(ExportToMdfW(db.c_str(), L"out"), 0);
    EXPECT_EQ(capture.text(), "CPPSQLITE_ERROR error from: " + path + "\n");
    EXPECT_FALSE(testlib::fileExists(dir.file("out.dat")));
}

// A view (here one that recurses without end) or a virtual table where the
// export reads a table fails it at loading.
TEST_F(Exports, TablesTheExportReadsMustBePlainTables)
{
    const std::pair<char const*, char const*> cases[] = {
        {"Channels", "ALTER TABLE Channels RENAME TO C; CREATE VIEW Channels AS SELECT * FROM C;"},
        {"ChannelStates", "DROP TABLE ChannelStates; CREATE VIRTUAL TABLE ChannelStates USING fts5(a);"},
        {"MessageData0001", "DROP TABLE MessageData0001; CREATE VIEW MessageData0001 AS WITH RECURSIVE r(t) AS "
                            "(SELECT 0.0 UNION ALL SELECT t + 1 FROM r) SELECT t AS TIME_VAL, t AS Signal1 FROM r;"},
        {"MessageData0001_0002", "ALTER TABLE MessageData0001_0002 RENAME TO P; "
                                 "CREATE VIEW MessageData0001_0002 AS SELECT * FROM P;"}};
    testlib::ScopedChdir here(dir.path());
    for (auto const& [table, sql] : cases) {
        const std::string path = dir.file(std::string(table) + ".db");
        testlib::MakeMeasurementDb(path, Wide(600, 5));
        ASSERT_EQ(testlib::sqlite3(path, sql).exitCode, 0) << table;
        testlib::StdoutCapture capture;
        EXPECT_EQ(ExportToMdfForceRateW(widestring(path).c_str(), L"out", 0.5), 0);
        EXPECT_EQ(capture.text(), std::string(table) + " is not a plain table: the database is not exported\n");
        EXPECT_FALSE(testlib::fileExists(dir.file("out.dat")));
    }
}

}  // namespace

TEST_F(Exports, EveryFormatOfEveryScenarioMatchesTheModel)
{
    const char* rowidGaps =
        "DELETE FROM MessageData0001 WHERE rowid IN (2, 3, 101, 150); "
        "DELETE FROM MessageData0001_0002 WHERE rowid IN (2, 3, 101, 150); "
        "DELETE FROM MessageData0001_0003 WHERE rowid IN (2, 3, 101, 150);";
    const std::vector<Scenario> scenarios = {
        {"kinds", KindsAndWidths, ""},
        {"kinds_plain", KindsAndWidths, "WriteStateText=0\nWriteUnits=1\nGroupMessages=0\nWriteDuplicates=3\n"},
        {"kinds_grid", KindsAndWidths, "", 0.25},
        {"mapping", ColumnMapping, ""},
        {"mask2", [] { return Selection(2, false); }, "WriteUnits=1\n"},
        {"all_bits", [] { return Selection(0xFFFFFFFFu, false); }, "GroupMessages=0\n"},
        {"fallback", [] { return Selection(1, true); }, ""},
        {"pages", Pages, ""},
        {"pages_dup1", Pages, "WriteDuplicates=1\nGroupMessages=0\n"},
        {"pages_dup2", Pages, "WriteDuplicates=2\n"},
        {"pages_grid", Pages, "", 0.007},
        {"pages_grid_dup3", Pages, "WriteDuplicates=3\n", 0.013},
        {"grid", [] { return Grid(0.0); }, "", 0.01},
        {"grid_gap", [] { return Grid(60.0); }, "ForceRateGap=5\n", 0.01},
        {"grid_gap_below_period", [] { return Grid(60.0); }, "ForceRateGap=0.005\n", 0.01},
        {"grid_without_points", [] { return Grid(0.0); }, "", 1000.0},
        {"wide1200_gaps", [] { return Wide(1200, 230); }, "", -1.0, 1, rowidGaps},
        {"wide1200_grid", [] { return Wide(1200, 230); }, "", 7.0, 1, rowidGaps},
        {"no_signals", NoSignals, ""},
        {"no_signals_grid", NoSignals, "", 0.1},
    };
    for (Scenario const& s : scenarios) {
        SCOPED_TRACE(s.name);
        Engine(s, kExportCsv | kExportMat | kExportMdf3 | kExportMdf4);
        EXPECT_EQ(Check("csv", s, "out Log File.csv"), "ok\n");
        EXPECT_EQ(Check("mat", s, "out.mat"), "ok\n");
        EXPECT_EQ(Check("mdf", s, "out.dat"), "ok\n");
        EXPECT_EQ(Check("mdf", s, "out.mf4"), "ok\n");
    }
}

TEST_F(Exports, RawMessageBytesAreReadFromTheirColumn)
{
    CArbitration::m_bUseMessageBytes = true;
    std::string sql;
    for (int id = 1; id <= 5; ++id)
        sql += "ALTER TABLE MessageData000" + std::to_string(id) + " ADD COLUMN BLOB; UPDATE MessageData000" +
               std::to_string(id) + " SET BLOB = x'0102';";
    Scenario s{"bytes", Pages, "", -1.0, 1, sql};
    Engine(s, kExportCsv);
    CArbitration::m_bUseMessageBytes = false;
    EXPECT_EQ(Check("csv", s, "out Log File.csv"), "ok\n");
}

TEST_F(Exports, AGridSplitsOverFilesWhenItsMatrixCannotBeHad)
{
    static std::vector<std::string> reports;
    reports.clear();
    auto record = [](int percent, wchar_t const* text) {
        if (percent <= 0)
            reports.push_back(std::to_string(percent) + " " + mbstring(text ? text : L""));
        return 1;
    };
    // 10000 points of 4 columns; room for 5000 rows only.
    Scenario s{"split", [] {
                   return TestDatabase{{TestMessage{"M", "CAN", {Signal("a"), Signal("b")}, Rows(3, 2, 0.0, 5.0), {}, {}}}, {}};
               }, "", 0.001};
    SetMatrixAllocationLimit(5000 * 4 * sizeof(double));
    Engine(s, kExportMat, record);
    SetMatrixAllocationLimit(0);
    EXPECT_EQ(reports, (std::vector<std::string>{"0 Writing MAT file", "-1 Error allocating 10000 points for 4 channels\n",
                                                 "0 Writing MAT file"}));
    EXPECT_EQ(Check("mat", s, "out.mat", testlib::shellQuote(dir.file("out_02.mat"))), "ok\n");
    EXPECT_FALSE(testlib::fileExists(dir.file("out_03.mat")));
}

// Every output of the engine is named by the bytes of its base (U+DCFF: the
// byte 0xFF), the grid's further MAT files too.
TEST_F(Exports, OutputsAreNamedByTheBytesOfTheirBase)
{
    auto make = [] { return TestDatabase{{TestMessage{"M", "CAN", {Signal("a")}, Rows(3, 1, 0.0, 5.0), {}, {}}}, {}}; };
    Engine({"all", make, ""}, kExportCsv | kExportMat | kExportMdf3 | kExportMdf4, nullptr, false, L"o\xDCFF");
    SetMatrixAllocationLimit(5000 * 3 * sizeof(double));
    Engine({"grid", make, "", 0.001}, kExportMat, nullptr, false, L"g\xDCFF");
    SetMatrixAllocationLimit(0);
    std::set<std::string> names;
    for (auto const& entry : std::filesystem::directory_iterator(dir.path()))
        names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"all.db", "grid.db", "kvxexport.cfg", "o\xFF Log File.csv", "o\xFF.dat",
                                            "o\xFF.mat", "o\xFF.mf4", "g\xFF.mat", "g\xFF_02.mat"}));
}

TEST_F(Exports, NumericCellsAndTheirCache)
{
    testlib::TempDir here;
    const std::string path = here.file("cells");
    FILE* file = std::fopen(path.c_str(), "w");
    for (double v : {3.0, 2.5, 98765.4321, 0.000000001, 4294967296.0, -0.0, std::nan(""), 3.0, -2147483648.0,
                     2147483648.0, DBL_MAX})
        WriteCsvValue(file, v);
    for (int i = 0; i < 20000; ++i)  // past the cache's bound, all still written
        WriteCsvValue(file, 0.5 + i);
    std::fclose(file);
    const std::string text = testlib::readText(path);
    EXPECT_EQ(text.substr(0, text.find(",0.5")),
              ",3,2.5,98765.43,1e-09,4.294967e+09,0,nan,3,-2147483648,2.147484e+09,1.797693e+308");
    EXPECT_NE(text.find(",19999.5"), std::string::npos);
}

TEST_F(Exports, ChannelNamesAreUniqueAndScrubbed)
{
    TestMessage engine{"EngineData", "CAN1", {Signal("Speed"), Signal("Oil Temp"), Signal("header")}, {}, {}, {}};
    TestMessage wheel{"WheelData", "CAN1", {Signal("Speed"), Signal("Oil-Temp"), Signal(std::string(60, 'x'))}, {}, {}, {}};
    TestMessage wheel2{"WheelData", "CAN1", {Signal(std::string(60, 'x'))}, {}, {}, {}};
    const std::string path = dir.file("names.db");
    testlib::MakeMeasurementDb(path, TestDatabase{{engine, wheel, wheel2}, {}});
    CppSQLite3DB db;
    db.open(std::wstring(path.begin(), path.end()).c_str());
    COrbkBin bin;
    std::vector<CArbDbInfo*> cursors;
    ASSERT_TRUE(LoadChannelsFromDatabase(&db, bin, cursors));
    std::vector<CDbChannel> channels;
    for (CArbDbInfo* cursor : cursors)
        for (size_t k = 1; k < cursor->GetArb()->m_signals.size(); ++k) {
            channels.emplace_back();
            channels.back().SetArb(cursor->GetArb(), static_cast<int>(k), cursor, k == 1);
        }
    auto names = [&](bool matlab, char const* separator) {
        ChannelNameMap map = BuildChannelNameMap(channels, matlab, separator);
        std::vector<std::string> list;
        for (CDbChannel const& channel : channels)
            list.push_back(NameOf(map, channel));
        return list;
    };
    const std::string joined = std::string(60, 'x') + "_WheelData_CAN1";
    EXPECT_EQ(names(false, "|"), (std::vector<std::string>{"Speed|EngineData|CAN1", "Oil Temp", "header",
                                                          "Speed|WheelData|CAN1", "Oil-Temp",
                                                          std::string(60, 'x') + "|WheelData|CAN1",
                                                          std::string(60, 'x') + "|WheelData|CAN1"}));
    EXPECT_EQ(names(true, "_"), (std::vector<std::string>{"Speed_EngineData_CAN1", "Oil_Temp_EngineData_CAN1", "header_2",
                                                         "Speed_WheelData_CAN1", "Oil_Temp_WheelData_CAN1",
                                                         joined.substr(0, 63), joined.substr(0, 61) + "_2"}));
    for (CArbDbInfo* cursor : cursors)
        delete cursor;
}

TEST_F(Exports, AChannelWhoseArraysCannotBeHadRemovesTheMatFile)
{
    static std::vector<std::string> failures;
    failures.clear();
    auto record = [](int percent, wchar_t const* text) {
        if (percent < 0)
            failures.push_back(mbstring(text));
        return 1;
    };
    for (char const* settings : {"", "GroupMessages=0\n"}) {
        Scenario s{"arrays", Pages, settings};
        SetMatrixAllocationLimit(200 * sizeof(double));
        Engine(s, kExportMat, record);
        SetMatrixAllocationLimit(0);
        EXPECT_FALSE(testlib::fileExists(dir.file("out.mat")));
    }
    ASSERT_EQ(failures.size(), 4u);
    EXPECT_EQ(failures[0], "Error allocating 250 points for channel m1\n");
    EXPECT_EQ(failures[1], "The export file out.mat was not written: writing it failed");
}

TEST_F(Exports, CsvRowsFollowTheLocalTimeSettingAndMayPutTheRelativeTimeFirst)
{
    testlib::ScopedEnv tz("TZ", "Asia/Tokyo");
    Scenario s{"rows", [] { return Grid(0.0); }, ""};
    for (bool local : {false, true}) {
        g_bUseLocalTime = local;
        Engine(s, kExportCsv, nullptr, local);
        g_bUseLocalTime = false;
        const std::string text = testlib::readText(dir.file("out Log File.csv"));
        const size_t row = text.find('\n') + 1;
        EXPECT_EQ(text.substr(row, local ? 34 : 35), local ? "0.0000000,2007/1/1,9:16:40 AM,1,,\n"
                                              : "2007/1/1,12:16:40 AM,0.0000000,1,,\n");
    }
}
