// Resolving channel and alias lists against measurement databases.
#include <gtest/gtest.h>

#include "access/FileInfo.h"
#include "support/LibUtils.h"
#include "testlib/MeasurementDbBuilder.h"
#include "testlib/TestSupport.h"

namespace {

using testlib::TestDatabase;
using testlib::TestMessage;
using testlib::TestSignal;

TestMessage message(std::string name, std::vector<std::string> signals, std::string network = "HS CAN")
{
    TestMessage m;
    m.name = std::move(name);
    m.network = std::move(network);
    for (auto& signal : signals) {
        TestSignal s;
        s.name = signal;
        m.signals.push_back(s);
    }
    m.rows.push_back({1.0, std::vector<std::optional<double>>(m.signals.size(), 1.0)});
    return m;
}

struct Loaded {
    std::unique_ptr<FileInfo> file = std::make_unique<FileInfo>();
    int result = 0;
    std::string output;
};

Loaded loadList(std::string const& path, std::string const& json, bool aliases = false)
{
    Loaded loaded;
    std::wstring list = widestring(json);
    if (aliases)
        EXPECT_TRUE(ReadAliasesFromJson(list.c_str(), loaded.file->channels));
    else
        EXPECT_TRUE(ReadChannelsFromJson(list.c_str(), loaded.file->channels));
    testlib::StdoutCapture capture;
    loaded.result = aliases ? loaded.file->LoadChannelsFromAliases(widestring(path).c_str())
                            : loaded.file->LoadDbChannels(widestring(path).c_str());
    loaded.output = capture.text();
    return loaded;
}

}  // namespace

TEST(Resolution, DuplicateMatchesResolveOnceInChannelIdOrder)
{
    testlib::TempDir dir;
    std::string path = dir.file("dup.db");
    TestDatabase db;
    db.messages = {message("First", {"Other", "Speed"}), message("Second", {"Speed"}, "Body"),
                   message("Third", {"Speed"})};
    db.statisticsStart = 1.0;
    testlib::MakeMeasurementDb(path, db);

    Loaded any = loadList(path, R"({"Channels": [{"name": "Speed"}, {"name": "Speed", "network_name": "Body"},
                                                 {"name": "Speed", "message_name": "Th*"}]})");
    EXPECT_EQ(any.result, 3);
    EXPECT_EQ(any.file->numFound, 3);
    EXPECT_EQ(any.file->numRequiredFound, 3);
    EXPECT_TRUE(any.file->HasAllRequiredChannels());
    auto const& channels = any.file->channels;
    EXPECT_EQ(channels[0].channelId, 2);
    EXPECT_EQ(channels[0].tableName, "MessageData0001");
    EXPECT_EQ(channels[0].columnName, "Signal2");
    EXPECT_EQ(channels[1].channelId, 3);
    EXPECT_EQ(channels[1].tableName, "MessageData0002");
    EXPECT_EQ(channels[2].channelId, 4);
    EXPECT_EQ(channels[2].tableName, "MessageData0003");
    // Each channel sits in exactly one table and one message entry.
    size_t registered = 0;
    for (auto const& entry : any.file->tableSignals)
        registered += entry.second.channels.size();
    EXPECT_EQ(registered, 3u);
    EXPECT_EQ(any.file->messageSignals.size(), 3u);
    EXPECT_EQ(any.output, "");
}

TEST(Resolution, NamesWithQuotesAndLongNamesAreOrdinaryText)
{
    testlib::TempDir dir;
    std::string path = dir.file("names.db");
    std::string quoted = "It's \"quoted\"; DROP TABLE Channels; --";
    std::string longName(2000, 'x');
    longName += "end";
    std::string prefixOnly = longName.substr(0, 1023);
    TestDatabase db;
    db.messages = {message("M", {quoted, longName, prefixOnly + "other"})};
    testlib::MakeMeasurementDb(path, db);

    jsonxx::Array list;
    for (auto const& name : {quoted, longName})
        list << jsonxx::Object("name", name);
    Loaded loaded = loadList(path, jsonxx::Object("Channels", list).json());
    EXPECT_EQ(loaded.result, 2) << loaded.output;
    EXPECT_EQ(loaded.file->channels[0].messageChannel, 1);
    EXPECT_EQ(loaded.file->channels[1].messageChannel, 2);
    EXPECT_EQ(loaded.file->channels[1].name, longName);
    EXPECT_EQ(loaded.output, "");
}

TEST(Resolution, MissingChannelsAndRequiredCounts)
{
    testlib::TempDir dir;
    std::string path = dir.file("m.db");
    TestDatabase db;
    db.messages = {message("M", {"Present"})};
    testlib::MakeMeasurementDb(path, db);
    Loaded loaded = loadList(path, R"({"Channels": [{"name": "Gone"}, {"name": "Present", "required": false}]})");
    EXPECT_EQ(loaded.result, 1);
    EXPECT_EQ(loaded.file->numRequired, 1);
    EXPECT_EQ(loaded.file->numRequiredFound, 0);
    EXPECT_FALSE(loaded.file->HasAllRequiredChannels());
    EXPECT_EQ(loaded.file->channels[0].channelId, 0);
    EXPECT_EQ(loaded.output, "Channel Gone was not found in file " + path + "\n");
}

TEST(Resolution, SignalsBeyondFiveHundredLiveInLaterTableParts)
{
    testlib::TempDir dir;
    std::string path = dir.file("wide.db");
    TestDatabase db;
    for (int m = 1; m <= 6; ++m)
        db.messages.push_back(message("Filler" + std::to_string(m), {"F" + std::to_string(m)}));
    std::vector<std::string> names;
    for (int k = 1; k <= 1200; ++k)
        names.push_back("W" + std::to_string(k));
    db.messages.push_back(message("Wide", names));
    testlib::MakeMeasurementDb(path, db);
    Loaded loaded = loadList(path, R"({"Channels": [{"name": "W750"}, {"name": "W500"}, {"name": "W1200"}]})");
    ASSERT_EQ(loaded.result, 3);
    auto const& c = loaded.file->channels;
    EXPECT_EQ(c[0].tableName, "MessageData0007_0002");
    EXPECT_EQ(c[0].columnName, "Signal750");
    EXPECT_EQ(c[1].tableName, "MessageData0007");
    EXPECT_EQ(c[1].columnName, "Signal500");
    EXPECT_EQ(c[2].tableName, "MessageData0007_0003");
    EXPECT_EQ(loaded.file->messageSignals.size(), 1u);
    EXPECT_EQ(loaded.file->tableSignals.size(), 3u);
}

TEST(Resolution, MeasurementBoundsFromStatisticsOrChannels)
{
    testlib::TempDir dir;
    std::string withStats = dir.file("stats.db"), zeroStats = dir.file("zero.db");
    TestDatabase db;
    db.messages = {message("A", {"a"}), message("B", {"b"})};
    db.messages[0].rows = {{5.0, {1.0}}, {9.0, {2.0}}};
    db.messages[1].rows = {{3.0, {1.0}}, {7.0, {2.0}}};
    db.statisticsStart = 2.5;
    testlib::MakeMeasurementDb(withStats, db);
    db.statisticsStart = 0.0;
    testlib::MakeMeasurementDb(zeroStats, db);

    Loaded stats = loadList(withStats, R"({"Channels": [{"name": "a"}]})");
    EXPECT_EQ(stats.file->startTime, 2.5);
    EXPECT_EQ(stats.file->endTime, 9.0);
    Loaded zero = loadList(zeroStats, R"({"Channels": [{"name": "a"}]})");
    EXPECT_EQ(zero.file->startTime, 5.0);  // the resolved channels' bounds
    EXPECT_EQ(zero.file->endTime, 9.0);
    Loaded statsOnly = loadList(zeroStats, R"({"Channels": [{"name": "nothing", "required": false}]})");
    EXPECT_EQ(statsOnly.file->startTime, DBL_MAX);
    EXPECT_EQ(statsOnly.file->endTime, 9.0);
    std::string noStats = dir.file("nostats.db");
    db.statisticsStart.reset();
    testlib::MakeMeasurementDb(noStats, db);
    Loaded none = loadList(noStats, R"({"Channels": [{"name": "nothing", "required": false}]})");
    EXPECT_EQ(none.file->startTime, DBL_MAX);
    EXPECT_EQ(none.file->endTime, -DBL_MAX);
}

TEST(Resolution, AliasesTakeTheFirstAlternativeTheDatabaseHas)
{
    testlib::TempDir dir;
    std::string path = dir.file("alias.db");
    TestDatabase db;
    db.messages = {message("Engine", {"EngSpeed", "Rpm"}), message("Body", {"Door"}, "Body CAN")};
    testlib::MakeMeasurementDb(path, db);
    Loaded loaded = loadList(path, R"({"Channels": [
        {"name_in_script": "speed", "OptionalList": [{"channel_name": "VehSpeed"}, {"channel_name": "EngSpeed",
            "message_name": "Eng*"}]},
        {"name_in_script": "door", "required": false, "OptionalList": [{"channel_name": "Door",
            "network_name": "HS CAN"}]},
        {"name": "Rpm"},
        {"name": "Absent", "required": false},
        {"name_in_script": "group", "OptionalList": [{"channel_name": "Door", "message_name": "Group0002"}]}]})",
                             true);
    EXPECT_EQ(loaded.result, 2);
    auto const& c = loaded.file->channels;
    EXPECT_EQ(c[0].name, "EngSpeed");
    EXPECT_EQ(c[0].message_name, "Engine");
    EXPECT_EQ(c[0].network_name, "HS CAN");
    EXPECT_EQ(c[1].name, "");  // network filter excludes it
    EXPECT_EQ(c[2].name, "Rpm");
    // A plain entry is looked up like an alias: the name alone proves nothing.
    EXPECT_EQ(c[3].name, "");
    EXPECT_EQ(c[4].name, "");  // no "Group" placeholder rule for aliases
    EXPECT_EQ(loaded.file->numRequired, 3);
    EXPECT_EQ(loaded.file->numRequiredFound, 2);
    EXPECT_EQ(loaded.output, "Channel door was not found in file " + path + "\nChannel Absent was not found in file " +
                                 path + "\nChannel group was not found in file " + path + "\n");

    // Hit extraction's road: the resolved names then load their rows; the
    // unresolved optional aliases are not looked up again.
    std::vector<CChannelInfo> resolved = {c[0], c[2], c[3]};
    resolved[2].required = false;
    FileInfo file;
    file.channels = resolved;
    testlib::StdoutCapture capture;
    EXPECT_EQ(file.LoadChannelsFromAliases(widestring(path).c_str()), 2);
    EXPECT_TRUE(file.HasAllRequiredChannels());
    EXPECT_EQ(file.LoadDbChannels(widestring(path).c_str()), 2);
    EXPECT_EQ(file.channels[0].channelId, 1);
    EXPECT_EQ(file.channels[1].channelId, 2);
    EXPECT_EQ(file.channels[2].channelId, 0);
    EXPECT_EQ(capture.text(), "Channel Absent was not found in file " + path + "\n");
}

TEST(Resolution, FilesThatAreNoMeasurementDatabase)
{
    testlib::TempDir dir;
    std::string notSqlite = dir.file("text.db"), noTables = dir.file("empty.db"), missing = dir.file("missing.db");
    testlib::writeText(notSqlite, "this is not an SQLite file, just text that is long enough to be read\n");
    testlib::sqlite3(noTables, "CREATE TABLE Other (x); INSERT INTO Other VALUES (1);");

    for (std::string const& path : {notSqlite, noTables}) {
        Loaded loaded = loadList(path, R"({"Channels": [{"name": "A", "required": false}, {"name": "B"}]})");
        EXPECT_EQ(loaded.result, -2) << path;
        EXPECT_EQ(loaded.output, "Invalid database " + path + "\n");
        EXPECT_EQ(loaded.file->db, nullptr);
        // Counted as failing at the first channel looked up.
        EXPECT_EQ(loaded.file->numRequired, 0);
        EXPECT_TRUE(loaded.file->Close());
    }
    Loaded aliases = loadList(noTables, R"({"Channels": [{"name_in_script": "X", "OptionalList": []},
        {"name": "B"}]})", true);
    EXPECT_EQ(aliases.result, -2);
    EXPECT_EQ(aliases.file->numRequired, 2);

    Loaded absent = loadList(missing, R"({"Channels": [{"name": "A"}]})");
    EXPECT_EQ(absent.result, -2);
    EXPECT_EQ(absent.output, "");
    EXPECT_EQ(absent.file->db, nullptr);
    EXPECT_FALSE(testlib::fileExists(missing));

    // A name beginning with "file:" is a path, not a URI.
    testlib::ScopedChdir here(dir.path());
    Loaded uri = loadList("file:missing.db?mode=rwc", R"({"Channels": [{"name": "A"}]})");
    EXPECT_EQ(uri.result, -2);
    EXPECT_FALSE(testlib::fileExists(missing));
}

// Names compare as the text they stand for: a JSON \u escape as the raw
// UTF-8 character, and a NUL as a character of its own.
TEST(Resolution, NamesCompareAsTheSameText)
{
    testlib::TempDir dir;
    std::string path = dir.file("names.db");
    TestDatabase db;
    db.messages = {message("M", {"\xC3\x9C" "bersetzung", "EngineSpeed"})};
    testlib::MakeMeasurementDb(path, db);
    Loaded plain = loadList(path, R"({"Channels": [{"name": "\u00dcbersetzung"},
        {"name": "EngineSpeed\u0000XYZ", "required": false}]})");
    EXPECT_EQ(plain.result, 1);
    EXPECT_EQ(plain.file->channels[0].columnName, "Signal1");
    EXPECT_EQ(plain.file->channels[1].channelId, 0);
    Loaded aliases = loadList(path, R"({"Channels": [{"name_in_script": "x", "OptionalList": [
        {"channel_name": "\u00dcbersetzung", "message_name": "M"}]}]})", true);
    EXPECT_EQ(aliases.result, 1);
    EXPECT_EQ(aliases.file->channels[0].name, "\xC3\x9C" "bersetzung");
}

// Damaged or hostile schemas fail the load at once (or leave out what they
// spoil) instead of hanging in a view that recurses without end, or reading
// numbers no builder writes.
TEST(Resolution, HostileSchemasFailTheLoadAtOnce)
{
    testlib::TempDir dir;
    char const* const recursion = " AS WITH RECURSIVE r(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM r) ";
    struct Case {
        std::string sql;
        int result;
        std::string output;
    } cases[] = {
        {std::string("ALTER TABLE Channels RENAME TO C; CREATE VIEW Channels") + recursion + "SELECT C.* FROM C, r",
         -2, "Invalid database"},
        {std::string("ALTER TABLE MessageData0001 RENAME TO D; CREATE VIEW MessageData0001") + recursion +
             "SELECT D.* FROM D, r",
         -2, "The records of MessageData0001 in"},
        {"UPDATE Channels SET MessageChannel = 7 WHERE ID = 1", -2, "The records of MessageData0001 in"},
        {"UPDATE Channels SET MessageChannel = -2147483648 WHERE ID = 1", 0, "Channel a was not found"},
        {"UPDATE Channels SET MessageChannel = 4294967297 WHERE ID = 1", 0, "Channel a was not found"},
        {std::string("DROP TABLE Network_Statistics; CREATE VIEW Network_Statistics") + recursion +
             "SELECT 1.0 AS MinTime, 2.0 AS MaxTime FROM r",
         1, ""},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.sql);
        std::string path = dir.file("hostile.db");
        ::unlink(path.c_str());
        TestDatabase db;
        db.messages = {message("M", {"a"})};
        testlib::MakeMeasurementDb(path, db);
        ASSERT_EQ(testlib::sqlite3(path, c.sql).exitCode, 0);
        Loaded loaded = loadList(path, R"({"Channels": [{"name": "a", "required": false}]})");
        EXPECT_EQ(loaded.result, c.result);
        EXPECT_NE(loaded.output.find(c.output), std::string::npos) << loaded.output;
    }
}

TEST(Resolution, CloseFinalizesEveryStatement)
{
    testlib::TempDir dir;
    std::string path = dir.file("c.db");
    TestDatabase db;
    db.messages = {message("A", {"a"}), message("B", {"b"})};
    testlib::MakeMeasurementDb(path, db);
    Loaded loaded = loadList(path, R"({"Channels": [{"name": "a"}, {"name": "b"}]})");
    loaded.file->AllocPointers(2);
    loaded.file->SetCursorsToStart();
    // sqlite3_close refuses a connection with a live statement.
    EXPECT_TRUE(loaded.file->Close());
    EXPECT_EQ(loaded.file->db, nullptr);
    EXPECT_TRUE(loaded.file->tableSignals.empty());
    EXPECT_TRUE(loaded.file->Close());
}

TEST(Resolution, DamageFoundWhileReadingChannelsFailsTheLoad)
{
    testlib::TempDir dir;
    std::string path = dir.file("damaged.db");
    auto made = testlib::sqlite3(
        path,
        "CREATE TABLE Messages (ID INTEGER PRIMARY KEY, Name TEXT, Network TEXT, MessageCount INTEGER, ArbId TEXT, "
        "MinTime DOUBLE, MaxTime DOUBLE);"
        "CREATE TABLE Channels (ID INTEGER PRIMARY KEY, MessageId INTEGER, MessageChannel INTEGER, Name TEXT, "
        "SignalType TEXT, MinVal DOUBLE, MaxVal DOUBLE, Units TEXT, DAQRate TEXT, Decimals INTEGER, Slope DOUBLE, "
        "Offset DOUBLE, BitLength INTEGER);"
        "INSERT INTO Messages (ID, Name, Network) VALUES (1, 'M', 'HS CAN');"
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 5000) "
        "INSERT INTO Channels (ID, MessageId, MessageChannel, Name) SELECT i, 1, 1, 'C' || i FROM n;");
    ASSERT_EQ(made.exitCode, 0) << made.output;
    // Garbage over a page of Channels rows near the end of the file.
    std::vector<uint8_t> bytes = testlib::readBytes(path);
    ASSERT_GT(bytes.size(), 4u * 4096);
    std::fill(bytes.end() - 3 * 4096, bytes.end() - 2 * 4096, 0xFF);
    testlib::writeBytes(path, bytes);

    Loaded loaded = loadList(path, R"({"Channels": [{"name": "C1", "required": false}]})");
    EXPECT_EQ(loaded.result, -2);
    EXPECT_EQ(loaded.output, "Invalid database " + path + "\n");
}
