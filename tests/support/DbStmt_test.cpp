#include <gtest/gtest.h>

#include "support/DbStmt.h"
#include "support/HostDb.h"
#include "support/LibUtils.h"
#include "testlib/TestSupport.h"

#include <sys/stat.h>
#include <type_traits>
#include <utility>

namespace {

// Reads the way SQLite reads a NULL column.
void expectReadsAsNull(CDbStmt const& statement, int col)
{
    EXPECT_EQ(statement.GetDouble(col) + statement.GetInt(col), 0.0) << col;
    EXPECT_TRUE(statement.IsNull(col)) << col;
    EXPECT_EQ(statement.GetText(col), "") << col;
}

}  // namespace

TEST(DbStmt, StepsReadsAndFailsWithoutHarm)
{
    static_assert(!std::is_copy_constructible_v<CDbStmt> && std::is_nothrow_move_assignable_v<CDbStmt>);
    testlib::TempDir dir;
    std::string path = dir.file("records.db");
    testlib::sqlite3(path, "create table m(TIME_VAL real, v, s text);"
                           "insert into m values(1.0, 10, 'Öltemp'), (2.0, NULL, NULL), (3.0, 2.5, '');");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    {
        CDbStmt statement;
        EXPECT_FALSE(statement.Step());
        EXPECT_FALSE(statement.Bind(1.0, 1));
        expectReadsAsNull(statement, 0);
        EXPECT_FALSE(statement.Prepare(db, "select nothing from nowhere"));
        EXPECT_FALSE(statement.Step());
        EXPECT_FALSE(statement.Prepare(db, "  -- a comment only"));
        EXPECT_FALSE(statement.Prepare(nullptr, "select 1"));

        ASSERT_TRUE(statement.Prepare(db, "select TIME_VAL, v, s from m where TIME_VAL >= ? order by TIME_VAL"));
        EXPECT_TRUE(statement.Bind(1.5, 1));
        EXPECT_FALSE(statement.Bind(1.5, 2));
        expectReadsAsNull(statement, 0);  // before the first row
        ASSERT_TRUE(statement.Step());
        EXPECT_EQ(statement.GetDouble(0), 2.0);
        EXPECT_EQ(statement.GetInt(0), 2);
        for (int col : {1, 2, 3, -1})
            expectReadsAsNull(statement, col);
        CDbStmt moved(std::move(statement));
        EXPECT_FALSE(statement.Step());
        ASSERT_TRUE(moved.Step());
        EXPECT_EQ(moved.GetDouble(1), 2.5);
        EXPECT_FALSE(moved.IsNull(2));
        EXPECT_FALSE(moved.Step());
        expectReadsAsNull(moved, 0);  // after the end

        ASSERT_TRUE(statement.Prepare(db, "select s from m order by TIME_VAL"));
        moved = std::move(statement);
        ASSERT_TRUE(moved.Step());
        EXPECT_EQ(moved.GetText(0), "Öltemp");  // as stored: UTF-8
        ASSERT_TRUE(moved.Prepare(db, "insert into m values(4, 4, 'x')"));
        EXPECT_FALSE(moved.Step());  // read-only
    }
    // A plain close succeeds only when every statement was finalized.
    EXPECT_EQ(sqlite3_close(db), SQLITE_OK);
}

// A statement that would run without end is stopped once its work exceeds
// what the database's size allows; the next operation has a budget again.
TEST(HostDb, WorkIsBoundedByTheDatabaseSize)
{
    testlib::TempDir dir;
    std::string path = dir.file("small.db");
    testlib::sqlite3(path, "create table t(v); insert into t values (1);");
    uint64_t bytes = 0;
    sqlite3* db = OpenDatabaseReadOnly(widestring(path), &bytes);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(bytes, testlib::readBytes(path).size());
    {
        SqlWorkLimit limit;
        limit.Attach(db, bytes);
        CDbStmt endless;
        ASSERT_TRUE(endless.Prepare(db, "WITH RECURSIVE r(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM r) "
                                        "SELECT count(*) FROM r"));
        testlib::StdoutCapture capture;
        EXPECT_FALSE(endless.Step());
        EXPECT_EQ(sqlite3_errcode(db), SQLITE_INTERRUPT);
        EXPECT_EQ(capture.text(), "A query needs more work than the size of the database allows; it was stopped\n");
        limit.Restart();
        CDbStmt read;
        ASSERT_TRUE(read.Prepare(db, "SELECT v FROM t") && read.Step());
        EXPECT_EQ(read.GetInt64(0), 1);
        EXPECT_TRUE(IsPlainTable(db, "t"));
        limit.Detach();
    }
    sqlite3_close(db);
    // Only regular files open: a FIFO would block the open.
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_EQ(OpenDatabaseReadOnly(widestring(dir.file("fifo"))), nullptr);
}
