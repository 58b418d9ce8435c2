// A prepared statement with bool results for the record access interface,
// which opens its own read-only connections. Never throws. Text goes to and
// comes from SQLite unchanged (UTF-8).
#pragma once

#include <sqlite3.h>
#include <string>

class CDbStmt {
public:
    CDbStmt() = default;
    CDbStmt(CDbStmt&& other) noexcept;
    CDbStmt& operator=(CDbStmt&& other) noexcept;
    CDbStmt(CDbStmt const&) = delete;
    CDbStmt& operator=(CDbStmt const&) = delete;
    ~CDbStmt();

    // Finalizes any previous statement, then compiles sql on db (borrowed).
    bool Prepare(sqlite3* db, char const* sql);
    // index counts from 1.
    bool Bind(double value, int index) const;
    bool Bind(std::string const& text, int index) const;
    // True when a row was delivered; the end and errors are both false.
    bool Step() const;

    // Columns count from 0. Without a current row, for a column that does not
    // exist and without a statement, a column reads as NULL: 0, 0, true, "".
    double GetDouble(int col) const;
    int GetInt(int col) const;
    long long GetInt64(int col) const;
    bool IsNull(int col) const;
    std::string GetText(int col) const;

    void Finalize();

private:
    bool hasValue(int col) const;

    sqlite3_stmt* m_stmt = nullptr;
};
