// Databases a host hands in may be damaged, or made to do harm: they are
// opened only when they are regular files, with SQLite's defensive settings,
// and their queries run with bounded work.
#pragma once

#include <cstdint>
#include <sqlite3.h>
#include <string>

// The name SQLite is given for a path's bytes. SQLite gives some names a
// meaning of their own: "" (a temporary database), ":memory:" and, with URI
// names compiled in, "file:...". Written as "./name" they are plain file
// names again, so the name opens the file that stat, fopen and unlink see
// ("./" alone is a folder and does not open).
std::string SqliteFileName(std::string const& bytes);

// SQLITE_DBCONFIG_DEFENSIVE on and trusted_schema off: the schema of the file
// cannot make the connection run functions with side effects or corrupt it.
void UseDefensively(sqlite3* db);

// Opens path read-only and defensively, creating no file beside it. Null when
// the path has no byte form (Paths.h), is no regular file (a FIFO would block
// the open) or does not open, and, after a diagnostic line, when SQLite could
// read it only by writing: a write-ahead log without its shared-memory file,
// or a journal to roll back. fileBytes receives the size of the file and its
// write-ahead log.
//
// The side files are those beside the file SQLite reaches, every symbolic
// link along the path resolved as SQLite resolves it: through a link a
// database reads as through its own path.
//
// A database in WAL mode without a write-ahead log is opened immutable: the
// file alone then holds all of it, and SQLite would otherwise create the log
// and its shared-memory file and leave both behind. A write-ahead log with
// content belongs to the data; it is read through SQLite's locking.
sqlite3* OpenDatabaseReadOnly(std::wstring const& path, uint64_t* fileBytes = nullptr);

// One snapshot of a database for all the reads of one operation: a read
// transaction held from Begin to End, so that statements finalized and
// prepared anew in between read the same state as the searches before them,
// whatever other connections commit meanwhile. Statements still open at End
// go on reading that state. Begin does nothing while a snapshot is held, or
// inside a transaction someone else opened.
class ReadSnapshot {
public:
    ReadSnapshot() = default;
    ~ReadSnapshot() { End(); }
    ReadSnapshot(ReadSnapshot const&) = delete;
    ReadSnapshot& operator=(ReadSnapshot const&) = delete;

    void Begin(sqlite3* db);
    // Before the connection closes.
    void End();

private:
    sqlite3* m_db = nullptr;
};

// A write-ahead log with content lies beside the database file path: SQLite
// would apply it to whatever file takes that name, so such a file is never
// replaced.
bool HasWriteAheadLog(std::string const& path);

// Whether name is an ordinary table of db: not a view (which may recurse
// without end) and not a virtual table.
bool IsPlainTable(sqlite3* db, std::string const& name);

// Bounds the SQL work of one operation on a connection: every statement
// stepped between two Restart calls shares one budget of virtual-machine
// steps proportional to the database's size, which every query of the
// library over plain tables stays far below. A statement that exceeds it is
// interrupted (SQLITE_INTERRUPT), with a diagnostic line. Neither copied nor
// moved: SQLite holds its address.
class SqlWorkLimit {
public:
    SqlWorkLimit() = default;
    ~SqlWorkLimit();
    SqlWorkLimit(SqlWorkLimit const&) = delete;
    SqlWorkLimit& operator=(SqlWorkLimit const&) = delete;

    void Attach(sqlite3* db, uint64_t fileBytes);
    // Before the connection closes.
    void Detach();
    void Restart() { m_used = 0; }

private:
    static int OnProgress(void* self);

    sqlite3* m_db = nullptr;
    uint64_t m_used = 0;
    uint64_t m_limit = 0;
};
