// The exported record access functions: stepping sequences, jumps, masks,
// time modes, scaling and the failure results.
#include <gtest/gtest.h>

#include <cfloat>
#include <sys/stat.h>

#include "support/LibUtils.h"
#include "testlib/MeasurementDbBuilder.h"
#include "testlib/TestSupport.h"
#include "vantrel.h"

namespace {

using testlib::TestDatabase;
using testlib::TestMessage;
using testlib::TestRow;
using testlib::TestSignal;

constexpr double M = DBL_MAX;

TestMessage table(std::string name, std::vector<std::string> signals, std::vector<TestRow> rows)
{
    TestMessage m;
    m.name = std::move(name);
    for (auto& signal : signals) {
        TestSignal s;
        s.name = signal;
        m.signals.push_back(s);
    }
    m.rows = std::move(rows);
    return m;
}

// An open handle, closed at the end of the test.
class Handle {
public:
    Handle(std::string const& path, std::string const& list)
    {
        testlib::StdoutCapture capture;
        start = OpenDataFile(path.c_str(), list.c_str(), &values, &times, &count);
        output = capture.text();
    }
    ~Handle()
    {
        if (values)
            CloseDataFile(values, 0);
    }
    std::vector<double> v() const { return std::vector<double>(values, values + count); }
    std::vector<double> t() const { return std::vector<double>(times, times + count); }

    double start = 0;
    double* values = nullptr;
    double* times = nullptr;
    int count = 0;
    std::string output;
};

class RecordAccess : public ::testing::Test {
protected:
    std::string makeDb(TestDatabase const& db, std::string const& name = "db.db")
    {
        std::string path = dir.file(name);
        testlib::MakeMeasurementDb(path, db);
        return path;
    }

    // Tables A (rows at 1, 2, 3) and B (rows at 1.5, 4).
    std::string twoTables()
    {
        TestDatabase db;
        db.messages = {table("A", {"a"}, {{1, {10.0}}, {2, {20.0}}, {3, {30.0}}}),
                       table("B", {"b"}, {{1.5, {15.0}}, {4, {40.0}}})};
        return makeDb(db);
    }

    testlib::TempDir dir;
};

char const* const kBoth = R"({"Channels": [{"name": "a"}, {"name": "b"}]})";

}  // namespace

TEST_F(RecordAccess, TwoTablesStepInTimeOrder)
{
    Handle h(twoTables(), kBoth);
    ASSERT_NE(h.values, nullptr);
    EXPECT_EQ(h.start, 1.0);  // no statistics: the smallest MinTime
    EXPECT_EQ(h.count, 2);
    EXPECT_EQ(h.v(), (std::vector<double>{10, 15}));
    EXPECT_EQ(h.t(), (std::vector<double>{1, 1.5}));
    EXPECT_EQ(GetNextRecord(h.values, 0), 2.0);
    EXPECT_EQ(h.v(), (std::vector<double>{20, 15}));
    EXPECT_EQ(GetNextRecord(h.values, 0), 3.0);
    // A's last row: its value stays, its time is gone.
    EXPECT_EQ(h.v(), (std::vector<double>{30, 15}));
    EXPECT_EQ(h.t(), (std::vector<double>{M, 1.5}));
    EXPECT_EQ(GetNextRecord(h.values, 0), 4.0);
    EXPECT_EQ(h.v(), (std::vector<double>{30, 40}));
    EXPECT_EQ(h.t(), (std::vector<double>{M, M}));
    EXPECT_EQ(GetNextRecord(h.values, 0), M);
    EXPECT_EQ(GetNextRecord(h.values, 0), M);
    EXPECT_EQ(h.v(), (std::vector<double>{30, 40}));
    EXPECT_EQ(SetCursorsToStart(h.values, 0), 1.0);
    EXPECT_EQ(h.v(), (std::vector<double>{10, 15}));
    EXPECT_EQ(GetNextRecord(h.values, 0), 2.0);
}

TEST_F(RecordAccess, InactiveMessagesProposeNoTime)
{
    Handle h(twoTables(), kBoth);
    EXPECT_EQ(SetActiveMask(h.values, 0, "10"), 1);
    EXPECT_EQ(GetNextRecord(h.values, 0), 2.0);
    EXPECT_EQ(GetNextRecord(h.values, 0), 3.0);
    EXPECT_EQ(GetNextRecord(h.values, 0), M);
    EXPECT_EQ(h.v(), (std::vector<double>{30, 15}));
    // The end is final, also for B activated again.
    EXPECT_EQ(SetActiveMask(h.values, 0, "11"), 1);
    EXPECT_EQ(GetNextRecord(h.values, 0), M);

    EXPECT_EQ(SetActiveMask(h.values, 0, "1"), 0);
    EXPECT_EQ(SetActiveMask(h.values, 0, "111"), 0);
    EXPECT_EQ(SetActiveMask(h.values, 0, nullptr), 0);
    EXPECT_EQ(SetActiveMask(nullptr, 0, "11"), 0);
}

TEST_F(RecordAccess, InvalidMaskChangesNothing)
{
    TestDatabase db;
    db.messages = {table("A", {"a"}, {{1, {1.0}}, {2, {2.0}}}), table("B", {"b"}, {{1.5, {1.0}}, {2.5, {2.0}}}),
                   table("C", {"c"}, {{1.7, {1.0}}, {3, {2.0}}})};
    Handle h(makeDb(db), R"({"Channels": [{"name": "a"}, {"name": "b"}, {"name": "c"}]})");
    EXPECT_EQ(SetActiveMask(h.values, 0, "000"), 1);
    EXPECT_EQ(SetActiveMask(h.values, 0, "1x0"), 0);
    EXPECT_EQ(GetNextRecord(h.values, 0), M);  // no channel was activated
}

TEST_F(RecordAccess, EqualTimesComeTogetherAndTheLastRowShows)
{
    TestDatabase db;
    db.messages = {table("A", {"a"}, {{1, {1.0}}, {2, {2.0}}, {2, {3.0}}, {2, {4.0}}, {5, {5.0}}}),
                   table("B", {"b"}, {{2, {7.0}}, {5, {8.0}}})};
    Handle h(makeDb(db), kBoth);
    EXPECT_EQ(h.v(), (std::vector<double>{1, 7}));
    EXPECT_EQ(GetNextRecord(h.values, 0), 2.0);
    EXPECT_EQ(h.v(), (std::vector<double>{4, 7}));
    EXPECT_EQ(GetNextRecord(h.values, 0), 5.0);
    EXPECT_EQ(h.v(), (std::vector<double>{5, 8}));
    EXPECT_EQ(GetNextRecord(h.values, 0), M);
}

TEST_F(RecordAccess, OutOfOrderRowsAreConsumedNotDropped)
{
    // A NaN time is stored as 0: the row after it must still come.
    TestDatabase db;
    db.messages = {table("A", {"a"}, {{1, {1.0}}, {2, {2.0}}, {0, {99.0}}, {3, {3.0}}, {4, {4.0}}})};
    Handle h(makeDb(db), R"({"Channels": [{"name": "a"}]})");
    EXPECT_EQ(SetCursorsToStart(h.values, 0), 1.0);
    EXPECT_EQ(GetNextRecord(h.values, 0), 2.0);
    EXPECT_EQ(h.v(), (std::vector<double>{99}));  // consumed with the step at 2
    EXPECT_EQ(h.t(), (std::vector<double>{0}));
    EXPECT_EQ(GetNextRecord(h.values, 0), 3.0);
    EXPECT_EQ(GetNextRecord(h.values, 0), 4.0);
    EXPECT_EQ(GetNextRecord(h.values, 0), M);

    // A table starting with its smallest time later in the rows.
    TestDatabase later;
    later.messages = {table("A", {"a"}, {{5, {5.0}}, {3, {3.0}}, {6, {6.0}}})};
    Handle g(makeDb(later, "later.db"), R"({"Channels": [{"name": "a"}]})");
    EXPECT_EQ(g.start, 3.0);
    EXPECT_EQ(g.v(), (std::vector<double>{3}));
    EXPECT_EQ(GetNextRecord(g.values, 0), 6.0);
    EXPECT_EQ(GetNextRecord(g.values, 0), M);
}

TEST_F(RecordAccess, NullValuesReadAsMissing)
{
    TestDatabase db;
    db.messages = {table("A", {"a", "b"}, {{1, {std::nullopt, 2.0}}, {2, {3.0, std::nullopt}}})};
    Handle h(makeDb(db), R"({"Channels": [{"name": "a"}, {"name": "b"}]})");
    EXPECT_EQ(h.v(), (std::vector<double>{M, 2}));
    EXPECT_EQ(GetNextRecord(h.values, 0), 2.0);
    EXPECT_EQ(h.v(), (std::vector<double>{3, M}));
}

TEST_F(RecordAccess, ChangedAndValidSteppingLookAtTheFoundChannels)
{
    TestDatabase db;
    db.messages = {table("A", {"a"}, {{1, {5.0}}, {2, {5.0}}, {3, {5.0}}, {4, {6.0}}}),
                   table("B", {"b"}, {{1, {std::nullopt}}, {2.5, {std::nullopt}}, {3.5, {1.0}}, {5, {1.0}}})};
    std::string path = makeDb(db);
    // The absent channel stands first: the found ones decide.
    char const* list = R"({"Channels": [{"name": "gone", "required": false}, {"name": "a"}, {"name": "b"}]})";
    {
        Handle h(path, list);
        EXPECT_EQ(h.count, 3);
        EXPECT_EQ(h.v(), (std::vector<double>{M, 5, M}));
        EXPECT_EQ(GetNextValidRecord(h.values, 0), 3.5);
        EXPECT_EQ(h.v(), (std::vector<double>{M, 5, 1}));
        EXPECT_EQ(GetNextChangedRecord(h.values, 0), 4.0);
        EXPECT_EQ(GetNextChangedRecord(h.values, 0), M);  // 5 changes nothing
    }
    {
        Handle h(path, R"({"Channels": [{"name": "a"}]})");
        EXPECT_EQ(GetNextChangedRecord(h.values, 0), 4.0);
        EXPECT_EQ(h.v(), (std::vector<double>{6}));
    }
    // A change behind as many list positions as channels were found is seen.
    TestDatabase steady;
    steady.messages = {table("A", {"a"}, {{1, {5.0}}, {2, {6.0}}}), table("B", {"b"}, {{1, {7.0}}})};
    Handle h(makeDb(steady, "steady.db"),
             R"({"Channels": [{"name": "gone", "required": false}, {"name": "b"}, {"name": "a"}]})");
    EXPECT_EQ(GetNextChangedRecord(h.values, 0), 2.0);
    EXPECT_EQ(h.v(), (std::vector<double>{M, 7, 6}));
}

TEST_F(RecordAccess, JumpsInAbsoluteAndRelativeTime)
{
    TestDatabase db;
    double s = 4.0e8;
    db.messages = {table("A", {"a"}, {{s + 1, {1.0}}, {s + 2, {2.0}}, {s + 3, {3.0}}}),
                   table("B", {"b"}, {{s + 1.5, {15.0}}, {s + 4, {40.0}}})};
    db.statisticsStart = s;
    Handle h(makeDb(db), kBoth);
    EXPECT_EQ(h.start, s);
    double start = 0, end = 0;
    EXPECT_EQ(GetMeasurementTimeBounds(h.values, 0, &start, &end), 1);
    EXPECT_EQ(start, s);
    EXPECT_EQ(end, s + 4);

    // Relative: between A's rows at 1 and 2 -> 2, samples current at 2.
    EXPECT_EQ(JumpAfterTimestamp(h.values, 0, 1.5), 1.5);  // B's row at 1.5
    EXPECT_EQ(JumpAfterTimestamp(h.values, 0, 1.6), 2.0);
    EXPECT_EQ(h.v(), (std::vector<double>{2, 15}));
    EXPECT_EQ(h.t(), (std::vector<double>{2, 1.5}));
    EXPECT_EQ(GetNextRecord(h.values, 0), 3.0);  // relative from now on
    EXPECT_EQ(SetCursorsToStart(h.values, 0), s + 1);  // always absolute
    EXPECT_EQ(h.t(), (std::vector<double>{1, 1.5}));
    // Absolute again.
    EXPECT_EQ(JumpAfterTimestamp(h.values, 0, s + 2.5), s + 3);
    EXPECT_EQ(h.t(), (std::vector<double>{s + 3, s + 1.5}));
    EXPECT_EQ(GetNextRecord(h.values, 0), s + 4);
    EXPECT_EQ(JumpBeforeTimestamp(h.values, 0, s + 2.5), s + 2);
    EXPECT_EQ(h.v(), (std::vector<double>{2, 15}));
    // Before every first row: the latest first time of the active tables.
    EXPECT_EQ(JumpBeforeTimestamp(h.values, 0, 0.5), 1.5);
    EXPECT_EQ(h.v(), (std::vector<double>{1, 15}));
    // Past the end nothing is found; nothing moves.
    EXPECT_EQ(JumpAfterTimestamp(h.values, 0, s + 10), M);
    EXPECT_EQ(h.v(), (std::vector<double>{1, 15}));
    EXPECT_EQ(JumpAfterTimestamp(h.values, 0, 10.0), M - s);

    EXPECT_EQ(JumpAfterTimestamp(nullptr, 0, 1.0), M);
    EXPECT_EQ(JumpBeforeTimestamp(nullptr, 0, 1.0), M);
    EXPECT_EQ(GetMeasurementTimeBounds(h.values, 0, nullptr, &end), 0);
}

TEST_F(RecordAccess, JumpsIgnoreEmptyTablesAndTablesThatEndedBefore)
{
    TestDatabase db;
    db.messages = {table("A", {"a"}, {{1, {1.0}}, {2, {2.0}}}), table("E", {"e"}, {}),
                   table("C", {"c"}, {{1, {1.0}}, {5, {5.0}}, {6, {6.0}}})};
    Handle h(makeDb(db), R"({"Channels": [{"name": "a"}, {"name": "e"}, {"name": "c"}]})");
    // A ends before 4: no jump back to its last time, C's row at 5 is next.
    EXPECT_EQ(JumpAfterTimestamp(h.values, 0, 4.0), 5.0);
    EXPECT_EQ(h.v(), (std::vector<double>{2, M, 5}));
    EXPECT_EQ(h.t(), (std::vector<double>{2, M, 5}));
    // The empty table gives no DBL_MAX.
    EXPECT_EQ(JumpBeforeTimestamp(h.values, 0, 5.5), 5.0);
    EXPECT_EQ(GetNextRecord(h.values, 0), 6.0);
    EXPECT_EQ(GetNextRecord(h.values, 0), M);
    // Only the empty table active: nothing to find, yet every table stands at
    // or before 3, and the steps resume from there.
    EXPECT_EQ(SetActiveMask(h.values, 0, "010"), 1);
    EXPECT_EQ(JumpBeforeTimestamp(h.values, 0, 3.0), -M);
    EXPECT_EQ(h.v(), (std::vector<double>{2, M, 1}));
    EXPECT_EQ(JumpAfterTimestamp(h.values, 0, 3.0), M);
    EXPECT_EQ(SetActiveMask(h.values, 0, "111"), 1);
    EXPECT_EQ(GetNextRecord(h.values, 0), 5.0);
}

TEST_F(RecordAccess, NoDoubleScaling)
{
    TestDatabase db;
    TestMessage m = table("M", {"phys", "raw", "states", "untyped"}, {{1, {12.0, 12.0, 12.0, 12.0}}});
    m.signals[0].signalType = "Double";
    m.signals[1].signalType = "RawValue";
    m.signals[2].signalType = "State Encoded";
    m.signals[3].signalType = "";  // NULL: stored raw
    for (auto& signal : m.signals) {
        signal.slope = 0.5;
        signal.offset = 10.0;
    }
    m.signals[1].integer = m.signals[2].integer = true;
    db.messages = {m};
    Handle h(makeDb(db),
             R"({"Channels": [{"name": "phys"}, {"name": "raw"}, {"name": "states"}, {"name": "untyped"}]})");
    EXPECT_EQ(h.v(), (std::vector<double>{12, 16, 16, 16}));
}

TEST_F(RecordAccess, OpenFailuresRegisterNothingAndClearTheOutputs)
{
    TestDatabase db;
    db.messages = {table("A", {"a"}, {{1, {1.0}}})};
    std::string path = makeDb(db);
    std::string text = dir.file("text.db");
    testlib::writeText(text, std::string(300, 'x'));
    std::string missing = dir.file("missing.db");
    // FIFOs as database and as channel list are refused at once.
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    double dummy = 0;
    struct Case {
        std::string path;
        std::string list;
        double result;
        std::string output;
    };
    std::string listA = R"({"Channels": [{"name": "a"}]})";
    std::string optionalGone = R"({"Channels": [{"name": "gone", "required": false}]})";
    std::vector<Case> cases = {
        {path, R"({"Channels": []})", -3.0, "Invalid JSON file {\"Channels\": []}\n"},
        {path, R"({"Channels": [{"name": "a"}, {"name": "gone"}]})", 0.0,
         "Channel gone was not found in file " + path + "\nFile does not have enough signals for script " +
             R"({"Channels": [{"name": "a"}, {"name": "gone"}]})" + "\n"},
        {path, optionalGone, 0.0, "Channel gone was not found in file " + path + "\n"},
        {missing, listA, 0.0, ""},
        {fifo, listA, 0.0, ""},
        {path, fifo, -3.0, "Invalid JSON file " + fifo + "\n"},
        {text, listA, 0.0, "Invalid database " + text + "\nFile does not have enough signals for script " + listA + "\n"},
        {text, optionalGone, 0.0, "Invalid database " + text + "\n"},
        // Resolved channels before a failed query used to leave a dead handle.
    };
    for (auto const& c : cases) {
        double* values = &dummy;
        double* times = &dummy;
        int count = 7;
        testlib::StdoutCapture capture;
        double result = OpenDataFile(c.path.c_str(), c.list.c_str(), &values, &times, &count);
        EXPECT_EQ(capture.text(), c.output) << c.path << " " << c.list;
        EXPECT_EQ(result, c.result) << c.path << " " << c.list;
        EXPECT_EQ(values, nullptr);
        EXPECT_EQ(times, nullptr);
        EXPECT_EQ(count, 0);
    }
    EXPECT_FALSE(testlib::fileExists(missing));

    // Null arguments give the failure results.
    double* values = &dummy;
    double* times = &dummy;
    int count = 7;
    testlib::StdoutCapture capture;
    EXPECT_EQ(OpenDataFile(path.c_str(), listA.c_str(), nullptr, &times, &count), 0.0);
    EXPECT_EQ(times, nullptr);
    EXPECT_EQ(OpenDataFile(path.c_str(), listA.c_str(), &values, &times, nullptr), 0.0);
    EXPECT_EQ(OpenDataFile(nullptr, listA.c_str(), &values, &times, &count), 0.0);
    EXPECT_EQ(OpenDataFile(path.c_str(), nullptr, &values, &times, &count), -3.0);
    EXPECT_EQ(OpenDataFileW(nullptr, nullptr, nullptr, nullptr, nullptr), 0.0);
    EXPECT_EQ(capture.text(), "Invalid JSON file \n");
    EXPECT_EQ(values, nullptr);
}

// A narrow path is the file's bytes; in a wide one, U+DC80..U+DCFF stand for
// the bytes 0x80..0xFF. A wide path with no byte form names no file.
TEST_F(RecordAccess, PathsNameTheFilesTheirBytesName)
{
    TestDatabase db;
    db.messages = {table("A", {"a"}, {{1, {1.0}}})};
    std::string path = makeDb(db, "d\xFF.db"), list = dir.file("l\xE9.json");
    testlib::writeText(list, R"({"Channels": [{"name": "a"}]})");
    EXPECT_EQ(Handle(path, list).start, 1.0);
    double* values = nullptr;
    double* times = nullptr;
    int count = 0;
    std::wstring folder = widestring(dir.path());
    EXPECT_EQ(OpenDataFileW((folder + L"/d\xDCFF.db").c_str(), (folder + L"/l\xDCE9.json").c_str(), &values, &times,
                            &count),
              1.0);
    EXPECT_EQ(CloseDataFile(values, 0), 1);
    testlib::StdoutCapture capture;
    EXPECT_EQ(OpenDataFileW((folder + L"/d\xD800.db").c_str(), L"{\"Channels\": [{\"name\": \"a\"}]}", &values,
                            &times, &count),
              0.0);
    EXPECT_EQ(capture.text(), "Path " + dir.path() + "/d\xEF\xBF\xBD.db cannot be named exactly in the current locale\n");
}

// A channel listed many times costs one column of its table.
TEST_F(RecordAccess, RepeatedEntriesShareTheirColumn)
{
    std::string list = R"({"Channels": [{"name": "b"})";
    for (int i = 0; i < 2000; ++i)
        list += R"(, {"name": "a"})";
    Handle h(twoTables(), list + "]}");
    ASSERT_EQ(h.count, 2001);
    std::vector<double> first(2001, 10.0);
    first[0] = 15;
    EXPECT_EQ(h.v(), first) << h.output;
    EXPECT_EQ(GetNextRecord(h.values, 0), 2.0);
    EXPECT_EQ(h.values[2000], 20.0);
}

TEST_F(RecordAccess, HandlesAreIndependentAndCloseOnce)
{
    std::string path = twoTables();
    Handle first(path, kBoth), second(path, R"({"Channels": [{"name": "b"}, {"name": "gone", "required": false}]})");
    ASSERT_NE(first.values, nullptr);
    ASSERT_NE(second.values, nullptr);
    EXPECT_EQ(second.count, 2);
    EXPECT_EQ(second.v(), (std::vector<double>{15, M}));
    EXPECT_EQ(second.output, "Channel gone was not found in file " + path + "\n");
    EXPECT_EQ(GetNextRecord(first.values, 0), 2.0);
    EXPECT_EQ(GetNextRecord(second.values, 0), 4.0);
    EXPECT_EQ(second.t(), (std::vector<double>{M, M}));
    EXPECT_EQ(GetNextRecord(first.values, 0), 3.0);

    testlib::StdoutCapture capture;
    EXPECT_EQ(CloseDataFile(second.values, 0), 1);
    EXPECT_EQ(CloseDataFile(second.values, 0), 0);
    EXPECT_EQ(capture.text(), "Could not find data file!\n");
    EXPECT_EQ(GetNextRecord(second.values, 0), M);
    EXPECT_EQ(SetCursorsToStart(second.values, 0), M);
    EXPECT_EQ(GetNextChangedRecord(second.values, 0), M);
    EXPECT_EQ(GetNextValidRecord(second.values, 0), M);
    second.values = nullptr;
    EXPECT_EQ(GetNextRecord(first.values, 0), 4.0);  // the other handle goes on
}

TEST_F(RecordAccess, WideFormsAndAListFile)
{
    std::string path = twoTables();
    std::string listFile = dir.file("list.json");
    testlib::writeText(listFile, kBoth);
    double* values = nullptr;
    double* times = nullptr;
    int count = 0;
    EXPECT_EQ(OpenDataFileW(widestring(path).c_str(), widestring(listFile).c_str(), &values, &times, &count), 1.0);
    ASSERT_NE(values, nullptr);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(GetNextRecord(values, 0), 2.0);
    EXPECT_EQ(CloseDataFile(values, 0), 1);
}
