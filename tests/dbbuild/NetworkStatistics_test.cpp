#include <memory>

#include <gtest/gtest.h>

#include "DbTestSupport.h"
#include "testlib/TestSupport.h"
#include "dbbuild/NetworkStatistics.h"
#include "support/CppSQLite3U.h"
#include "support/LibUtils.h"
#include "support/MeasurementDb.h"

namespace {

using dbtest::Query;
using dbtest::Rows;

struct MessageRow {
    std::wstring network;  // empty: NULL
    long long count;
    double minTime, maxTime;
};

// A database with the schema and the given Messages rows.
std::unique_ptr<CppSQLite3DB> Database(std::string const& path, std::vector<MessageRow> const& messages)
{
    auto db = std::make_unique<CppSQLite3DB>();
    db->open(widestring(path).c_str());
    for (wchar_t const* table : MeasurementDb::kSchemaTables)
        db->execQuery(table);
    CppSQLite3Statement insert =
        db->compileStatement(L"INSERT INTO Messages (ID, Network, MessageCount, MinTime, MaxTime) VALUES (?, ?, ?, ?, ?)");
    int id = 0;
    for (MessageRow const& m : messages) {
        insert.bind(1, ++id);
        insert.bind(2, m.network.empty() ? nullptr : m.network.c_str());
        insert.bind(3, m.count);
        insert.bind(4, m.minTime);
        insert.bind(5, m.maxTime);
        insert.execDML();
    }
    return db;
}

Rows Statistics(std::string const& path)
{
    return Query(path, "SELECT Network, TotalMessages, MatchedMessages, UnmatchedMessages, ErrorMessages, "
                       "LongMessageParts, MinTime, MaxTime, Rate FROM Network_Statistics ORDER BY Network");
}

TEST(UpdateNetworkStatistics, OneRowPerNetwork)
{
    testlib::TempDir dir;
    const std::string path = dir.file("n.db");
    auto db = Database(path, {{L"HS CAN", 100, 11, 40}, {L"HS CAN", 300, 12, 50}, {L"", 7, 0, 99},
                              {L"Body", 20, 10, 10}});
    db->execQuery(L"INSERT INTO Messages (ID, Network, MessageCount) VALUES (9, '', 5)");
    UpdateNetworkStatistics(db.get(), 10.0);
    db.reset();
    EXPECT_EQ(Statistics(path), (Rows{{"Body", "20", "20", "0", "0", "0", "10.0", "10.0", "0.0"},
                                      {"HS CAN", "400", "400", "0", "0", "0", "10.0", "50.0", "10.0"}}));
}

// Network names come from MDF comments: they are data, never SQL.
TEST(UpdateNetworkStatistics, NamesWithQuotesAreData)
{
    testlib::TempDir dir;
    const std::string path = dir.file("q.db");
    auto db = Database(path, {{L"Driver's CAN", 4, 0, 2}, {L"x'); DROP TABLE Messages; --", 6, 0, 3}});
    UpdateNetworkStatistics(db.get(), 0.0);
    db.reset();
    EXPECT_EQ(Statistics(path), (Rows{{"Driver's CAN", "4", "4", "0", "0", "0", "0.0", "2.0", "2.0"},
                                      {"x'); DROP TABLE Messages; --", "6", "6", "0", "0", "0", "0.0", "3.0", "2.0"}}));
    EXPECT_EQ(dbtest::Scalar(path, "SELECT COUNT(*) FROM Messages"), "2");
}

TEST(UpdateNetworkStatistics, SumsBeyond32BitsAndExactNumbersInAnyLocale)
{
    const std::string comma = testlib::commaDecimalLocale();
    testlib::TempDir dir;
    const std::string path = dir.file("big.db");
    auto db = Database(path, {{L"HS CAN", 3000000000LL, 0, 1.0 / 3.0}, {L"HS CAN", 2000000000LL, 0, 0.25}});
    {
        testlib::ScopedLocale locale(comma.empty() ? "C" : comma.c_str());
        UpdateNetworkStatistics(db.get(), 1e-7);
    }
    db.reset();
    Rows rows = Query(path, "SELECT TotalMessages, MatchedMessages, MinTime = 1e-7, MaxTime = 1.0 / 3.0, "
                            "Rate = 5000000000 / (1.0 / 3.0 - 1e-7) FROM Network_Statistics");
    EXPECT_EQ(rows, (Rows{{"5000000000", "5000000000", "1", "1", "1"}}));
}

TEST(OpenDbIfValid, CompletenessCheck)
{
    testlib::TempDir dir;
    bool rejected = true;
    const std::string fresh = dir.file("fresh.db");
    std::unique_ptr<CppSQLite3DB> db(OpenDbIfValid(widestring(fresh).c_str(), false, rejected));
    EXPECT_TRUE(db && !rejected);
    db.reset();
    // No Network_Statistics table at all.
    EXPECT_EQ(OpenDbIfValid(widestring(fresh).c_str(), true, rejected), nullptr);
    EXPECT_TRUE(rejected);

    const std::string path = dir.file("m.db");
    auto made = Database(path, {{L"HS CAN", 1, 0, 1}});
    made.reset();
    EXPECT_EQ(OpenDbIfValid(widestring(path).c_str(), true, rejected), nullptr);  // no statistics rows
    EXPECT_TRUE(rejected);

    CppSQLite3DB writer;
    writer.open(widestring(path).c_str());
    UpdateNetworkStatistics(&writer, 0.0);
    db.reset(OpenDbIfValid(widestring(path).c_str(), true, rejected));
    EXPECT_TRUE(db && !rejected);
    db.reset();

    // Statistics rows, but no schema text naming CollectionMask.
    const std::string other = dir.file("other.db");
    CppSQLite3DB plain;
    plain.open(widestring(other).c_str());
    plain.execQuery(L"CREATE TABLE Network_Statistics (Network TEXT)");
    plain.execQuery(L"INSERT INTO Network_Statistics VALUES ('HS CAN')");
    EXPECT_EQ(OpenDbIfValid(widestring(other).c_str(), true, rejected), nullptr);
    EXPECT_TRUE(rejected);
    // A view that recurses without end in its place is no statistics table.
    plain.execQuery(L"DROP TABLE Network_Statistics");
    plain.execQuery(L"CREATE VIEW Network_Statistics AS WITH RECURSIVE r(i) AS (SELECT 1 UNION ALL "
                    L"SELECT i + 1 FROM r) SELECT i AS CollectionMask FROM r");
    EXPECT_EQ(OpenDbIfValid(widestring(other).c_str(), true, rejected), nullptr);
    EXPECT_TRUE(rejected);
}

TEST(OpenDbIfValid, UnopenableFileSaysWhy)
{
    testlib::TempDir dir;
    const std::string path = dir.file("missing/x.db");
    bool rejected = true;
    testlib::StdoutCapture capture;
    CppSQLite3DB* db = OpenDbIfValid(widestring(path).c_str(), false, rejected);
    const std::string output = capture.text();
    EXPECT_EQ(db, nullptr);
    EXPECT_FALSE(rejected);
    EXPECT_EQ(output, "SQLITE_CANTOPEN error from: " + path + "\n");
}

}  // namespace
