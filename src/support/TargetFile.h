// Files this library writes in place of existing ones. An output is written
// under a temporary name beside its target and renamed onto it only when it is
// complete, so a failed or cancelled write leaves whatever stood there before.
// What stands at the target is checked first: an output replaces only a file
// of its own kind (or an empty one), never a folder, FIFO or device, and never
// the file it is made from.
#pragma once

#include <string>
#include <string_view>

// Both paths name one existing file (same device and inode).
bool SameFile(std::wstring const& a, std::wstring const& b);

// The first bytes of the files this library writes: what an existing file
// must begin with to be replaced by an output of that kind.
extern std::string_view const kSqliteSignature;
extern std::string_view const kMdfSignature;
extern std::string_view const kMatSignature;

// Whether an output of the kind whose files begin with signature may replace
// what stands at path: nothing, an empty regular file, or a regular file that
// begins with signature. An empty signature accepts any regular file.
// Otherwise false, with a diagnostic line naming the file.
bool MayReplaceTarget(std::wstring const& path, std::string_view signature);

// A measurement database (an SQLite file with a Messages table) or an empty
// file or nothing: what a database build may replace. Diagnostic when not.
bool MayReplaceDatabase(std::wstring const& path);

// The first byte of every JSON document this library writes.
extern std::string_view const kJsonSignature;

// Writes text as the whole content of the file at path, through a
// PendingFile: Refused (with a diagnostic line) where MayReplaceTarget(path,
// signature) refuses, NotOpened (no line: each caller has its own) when the
// file cannot be created, NotWritten (with a line) when a write or the close
// fails. Only Written touches what stood at path.
enum class FileWrite { Written, Refused, NotOpened, NotWritten };
FileWrite WriteWholeFile(wchar_t const* path, std::string const& text, std::string_view signature);

// The temporary file an output is written to until it is complete. The
// destructor removes it (and an SQLite journal beside it) unless Commit
// renamed it onto the target.
class PendingFile {
public:
    explicit PendingFile(std::wstring target);
    ~PendingFile();
    PendingFile(PendingFile const&) = delete;
    PendingFile& operator=(PendingFile const&) = delete;

    // Where to write: beside the target, on its file system, with a name the
    // file system accepts even when the target's name is near its limit.
    std::wstring const& path() const { return m_path; }
    std::wstring const& target() const { return m_target; }
    // Renames the written file onto the target; false, with a diagnostic
    // line, when that fails (the temporary file is then removed).
    bool Commit();
    // Removes what was written; Commit afterwards fails.
    void Discard();

private:
    std::wstring m_target;
    std::wstring m_path;
    bool m_done = false;
};
