// MDF export of small databases that stress one rule each: signal kinds and
// widths, column mapping, selection and order, grids, names and limits.
// Every file is walked strictly and checked against the independent model
// of export_model.py.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "testlib/MeasurementDbBuilder.h"
#include "testlib/TestSupport.h"
#include "vantrel.h"

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
    double gap = 0.0;
};

TestDatabase KindsAndWidths()
{
    TestMessage m{"Engine", "CAN1", {}, {}, {}, {}};
    m.signals = {
        Signal("physical_u8", [](TestSignal& s) { s.signalType = "Double"; s.dataType = 0; s.bitLength = 8; s.slope = 2; }),
        Signal("hybrid_f32", [](TestSignal& s) { s.signalType = ""; s.dataType = 3; s.slope = 0.5; s.states = {{2, "Two"}}; }),
        Signal("states_raw", [](TestSignal& s) { s.signalType = "State Encoded"; s.integer = true; s.dataType = 0; s.bitLength = 2; s.states = {{1, "On"}, {2, "Off"}}; }),
        Signal("unknown_type", [](TestSignal& s) { s.signalType = "Foo"; s.integer = true; s.dataType = 1; s.bitLength = 12; s.slope = 3; s.offset = -1; }),
        Signal("u8_max", [](TestSignal& s) { s.integer = true; s.dataType = 0; s.bitLength = 8; }),
        Signal("u32_max", [](TestSignal& s) { s.integer = true; s.dataType = 0; s.bitLength = 32; }),
        Signal("i64", [](TestSignal& s) { s.integer = true; s.dataType = 1; s.bitLength = 64; }),
        Signal("f32", [](TestSignal& s) { s.dataType = 3; s.slope = 0.25; }),
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

    std::string Check(Scenario const& s, bool version4)
    {
        const std::string groups = s.settings.find("GroupMessages=0") != std::string::npos ? "0" : "1";
        const int rateMs = s.rate > 0 ? static_cast<int>(s.rate * 1000.0) : 0;
        return testlib::run(testlib::python() + " " + testlib::sourcePath("tests/export/export_model.py") + " " +
                            testlib::shellQuote(dir.file(std::string(s.name) + ".db")) + " " +
                            testlib::shellQuote(dir.file(version4 ? "out.mf4" : "out.dat")) + " " + groups + " " +
                            std::to_string(rateMs) + " " + std::to_string(std::lround(s.gap * 1000.0)))
            .output;
    }
};

TEST_F(Exports, EveryScenarioIsWalkerCleanAndMatchesTheModel)
{
    const std::vector<Scenario> scenarios = {
        {"kinds", KindsAndWidths, ""},
        {"kinds_per_channel", KindsAndWidths, "GroupMessages=0\n"},
        {"kinds_grid", KindsAndWidths, "", 0.25},
        {"mapping", ColumnMapping, ""},
        {"mask2", [] { return Selection(2, false); }, ""},
        {"all_bits", [] { return Selection(0xFFFFFFFFu, false); }, "GroupMessages=0\n"},
        {"fallback", [] { return Selection(1, true); }, ""},
        {"grid", [] { return Grid(0.0); }, "", 0.01},
        {"grid_gap", [] { return Grid(60.0); }, "ForceRateGap=5\n", 0.01, 1, 5.0},
        {"grid_without_points", [] { return Grid(0.0); }, "", 1000.0},
        {"wide1100", [] { return Wide(1100, 7); }, ""},
        {"wide1100_grid", [] { return Wide(1100, 7); }, "", 0.3},
        {"no_signals", NoSignals, ""},
        {"no_signals_grid", NoSignals, "", 0.1},
    };
    for (Scenario const& s : scenarios)
        for (bool version4 : {false, true}) {
            SCOPED_TRACE(std::string(s.name) + (version4 ? " 4.00" : " 3.30"));
            std::string output;
            ASSERT_EQ(Export(s, version4, output), s.expected) << output;
            EXPECT_EQ(output, "");
            EXPECT_EQ(Check(s, version4), "ok\n");
        }
}

TEST_F(Exports, TheGapSettingIsReadWhateverTheHostsDecimalSeparator)
{
    const std::string comma = testlib::commaDecimalLocale();
    ASSERT_FALSE(comma.empty());
    testlib::ScopedLocale locale(comma.c_str());
    ASSERT_TRUE(locale.ok());
    Scenario s{"gap_comma", [] { return Grid(60.0); }, "ForceRateGap=5.0\n", 0.01, 1, 5.0};
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

}  // namespace
