// The SQL access layer over SQLite with a wide-text interface: connections,
// compiled statements with parameter binding and result cursors. Every
// failure is thrown as CppSQLite3Exception.
//
// Text crosses into SQLite (SQL text, bound text, column names) and out of it
// as UTF-8, so names beyond ASCII survive a round trip; paths reach SQLite
// byte for byte (Paths.h), and connections are defensive (HostDb.h).
//
// Ownership of a compiled statement moves with the object that holds it (the
// source of a move is left empty), so exactly one object finalizes it: the
// CppSQLite3Statement that compiled it or the CppSQLite3Query returned by
// CppSQLite3DB::execQuery. A query made by CppSQLite3Statement::execQuery
// borrows the statement, which must outlive it and be reset before its next
// execution. Statements and queries must be destroyed before their
// CppSQLite3DB.
#pragma once

#include <sqlite3.h>
#include <string>

// Result code of the layer's own errors.
constexpr int CPPSQLITE_ERROR = 1000;

class CppSQLite3Exception {
public:
    // The message reads "NAME[code]: text". With freeText set, a non-null
    // text is released with sqlite3_free once the message is composed.
    CppSQLite3Exception(int errorCode, wchar_t const* errorText, bool freeText = false);
    CppSQLite3Exception(CppSQLite3Exception const& other) = default;
    CppSQLite3Exception& operator=(CppSQLite3Exception const& other) = default;
    virtual ~CppSQLite3Exception() = default;

    int errorCode() const { return m_nErrCode; }
    wchar_t const* errorMessage() const { return m_errMessage.c_str(); }

    static wchar_t const* errorCodeAsString(int errorCode);

private:
    int m_nErrCode;
    std::wstring m_errMessage;
};

class CppSQLite3Query {
public:
    // An empty query: at its end, no columns, owning nothing.
    CppSQLite3Query() = default;
    CppSQLite3Query(sqlite3* db, sqlite3_stmt* vm, bool eof, bool ownVM);
    CppSQLite3Query(CppSQLite3Query&& other) noexcept;
    CppSQLite3Query& operator=(CppSQLite3Query&& other) noexcept;
    CppSQLite3Query(CppSQLite3Query const&) = delete;
    CppSQLite3Query& operator=(CppSQLite3Query const&) = delete;
    virtual ~CppSQLite3Query();

    bool eof() const;
    int numFields() const;
    void nextRow();

    int fieldIndex(wchar_t const* name) const;
    std::wstring fieldName(int col) const;
    std::wstring fieldDeclType(int col) const;
    // sqlite3_column_type of the current row; SQLITE_NULL when there is none.
    int fieldDataType(int col) const;

    std::wstring fieldValue(int col) const;
    std::wstring fieldValue(wchar_t const* name) const;
    bool fieldIsNull(int col) const;
    bool fieldIsNull(wchar_t const* name) const;
    int getIntField(int col, int nullValue = 0) const;
    int getIntField(wchar_t const* name, int nullValue = 0) const;
    long long getInt64Field(int col, int nullValue = 0) const;
    long long getInt64Field(wchar_t const* name, int nullValue = 0) const;
    double getFloatField(int col, double nullValue = 0.0) const;
    double getFloatField(wchar_t const* name, double nullValue = 0.0) const;
    // NULL: false, out unchanged. Otherwise out is the column's text.
    bool getStringField(int col, std::wstring& out) const;
    bool getStringField(wchar_t const* name, std::wstring& out) const;
    // The column's bytes, valid until the next step; null with length 0 for
    // NULL and empty values.
    unsigned char const* getBlobField(int col, int& length) const;
    unsigned char const* getBlobField(wchar_t const* name, int& length) const;

private:
    void checkVM() const;
    void checkField(int col) const;
    bool onRow() const;
    // Finalizes an owned statement; the error, if any, is SQLite's result.
    int release() noexcept;

    sqlite3* m_pDB = nullptr;
    sqlite3_stmt* m_pVM = nullptr;
    bool m_bEof = true;
    int m_nCols = 0;
    bool m_bOwnVM = false;
};

class CppSQLite3Statement {
public:
    CppSQLite3Statement() = default;
    CppSQLite3Statement(sqlite3* db, sqlite3_stmt* vm);
    CppSQLite3Statement(CppSQLite3Statement&& other) noexcept;
    // Finalizes the held statement (errors swallowed), then takes the other's.
    CppSQLite3Statement& operator=(CppSQLite3Statement&& other) noexcept;
    CppSQLite3Statement(CppSQLite3Statement const&) = delete;
    CppSQLite3Statement& operator=(CppSQLite3Statement const&) = delete;
    virtual ~CppSQLite3Statement();

    // Runs the statement once and returns the number of changed rows; the
    // statement is reset and keeps its bindings for the next row.
    int execDML();
    // A query on the first row (or at its end) that borrows this statement.
    CppSQLite3Query execQuery();

    // Parameter indexes count from 1. Text is bound as UTF-8; a null text
    // binds NULL. Every binding is copied by SQLite.
    void bind(int param, wchar_t const* value);
    void bind(int param, int value);
    void bind(int param, double value);
    void bind(int param, long long value);
    void bind(int param, unsigned char const* blob, int length);
    void bindNull(int param);

    void reset();
    void finalize();

private:
    void checkDB() const;
    void checkVM() const;

    sqlite3* m_pDB = nullptr;
    sqlite3_stmt* m_pVM = nullptr;
};

class CppSQLite3DB {
public:
    CppSQLite3DB() = default;
    CppSQLite3DB(CppSQLite3DB const&) = delete;
    CppSQLite3DB& operator=(CppSQLite3DB const&) = delete;
    virtual ~CppSQLite3DB();

    // Opens (creating when missing) the database file for reading and
    // writing. A connection already open is closed first.
    void open(wchar_t const* path);
    void close();
    void setBusyTimeout(int milliseconds);

    CppSQLite3Statement compileStatement(wchar_t const* sql);
    CppSQLite3Query execQuery(wchar_t const* sql);
    // Runs sql once; true when finalizing the statement reported a failure.
    bool execDML(wchar_t const* sql);
    // The first column of the first row as an integer (0x hexadecimal and
    // leading-0 octal recognised).
    int execScalar(wchar_t const* sql);
    bool tableExists(wchar_t const* table);
    sqlite3_int64 lastRowId() const;

private:
    void checkDB() const;
    sqlite3_stmt* compile(wchar_t const* sql);
    // Compiles and steps once, compiling again while SQLite reports that the
    // schema changed under the statement. Returns a statement on its first
    // row (result SQLITE_ROW) or at its end (SQLITE_DONE).
    sqlite3_stmt* compileAndStep(wchar_t const* sql, int& result);

    sqlite3* m_pDB = nullptr;
    int m_nBusyTimeoutMs = 60000;
};
