// The support library against independent tools (the sqlite3 command,
// python3's datetime), in the locales, zones and folders a host may have.
#include <gtest/gtest.h>

#include "support/CFormat.h"
#include "support/CppSQLite3U.h"
#include "support/DbStmt.h"
#include "support/HostDb.h"
#include "support/LibUtils.h"
#include "support/Paths.h"
#include "support/Utf8.h"
#include "testlib/TestSupport.h"
#include "vantrel.h"

#include <cfloat>
#include <cmath>
#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <tuple>

namespace {

std::wstring failure(std::function<void()> const& operation)
{
    try {
        operation();
    } catch (CppSQLite3Exception const& e) {
        return e.errorMessage();
    }
    return L"(nothing thrown)";
}

// The layer's message for what the tool reports on sql: "Error: in prepare,
// TEXT" or "Error: stepping, TEXT (CODE)" (the tool leaves out SQLITE_ERROR).
std::wstring cliFailure(std::string const& database, std::string const& sql)
{
    std::string out = testlib::sqlite3(database, sql).output;
    std::string text = out.substr(out.find(", ", out.find("Error: ")) + 2);
    text.erase(text.find('\n'));
    size_t open = text.rfind(" (");
    int code = open != std::string::npos && text.back() == ')' ? std::stoi(text.substr(open + 2)) : SQLITE_ERROR;
    return CppSQLite3Exception(code, widestring(text.substr(0, code == SQLITE_ERROR ? text.size() : open)).c_str())
        .errorMessage();
}

}  // namespace

// Row 1 written by the tool and rows 2 and 3 bound by the layer are alike for
// the tool, UTF-8 names and a 100,000-character text included; the layer reads
// them back, NULL and empty values as the defaults.
TEST(SqlLayer, WhatOneWritesTheOtherReads)
{
    testlib::TempDir dir;
    std::string path = dir.file("types.db");
    testlib::sqlite3(path, "create table \"Öltemp\"(i integer, big, r real, \"T°C\" text, b blob, n);"
                           "insert into \"Öltemp\" values(42, 9223372036854775807, 0.1, 'T°C 😀', x'00ff10', NULL);");
    std::wstring longText;
    while (longText.size() < 100000)
        longText += L"T°C 😀 Öltemp ";
    CppSQLite3DB db;
    db.open(widestring(path).c_str());
    CppSQLite3Statement insert = db.compileStatement(L"insert into \"Öltemp\" values(?, ?, ?, ?, ?, ?)");
    unsigned char const bytes[] = {0x00, 0xff, 0x10};
    insert.bind(1, 42);
    insert.bind(2, 9223372036854775807LL);
    insert.bind(3, 0.1);
    insert.bind(4, L"T°C 😀");
    insert.bind(5, bytes, 3);
    insert.bind(6, static_cast<wchar_t const*>(nullptr));
    insert.execDML();
    insert.bind(4, longText.c_str());  // the other bindings stay
    EXPECT_EQ(insert.execDML() + db.lastRowId(), 4);
    insert.finalize();
    std::string rows = testlib::sqlite3(path, "select typeof(i), typeof(big), typeof(r), typeof(\"T°C\"), typeof(b), "
                                              "typeof(n), i, big, r, hex(b), hex(substr(\"T°C\", 1, 5)), "
                                              "length(\"T°C\") from \"Öltemp\"").output;
    std::string first = rows.substr(0, rows.find('\n') + 1);
    ASSERT_EQ(first.substr(0, 36), "integer|integer|real|text|blob|null|");
    EXPECT_EQ(rows, first + first + first.substr(0, first.rfind('|') + 1) + std::to_string(longText.size()) + "\n");

    CppSQLite3Query q = db.execQuery(L"select * from \"Öltemp\" order by rowid");
    EXPECT_EQ(mbstring(q.fieldDeclType(2)) + "\n",
              testlib::sqlite3(path, "select type from pragma_table_info('Öltemp') where name = 'r'").output);
    int length = -1;
    unsigned char const* blob = q.getBlobField(L"b", length);
    EXPECT_EQ(std::string(reinterpret_cast<char const*>(blob), length), std::string("\0\xff\x10", 3));
    EXPECT_EQ(std::make_tuple(q.fieldName(3), q.numFields(), q.fieldDataType(1), q.getIntField(L"i"),
                              q.getInt64Field(L"big"), q.getFloatField(2), q.fieldValue(L"T°C")),
              std::make_tuple(L"T°C", 6, SQLITE_INTEGER, 42, INT64_MAX, 0.1, L"T°C 😀"));
    std::wstring text = L"kept";  // NULL leaves it as it is
    EXPECT_EQ(q.getIntField(5, -3) + q.getInt64Field(5, -4) + q.getFloatField(L"n", 2.5), -4.5);
    EXPECT_FALSE(q.getStringField(L"n", text) || q.getBlobField(5, length) || length || !q.fieldIsNull(L"n"));
    q.nextRow();
    q.nextRow();
    EXPECT_TRUE(q.getStringField(3, text) && text == longText);
    q.nextRow();
    q.nextRow();  // stays at the end rather than running the query again
    EXPECT_TRUE(q.eof() && q.fieldIsNull(0));
    q = db.execQuery(L"select '', x''");  // empty, not NULL
    EXPECT_TRUE(q.getStringField(0, text) && text.empty() && !q.getBlobField(1, length) && !length);
    EXPECT_TRUE(db.tableExists(L"Öltemp") && !db.tableExists(L"x' or name='Öltemp"));
    EXPECT_EQ(db.execScalar(L"select '0x1F'") + db.execScalar(L"select '010'"), 39);
}

// The layer throws what the tool reports, also from a prepared statement that
// stays usable, and "NAME[code]: text" of its own.
TEST(SqlLayer, FailuresCarryTheCodesAndTextsOfTheCli)
{
    testlib::TempDir dir;
    testlib::ScopedChdir cd(dir.path());
    std::string path = "./file:errors.db?mode=ro";  // a name, not a URI
    testlib::sqlite3(path, "create table t(a unique); insert into t values(1), (-9223372036854775808);");
    testlib::writeText("text.db", "no database\n");  // opens, and fails at its first statement
    CppSQLite3DB db, text;
    db.open(L"file:errors.db?mode=ro");
    text.open(L"text.db");
    for (std::string sql : {"insert into t values(1)", "insert into t values(1, 2)", "selec 1", "select * from nope",
                            "select abs(a) from t", "select abs(a) from t order by a", "select * from sqlite_master"}) {
        CppSQLite3DB& on = sql == "select * from sqlite_master" ? text : db;
        EXPECT_EQ(failure([&] {
                      for (CppSQLite3Query q = on.execQuery(widestring(sql).c_str()); !q.eof(); q.nextRow()) {
                      }
                  }),
                  cliFailure(&on == &db ? path : "text.db", sql));
    }
    CppSQLite3Statement insert = db.compileStatement(L"insert into t values(?)"), select, empty;
    insert.bind(1, 1);
    EXPECT_EQ(failure([&] { insert.execDML(); }), cliFailure(path, "insert into t values(1)"));
    EXPECT_EQ(failure([&] { db.execDML(L"insert into t values(1)"); }), cliFailure(path, "insert into t values(1)"));
    insert.bind(1, 5);
    EXPECT_EQ(insert.execDML(), 1);
    select = db.compileStatement(L"select a from t");
    CppSQLite3Query rows = db.execQuery(L"select a from t");
    unsigned char const byte = 1;
    std::wstring const noVm = L"CPPSQLITE_ERROR[1000]: Null Virtual Machine pointer";
    std::wstring const cantOpen = L"SQLITE_CANTOPEN[14]: ";
    std::pair<std::function<void()>, std::wstring> const refusals[] = {
        {[&] { insert.bind(1, &byte, -1); }, L"SQLITE_MISUSE[21]: Error binding blob param"},
        {[&] { insert.bind(2, L"x"); }, L"SQLITE_RANGE[25]: Error binding string param"},
        {[&] { select.execDML(); }, L"SQLITE_ROW[100]: another row available"},
        {[&] { rows.getIntField(1); }, L"CPPSQLITE_ERROR[1000]: Invalid field index requested"},
        {[&] { rows.fieldIsNull(-1); }, L"CPPSQLITE_ERROR[1000]: Invalid field index requested"},
        {[&] { rows.fieldIndex(L"A"); }, L"CPPSQLITE_ERROR[1000]: Invalid field name requested"},
        {[&] { db.execScalar(L"select 1 where 0"); }, L"CPPSQLITE_ERROR[1000]: Invalid scalar query"},
        {[&] { empty.bind(1, 1); }, noVm},
        {[&] { CppSQLite3Query().eof(); }, noVm},
        {[&] { db.execQuery(L"-- nothing to run"); }, noVm},
        {[&] { CppSQLite3DB().execDML(L"select 1"); }, L"CPPSQLITE_ERROR[1000]: Database not open"},
        {[&] { CppSQLite3DB().open(L""); }, cantOpen + L"unable to open database file"},
        {[&] { CppSQLite3DB().open(L"."); }, cantOpen + L"not a regular file"},
        {[&] { CppSQLite3DB().open(L"\xD800"); }, cantOpen + L"the path cannot be named exactly in the current locale"},
        {[&] { db.open(L"missing/x.db"); }, cantOpen + L"unable to open database file"},
        {[&] { db.execDML(L"select 1"); }, L"CPPSQLITE_ERROR[1000]: Database not open"}};  // nothing left open
    for (auto const& [operation, message] : refusals)
        EXPECT_EQ(failure(operation), message);
}

// The primary result codes as SQLite's header names them (SQLITE_OK to
// SQLITE_DONE); those added after SQLITE_RANGE have no name here.
TEST(SqlLayer, ResultCodeNamesFollowSqlitesHeader)
{
    std::string header = testlib::readText("/usr/include/sqlite3.h");
    std::istringstream defines(header.substr(header.find("#define SQLITE_OK ")));
    char name[64];
    int code = -1;
    for (std::string line; code < SQLITE_DONE && std::getline(defines, line);) {
        if (std::sscanf(line.c_str(), "#define %63s %d", name, &code) == 2) {
            bool named = code <= SQLITE_RANGE || code == SQLITE_ROW || code == SQLITE_DONE;
            EXPECT_EQ(CppSQLite3Exception::errorCodeAsString(code), named ? widestring(name) : L"UNKNOWN_ERROR");
        }
    }
    EXPECT_EQ(code, SQLITE_DONE);
    EXPECT_STREQ(CppSQLite3Exception(SQLITE_BUSY, nullptr).errorMessage(), L"SQLITE_BUSY[5]: ");
}

// 500 signal columns make SQL texts far beyond the old fixed buffers; a
// statement inserts across a schema change too. A moved statement is finalized
// once: sqlite3_close refuses while any statement lives, and ASan sees one
// finalized twice. ":memory:" is a file.
TEST(SqlLayer, FiveHundredColumnsAndMovedStatements)
{
    testlib::TempDir dir;
    testlib::ScopedChdir cd(dir.path());
    std::wstring create = L"CREATE TABLE MessageData0001 (TIME_VAL REAL";
    std::wstring insertSql = L"INSERT INTO MessageData0001 VALUES (?";
    for (int i = 0; i < 500; ++i) {
        create += L", Signal" + std::to_wstring(i) + L" REAL";
        insertSql += L", ?";
    }
    CppSQLite3DB db;
    db.open(L":memory:");
    db.execDML((create + L")").c_str());
    CppSQLite3Statement first = db.compileStatement((insertSql + L")").c_str()), insert(std::move(first));
    EXPECT_EQ(failure([&] { first.bind(1, 1); }), L"CPPSQLITE_ERROR[1000]: Null Virtual Machine pointer");
    for (int row = 0; row < 3; ++row) {
        if (row == 1)
            db.execDML(L"create table later(v)");
        for (int param = 1; param <= 501; ++param)
            insert.bind(param, row * 1000.0 + param);
        EXPECT_EQ(insert.execDML(), 1);
    }
    CppSQLite3Statement select = db.compileStatement(L"select 1");
    select = db.compileStatement(L"select Signal499 from MessageData0001 where TIME_VAL >= ?");
    select.bind(1, 1500);
    EXPECT_EQ(select.execQuery().getFloatField(0), 2501.0);
    EXPECT_EQ(testlib::sqlite3("./:memory:", "select count(distinct TIME_VAL), min(Signal499 - Signal0), "
                                             "max(Signal499 - Signal0) from MessageData0001").output,
              "3|499.0|499.0\n");
    insert.finalize();
    select.finalize();
    EXPECT_NO_THROW(db.close());
}

// CDbStmt on a database HostDb opened read-only and defensively: a column
// that is not there (no statement, no row yet, out of range, NULL) reads as
// 0, 0, true, "", a misuse is a false result, and a statement that would run
// without end stops once its work exceeds what the database's size allows. A
// FIFO is refused at once: opening it would block. A database in WAL mode is
// read without a file appearing beside it, whatever bytes its name holds.
TEST(DbStmt, ReadsFailsWithoutHarmAndStopsEndlessWork)
{
    static_assert(!std::is_copy_constructible_v<CDbStmt> && std::is_nothrow_move_assignable_v<CDbStmt>);
    testlib::TempDir dir;
    std::string path = dir.file("records.db");
    testlib::sqlite3(path, "create table m(v, s text); create view w as select * from m;"
                           "insert into m values(NULL, 'Öltemp'), (2.5, '');");
    uint64_t bytes = 0;
    sqlite3* db = OpenDatabaseReadOnly(widestring(path), &bytes);
    ASSERT_TRUE(db && bytes == testlib::readBytes(path).size());
    int defensive = 0, trustedSchema = 1;
    sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, -1, &defensive);
    sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, -1, &trustedSchema);
    EXPECT_TRUE(defensive == 1 && trustedSchema == 0);
    auto readsAsNull = [](CDbStmt const& statement, int col) {
        return statement.GetDouble(col) + statement.GetInt(col) + statement.GetInt64(col) == 0 &&
               statement.IsNull(col) && statement.GetText(col).empty();
    };
    {
        CDbStmt statement, moved;
        EXPECT_FALSE(statement.Step() || statement.Bind(1.0, 1) || statement.Prepare(nullptr, "select 1"));
        for (char const* sql : {"select nothing from nowhere", "  -- a comment only", "insert into m values(4, 'x')"})
            EXPECT_FALSE(statement.Prepare(db, sql) && statement.Step()) << sql;  // the last one: read-only
        ASSERT_TRUE(statement.Prepare(db, "select v, s from m where rowid >= ?"));
        EXPECT_TRUE(statement.Bind(1.0, 1) && !statement.Bind(1.0, 2) && readsAsNull(statement, 0));
        ASSERT_TRUE(statement.Step());
        EXPECT_TRUE(readsAsNull(statement, 0) && readsAsNull(statement, 2) && readsAsNull(statement, -1));
        moved = std::move(statement);
        EXPECT_TRUE(readsAsNull(statement, 1) && moved.GetText(1) == "Öltemp" && moved.Step() && !statement.Step());
        CDbStmt last(std::move(moved));
        EXPECT_TRUE(last.GetDouble(0) == 2.5 && !last.IsNull(1) && !last.Step() && readsAsNull(last, 0));

        SqlWorkLimit limit;
        limit.Attach(db, bytes);
        ASSERT_TRUE(last.Prepare(db, "WITH RECURSIVE r(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM r) "
                                     "SELECT count(*) FROM r"));
        testlib::StdoutCapture capture;
        EXPECT_FALSE(last.Step());
        EXPECT_EQ(sqlite3_errcode(db), SQLITE_INTERRUPT);
        EXPECT_EQ(capture.text(), "A query needs more work than the size of the database allows; it was stopped\n");
        limit.Restart();  // the next operation has a budget again
        EXPECT_TRUE(last.Prepare(db, "SELECT count(*) FROM m") && last.Step() && last.GetInt(0) == 2);
        EXPECT_TRUE(IsPlainTable(db, "m") && !IsPlainTable(db, "w"));
        limit.Detach();
    }
    EXPECT_EQ(sqlite3_close(db), SQLITE_OK);  // only when every statement was finalized
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_EQ(OpenDatabaseReadOnly(widestring(dir.file("fifo"))), nullptr);
    const std::string wal = dir.file("w?#%&=\xC3\xA9\xFF .db");
    testlib::sqlite3(wal, "PRAGMA journal_mode = WAL; create table m(v); insert into m values(7);");
    db = OpenDatabaseReadOnly(WidePath(wal));
    CDbStmt seven;
    EXPECT_TRUE(db && seven.Prepare(db, "select v from m") && seven.Step() && seven.GetInt(0) == 7);
    seven.Finalize();
    sqlite3_close(db);
    EXPECT_FALSE(testlib::fileExists(wal + "-wal") || testlib::fileExists(wal + "-shm"));
}

// First of all: the comma locale must be found before the Latin-1 one is made.
TEST(CFormat, NumbersKeepAFullStopUnderACommaLocale)
{
    std::string comma = testlib::commaDecimalLocale();
    if (comma.empty())
        GTEST_SKIP() << "no comma-decimal locale installed and localedef could not make one";
    testlib::ScopedLocale scope(comma.c_str());
    ASSERT_EQ(std::to_string(1.5), "1,500000") << comma << " does not write a decimal comma";
    char* end = nullptr;
    EXPECT_TRUE(StrtodC("2.5;", &end) == 2.5 && *end == ';');
    EXPECT_EQ(FormatC("%.3f|%g", 1.5, 0.25), "1.500|0.25");
    EXPECT_EQ(FormatCW(L"%.17g", 0.1), L"0.10000000000000001");
}

// Whole texts, no padding and nothing cut, in the UTF-8 locale and the "C"
// locale (which counts as UTF-8); a Latin-1 locale writes '?' for what it
// cannot write. A byte that starts no character is taken as Latin-1 and the
// rest goes on; what is no Unicode scalar value becomes U+FFFD.
TEST(TextConversion, WholeTextsInEveryLocale)
{
    std::string latin1 = testlib::latin1Locale();
    ASSERT_FALSE(latin1.empty()) << "no ISO-8859-1 locale: the locale road of texts and paths went untested";
    struct {
        char const* locale;
        wchar_t const* wide;
        char const* narrow;
    } const samples[] = {{"C.UTF-8", L"Łódź € 😀", "\xC5\x81\xC3\xB3\x64\xC5\xBA \xE2\x82\xAC \xF0\x9F\x98\x80"},
                         {"C", L"Öltemp T°C", "\xC3\x96ltemp T\xC2\xB0\x43"},
                         {latin1.c_str(), L"Öl T°C € \u0141", "\xD6l T\xB0\x43 ? ?"}};
    std::wstring longText;
    while (longText.size() < 20000)
        longText += L"Öltemp T°C 😀 abc € ";
    for (auto const& s : samples) {
        testlib::ScopedLocale scope(s.locale);
        ASSERT_TRUE(scope.ok()) << s.locale;
        EXPECT_EQ(mbstring(s.wide), s.narrow) << s.locale;
        EXPECT_EQ(FormatCW(L"%s|%ls", s.narrow, s.wide), widestring(s.narrow) + L"|" + s.wide) << s.locale;
        if (s.locale == latin1)
            continue;
        EXPECT_EQ(widestring(s.narrow), s.wide) << s.locale;
        std::string narrow = mbstring(longText);
        EXPECT_EQ(widestring(narrow) + UnicodefromASCII(narrow.c_str(), -1), longText + longText) << s.locale;
        EXPECT_EQ(FormatC("%ls", longText.c_str()), Utf8FromWide(longText)) << s.locale;
        EXPECT_EQ(widestring("\xED\xA0\x80 \xF4\x90\x80\x80 \xC3\xFF"), L"\xED\xA0\x80 \xF4\x90\x80\x80 \xC3\xFF");
        for (wchar_t invalid : {wchar_t(0xD800), wchar_t(0x110000), wchar_t(-1)})
            EXPECT_EQ(mbstring(std::wstring(L"a") + invalid + L"b"), "a\xEF\xBF\xBD" "b") << s.locale;
        EXPECT_EQ(FormatCW(L"x%sy", "\xFF"), L"") << s.locale;  // does not convert
    }
    // The low byte of each character; at most count + 1 characters.
    EXPECT_EQ(ASCIIfromUnicode(std::wstring(20000, L'x') + L"\u0141 T\u00B0C"), std::string(20000, 'x') + "A T\xB0" "C");
    EXPECT_STREQ(UnicodefromASCII("abcdef", 2), L"abc");
}

// Anchored and case-sensitive; '*' takes zero or more characters; a
// malformed pattern matches nothing.
TEST(MatchField, PatternTable)
{
    struct {
        char const *pattern, *text;
        bool matches;
    } const cases[] = {
        {"", "", true}, {"", "Engine Speed", true}, {"abc", "abc", true}, {"abc", "abcd", false}, {"abc", "ab", false},
        {"Abc", "abc", false}, {"a?c", "abc", true}, {"a?c", "ac", false}, {"a\\*c", "a*c", true},
        {"a\\*c", "abc", false}, {"abc\\", "abc\\", false}, {"abc\\", "abc", false},
        {"HS CAN | 0x1A0", "HS CAN | 0x1A0", true},
        {"[a-c]x", "bx", true}, {"[a-c]x", "dx", false}, {"[-a]x", "-x", true}, {"[-a]x", "ax", true},
        {"[ab", "a", false}, {"[ab", "[ab", false}, {"[a-]", "a", false}, {"[a-]", "-", false}, {"[]x", "x", false},
        {"[c-a]", "b", false}, {"[!a]", "!", true}, {"[^a]", "b", false}, {"[\\]]", "]", true},
        {"[a\\-c]", "-", true}, {"[a\\-c]", "b", false}, {"[a\\", "a", false}, {"[a-c-e]", "d", true},
        {"[\xC0-\xFF]", "\xE9", true}, {"[a-\xC3]", "b", false},
        {"*", "", true}, {"*", "x", true}, {"**", "", true}, {"a*", "a", true}, {"a*", "ab", true}, {"a*c", "ac", true},
        {"a*c", "abbbc", true}, {"a*c", "abd", false}, {"*b*", "abc", true}, {"*b*", "acd", false},
        {"a*b*c", "aXbYc", true}, {"a*b*c", "aXcYb", false}, {"*ab", "aab", true}, {"*a?", "xxab", true},
        {"\\**", "*x", true}, {"\\**", "x*", false}, {"*[ab", "x[ab", false}};
    for (auto const& c : cases)
        EXPECT_EQ(MatchField(c.pattern, c.text), c.matches) << "pattern '" << c.pattern << "' text '" << c.text << "'";

    // No exponential backtracking: 200 stars over 100,000 characters.
    std::string text(100000, 'a'), stars;
    for (int i = 0; i < 200; ++i)
        stars += "*a";
    EXPECT_FALSE(MatchField(stars + "*b", text));
    EXPECT_TRUE(MatchField(stars + "*b", text + "b"));
    EXPECT_FALSE(MatchField(stars + "*b", text.substr(0, 199) + "b"));
    EXPECT_TRUE(MatchField("*" + text + "*", "x" + text + "y"));
    EXPECT_FALSE(MatchField("*?*?*b", text));
}

// Right clamps; an empty search text replaces nothing; repeats and "header"
// get the first free number, a later name keeps its own text, and the cut
// keeps 63 bytes of whole characters.
TEST(Strings, HelpersAndUniqueMatlabNames)
{
    std::wstring wide = L"\t x \t", blanks = L" \t ";
    TrimLeft(wide);
    TrimRight(wide);
    TrimRight(blanks);
    EXPECT_EQ(wide + blanks + L"|" + Right(L"abc", 2) + L"|" + Right(L"abc", 10), L"x|bc|abc");
    EXPECT_EQ(FindOneOf(L"  \tx y", L" \t"), 3u);  // the first character NOT in the set
    std::string replaced = "aaa", unchanged = "abc";
    ReplaceStringInPlace(replaced, "a", "aa");
    ReplaceStringInPlace(unchanged, "", "x");
    EXPECT_EQ(replaced + "|" + unchanged, "aaaaaa|abc");
    std::string const long63(63, 'y'), wide63 = std::string(60, 'x') + "\xC3\x9C" "z";
    std::vector<std::string> names = {"a", "a", "a_2", "a", "header", long63, long63, wide63, wide63};
    MakeMatlabNamesUnique(names);
    EXPECT_EQ(names, (std::vector<std::string>{"a", "a_3", "a_2", "a_4", "header_2", long63,
                                               std::string(61, 'y') + "_2", wide63, std::string(60, 'x') + "_2"}));
}

// A narrow path is the file's bytes and its wide form names the same file for
// every file function and for SQLite: bytes that decode to nothing are
// U+DC80..U+DCFF. A wide path with a character that has no exact byte form
// names no file.
TEST(Paths, NarrowAndWideFormsNameOneFile)
{
    std::string latin1 = testlib::latin1Locale();
    struct {
        char const* locale;
        char const* bytes;
        wchar_t const* wide;
    } const cases[] = {{"C.UTF-8", "\xED\xA0\x80\xC0\xAF", L"\xDCED\xDCA0\xDC80\xDCC0\xDCAF"},  // a surrogate, overlong
                       {"C", "\xC3\x96l \xC2\xB0" "C \xF0\x9F\x98\x80 t\xFF", L"Öl °C 😀 t\xDCFF"},
                       {latin1.c_str(), "\xC3\x96l t\xFF", L"Ã\u0096l tÿ"}};
    testlib::TempDir dir;
    for (auto const& c : cases) {
        testlib::ScopedLocale scope(c.locale);
        ASSERT_TRUE(scope.ok() && !latin1.empty()) << c.locale;
        EXPECT_EQ(WidePath(c.bytes), c.wide) << c.locale;
        EXPECT_EQ(PathBytes(c.wide).value_or("none"), c.bytes) << c.locale;
        for (wchar_t const* none : {L"\xD800", L"\xDC41", L"\x110000", c.locale == latin1 ? L"€" : L"\xDBFF"})
            EXPECT_FALSE(PathBytes(std::wstring(L"a") + none)) << c.locale;
        std::wstring path = WidePath(dir.path()) + L"/" + c.wide;
        std::fclose(Owfopen(path.c_str(), L"wte"));
        EXPECT_TRUE(testlib::fileExists(dir.file(c.bytes)) && FileExists(path.c_str()) && DeleteFile(path.c_str()));
        EXPECT_FALSE(ExportFileExists(path.c_str()) || RemoveFile(path.c_str())) << c.locale;
        CppSQLite3DB().open(path.c_str());
        EXPECT_TRUE(testlib::fileExists(dir.file(c.bytes)) && RemoveFile(path.c_str())) << c.locale;
    }
    testlib::StdoutCapture capture;
    EXPECT_FALSE(CheckPaths({L"x", nullptr, L"a\xD800"}));
    EXPECT_EQ(capture.text(), "Path a\xEF\xBF\xBD cannot be named exactly in the current locale\n");
}

// A JSON argument is an existing file's contents, all its bytes (a folder,
// never read, fails without a message), or else JSON text; anything else gets
// the message, cut at 1023 bytes and with its '%' verbatim.
TEST(Files, JsonArgumentAndDiagnostics)
{
    testlib::TempDir dir;
    std::string contents = "{\"channels\": [\"\xC3\x96ltemp\"]}\n" + std::string(200000, ' ') + std::string(3, '\0');
    testlib::writeText(dir.file("list.json"), contents);
    std::string out, missing = dir.file(std::string(2000, 'm') + "%d");
    EXPECT_TRUE(ReadFileToString(widestring(dir.file("list.json")).c_str(), out) && out == contents);
    EXPECT_TRUE(ReadFileToString(L"{\"channels\": [\"Öltemp\"]}", out) && out == "{\"channels\": [\"\xC3\x96ltemp\"]}");
    testlib::StdoutCapture capture;
    for (std::string name : {dir.path(), missing})
        EXPECT_FALSE(ReadFileToString(widestring(name).c_str(), out)) << name;
    DebugOutput("100% %s %d");
    EXPECT_EQ(capture.text(), ("Could not open file " + missing).substr(0, 1023) + "\n100% %s %d\n");
}

// "./kvxexport.cfg" of the working directory: the first line of a name wins,
// without the '\r' of a CRLF file; numbers read as strtoul reads them; a line
// is read in pieces of 4095 bytes. A folder in its place holds nothing.
TEST(Settings, NamedValuesFirstLineWins)
{
    testlib::TempDir dir;
    testlib::ScopedChdir cd(dir.path());
    wchar_t const key[] = L"Software\\norvaneinc\\Kalderon\\Plotter\\General";
    std::filesystem::create_directory("kvxexport.cfg");
    EXPECT_EQ(ReadRegStringValue(0, key, L"WriteUnits", nullptr) + ReadRegStringValue(0, key, L"x", L"d"), L"d");
    std::filesystem::remove("kvxexport.cfg");
    testlib::writeText("kvxexport.cfg", "WriteUnits=1\r\nWriteUnits=0\nWriteUnits = 7\na line without an equals sign\n"
                                        "MDF Extension=.mf4\r\nLong=" + std::string(5000, 'v') + "\nLast= 0x10 a=3");
    struct {
        wchar_t const* name;
        unsigned number;
        std::wstring text;
    } const settings[] = {{L"WriteUnits", 1, L"1"}, {L"WriteUnits ", 7, L" 7"}, {L"writeunits", 99, L"default"},
                          {L"MDF Extension", 0, L".mf4"}, {L"Long", 0, std::wstring(4090, L'v')},
                          {L"Last", 16, L" 0x10 a=3"}};
    for (auto const& s : settings) {
        EXPECT_EQ(ReadRegValue(0, key, s.name, 99), s.number) << s.name;
        EXPECT_EQ(ReadRegStringValue(0, key, s.name, L"default"), s.text) << s.name;
    }
}

// "date|time|twelve-hour time|two-digit date|two-digit time" of 100-ns ticks
// since 1601.
std::string ours(unsigned long long ticks)
{
    std::string date, time, date12, time12, date02, time02;
    FormatDateAndTime(ticks, false, date, time);
    FormatDateAndTime(ticks, true, date12, time12);
    FormatDateAndTime02(ticks, date02, time02);
    return date + (date12 == date ? "|" : "|(not " + date12 + ")") + time + "|" + time12 + "|" + date02 + "|" + time02;
}

// Against python3's datetime, in three time zones (g_bUseLocalTime) and in UTC
// whatever the process's zone: 2007-01-01 and its noon hours, the two-digit
// years either side of 2000, the start of 1970 and the second before it, 2038,
// 2100, two changes of daylight saving time, and in UTC 1601-01-01 (tick 0),
// 1870 and 9999-12-31 23:59:59. Beyond the range the ticks saturate and the
// date stops at the first or last second.
TEST(Dates, TextsAgreeWithPython)
{
    std::string const script =
        "import datetime, sys, zoneinfo\n"
        "for s in map(int, sys.argv[2:]):\n"
        "    d = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc) + datetime.timedelta(seconds=s)\n"
        "    d = d.astimezone(zoneinfo.ZoneInfo(sys.argv[1]))\n"
        "    yy, half = d.year - (2000 if d.year >= 2000 else 1900), 'AM' if d.hour < 12 else 'PM'\n"
        "    print(f'{d.year}/{d.month}/{d.day}|{d.hour}:{d.minute}:{d.second}|{d.hour % 12 or 12}:{d.minute}:'\n"
        "          f'{d.second} {half}|{d.month:02d}-{d.day:02d}-{yy:02d}|{d:%H:%M:%S}')\n";
    std::vector<long long> seconds = {1167609600, 1167652800, 1167654605, 1167658205, 1683450303, 952146367, 946684799,
                                      0,          -1,         2147483648, 4102444800, 1679792400, 1698541200};
    for (char const* zone : {"Europe/Berlin", "America/New_York", "Asia/Kolkata", "UTC"}) {
        bool utc = zone == std::string("UTC");
        testlib::ScopedEnv tz("TZ", utc ? "America/New_York" : zone);
        g_bUseLocalTime = !utc;
        if (utc)
            seconds.insert(seconds.end(), {-11644473600LL, -86400LL * 365 * 100, 253402300799LL});
        std::string command = testlib::python() + " -c " + testlib::shellQuote(script) + " " + zone, texts;
        for (long long s : seconds) {
            command += " " + std::to_string(s);
            texts += ours((s + 11644473600LL) * 10000000ULL) + "\n";
        }
        EXPECT_EQ(texts, testlib::run(command).output) << zone;
    }
    g_bUseLocalTime = false;
    EXPECT_EQ(TicksFromTime(45005.0), (1167654605 + 11644473600ULL) * 10000000ULL);  // seconds since 2007
    for (double before : {-1e300, double(NAN)})
        EXPECT_EQ(ours(TicksFromTime(before)), ours(0));
    for (unsigned long long after : {TicksFromTime(DBL_MAX), (253402300800ULL + 11644473600ULL) * 10000000ULL, ~0ULL})
        EXPECT_EQ(ours(after), ours((253402300799ULL + 11644473600ULL) * 10000000ULL));
}
