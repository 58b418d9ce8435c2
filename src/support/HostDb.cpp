#include "support/HostDb.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Size of a regular file, nothing when there is none.
std::optional<uint64_t> RegularFileSize(std::string const& path)
{
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    return static_cast<uint64_t>(info.st_size);
}

// The file's header says WAL mode (read version 2).
bool HeaderSaysWal(std::string const& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    unsigned char head[20];
    const bool read = ::read(fd, head, sizeof head) == static_cast<ssize_t>(sizeof head);
    ::close(fd);
    return read && std::memcmp(head, "SQLite format 3", 16) == 0 && head[19] == 2;
}

// "file:" URI of a path's bytes, every byte but the unreserved ones and '/'
// percent-encoded; an absolute path gets an empty authority.
std::string ImmutableUri(std::string const& bytes)
{
    static char const hex[] = "0123456789ABCDEF";
    std::string uri = bytes[0] == '/' ? "file://" : "file:";
    for (unsigned char c : bytes) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || std::strchr("/-._~", c)) {
            uri.push_back(static_cast<char>(c));
        } else {
            uri.push_back('%');
            uri.push_back(hex[c >> 4]);
            uri.push_back(hex[c & 15]);
        }
    }
    return uri + "?immutable=1";
}

// The absolute path of the file path names, every symbolic link along it
// resolved; nothing when it cannot be resolved (SQLite could not open it
// either).
std::optional<std::string> ResolvedPath(std::string const& path)
{
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
    if (!resolved)
        return std::nullopt;
    return std::string(resolved.get());
}

void RefuseWriting(std::string const& bytes)
{
    DebugOutput1("The database %s cannot be read without writing to it or beside it", bytes.c_str());
}

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
    const std::optional<std::string> bytes = PathBytes(path);
    const std::optional<uint64_t> size = bytes ? RegularFileSize(*bytes) : std::nullopt;
    if (!size)
        return nullptr;
    // SQLite follows symbolic links along the whole path and keeps its log
    // and shared-memory file beside the file it reaches: the side files are
    // looked for there, and that file is opened, so a link reads exactly as
    // the file's own path does.
    const std::optional<std::string> file = ResolvedPath(*bytes);
    if (!file)
        return nullptr;
    const std::string wal = *file + "-wal", shm = *file + "-shm";
    const uint64_t walBytes = RegularFileSize(wal).value_or(0);
    if (fileBytes)
        *fileBytes = *size + walBytes;
    // SQLite applies a log with content (whatever the header says) and needs
    // the shared-memory file to read it; a read-only connection that creates
    // that file never removes it.
    if (walBytes > 0 && !PathExists(shm)) {
        RefuseWriting(*bytes);
        return nullptr;
    }
    // Without a log's content the file is complete: a connection in WAL mode
    // would only create the log and the shared-memory file for nothing, unless
    // both are there (another connection may be using them).
    const bool immutable = walBytes == 0 && HeaderSaysWal(*file) && !(PathExists(wal) && PathExists(shm));
    sqlite3* db = nullptr;
    // Each connection serves one thread at a time: SQLite's own locking of
    // it would only cost time on every column read.
    const int flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX | (immutable ? SQLITE_OPEN_URI : 0);
    if (sqlite3_open_v2((immutable ? ImmutableUri(*file) : SqliteFileName(*file)).c_str(), &db, flags, nullptr) !=
        SQLITE_OK) {
        sqlite3_close(db);
        return nullptr;
    }
    UseDefensively(db);
    // The first read shows whether SQLite must write first (a journal left to
    // roll back, a log it cannot index without writing).
    CDbStmt probe;
    if (probe.Prepare(db, "PRAGMA schema_version") && !probe.Step() &&
        (sqlite3_extended_errcode(db) & 0xFF) == SQLITE_READONLY) {
        probe.Finalize();
        sqlite3_close(db);
        RefuseWriting(*bytes);
        return nullptr;
    }
    return db;
}

void ReadSnapshot::Begin(sqlite3* db)
{
    // A deferred BEGIN reads nothing yet: a snapshot that open statements
    // already read goes on, else the first read takes the newest.
    if (!m_db && db && sqlite3_get_autocommit(db) && sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK)
        m_db = db;
}

void ReadSnapshot::End()
{
    if (!m_db)
        return;
    // An interrupted statement may have ended the transaction already. A
    // read transaction commits also while statements are open; should it
    // not, a rollback ends it all the same and leaves read cursors as they
    // are.
    if (!sqlite3_get_autocommit(m_db) && sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    m_db = nullptr;
}

bool HasWriteAheadLog(std::string const& path)
{
    return RegularFileSize(path + "-wal").value_or(0) > 0;
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
