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

// CppSQLite3Exception and CppSQLite3DB are part of the C++ interface hosts
// use to drive an export; they are declared there, once.
#include "vantrel_export.h"

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
    // Unchecked reads for row loops that checked their columns once (a
    // column that exists, a query on a row). SQLite reads NULL as 0, so only
    // a 0 needs a second look.
    double columnDouble(int col, double nullValue) const
    {
        const double value = sqlite3_column_double(m_pVM, col);
        return value == 0.0 && sqlite3_column_type(m_pVM, col) == SQLITE_NULL ? nullValue : value;
    }
    long long columnInt64(int col, long long nullValue) const
    {
        const long long value = sqlite3_column_int64(m_pVM, col);
        return value == 0 && sqlite3_column_type(m_pVM, col) == SQLITE_NULL ? nullValue : value;
    }
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
