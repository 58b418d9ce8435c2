// The builder and the channel lists through the exported functions, on files
// made for what the fixtures (swept by the python scripts) do not hold:
// statistics checked by python, table parts, channel numbering, signal
// selections, the user's files, damaged input and unwritable lists. Stored
// rows are read with the sqlite3 command.
#include <cfloat>
#include <cmath>
#include <csignal>
#include <cstring>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "MdfBuilder.h"
#include "dbbuild/NetworkStatistics.h"
#include "jsonxx/jsonxx.h"
#include "support/CppSQLite3U.h"
#include "support/LibUtils.h"
#include "support/MeasurementDb.h"
#include "testlib/TestSupport.h"
#include "vantrel.h"

namespace {

using mdftest::GenChannel;
using mdftest::GenGroup;
using mdftest::MdfBuilder;

struct Call {
    int result;
    std::string output;
};

template <typename Function>
Call Captured(Function call)
{
    testlib::StdoutCapture capture;
    const int result = call();
    return {result, capture.text()};
}

Call Build(const std::string& mdf, const char* db, const char* selection = nullptr)
{
    return Captured([&] { return selection ? CreateDatabaseForSignals(mdf.c_str(), selection, db)
                                           : CreateDatabase(mdf.c_str(), db); });
}

std::string Sql(const std::string& db, const std::string& sql) { return testlib::sqlite3(db, sql).output; }

// A database left behind must be complete: statistics rows and the
// CollectionMask column.
bool Complete(const std::string& db)
{
    return testlib::fileExists(db) &&
           Sql(db, "SELECT (SELECT COUNT(*) FROM Network_Statistics) > 0 AND "
                   "(SELECT COUNT(*) FROM sqlite_master WHERE sql LIKE '%CollectionMask%') = 1") == "1\n";
}

// db_checks.py: every statistic of every Channels row against python's.
std::string PythonStatistics(const std::string& db)
{
    testlib::CommandResult run = testlib::run(testlib::python() + " " +
                                              testlib::shellQuote(testlib::sourcePath("tests/dbbuild/db_checks.py")) +
                                              " stats " + testlib::shellQuote(db));
    return run.exitCode == 0 ? "" : run.output + "!";
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string Fixture(const char* name) { return testlib::fixture(std::string("mdf/") + name); }

std::vector<std::string> FilesIn(const std::string& folder)
{
    std::string names = testlib::run("ls -A " + testlib::shellQuote(folder)).output;
    std::vector<std::string> files;
    for (size_t at = 0, end; (end = names.find('\n', at)) != std::string::npos; at = end + 1)
        files.push_back(names.substr(at, end - at));
    return files;
}

GenChannel Channel(const std::string& name, unsigned type, unsigned bits, std::vector<double> values,
                   const std::string& comment = "")
{
    GenChannel c;
    c.name = name, c.type = type, c.bits = bits, c.values = std::move(values), c.comment = comment;
    return c;
}

// A group of 8-bit counters, signal k holding (k + record) % 256, records
// 0.01 s apart.
GenGroup Counters(size_t signals, size_t records, const std::string& prefix = "s", const std::string& comment = "")
{
    GenGroup group;
    group.timeComment = comment;
    for (size_t r = 0; r < records; ++r)
        group.times.push_back(0.01 * double(r));
    for (size_t k = 1; k <= signals; ++k) {
        group.channels.push_back(Channel(prefix + std::to_string(k), 0, 8, {}));
        for (size_t r = 0; r < records; ++r)
            group.channels.back().values.push_back(double((k + r) % 256));
    }
    return group;
}

std::string Write(const testlib::TempDir& dir, const std::string& name, const std::vector<GenGroup>& groups)
{
    mdftest::WriteGroups(dir.file(name), groups);
    return dir.file(name);
}

// One data group of two channel groups with record ids, a time and an 8-bit
// value each: "a" (id 1, 3 records) and "c" (id 2, 1 record). The third
// record carries the unknown id 9: of "a" only the first (t 0, a 10) can be read.
std::string WriteStrayRecord(const testlib::TempDir& dir)
{
    MdfBuilder b(true);
    const uint64_t hd = b.Hd4(0);
    auto group = [&](const char* name, uint64_t id, uint64_t records) {
        const uint64_t time = b.Cn4(b.Tx4("t"), 2, 1, 4, 0, 0, 64);
        b.Link4(time, 0, b.Cn4(b.Tx4(name), 0, 0, 0, 0, 8, 8));
        return b.Cg4(time, id, records, 9);
    };
    const uint64_t a = group("a", 1, 3);
    b.Link4(a, 0, group("c", 2, 1));
    std::vector<uint8_t> data;
    for (auto [id, t, v] : {std::tuple<uint8_t, double, uint8_t>{1, 0.0, 10}, {2, 0.5, 20}, {9, 0.7, 30}, {1, 1.0, 11}}) {
        const std::vector<uint8_t> time = mdftest::LEF64(t);
        data.push_back(id);
        data.insert(data.end(), time.begin(), time.end());
        data.push_back(v);
    }
    b.Link4(hd, 0, b.Dg4(a, b.Dt4(data), 1));
    b.Save(dir.file("stray.mf4"));
    return dir.file("stray.mf4");
}

// ---- The stored database --------------------------------------------------------

TEST(Builder, ValuesAndStatisticsAgreeWithPython)
{
    testlib::TempDir dir;
    const double nan = NAN, inf = INFINITY;
    GenGroup values = Counters(0, 10);
    values.channels = {
        Channel("constant", 4, 64, std::vector<double>(10, 7.5)),
        Channel("offset_1e8", 4, 64, {1e8, 1e8 + .01, 1e8 + .02, 1e8 + .03, 1e8 + .04, 1e8 + .05, 1e8 + .06, 1e8 + .07,
                                      1e8 + .08, 1e8 + .09}),
        Channel("gaps", 4, 64, {1, nan, 3, inf, -inf, 2, 2, nan, 5, 0}),
        Channel("signed", 2, 32, {-5, 7, -2147483648.0, 2147483647, 0, 1, 2, 3, 4, -1}),
        Channel("u64", 0, 64, {0, 1, 18446744073709549568.0, 4, 5, 6, 7, 8, 9, 10}),
        Channel("huge", 4, 64, {1.7e308, -1.7e308, 0, 1.7e308, 1e300, -1e300, 3, 3, -1.7e308, 1e200}),
        Channel("scaled", 0, 16, {10, 20, 30, 40, 50, 60, 70, 80, 90, 100}),
        Channel("float32", 4, 32, {0.5, -0.25, 1e30f, 3, 3, 3, 0, 1, 2, 3}),
    };
    values.channels[6].linear = {1, 0.5};
    GenGroup empty = Counters(0, 0);
    empty.channels = {Channel("never", 4, 64, {}), Channel("never_int", 0, 16, {})};
    GenGroup badTimes = Counters(1, 4);
    badTimes.times = {0.0, nan, inf, 0.5};
    const std::string mdf = Write(dir, "stats.mf4", {values, empty, badTimes}), db = dir.file("stats.db");
    ASSERT_EQ(Build(mdf, db.c_str()).result, 1);
    EXPECT_EQ(PythonStatistics(db), "");
    // NaN is stored as NULL, an unsigned 64-bit value as its bit pattern.
    EXPECT_EQ(Sql(db, "SELECT COUNT(*) FROM MessageData0001 WHERE Signal3 IS NULL; "
                      "SELECT Signal5 FROM MessageData0001 WHERE rowid = 3"), "2\n-2048\n");
    // A message without records; infinite and NaN times stored as 0.
    EXPECT_EQ(Sql(db, "SELECT MinTime = 1.7976931348623157e308, MaxTime = -1.7976931348623157e308, MessageCount "
                      "FROM Messages WHERE ID = 2; SELECT group_concat(TIME_VAL) FROM MessageData0003"),
              "1|1|0\n0.0,0.0,0.0,0.5\n");
}

// Parts of 500 signal columns, every part with its own TIME_VAL and one row
// per record.
TEST(Builder, TablePartsOf500Signals)
{
    testlib::TempDir dir;
    for (size_t signals : {500u, 501u, 1000u, 1200u}) {
        const std::string db = dir.file(std::to_string(signals) + ".db");
        ASSERT_EQ(Build(Write(dir, "wide.mf4", {Counters(signals, 3)}), db.c_str()).result, 1);
        std::string parts = "MessageData0001", last = parts;
        for (size_t p = 2; p <= (signals + 499) / 500; ++p)
            parts += "," + (last = "MessageData0001_000" + std::to_string(p));
        EXPECT_EQ(Sql(db, "SELECT group_concat(name) FROM sqlite_master WHERE name LIKE 'MessageData%'"), parts + "\n");
        const std::string k = std::to_string(signals);
        EXPECT_EQ(Sql(db, "SELECT group_concat(Signal" + k + ") FROM " + last),
                  std::to_string(signals % 256) + "," + std::to_string((signals + 1) % 256) + "," +
                      std::to_string((signals + 2) % 256) + "\n");
        EXPECT_EQ(Sql(db, "SELECT SignalCount, DataTableName FROM Messages"), k + "|MessageData0001\n");
        EXPECT_EQ(PythonStatistics(db), "");
    }
}

// One running counter numbers the channels across the database, also past a
// message without data signals; messages take name and network from their
// first channel's comment, which is data, never SQL.
TEST(Builder, ChannelNumbersMessagesAndNetworks)
{
    testlib::TempDir dir;
    std::vector<GenGroup> groups = {Counters(2, 4, "a", "Body | Driver's CAN"), Counters(0, 3),
                                    Counters(2, 5, "c", "A | B | C")};
    groups[2].channels[1].states = {{3, "three"}};
    for (int i = 0; i < 9; ++i)
        groups.push_back(Counters(1, 1, "x" + std::to_string(i) + "_", "x'); DROP TABLE Messages; -- | HS CAN"));
    const std::string db = dir.file("ids.db");
    ASSERT_EQ(Build(Write(dir, "ids.mf4", groups), db.c_str()).result, 1);
    EXPECT_EQ(Sql(db, "SELECT ID, MessageId, MessageChannel, Sequence, Name FROM Channels WHERE ID BETWEEN 1 AND 5"),
              "1|1|1|1|a1\n2|1|2|2|a2\n3|3|1|3|c1\n4|3|2|4|c2\n5|4|1|5|x0_1\n");
    EXPECT_EQ(Sql(db, "SELECT ChannelId, StateText FROM ChannelStates; SELECT MAX(ID), COUNT(*) FROM Channels"),
              "4|three\n13|14\n");
    EXPECT_EQ(Sql(db, "SELECT ID, Name, Network, SignalCount, MessageCount, DataTableName FROM Messages WHERE ID < 4 "
                      "OR ID = 12"),
              "1|Body|Driver's CAN|2|4|MessageData0001\n2|Group0002|HS CAN|0|3|MessageData0002\n"
              "3|A|B | C|2|5|MessageData0003\n12|x'); DROP TABLE Messages; --|HS CAN|1|1|MessageData0012\n");
    EXPECT_EQ(Sql(db, "SELECT sql FROM sqlite_master WHERE name = 'MessageData0002'; SELECT COUNT(*) FROM "
                      "MessageData0002; SELECT Network, TotalMessages FROM Network_Statistics ORDER BY Network"),
              "CREATE TABLE MessageData0002 (TIME_VAL DOUBLE )\n3\nB | C|5\nDriver's CAN|4\nHS CAN|12\n");
}

// Network statistics sum beyond 32 bits and hold exact numbers in any locale;
// a database is complete only with statistics rows and a CollectionMask
// column in a table.
TEST(Builder, NetworkStatisticsAndCompleteness)
{
    testlib::TempDir dir;
    const std::string path = dir.file("n.db");
    auto open = [&](bool check) {
        bool rejected = false;
        std::unique_ptr<CppSQLite3DB> db(OpenDbIfValid(widestring(path).c_str(), check, rejected));
        EXPECT_EQ(rejected, check && !db);
        return db;
    };
    std::unique_ptr<CppSQLite3DB> db = open(false);
    ASSERT_TRUE(db);
    EXPECT_FALSE(open(true));  // no Network_Statistics
    for (wchar_t const* table : MeasurementDb::kSchemaTables)
        db->execQuery(table);
    db->execQuery(L"INSERT INTO Messages (Network, MessageCount, MaxTime) VALUES ('HS CAN', 3000000000, 0.25), "
                  L"('HS CAN', 2000000000, 1.0 / 3), ('', 7, 9), (NULL, 7, 9)");
    EXPECT_FALSE(open(true));  // no statistics rows
    {
        const std::string comma = testlib::commaDecimalLocale();
        testlib::ScopedLocale locale(comma.empty() ? "C" : comma.c_str());
        UpdateNetworkStatistics(db.get(), 1e-7);
    }
    EXPECT_TRUE(open(true));
    EXPECT_EQ(Sql(path, "SELECT Network, TotalMessages, MatchedMessages, MinTime = 1e-7, MaxTime = 1.0 / 3, "
                        "Rate = 5000000000 / (1.0 / 3 - 1e-7) FROM Network_Statistics"),
              "HS CAN|5000000000|5000000000|1|1|1\n");
    // Statistics rows without a CollectionMask column, then a view that
    // recurses without end in the table's place.
    db->execQuery(L"ALTER TABLE Channels RENAME COLUMN CollectionMask TO Mask");
    EXPECT_FALSE(open(true));
    db->execQuery(L"ALTER TABLE Channels RENAME COLUMN Mask TO CollectionMask");
    db->execQuery(L"DROP TABLE Network_Statistics");
    db->execQuery(L"CREATE VIEW Network_Statistics AS WITH RECURSIVE r(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM r) "
                  L"SELECT i FROM r");
    EXPECT_FALSE(open(true));
    Call unopened = Captured([&] {
        bool rejected = true;
        return OpenDbIfValid(widestring(dir.file("none/x.db")).c_str(), false, rejected) != nullptr || rejected;
    });
    EXPECT_EQ(unopened.result, 0);
    EXPECT_EQ(unopened.output, "SQLITE_CANTOPEN error from: " + dir.file("none/x.db") + "\n");
}

// ---- Signal selections -------------------------------------------------------------

TEST(Builder, SignalSelections)
{
    testlib::TempDir dir;
    GenGroup engine = Counters(0, 4), plain = Counters(0, 2), battery = Counters(0, 1);
    engine.channels = {Channel("Speed", 0, 8, {1, 2, 3, 4}, "Engine | HS CAN"),
                       Channel("Rpm", 0, 16, {5, 6, 7, 8}, "Engine | HS CAN")};
    plain.channels = {Channel("Speed", 0, 8, {9, 10}), Channel("Temp", 0, 8, {11, 12})};
    battery.channels = {Channel("Volts", 4, 64, {12.5}, "Battery | Body")};
    const std::string mdf = Write(dir, "select.mf4", {engine, plain, battery}), db = dir.file("select.db");
    const std::string file = dir.file("selection.json");
    testlib::writeText(file, R"({"Channels": [{"name": "Speed", "message_name": "Engine", "network_name": "HS CAN"}]})");
    const std::string layout = "SELECT Name, Network, SignalCount, (SELECT group_concat(Name) FROM Channels WHERE "
                               "MessageId = Messages.ID) FROM Messages; SELECT group_concat(Signal1) FROM MessageData0001";
    const std::string all = "Group0001|HS CAN|2|Speed,Rpm\nGroup0002|HS CAN|2|Speed,Temp\nGroup0003|HS CAN|1|Volts\n"
                            "1,2,3,4\n";
    struct Case {
        std::string selection, stored;
    } const cases[] = {
        {R"({"Channels": [{"name": "Rpm", "message_name": "Engine", "network_name": "HS CAN"},
                          {"name": "Volts", "message_name": "Battery", "network_name": "Body"},
                          {"name": "Volts", "message_name": "Battery", "network_name": "Body"}]})",
         "Engine|HS CAN|1|Rpm\nBattery|Body|1|Volts\n5,6,7,8\n"},
        {file, "Engine|HS CAN|1|Speed\n1,2,3,4\n"},
        // A group's default name stands for a channel whose comment names no
        // message; the group keeps its number.
        {R"({"Channels": [{"name": "Temp", "message_name": "Group0002"},
                          {"name": "Speed", "message_name": "Group0009", "network_name": ""}]})",
         "Group0002|HS CAN|2|Speed,Temp\n9,10\n"},
        {R"({"Channels": []})", all},
        {"", all},  // no selection: the whole file
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.selection);
        Call build = Build(mdf, db.c_str(), c.selection.empty() ? nullptr : c.selection.c_str());
        ASSERT_EQ(build.result, 1) << build.output;
        EXPECT_EQ(Sql(db, layout), c.stored);
        EXPECT_TRUE(Complete(db));
    }
    const std::wstring wide = widestring(R"({"Channels": [{"name": "Temp", "message_name": "Group0002"}]})");
    EXPECT_EQ(Captured([&] { return CreateDatabaseForSignalsW(widestring(mdf).c_str(), wide.c_str(),
                                                              widestring(db).c_str()); }).result, 1);
    EXPECT_EQ(Sql(db, layout), "Group0002|HS CAN|1|Temp\n11,12\n");
    // The MDF 3 fixture holds the name in Latin-1; the selection is UTF-8 or
    // holds JSON escapes, as python's json.dumps writes by default.
    for (const char* name : {"\xC3\x9C" "bersetzung", "\\u00dcbersetzung"}) {
        const std::string json = std::string(R"({"Channels": [{"name": ")") + name + "\"}]}";
        ASSERT_EQ(Build(Fixture("names_v330.mdf"), db.c_str(), json.c_str()).result, 1) << name;
        EXPECT_EQ(Sql(db, "SELECT group_concat(Name) FROM Channels"), "Collection Key,\xC3\x9C" "bersetzung\n");
    }

    // Unusable selections fail before anything is touched.
    ASSERT_EQ(Build(mdf, db.c_str()).result, 1);
    const std::vector<uint8_t> before = testlib::readBytes(db);
    testlib::TempDir other;
    ASSERT_EQ(::mkfifo(other.file("fifo.json").c_str(), 0600), 0);
    const std::pair<std::string, std::string> unusable[] = {
        {dir.file("missing.json"), "Could not open file " + dir.file("missing.json")},
        {R"({"Channel": []})", "Invalid JSON file"},
        {R"({"Channels": [{"name": "Rpm"})", "Invalid JSON file"},
        {R"({"Channels": {"name": "Rpm"}})", "Invalid JSON file"},
        {R"({"Channels": [{"message_name": "Engine"}]})", "needs a \"name\""},
        {R"({"Channels": ["Rpm"]})", "needs a \"name\""},
        {R"({"Channels": [{"name": "Rpm", "network_name": 5}]})", "needs a \"name\""},
        {R"({"Channels": [{"name": "Nothing"}]})", "No channel of the signal selection"},
        {R"({"Channels": [{"name": "Rpm\u0000XYZ"}]})", "No channel of the signal selection"},
        {R"({"Channels": [{"name": "Temp", "message_name": "Group0002", "network_name": "HS CAN"}]})",
         "No channel of the signal selection"},
        {other.file("fifo.json"), "Invalid JSON file " + other.file("fifo.json")},
        {"", "Could not open file"},
    };
    for (const auto& [selection, diagnostic] : unusable) {
        Call build = Build(mdf, db.c_str(), selection.c_str());
        EXPECT_EQ(build.result, 0) << selection;
        EXPECT_TRUE(Contains(build.output, diagnostic)) << selection << ": " << build.output;
        EXPECT_EQ(testlib::readBytes(db), before);
    }
    EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"select.db", "select.mf4", "selection.json"}));
}

// ---- The user's files ----------------------------------------------------------------

TEST(Builder, TargetsAndTheUsersFiles)
{
    testlib::TempDir dir;
    const std::string types = Fixture("types_v410.mf4");
    const std::vector<uint8_t> bytes = testlib::readBytes(types);
    // The default target replaces only the file name's extension; an empty
    // target counts as none.
    ASSERT_EQ(::mkdir(dir.file("rev2.5").c_str(), 0755), 0);
    for (auto [mdf, db] : {std::pair<const char*, const char*>{"run1.mf4", "run1.db"}, {"run", "run.db"},
                           {"run.x.mdf", "run.x.db"}, {".hidden", ".hidden.db"}}) {
        const std::string path = dir.file("rev2.5/") + mdf, target = dir.file("rev2.5/") + db;
        testlib::writeBytes(path, bytes);
        for (const char* given : {static_cast<const char*>(nullptr), ""}) {
            ASSERT_EQ(Build(path, given).result, 1) << mdf;
            EXPECT_TRUE(Complete(target)) << mdf;
            EXPECT_EQ(::unlink(target.c_str()), 0);
        }
        ::unlink(path.c_str());
    }
    testlib::writeBytes(dir.file("rev2.5/wide.mf4"), bytes);
    EXPECT_EQ(Captured([&] { return CreateDatabaseW(widestring(dir.file("rev2.5/wide.mf4")).c_str(), nullptr); })
                  .result, 1);
    EXPECT_TRUE(Complete(dir.file("rev2.5/wide.db")));

    // A narrow path is the file's bytes; in a wide one U+DC80..U+DCFF stand
    // for the bytes 0x80..0xFF; a wide path with no byte form names no file.
    const std::string latin = dir.file("m\xE9.mf4");
    testlib::writeBytes(latin, bytes);
    ASSERT_EQ(Build(latin, dir.file("t\xFF.db").c_str()).result, 1);
    EXPECT_TRUE(Complete(dir.file("t\xFF.db")));
    const std::wstring folder = widestring(dir.path()), wideMdf = folder + L"/m\xDCE9.mf4";
    for (std::wstring name : {L"/w\xDCFF.db", L"/\xD800.db", L"/\xDC41.db", L"/\x110000.db"}) {
        Call build = Captured([&] { return CreateDatabaseW(wideMdf.c_str(), (folder + name).c_str()); });
        EXPECT_EQ(build.result, name == L"/w\xDCFF.db");
        EXPECT_TRUE(build.result || Contains(build.output, "cannot be named exactly in the current locale"));
    }
    EXPECT_TRUE(Complete(dir.file("w\xFF.db")));

    // The MDF file is never the target, however named; what is no
    // measurement database is left untouched; a failed build leaves an
    // earlier database alone.
    const std::string mdf = dir.file("run.mf4"), link = dir.file("hard.link"), db = dir.file("out.db");
    testlib::writeBytes(mdf, bytes);
    testlib::writeBytes(dir.file("named.db"), bytes);
    ASSERT_EQ(::link(mdf.c_str(), link.c_str()), 0);
    testlib::writeText(db, "");  // an empty file is replaced
    ASSERT_EQ(Build(types, db.c_str()).result, 1);
    testlib::writeText(dir.file("text.db"), "not a database");
    ASSERT_EQ(testlib::sqlite3(dir.file("other.db"), "CREATE TABLE t (x)").exitCode, 0);
    ASSERT_EQ(::mkdir(dir.file("folder.db").c_str(), 0755), 0);
    ASSERT_EQ(::mkfifo(dir.file("fifo.db").c_str(), 0644), 0);
    const std::string viaDot = dir.path() + "/./run.mf4", noChannels = Write(dir, "none.mf4", {GenGroup{{}, {}, "", false}});
    struct Case {
        std::string mdf, db, diagnostic;
    } const refused[] = {
        {mdf, mdf, "would replace the MDF file it is built from"},
        {mdf, viaDot, "would replace the MDF file it is built from"},
        {mdf, link, "would replace the MDF file it is built from"},
        {link, mdf, "would replace the MDF file it is built from"},
        {dir.file("named.db"), "", "would replace the MDF file it is built from"},
        {types, dir.file("text.db"), "is not a measurement database"},
        {types, dir.file("other.db"), "is not a measurement database"},
        {types, dir.file("folder.db"), "not a regular file"},
        {types, dir.file("fifo.db"), "not a regular file"},
        {types, "/dev/null", "not a regular file"},
        {Fixture("long1m_v410_transposed.mf4"), db, "The database " + db + " was not built"},
        {types, dir.file("none/out.db"), "SQLITE_CANTOPEN error from: "},
        {dir.file("missing.mf4"), db, "Could not open MDF file!\n" + dir.file("missing.mf4") + "\n"},
        {dir.file("fifo.db"), db, "Could not open MDF file!\n" + dir.file("fifo.db") + "\n"},  // never waited for
        {noChannels, "", "The MDF file has no channels"},
    };
    const std::vector<std::string> files = FilesIn(dir.path());
    const std::vector<uint8_t> earlier = testlib::readBytes(db);
    for (const Case& c : refused) {
        Call build = Build(c.mdf, c.db.empty() ? nullptr : c.db.c_str());
        EXPECT_EQ(build.result, 0) << c.mdf << " " << c.db;
        EXPECT_TRUE(Contains(build.output, c.diagnostic)) << build.output;
    }
    EXPECT_EQ(testlib::readBytes(db), earlier);
    EXPECT_EQ(testlib::readBytes(mdf), bytes);
    EXPECT_EQ(testlib::readText(dir.file("text.db")), "not a database");
    EXPECT_EQ(Sql(dir.file("other.db"), "SELECT name FROM sqlite_master"), "t\n");
    EXPECT_EQ(FilesIn(dir.path()), files);
    Call none = Captured([] { return CreateDatabase(nullptr, "x.db") + CreateDatabaseW(nullptr, nullptr) +
                                     CreateDatabaseForSignals(nullptr, nullptr, nullptr); });
    EXPECT_EQ(none.result, 0);
    EXPECT_EQ(none.output, "Could not open MDF file!\n\nCould not open MDF file!\n\nCould not open MDF file!\n\n");
    // A name at the file system's limit still builds beside itself.
    const std::string longName = dir.file(std::string(250, 'n') + ".db");
    EXPECT_EQ(Build(types, longName.c_str()).result, 1);
    EXPECT_TRUE(Complete(longName));
}

// ---- Damaged and unusual input -----------------------------------------------------

// Every cut through an MDF file either fails cleanly or builds a complete
// database of the records that are there.
TEST(Builder, DamagedInput)
{
    testlib::TempDir dir;
    testlib::ScopedEnv tz("TZ", "UTC");
    // The fixtures keep blocks behind their records, so every cut fails
    // their open; the generated file has its groups one after the other.
    const std::string generated = Write(dir, "groups.mf4", {Counters(3, 40), Counters(2, 30), Counters(4, 50)});
    const std::string cut = dir.file("cut.mdf"), db = dir.file("cut.db");
    for (const std::string& name : {Fixture("types_v330.mdf"), Fixture("multirate_v400.mf4"), generated}) {
        const std::vector<uint8_t> bytes = testlib::readBytes(name);
        int built = 0;
        for (size_t length = 0; length < bytes.size(); length += bytes.size() / 37 + 1) {
            testlib::writeBytes(cut, std::vector<uint8_t>(bytes.begin(), bytes.begin() + length));
            Call build = Build(cut, db.c_str());
            EXPECT_EQ(build.result, Complete(db)) << name << " cut at " << length;
            EXPECT_FALSE(build.output.empty() && !build.result);
            if (build.result) {
                EXPECT_EQ(PythonStatistics(db), "") << name << " cut at " << length;
            }
            built += build.result;
            ::unlink(db.c_str());
        }
        EXPECT_EQ(built > 0, name == generated) << name;
    }
    // An MDF 3 file whose records run to its end, cut inside them, keeps the
    // whole records before the cut.
    MdfBuilder b(false);
    const uint64_t hd = b.Hd3("15:03:2024", "12:30:45");
    const uint64_t time = b.Cn3("t", true, 0, 64, 3);
    b.Link3(time, 4, b.Cn3("v", false, 64, 16, 0));
    const uint64_t dg = b.Dg3(b.Cg3(time, 0, 10, 100), 0);
    b.Link3(hd, 4, dg);
    std::vector<uint8_t> data;
    for (int i = 0; i < 37; ++i)
        for (const std::vector<uint8_t>& field : {mdftest::LEF64(0.1 * i), mdftest::LE(1000 + i, 2)})
            data.insert(data.end(), field.begin(), field.end());
    b.Link3(dg, 16, b.Append(data));
    b.Append({1, 2, 3});
    b.Save(cut);
    ASSERT_EQ(Build(cut, db.c_str()).result, 1);
    EXPECT_EQ(Sql(db, "SELECT MessageCount FROM Messages; SELECT COUNT(*), MAX(Signal1) FROM MessageData0001"),
              "37\n37|1036\n");

    // Channels outside their record are left out, a group without a time
    // channel too (the numbering stays).
    GenGroup counters = Counters(4, 5), timeless = Counters(2, 3);
    counters.channels[1].byteOffset = 1000;  // s2, far beyond the record
    timeless.timed = false;
    Call build = Build(Write(dir, "odd.mf4", {timeless, counters}), db.c_str());
    ASSERT_EQ(build.result, 1) << build.output;
    EXPECT_TRUE(Contains(build.output, "Channel group 1 is left out: it has no time channel")) << build.output;
    EXPECT_TRUE(Contains(build.output, "s2 lies outside its record")) << build.output;
    EXPECT_EQ(Sql(db, "SELECT ID, Name FROM Messages; SELECT group_concat(Name || MessageChannel || '@' || StartByte) "
                      "FROM Channels WHERE ID > 0; SELECT group_concat(Signal2) FROM MessageData0001"),
              "1|Group0002\ns11@8,s32@9,s43@10\n3,4,5,6,7\n");
    EXPECT_EQ(Build(Write(dir, "timeless.mf4", {timeless}), dir.file("none.db").c_str()).result, 0);
    EXPECT_FALSE(testlib::fileExists(dir.file("none.db")));
    // A record that cannot be read ends its message: MessageCount is the
    // number of rows written.
    build = Build(WriteStrayRecord(dir), db.c_str());
    ASSERT_EQ(build.result, 1) << build.output;
    EXPECT_TRUE(Contains(build.output, "Message 1 ends after 1 of 3 records: record 1 cannot be read"));
    EXPECT_EQ(Sql(db, "SELECT group_concat(MessageCount) FROM Messages; SELECT * FROM MessageData0001; "
                      "SELECT * FROM MessageData0002"), "1,1\n0.0|10\n0.5|20\n");
    EXPECT_EQ(PythonStatistics(db), "");
}

// ---- Channel lists ------------------------------------------------------------------

struct Listing {
    int result;
    std::string output;
    std::vector<jsonxx::Object> channels;
};

Listing List(int (*function)(char const*, char const*), const std::string& mdf, const std::string& json)
{
    Call call = Captured([&] { return function(mdf.c_str(), json.c_str()); });
    Listing listing{call.result, call.output, {}};
    jsonxx::Object document;
    if (call.result == 1 && document.parse(testlib::readText(json)))
        for (auto const& value : document.get<jsonxx::Array>("Channels").values())
            listing.channels.push_back(value->get<jsonxx::Object>());
    return listing;
}

std::string Names(const Listing& listing)
{
    std::string names;
    for (const jsonxx::Object& entry : listing.channels)
        names += (names.empty() ? "" : ",") + entry.get<jsonxx::String>("name");
    return names;
}

double Number(const jsonxx::Object& entry, const char* key)
{
    return entry.has<jsonxx::Number>(key) ? double(entry.get<jsonxx::Number>(key)) : NAN;
}

// Groups whose time channel comes last: v (8 bits, ties at its maximum) and n
// (16 bits through -0.5 x + 10) with three records, and w without records.
std::string WriteDataFirst(const testlib::TempDir& dir)
{
    MdfBuilder b(true);
    const uint64_t hd = b.Hd4(0);
    const uint64_t v = b.Cn4(b.Tx4("v"), 0, 0, 0, 0, 8, 8);
    const uint64_t n = b.Cn4(b.Tx4("n"), 0, 0, 0, 0, 9, 16, b.Cc4(1, {}, {10.0, -0.5}));
    b.Link4(v, 0, n);
    b.Link4(n, 0, b.Cn4(b.Tx4("t"), 2, 1, 4, 0, 0, 64));
    std::vector<uint8_t> data;
    for (auto [t, vv, nn] : {std::tuple{0.0, 7, 100}, {0.1, 3, 40}, {0.2, 7, 60}})
        for (const std::vector<uint8_t>& field : {mdftest::LEF64(t), mdftest::LE(vv, 1), mdftest::LE(nn, 2)})
            data.insert(data.end(), field.begin(), field.end());
    const uint64_t first = b.Dg4(b.Cg4(v, 0, 3, 11), b.Dt4(data));
    const uint64_t w = b.Cn4(b.Tx4("w"), 0, 0, 0, 0, 8, 8);
    b.Link4(w, 0, b.Cn4(b.Tx4("t"), 2, 1, 4, 0, 0, 64));
    b.Link4(first, 0, b.Dg4(b.Cg4(w, 0, 0, 9), b.Dt4({})));
    b.Link4(hd, 0, first);
    b.Save(dir.file("datafirst.mf4"));
    return dir.file("datafirst.mf4");
}

// The statistics of each channel, also where the Part's formulas would give
// a negative deviation (negative slope); the Channels rows of the same file
// hold the same numbers.
TEST(ChannelLists, StatisticsOfEachChannel)
{
    testlib::TempDir dir;
    const std::string mdf = WriteDataFirst(dir), json = dir.file("list.json"), db = dir.file("datafirst.db");
    Listing names = List(GetChannels, mdf, json);
    EXPECT_EQ(Names(names), "v,n,w");
    for (const jsonxx::Object& entry : names.channels)
        EXPECT_EQ(entry.size(), 1u);  // no comment names a message
    Listing stats = List(GetChannelStatistics, mdf, json);
    ASSERT_EQ(Names(stats), "v,n,w") << stats.output;
    const double mean = -70.0 / 3, spread = std::sqrt((std::pow(-40 - mean, 2) + std::pow(-10 - mean, 2) +
                                                       std::pow(-20 - mean, 2)) / 3);
    const char* keys[] = {"num_records", "min_time", "max_time", "min", "time_at_min", "max", "time_at_max",
                          "avg", "std_dev", "first_value", "slope", "offset"};
    const double want[][12] = {
        {3, 0, 0.2, 3, 0.1, 7, 0, 17.0 / 3, std::sqrt(32.0) / 3, 7, NAN, NAN},
        {3, 0, 0.2, -40, 0, -10, 0.1, mean, spread, -40, -0.5, 10},
        {0, DBL_MAX, -DBL_MAX, DBL_MAX, DBL_MAX, -DBL_MAX, -DBL_MAX, 0, 0, 0, NAN, NAN},
    };
    ASSERT_EQ(Build(mdf, db.c_str()).result, 1);
    for (size_t c = 0; c < 3; ++c) {
        const jsonxx::Object& entry = stats.channels[c];
        EXPECT_EQ(entry.get<jsonxx::String>("message_name"), c < 2 ? "Group0001" : "Group0002");
        EXPECT_FALSE(entry.has<jsonxx::String>("network_name") || entry.has<jsonxx::String>("unit"));
        for (size_t k = 0; k < 12; ++k) {
            if (std::isnan(want[c][k]))
                EXPECT_FALSE(entry.kv_map().count(keys[k])) << keys[k];
            else
                EXPECT_NEAR(Number(entry, keys[k]), want[c][k], 1e-12) << c << " " << keys[k];
        }
        char same[300];
        std::snprintf(same, sizeof same, "SELECT MinVal = %.17g, MaxVal = %.17g, AvgVal = %.17g, StdDev = %.17g FROM "
                      "Channels WHERE ID = %zu", Number(entry, "min"), Number(entry, "max"), Number(entry, "avg"),
                      Number(entry, "std_dev"), c + 1);
        EXPECT_EQ(Sql(db, same), "1|1|1|1\n");
    }
}

// Groups the builder leaves out are listed by names but left out of the
// statistics; records that cannot be read are not decoded.
TEST(ChannelLists, GroupsLeftOutAndUnreadRecords)
{
    testlib::TempDir dir;
    const std::string json = dir.file("list.json");
    GenGroup timeless = Counters(2, 3), timed = Counters(1, 2);
    timeless.timed = false;
    const std::string mdf = Write(dir, "timeless.mf4", {timeless, timed});
    EXPECT_EQ(Names(List(GetChannels, mdf, json)), "s1,s2,s1");
    Listing stats = List(GetChannelStatistics, mdf, json);
    ASSERT_EQ(Names(stats), "s1");
    EXPECT_EQ(stats.channels[0].get<jsonxx::String>("message_name"), "Group0002");
    EXPECT_EQ(Number(stats.channels[0], "num_records"), 2);
    EXPECT_TRUE(Contains(stats.output, "Channel group 1 is left out: it has no time channel")) << stats.output;
    stats = List(GetChannelStatistics, WriteStrayRecord(dir), json);
    ASSERT_EQ(Names(stats), "a,c");
    EXPECT_EQ(Number(stats.channels[0], "num_records") + Number(stats.channels[0], "max") +
                  Number(stats.channels[0], "avg"), 1 + 10 + 10);
    EXPECT_TRUE(Contains(stats.output, "Channel group 1 ends after 1 of 3 records: record 1 cannot be read"));
}

// A list is 1 only when the whole document reached its file; devices and
// files of another kind are never replaced by a list.
TEST(ChannelLists, OutputsThatCannotBeWrittenLeaveNoFile)
{
    testlib::TempDir dir;
    const std::string mdf = WriteDataFirst(dir), json = dir.file("list.json");
    const std::vector<uint8_t> bytes = testlib::readBytes(mdf);
    Listing listing = List(GetChannelStatistics, mdf, dir.file("no folder/list.json"));
    EXPECT_EQ(listing.result, 0);
    EXPECT_EQ(listing.output, "Could not open Json file!\n" + dir.file("no folder/list.json") + "\n");
    for (const std::string& target : {std::string("/dev/full"), mdf}) {
        listing = List(GetChannels, mdf, target);
        EXPECT_EQ(listing.result, 0);
        EXPECT_TRUE(Contains(listing.output, "left untouched")) << listing.output;
    }
    EXPECT_EQ(testlib::readBytes(mdf), bytes);
    struct stat device;
    EXPECT_TRUE(::stat("/dev/full", &device) == 0 && S_ISCHR(device.st_mode));
    // A regular file that takes only part of the document is removed.
    rlimit saved, small;
    ::getrlimit(RLIMIT_FSIZE, &saved);
    small = saved;
    small.rlim_cur = 512;  // the document is longer, the captured diagnostics shorter
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &small);
    listing = List(GetChannelStatistics, mdf, json);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(listing.result, 0);
    EXPECT_TRUE(Contains(listing.output, "Could not write " + json)) << listing.output;
    Call none = Captured([&] {
        return GetChannels(nullptr, json.c_str()) + GetChannelStatistics(mdf.c_str(), nullptr) +
               GetChannels("", json.c_str()) + GetChannelStatistics(mdf.c_str(), "") +
               GetChannelsW(nullptr, L"x.json") + GetChannelStatisticsW(L"", nullptr);
    });
    EXPECT_EQ(none.result, 0);
    EXPECT_EQ(FilesIn(dir.path()), std::vector<std::string>{"datafirst.mf4"});
}

}  // namespace
