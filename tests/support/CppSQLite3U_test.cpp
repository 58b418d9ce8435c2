// The SQL access layer checked against the sqlite3 command-line tool: what
// one writes the other reads, and both report the same failures.
#include <gtest/gtest.h>

#include "support/CppSQLite3U.h"
#include "support/LibUtils.h"
#include "testlib/TestSupport.h"

#include <fstream>
#include <sstream>
#include <type_traits>

using testlib::TempDir;

namespace {

std::wstring W(std::string const& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

template <class Operation>
std::wstring failure(Operation operation)
{
    try {
        operation();
    } catch (CppSQLite3Exception const& e) {
        return e.errorMessage();
    }
    return L"(nothing thrown)";
}

std::wstring ownError(wchar_t const* text)
{
    return std::wstring(L"CPPSQLITE_ERROR[1000]: ") + text;
}

// The message the layer must throw for what the tool reports on sql:
// "Error: stepping, TEXT (CODE)" or "Error: in prepare, TEXT" (the tool
// leaves out the code SQLITE_ERROR).
std::wstring cliFailure(std::string const& database, std::string const& sql)
{
    std::string out = testlib::sqlite3(database, sql).output;
    size_t start = out.find("Error: ");
    if (start == std::string::npos)
        return L"(no error from sqlite3: " + W(out) + L")";
    std::string line = out.substr(start + 7, out.find('\n', start) - start - 7);
    line.erase(0, line.find(", ") + 2);
    int code = SQLITE_ERROR;
    size_t open = line.rfind(" (");
    if (open != std::string::npos && line.back() == ')') {
        code = std::stoi(line.substr(open + 2));
        line.erase(open);
    }
    return CppSQLite3Exception(code, W(line).c_str()).errorMessage();
}

std::string firstLine(std::string const& database, std::string const& sql)
{
    std::string out = testlib::sqlite3(database, sql).output;
    return out.substr(0, out.find('\n'));
}

}  // namespace

TEST(SqlException, MessageFormAndResultCodeNames)
{
    CppSQLite3Exception scalar(CPPSQLITE_ERROR, L"Invalid scalar query");
    EXPECT_EQ(scalar.errorCode(), 1000);
    EXPECT_STREQ(CppSQLite3Exception(scalar).errorMessage(), L"CPPSQLITE_ERROR[1000]: Invalid scalar query");
    EXPECT_STREQ(CppSQLite3Exception(SQLITE_BUSY, nullptr).errorMessage(), L"SQLITE_BUSY[5]: ");
    EXPECT_STREQ(CppSQLite3Exception::errorCodeAsString(-1), L"UNKNOWN_ERROR");

    // The primary result codes as SQLite's header names them, from SQLITE_OK
    // to SQLITE_DONE; those added after SQLITE_RANGE have no name here.
    std::ifstream header("/usr/include/sqlite3.h");
    int checked = 0;
    for (std::string line; std::getline(header, line) && checked < 31;) {
        std::istringstream words(line);
        std::string define, name, value;
        words >> define >> name >> value;
        if (define != "#define" || (checked == 0 && name != "SQLITE_OK") || !std::isdigit(value[0]))
            continue;
        int code = std::stoi(value);
        bool named = code <= SQLITE_RANGE || code == SQLITE_ROW || code == SQLITE_DONE;
        EXPECT_EQ(CppSQLite3Exception::errorCodeAsString(code), named ? W(name) : L"UNKNOWN_ERROR");
        ++checked;
    }
    EXPECT_EQ(checked, 31);
}

TEST(SqlLayer, ReadsWhatTheCliWrites)
{
    TempDir dir;
    std::string path = dir.file("types.db");
    testlib::sqlite3(path, "create table t(i integer, big, r real, s text, b blob, n);"
                           "insert into t values(42, 9223372036854775807, 0.1, 'T°C 😀', x'00ff10', NULL);"
                           "insert into t values(-7, -1, -2.5e300, '', x'', NULL);");
    CppSQLite3DB db;
    db.open(W(path).c_str());
    CppSQLite3Query q = db.execQuery(L"select * from t order by rowid");
    ASSERT_FALSE(q.eof());
    int const types[] = {SQLITE_INTEGER, SQLITE_INTEGER, SQLITE_FLOAT, SQLITE_TEXT, SQLITE_BLOB, SQLITE_NULL};
    for (int col = 0; col < 6; ++col)
        EXPECT_EQ(q.fieldDataType(col), types[col]) << col;
    EXPECT_EQ(q.getIntField(0), 42);
    EXPECT_EQ(q.getInt64Field(L"big"), 9223372036854775807LL);
    EXPECT_EQ(q.getFloatField(2), 0.1);
    std::wstring text;
    EXPECT_TRUE(q.getStringField(3, text));
    EXPECT_EQ(text, L"T°C 😀");
    int length = -1;
    unsigned char const* blob = q.getBlobField(L"b", length);
    ASSERT_EQ(length, 3);
    EXPECT_EQ(std::string(reinterpret_cast<char const*>(blob), 3), std::string("\0\xff\x10", 3));
    EXPECT_EQ(q.fieldDeclType(2), W(firstLine(path, "select type from pragma_table_info('t') where name = 'r'")));

    // NULL gives the defaults and leaves the text as it was.
    EXPECT_EQ(q.getIntField(5, -3) + q.getInt64Field(5, -4) + q.getFloatField(5, 2.5), -4.5);
    EXPECT_FALSE(q.getStringField(L"n", text));
    EXPECT_EQ(text, L"T°C 😀");
    EXPECT_EQ(q.getBlobField(5, length), nullptr);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(failure([&] { q.getIntField(6); }), ownError(L"Invalid field index requested"));
    EXPECT_EQ(failure([&] { q.fieldIsNull(-1); }), ownError(L"Invalid field index requested"));
    EXPECT_EQ(failure([&] { q.fieldIndex(L"S"); }), ownError(L"Invalid field name requested"));

    q.nextRow();
    EXPECT_TRUE(q.getStringField(3, text));  // empty, not NULL
    EXPECT_EQ(text, L"");
    EXPECT_EQ(q.getBlobField(4, length), nullptr);
    q.nextRow();
    q.nextRow();  // stays at the end rather than running the query again
    EXPECT_TRUE(q.eof());
    EXPECT_TRUE(q.fieldIsNull(0));

    EXPECT_EQ(db.execScalar(L"select '0x1F'") + db.execScalar(L"select '010'"), 39);
    EXPECT_EQ(failure([&] { db.execScalar(L"select 1 where 0"); }), ownError(L"Invalid scalar query"));
    EXPECT_TRUE(db.tableExists(L"t"));
    EXPECT_FALSE(db.tableExists(L"x' or name='t"));
}

TEST(SqlLayer, CliReadsWhatTheLayerBinds)
{
    TempDir dir;
    std::string path = dir.file("bound.db");
    std::wstring longText;
    while (longText.size() < 100000)
        longText += L"Öltemp T°C 😀 ";
    CppSQLite3DB db;
    db.open(W(path).c_str());
    db.execDML(L"create table t(i, big, r, s, b, n)");
    CppSQLite3Statement insert = db.compileStatement(L"insert into t values(?, ?, ?, ?, ?, ?)");
    unsigned char const bytes[] = {0x00, 0xff, 0x10};
    insert.bind(1, 42);
    insert.bind(2, 1LL << 40);
    insert.bind(3, 0.1);
    insert.bind(4, L"Öltemp T°C 😀");
    insert.bind(5, bytes, 3);
    insert.bindNull(6);
    EXPECT_EQ(insert.execDML(), 1);
    // The statement keeps its other bindings for the next row.
    insert.bind(4, static_cast<wchar_t const*>(nullptr));
    insert.bind(5, bytes, 0);
    EXPECT_EQ(insert.execDML(), 1);
    insert.bind(4, longText.c_str());
    EXPECT_EQ(insert.execDML(), 1);
    EXPECT_EQ(db.lastRowId(), 3);
    insert.finalize();
    db.close();
    EXPECT_EQ(testlib::sqlite3(path, "select typeof(i), typeof(big), typeof(r), typeof(s), typeof(b), typeof(n), "
                                     "i, big, r = 0.1, hex(s), hex(b) from t where rowid < 3")
                  .output,
              "integer|integer|real|text|blob|null|42|1099511627776|1|C3966C74656D702054C2B04320F09F9880|00FF10\n"
              "integer|integer|real|null|blob|null|42|1099511627776|1||\n");
    EXPECT_EQ(firstLine(path, "select length(s) from t where rowid = 3"), std::to_string(longText.size()));
}

TEST(SqlLayer, FailuresCarryTheCodesAndTextsOfTheCli)
{
    TempDir dir;
    std::string path = dir.file("errors.db");
    testlib::sqlite3(path, "create table t(a unique); insert into t values(1), (-9223372036854775808);");
    CppSQLite3DB db;
    db.open(W(path).c_str());
    for (std::string sql : {"insert into t values(1)", "insert into t values(1, 2)", "selec 1", "select * from nope",
                            "select abs(a) from t"}) {
        std::wstring expected = cliFailure(path, sql);
        if (sql[0] == 'i') {
            EXPECT_EQ(failure([&] { db.execDML(W(sql).c_str()); }), expected);
        }
        EXPECT_EQ(failure([&] {
                      for (CppSQLite3Query q = db.execQuery(W(sql).c_str()); !q.eof(); q.nextRow()) {
                      }
                  }),
                  expected);
    }
    // A prepared statement throws the same and stays usable.
    CppSQLite3Statement insert = db.compileStatement(L"insert into t values(?)");
    insert.bind(1, 1);
    EXPECT_EQ(failure([&] { insert.execDML(); }), cliFailure(path, "insert into t values(1)"));
    insert.bind(1, 5);
    EXPECT_EQ(insert.execDML(), 1);
    EXPECT_EQ(failure([&] { insert.bind(2, L"x"); }), L"SQLITE_RANGE[25]: Error binding string param");
    EXPECT_EQ(failure([&] { insert.bind(0, 1LL); }), L"SQLITE_RANGE[25]: Error binding int64 pararm");
    unsigned char const byte = 1;
    EXPECT_EQ(failure([&] { insert.bind(1, &byte, -1); }), L"SQLITE_MISUSE[21]: Error binding blob param");
    CppSQLite3Statement select = db.compileStatement(L"select a from t");
    EXPECT_EQ(failure([&] { select.execDML(); }), L"SQLITE_ROW[100]: another row available");

    CppSQLite3Statement empty;
    EXPECT_EQ(failure([&] { empty.bind(1, 1); }), ownError(L"Null Virtual Machine pointer"));
    EXPECT_EQ(failure([&] { CppSQLite3Query().eof(); }), ownError(L"Null Virtual Machine pointer"));
    EXPECT_EQ(failure([&] { db.execQuery(L"-- nothing to run"); }), ownError(L"Null Virtual Machine pointer"));
    EXPECT_EQ(failure([&] { CppSQLite3DB().execDML(L"select 1"); }), ownError(L"Database not open"));

    // A file that is no database opens and fails at its first statement;
    // one that cannot be opened leaves no connection behind (ASan's leak
    // check sees one).
    testlib::writeText(dir.file("text.db"), "no database\n");
    CppSQLite3DB text;
    text.open(W(dir.file("text.db")).c_str());
    std::string sql = "select * from sqlite_master";
    EXPECT_EQ(failure([&] { text.execQuery(W(sql).c_str()); }), cliFailure(dir.file("text.db"), sql));
    std::string missing = dir.file("missing/x.db");
    EXPECT_NE(firstLine(missing, "select 1").find("unable to open database file"), std::string::npos);
    EXPECT_EQ(failure([&] { text.open(W(missing).c_str()); }), L"SQLITE_CANTOPEN[14]: unable to open database file");
    EXPECT_EQ(failure([&] { text.execDML(L"select 1"); }), ownError(L"Database not open"));
}

TEST(SqlLayer, FiveHundredSignalTable)
{
    TempDir dir;
    std::string path = dir.file("wide.db");
    std::wstring create = L"CREATE TABLE MessageData0001 (TIME_VAL REAL", insertSql = L"INSERT INTO MessageData0001 VALUES (?";
    for (int i = 0; i < 500; ++i) {
        create += L", Signal" + std::to_wstring(i) + L" REAL";
        insertSql += L", ?";
    }
    ASSERT_GT(create.size(), 4096u * 1.5);
    CppSQLite3DB db;
    db.open(W(path).c_str());
    db.execDML((create + L")").c_str());
    CppSQLite3Statement insert = db.compileStatement((insertSql + L")").c_str());
    for (int row = 0; row < 3; ++row) {
        for (int param = 1; param <= 501; ++param)
            insert.bind(param, row * 1000.0 + param);
        insert.execDML();
    }
    CppSQLite3Query q = db.execQuery(L"select * from MessageData0001 order by TIME_VAL");
    EXPECT_EQ(q.numFields(), 501);
    EXPECT_EQ(q.getFloatField(L"Signal499"), 501.0);
    EXPECT_EQ(firstLine(path, "select count(*) from pragma_table_info('MessageData0001')"), "501");
    EXPECT_EQ(firstLine(path, "select sum(Signal499), max(Signal0) from MessageData0001"), "4503.0|2002.0");
}

TEST(SqlLayer, ReusedAndMovedStatementsAreFinalizedOnce)
{
    static_assert(!std::is_copy_constructible_v<CppSQLite3Statement> && !std::is_copy_assignable_v<CppSQLite3Query>);
    TempDir dir;
    std::string path = dir.file("reuse.db");
    CppSQLite3DB db;
    db.open(W(path).c_str());
    db.execDML(L"create table t(k integer primary key, v)");
    db.execDML(L"begin");
    CppSQLite3Statement first = db.compileStatement(L"insert into t(v) values(?)");
    CppSQLite3Statement insert(std::move(first));
    EXPECT_EQ(failure([&] { first.bind(1, 1); }), ownError(L"Null Virtual Machine pointer"));
    int changed = 0;
    for (int i = 1; i <= 1000; ++i) {
        insert.bind(1, i * 0.5);
        changed += insert.execDML();
    }
    db.execDML(L"commit");
    db.execDML(L"create table later(v)");  // a statement outlives a schema change
    insert.bind(1, 0.0);
    changed += insert.execDML();
    EXPECT_EQ(changed, 1001);
    EXPECT_EQ(firstLine(path, "select count(*), sum(v) from t"), "1001|250250.0");

    // One borrowing query per execution, the statement reset in between.
    CppSQLite3Statement select = db.compileStatement(L"select 1");
    select = db.compileStatement(L"select v from t where k >= ? order by k");
    for (int k : {998, 1002, 1}) {
        select.bind(1, k);
        CppSQLite3Query q = select.execQuery();
        EXPECT_EQ(q.getFloatField(0, -1), k > 1001 ? -1 : k * 0.5);
        select.reset();
    }
    CppSQLite3Query owner = db.execQuery(L"select k from t");
    CppSQLite3Query moved(std::move(owner));
    EXPECT_EQ(failure([&] { owner.eof(); }), ownError(L"Null Virtual Machine pointer"));
    moved = db.execQuery(L"select k from t where k > 1");
    EXPECT_EQ(moved.getIntField(0), 2);
    moved = CppSQLite3Query();
    // Failures at the first and at a later row.
    for (wchar_t const* row : {L"1", L"2"}) {
        std::wstring sql = L"select abs(case k when " + std::wstring(row) + L" then -9223372036854775807 - 1 else k end) from t";
        EXPECT_NE(failure([&] {
                      for (CppSQLite3Query q = db.execQuery(sql.c_str()); !q.eof(); q.nextRow()) {
                      }
                  }),
                  L"(nothing thrown)");
    }
    insert.finalize();
    select.finalize();
    // sqlite3_close refuses (SQLITE_BUSY) while any statement is alive, and
    // a statement finalized twice shows under ASan.
    EXPECT_NO_THROW(db.close());
}

TEST(SqlLayer, Utf8NamesRoundTrip)
{
    TempDir dir;
    std::string path = dir.file("utf8.db");
    CppSQLite3DB db;
    db.open(W(path).c_str());
    db.execDML(L"create table \"Öltemp\" (\"T°C\" text)");
    db.execDML(L"insert into \"Öltemp\" values('Łódź')");
    EXPECT_TRUE(db.tableExists(L"Öltemp"));
    {
        CppSQLite3Query q = db.execQuery(L"select \"T°C\" from \"Öltemp\"");
        EXPECT_EQ(q.fieldName(0), L"T°C");
        EXPECT_EQ(q.fieldValue(L"T°C"), L"Łódź");
    }
    db.close();
    EXPECT_EQ(firstLine(path, "select hex(name) from sqlite_master"), "C3966C74656D70");
    EXPECT_EQ(firstLine(path, "select hex(name) from pragma_table_info('Öltemp')"), "54C2B043");
    EXPECT_EQ(firstLine(path, "select hex(\"T°C\") from \"Öltemp\""), "C581C3B364C5BA");
}

TEST(SqlLayer, NamesSqliteWouldReadOtherwiseAreFiles)
{
    TempDir dir;
    testlib::ScopedChdir cd(dir.path());
    for (std::wstring name : {L"file:x.db?mode=ro", L":memory:"}) {
        CppSQLite3DB db;
        db.open(name.c_str());
        db.execDML(L"create table t(v)");
        db.close();
        EXPECT_TRUE(FileExists(name.c_str()));
    }
    EXPECT_EQ(failure([&] { CppSQLite3DB().open(L""); }), L"SQLITE_CANTOPEN[14]: unable to open database file");
}
