#include "support/DbStmt.h"

#include <utility>

CDbStmt::CDbStmt(CDbStmt&& other) noexcept : m_stmt(std::exchange(other.m_stmt, nullptr)) {}

CDbStmt& CDbStmt::operator=(CDbStmt&& other) noexcept
{
    if (this != &other) {
        Finalize();
        m_stmt = std::exchange(other.m_stmt, nullptr);
    }
    return *this;
}

CDbStmt::~CDbStmt()
{
    Finalize();
}

bool CDbStmt::Prepare(sqlite3* db, char const* sql)
{
    Finalize();
    if (!db || !sql)
        return false;
    int result = sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr);
    if (result != SQLITE_OK) {
        Finalize();
        return false;
    }
    // Text of nothing but blanks or comments compiles to no statement.
    return m_stmt != nullptr;
}

bool CDbStmt::Bind(double value, int index) const
{
    return m_stmt && sqlite3_bind_double(m_stmt, index, value) == SQLITE_OK;
}

bool CDbStmt::Bind(std::string const& text, int index) const
{
    return m_stmt && sqlite3_bind_text(m_stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT) ==
                         SQLITE_OK;
}

bool CDbStmt::Step() const
{
    return m_stmt && sqlite3_step(m_stmt) == SQLITE_ROW;
}

bool CDbStmt::hasValue(int col) const
{
    // sqlite3_data_count is 0 without a current row; SQLite leaves column
    // reads undefined there and for columns out of range.
    return m_stmt && col >= 0 && col < sqlite3_data_count(m_stmt) &&
           sqlite3_column_type(m_stmt, col) != SQLITE_NULL;
}

double CDbStmt::GetDouble(int col) const
{
    return hasValue(col) ? sqlite3_column_double(m_stmt, col) : 0.0;
}

int CDbStmt::GetInt(int col) const
{
    return hasValue(col) ? sqlite3_column_int(m_stmt, col) : 0;
}

long long CDbStmt::GetInt64(int col) const
{
    return hasValue(col) ? sqlite3_column_int64(m_stmt, col) : 0;
}

bool CDbStmt::IsNull(int col) const
{
    return !hasValue(col);
}

std::string CDbStmt::GetText(int col) const
{
    if (!hasValue(col))
        return std::string();
    auto text = reinterpret_cast<char const*>(sqlite3_column_text(m_stmt, col));
    int bytes = sqlite3_column_bytes(m_stmt, col);
    return text && bytes > 0 ? std::string(text, static_cast<size_t>(bytes)) : std::string();
}

void CDbStmt::Finalize()
{
    if (m_stmt)
        sqlite3_finalize(std::exchange(m_stmt, nullptr));
}
