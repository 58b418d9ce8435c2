#include "support/CppSQLite3U.h"
#include "support/HostDb.h"
#include "support/LibUtils.h"
#include "support/Paths.h"
#include "support/Utf8.h"

#include <cwchar>
#include <sys/stat.h>
#include <utility>

namespace {

wchar_t const kDatabaseNotOpen[] = L"Database not open";
wchar_t const kNullVirtualMachine[] = L"Null Virtual Machine pointer";

[[noreturn]] void throwOwnError(wchar_t const* text)
{
    throw CppSQLite3Exception(CPPSQLITE_ERROR, text);
}

// Throws code with the connection's error text. When SQLite reports no
// failure for the statement (a row where none was expected), fallback is the
// code thrown, with SQLite's text for it.
[[noreturn]] void throwSqliteError(int code, sqlite3* db, int fallback = SQLITE_ERROR)
{
    if (code == SQLITE_OK)
        throw CppSQLite3Exception(fallback, WideFromUtf8(std::string(sqlite3_errstr(fallback))).c_str());
    char const* text = db ? sqlite3_errmsg(db) : sqlite3_errstr(code);
    throw CppSQLite3Exception(code, WideFromUtf8(std::string(text ? text : "")).c_str());
}

void throwIfBindFailed(int result, wchar_t const* text)
{
    if (result != SQLITE_OK)
        throw CppSQLite3Exception(result, text);
}

std::wstring wideColumnText(char const* text, int bytes)
{
    if (!text || bytes <= 0)
        return std::wstring();
    return WideFromUtf8(text, static_cast<size_t>(bytes));
}

// The path's bytes as SQLite must be given them. A path with no byte form,
// or that names a FIFO, device or folder (an open would block or fail
// later), is refused before SQLite sees it.
std::string databaseFileName(wchar_t const* path)
{
    std::optional<std::string> bytes = PathBytes(path);
    if (!bytes)
        throw CppSQLite3Exception(SQLITE_CANTOPEN, L"the path cannot be named exactly in the current locale");
    struct stat info;
    if (::stat(bytes->c_str(), &info) == 0 && !S_ISREG(info.st_mode))
        throw CppSQLite3Exception(SQLITE_CANTOPEN, L"not a regular file");
    return SqliteFileName(*bytes);
}

}  // namespace

// ---- CppSQLite3Exception ---------------------------------------------------

CppSQLite3Exception::CppSQLite3Exception(int errorCode, wchar_t const* errorText, bool freeText)
    : m_nErrCode(errorCode)
{
    m_errMessage = errorCodeAsString(errorCode);
    m_errMessage += L"[" + std::to_wstring(errorCode) + L"]: ";
    if (errorText) {
        m_errMessage += errorText;
        if (freeText)
            sqlite3_free(const_cast<wchar_t*>(errorText));
    }
}

wchar_t const* CppSQLite3Exception::errorCodeAsString(int errorCode)
{
    switch (errorCode) {
    case SQLITE_OK: return L"SQLITE_OK";
    case SQLITE_ERROR: return L"SQLITE_ERROR";
    case SQLITE_INTERNAL: return L"SQLITE_INTERNAL";
    case SQLITE_PERM: return L"SQLITE_PERM";
    case SQLITE_ABORT: return L"SQLITE_ABORT";
    case SQLITE_BUSY: return L"SQLITE_BUSY";
    case SQLITE_LOCKED: return L"SQLITE_LOCKED";
    case SQLITE_NOMEM: return L"SQLITE_NOMEM";
    case SQLITE_READONLY: return L"SQLITE_READONLY";
    case SQLITE_INTERRUPT: return L"SQLITE_INTERRUPT";
    case SQLITE_IOERR: return L"SQLITE_IOERR";
    case SQLITE_CORRUPT: return L"SQLITE_CORRUPT";
    case SQLITE_NOTFOUND: return L"SQLITE_NOTFOUND";
    case SQLITE_FULL: return L"SQLITE_FULL";
    case SQLITE_CANTOPEN: return L"SQLITE_CANTOPEN";
    case SQLITE_PROTOCOL: return L"SQLITE_PROTOCOL";
    case SQLITE_EMPTY: return L"SQLITE_EMPTY";
    case SQLITE_SCHEMA: return L"SQLITE_SCHEMA";
    case SQLITE_TOOBIG: return L"SQLITE_TOOBIG";
    case SQLITE_CONSTRAINT: return L"SQLITE_CONSTRAINT";
    case SQLITE_MISMATCH: return L"SQLITE_MISMATCH";
    case SQLITE_MISUSE: return L"SQLITE_MISUSE";
    case SQLITE_NOLFS: return L"SQLITE_NOLFS";
    case SQLITE_AUTH: return L"SQLITE_AUTH";
    case SQLITE_FORMAT: return L"SQLITE_FORMAT";
    case SQLITE_RANGE: return L"SQLITE_RANGE";
    case SQLITE_ROW: return L"SQLITE_ROW";
    case SQLITE_DONE: return L"SQLITE_DONE";
    case CPPSQLITE_ERROR: return L"CPPSQLITE_ERROR";
    default: return L"UNKNOWN_ERROR";
    }
}

CppSQLite3Exception::~CppSQLite3Exception() = default;

// ---- CppSQLite3DB ----------------------------------------------------------

CppSQLite3DB::CppSQLite3DB() = default;

std::wstring CppSQLite3DB::fileName() const
{
    char const* name = m_pDB ? sqlite3_db_filename(m_pDB, "main") : nullptr;
    return name ? WidePath(name) : std::wstring();
}

CppSQLite3DB::~CppSQLite3DB()
{
    if (m_pDB)
        sqlite3_close_v2(m_pDB);
}

void CppSQLite3DB::open(wchar_t const* path)
{
    if (m_pDB) {
        sqlite3_close_v2(m_pDB);
        m_pDB = nullptr;
    }
    sqlite3* db = nullptr;
    // The library is single-threaded and a connection serves one thread at a
    // time: SQLite's own locking would only cost time on every column read.
    int result = sqlite3_open_v2(databaseFileName(path).c_str(), &db,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (result != SQLITE_OK) {
        // SQLite hands out a connection even when the open fails; it holds
        // only the error text, which is taken before the connection goes.
        std::wstring text = WideFromUtf8(std::string(db ? sqlite3_errmsg(db) : sqlite3_errstr(result)));
        sqlite3_close(db);
        throw CppSQLite3Exception(result, text.c_str());
    }
    UseDefensively(db);
    m_pDB = db;
    setBusyTimeout(m_nBusyTimeoutMs);
}

void CppSQLite3DB::close()
{
    if (!m_pDB)
        return;
    int result = sqlite3_close(m_pDB);
    if (result != SQLITE_OK)
        throwSqliteError(result, m_pDB);
    m_pDB = nullptr;
}

void CppSQLite3DB::setBusyTimeout(int milliseconds)
{
    m_nBusyTimeoutMs = milliseconds;
    if (m_pDB)
        sqlite3_busy_timeout(m_pDB, milliseconds);
}

void CppSQLite3DB::checkDB() const
{
    if (!m_pDB)
        throwOwnError(kDatabaseNotOpen);
}

sqlite3_stmt* CppSQLite3DB::compile(wchar_t const* sql)
{
    checkDB();
    std::string text = sql ? Utf8FromWide(sql, std::wcslen(sql)) : std::string();
    sqlite3_stmt* vm = nullptr;
    // Not the legacy sqlite3_prepare: its statements fail with SQLITE_SCHEMA
    // after any CREATE TABLE or CREATE INDEX on the connection, and the
    // builder keeps insert statements while it creates tables. These are
    // compiled again by SQLite itself; failures carry the same codes.
    int result = sqlite3_prepare_v2(m_pDB, text.c_str(), -1, &vm, nullptr);
    if (result != SQLITE_OK)
        throwSqliteError(result, m_pDB);
    return vm;
}

sqlite3_stmt* CppSQLite3DB::compileAndStep(wchar_t const* sql, int& result)
{
    for (;;) {
        sqlite3_stmt* vm = compile(sql);
        // Text of nothing but blanks or comments compiles to no statement.
        if (!vm)
            throwOwnError(kNullVirtualMachine);
        result = sqlite3_step(vm);
        if (result == SQLITE_ROW || result == SQLITE_DONE)
            return vm;
        int finalized = sqlite3_finalize(vm);
        if (finalized != SQLITE_SCHEMA)
            throwSqliteError(finalized, m_pDB, result);
    }
}

CppSQLite3Statement CppSQLite3DB::compileStatement(wchar_t const* sql)
{
    sqlite3_stmt* vm = compile(sql);
    return CppSQLite3Statement(m_pDB, vm);
}

CppSQLite3Query CppSQLite3DB::execQuery(wchar_t const* sql)
{
    int result = SQLITE_OK;
    sqlite3_stmt* vm = compileAndStep(sql, result);
    return CppSQLite3Query(m_pDB, vm, result == SQLITE_DONE, true);
}

bool CppSQLite3DB::execDML(wchar_t const* sql)
{
    for (;;) {
        int result = SQLITE_OK;
        sqlite3_stmt* vm = compileAndStep(sql, result);
        int finalized = sqlite3_finalize(vm);
        if (finalized != SQLITE_SCHEMA)
            return finalized != SQLITE_OK;
    }
}

int CppSQLite3DB::execScalar(wchar_t const* sql)
{
    CppSQLite3Query query = execQuery(sql);
    if (query.eof() || query.numFields() < 1)
        throwOwnError(L"Invalid scalar query");
    std::wstring text = query.fieldValue(0);
    return static_cast<int>(std::wcstol(text.c_str(), nullptr, 0));
}

bool CppSQLite3DB::tableExists(wchar_t const* table)
{
    // The name is bound, never written into the SQL text.
    CppSQLite3Statement statement =
        compileStatement(L"select count(*) from sqlite_master where type='table' and name=?");
    statement.bind(1, table ? table : L"");
    CppSQLite3Query query = statement.execQuery();
    return !query.eof() && query.getIntField(0) >= 1;
}

bool CppSQLite3DB::isPlainTable(wchar_t const* table)
{
    checkDB();
    return table && IsPlainTable(m_pDB, Utf8FromWide(std::wstring(table)));
}

long long CppSQLite3DB::lastRowId() const
{
    checkDB();
    return sqlite3_last_insert_rowid(m_pDB);
}

// ---- CppSQLite3Statement ---------------------------------------------------

CppSQLite3Statement::CppSQLite3Statement(sqlite3* db, sqlite3_stmt* vm) : m_pDB(db), m_pVM(vm) {}

CppSQLite3Statement::CppSQLite3Statement(CppSQLite3Statement&& other) noexcept
    : m_pDB(other.m_pDB), m_pVM(std::exchange(other.m_pVM, nullptr))
{
}

CppSQLite3Statement& CppSQLite3Statement::operator=(CppSQLite3Statement&& other) noexcept
{
    if (this != &other) {
        if (m_pVM)
            sqlite3_finalize(m_pVM);
        m_pDB = other.m_pDB;
        m_pVM = std::exchange(other.m_pVM, nullptr);
    }
    return *this;
}

CppSQLite3Statement::~CppSQLite3Statement()
{
    try {
        finalize();
    } catch (...) {
    }
}

void CppSQLite3Statement::checkDB() const
{
    if (!m_pDB)
        throwOwnError(kDatabaseNotOpen);
}

void CppSQLite3Statement::checkVM() const
{
    if (!m_pVM)
        throwOwnError(kNullVirtualMachine);
}

int CppSQLite3Statement::execDML()
{
    checkDB();
    checkVM();
    int result = sqlite3_step(m_pVM);
    if (result != SQLITE_DONE)
        throwSqliteError(sqlite3_reset(m_pVM), m_pDB, result);
    int changes = sqlite3_changes(m_pDB);
    int reset = sqlite3_reset(m_pVM);
    if (reset != SQLITE_OK)
        throwSqliteError(reset, m_pDB);
    return changes;
}

CppSQLite3Query CppSQLite3Statement::execQuery()
{
    checkDB();
    checkVM();
    int result = sqlite3_step(m_pVM);
    if (result == SQLITE_DONE || result == SQLITE_ROW)
        return CppSQLite3Query(m_pDB, m_pVM, result == SQLITE_DONE, false);
    throwSqliteError(sqlite3_reset(m_pVM), m_pDB, result);
}

void CppSQLite3Statement::bind(int param, wchar_t const* value)
{
    checkVM();
    if (!value) {
        bindNull(param);
        return;
    }
    std::string text = Utf8FromWide(value, std::wcslen(value));
    throwIfBindFailed(sqlite3_bind_text64(m_pVM, param, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8),
                      L"Error binding string param");
}

void CppSQLite3Statement::bind(int param, int value)
{
    checkVM();
    throwIfBindFailed(sqlite3_bind_int(m_pVM, param, value), L"Error binding int param");
}

void CppSQLite3Statement::bind(int param, double value)
{
    checkVM();
    throwIfBindFailed(sqlite3_bind_double(m_pVM, param, value), L"Error binding double param");
}

void CppSQLite3Statement::bind(int param, long long value)
{
    checkVM();
    throwIfBindFailed(sqlite3_bind_int64(m_pVM, param, value), L"Error binding int64 pararm");
}

void CppSQLite3Statement::bind(int param, unsigned char const* blob, int length)
{
    checkVM();
    // SQLite leaves a negative blob length undefined.
    int result = length < 0 ? SQLITE_MISUSE : sqlite3_bind_blob(m_pVM, param, blob, length, SQLITE_TRANSIENT);
    throwIfBindFailed(result, L"Error binding blob param");
}

void CppSQLite3Statement::bindNull(int param)
{
    checkVM();
    throwIfBindFailed(sqlite3_bind_null(m_pVM, param), L"Error binding NULL param");
}

void CppSQLite3Statement::reset()
{
    if (!m_pVM)
        return;
    int result = sqlite3_reset(m_pVM);
    if (result != SQLITE_OK)
        throwSqliteError(result, m_pDB);
}

void CppSQLite3Statement::finalize()
{
    if (!m_pVM)
        return;
    int result = sqlite3_finalize(std::exchange(m_pVM, nullptr));
    if (result != SQLITE_OK)
        throwSqliteError(result, m_pDB);
}

// ---- CppSQLite3Query -------------------------------------------------------

CppSQLite3Query::CppSQLite3Query(sqlite3* db, sqlite3_stmt* vm, bool eof, bool ownVM)
    : m_pDB(db), m_pVM(vm), m_bEof(eof), m_nCols(vm ? sqlite3_column_count(vm) : 0), m_bOwnVM(ownVM)
{
}

CppSQLite3Query::CppSQLite3Query(CppSQLite3Query&& other) noexcept
    : m_pDB(other.m_pDB),
      m_pVM(std::exchange(other.m_pVM, nullptr)),
      m_bEof(std::exchange(other.m_bEof, true)),
      m_nCols(std::exchange(other.m_nCols, 0)),
      m_bOwnVM(std::exchange(other.m_bOwnVM, false))
{
}

CppSQLite3Query& CppSQLite3Query::operator=(CppSQLite3Query&& other) noexcept
{
    if (this != &other) {
        release();
        m_pDB = other.m_pDB;
        m_pVM = std::exchange(other.m_pVM, nullptr);
        m_bEof = std::exchange(other.m_bEof, true);
        m_nCols = std::exchange(other.m_nCols, 0);
        m_bOwnVM = std::exchange(other.m_bOwnVM, false);
    }
    return *this;
}

CppSQLite3Query::~CppSQLite3Query()
{
    release();
}

int CppSQLite3Query::release() noexcept
{
    int result = SQLITE_OK;
    if (m_pVM && m_bOwnVM)
        result = sqlite3_finalize(m_pVM);
    m_pVM = nullptr;
    return result;
}

void CppSQLite3Query::checkVM() const
{
    if (!m_pVM)
        throwOwnError(kNullVirtualMachine);
}

void CppSQLite3Query::checkField(int col) const
{
    checkVM();
    if (col < 0 || col >= m_nCols)
        throwOwnError(L"Invalid field index requested");
}

bool CppSQLite3Query::onRow() const
{
    // SQLite leaves column values undefined where there is no current row
    // (at the end, or a borrowed statement reset by its owner): read as NULL.
    return !m_bEof && sqlite3_data_count(m_pVM) > 0;
}

bool CppSQLite3Query::eof() const
{
    checkVM();
    return m_bEof;
}

int CppSQLite3Query::numFields() const
{
    checkVM();
    return m_nCols;
}

void CppSQLite3Query::nextRow()
{
    checkVM();
    // A step past the end would silently run the query again from its start.
    if (m_bEof)
        return;
    int result = sqlite3_step(m_pVM);
    if (result == SQLITE_ROW)
        return;
    m_bEof = true;
    if (result == SQLITE_DONE)
        return;
    // The statement that owns a borrowed statement finalizes it later.
    int code = m_bOwnVM ? release() : sqlite3_reset(m_pVM);
    throwSqliteError(code, m_pDB, result);
}

int CppSQLite3Query::fieldIndex(wchar_t const* name) const
{
    checkVM();
    if (name) {
        std::string wanted = Utf8FromWide(name, std::wcslen(name));
        for (int col = 0; col < m_nCols; ++col) {
            char const* columnName = sqlite3_column_name(m_pVM, col);
            if (columnName && wanted == columnName)
                return col;
        }
    }
    throwOwnError(L"Invalid field name requested");
}

std::wstring CppSQLite3Query::fieldName(int col) const
{
    checkField(col);
    char const* name = sqlite3_column_name(m_pVM, col);
    return name ? WideFromUtf8(std::string(name)) : std::wstring();
}

std::wstring CppSQLite3Query::fieldDeclType(int col) const
{
    checkField(col);
    char const* type = sqlite3_column_decltype(m_pVM, col);
    return type ? WideFromUtf8(std::string(type)) : std::wstring();
}

int CppSQLite3Query::fieldDataType(int col) const
{
    checkField(col);
    return onRow() ? sqlite3_column_type(m_pVM, col) : SQLITE_NULL;
}

std::wstring CppSQLite3Query::fieldValue(int col) const
{
    if (fieldDataType(col) == SQLITE_NULL)
        return std::wstring();
    char const* text = reinterpret_cast<char const*>(sqlite3_column_text(m_pVM, col));
    return wideColumnText(text, sqlite3_column_bytes(m_pVM, col));
}

bool CppSQLite3Query::fieldIsNull(int col) const
{
    return fieldDataType(col) == SQLITE_NULL;
}

int CppSQLite3Query::getIntField(int col, int nullValue) const
{
    return fieldIsNull(col) ? nullValue : sqlite3_column_int(m_pVM, col);
}

long long CppSQLite3Query::getInt64Field(int col, int nullValue) const
{
    return fieldIsNull(col) ? nullValue : sqlite3_column_int64(m_pVM, col);
}

double CppSQLite3Query::getFloatField(int col, double nullValue) const
{
    return fieldIsNull(col) ? nullValue : sqlite3_column_double(m_pVM, col);
}

bool CppSQLite3Query::getStringField(int col, std::wstring& out) const
{
    if (fieldIsNull(col))
        return false;
    char const* text = reinterpret_cast<char const*>(sqlite3_column_text(m_pVM, col));
    out = wideColumnText(text, sqlite3_column_bytes(m_pVM, col));
    return true;
}

unsigned char const* CppSQLite3Query::getBlobField(int col, int& length) const
{
    length = 0;
    if (fieldIsNull(col))
        return nullptr;
    auto bytes = static_cast<unsigned char const*>(sqlite3_column_blob(m_pVM, col));
    if (bytes)
        length = sqlite3_column_bytes(m_pVM, col);
    return bytes;
}

std::wstring CppSQLite3Query::fieldValue(wchar_t const* name) const
{
    return fieldValue(fieldIndex(name));
}

bool CppSQLite3Query::fieldIsNull(wchar_t const* name) const
{
    return fieldIsNull(fieldIndex(name));
}

int CppSQLite3Query::getIntField(wchar_t const* name, int nullValue) const
{
    return getIntField(fieldIndex(name), nullValue);
}

long long CppSQLite3Query::getInt64Field(wchar_t const* name, int nullValue) const
{
    return getInt64Field(fieldIndex(name), nullValue);
}

double CppSQLite3Query::getFloatField(wchar_t const* name, double nullValue) const
{
    return getFloatField(fieldIndex(name), nullValue);
}

bool CppSQLite3Query::getStringField(wchar_t const* name, std::wstring& out) const
{
    return getStringField(fieldIndex(name), out);
}

unsigned char const* CppSQLite3Query::getBlobField(wchar_t const* name, int& length) const
{
    return getBlobField(fieldIndex(name), length);
}
