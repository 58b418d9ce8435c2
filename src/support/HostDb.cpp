#include "support/HostDb.h"

#include <sys/stat.h>

#include "support/DbStmt.h"
#include "support/LibUtils.h"
#include "support/Paths.h"

namespace {

// Virtual-machine steps between two calls of the progress handler.
constexpr int kStepsPerTick = 4096;
// A scan of a table costs about one step per byte of its rows, a jump a few
// scans: the budget leaves a wide margin above that.
constexpr uint64_t kStepsPerByte = 16;
constexpr uint64_t kStepsBase = uint64_t(1) << 24;

}  // namespace

std::string SqliteFileName(std::string const& bytes)
{
    std::string name = bytes;
    if (name.empty() || name[0] == ':' || name.compare(0, 5, "file:") == 0)
        name.insert(0, "./");
    return name;
}

void UseDefensively(sqlite3* db)
{
    sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
}

sqlite3* OpenDatabaseReadOnly(std::wstring const& path, uint64_t* fileBytes)
{
    std::optional<std::string> bytes = PathBytes(path);
    struct stat info;
    if (!bytes || ::stat(bytes->c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return nullptr;
    if (fileBytes)
        *fileBytes = static_cast<uint64_t>(info.st_size);
    sqlite3* db = nullptr;
    // Each connection serves one thread at a time: SQLite's own locking of
    // it would only cost time on every column read.
    if (sqlite3_open_v2(SqliteFileName(*bytes).c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
        sqlite3_close(db);
        return nullptr;
    }
    UseDefensively(db);
    return db;
}

bool IsPlainTable(sqlite3* db, std::string const& name)
{
    CDbStmt query;
    // A virtual table has no pages of its own (rootpage 0).
    if (!query.Prepare(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND rootpage > 0 AND name = ?"))
        return false;
    return query.Bind(name, 1) && query.Step();
}

SqlWorkLimit::~SqlWorkLimit()
{
    Detach();
}

void SqlWorkLimit::Attach(sqlite3* db, uint64_t fileBytes)
{
    Detach();
    m_db = db;
    m_used = 0;
    m_limit = (kStepsBase + fileBytes * kStepsPerByte) / kStepsPerTick;
    sqlite3_progress_handler(db, kStepsPerTick, &SqlWorkLimit::OnProgress, this);
}

void SqlWorkLimit::Detach()
{
    if (m_db)
        sqlite3_progress_handler(m_db, 0, nullptr, nullptr);
    m_db = nullptr;
}

int SqlWorkLimit::OnProgress(void* self)
{
    auto* limit = static_cast<SqlWorkLimit*>(self);
    if (++limit->m_used <= limit->m_limit)
        return 0;
    if (limit->m_used == limit->m_limit + 1)
        DebugOutput("A query needs more work than the size of the database allows; it was stopped");
    return 1;
}
