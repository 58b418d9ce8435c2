#include "support/TargetFile.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/CFormat.h"
#include "support/HostDb.h"
#include "support/LibUtils.h"
#include "support/Paths.h"

using namespace std::string_view_literals;

std::string_view const kSqliteSignature = "SQLite format 3\0"sv;
std::string_view const kMdfSignature = "MDF     "sv;
std::string_view const kMatSignature = "MATLAB 5.0 MAT-file"sv;
std::string_view const kJsonSignature = "{"sv;

namespace {

bool StatPath(std::wstring const& path, struct stat& info)
{
    std::optional<std::string> bytes = PathBytes(path);
    return bytes && ::stat(bytes->c_str(), &info) == 0;
}

void Refuse(char const* why, std::wstring const& path)
{
    DebugOutput(FormatC("%s: %s", why, PathForMessage(path).c_str()).c_str());
}

// Reads the first bytes of a regular file without blocking on anything that
// was swapped in after the check.
bool BeginsWith(std::string const& path, std::string_view signature)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::string head(signature.size(), '\0');
    size_t got = 0;
    while (got < head.size()) {
        const ssize_t n = ::read(fd, &head[got], head.size() - got);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    return got == head.size() && head == signature;
}

bool HasMessagesTable(std::wstring const& path)
{
    sqlite3* db = OpenDatabaseReadOnly(path);
    const bool found = db && IsPlainTable(db, "Messages");
    sqlite3_close_v2(db);
    return found;
}

// What stands at the target: 0 nothing or an empty file, 1 a non-empty
// regular file, -1 something that must not be replaced (diagnostic given).
int InspectTarget(std::wstring const& target)
{
    struct stat info;
    std::optional<std::string> bytes = PathBytes(target);
    if (!bytes || ::stat(bytes->c_str(), &info) != 0)
        return bytes && errno == ENOENT ? 0 : (Refuse("Cannot inspect the output file", target), -1);
    if (!S_ISREG(info.st_mode)) {
        Refuse("The output is not a regular file and is left untouched", target);
        return -1;
    }
    // SQLite would apply that log to the new file too.
    if (HasWriteAheadLog(*bytes)) {
        Refuse("The output has a write-ahead log beside it and is left untouched", target);
        return -1;
    }
    return info.st_size == 0 ? 0 : 1;
}

// Longest file name the folder of path accepts, in bytes.
size_t NameLimit(std::string const& folder)
{
    const long limit = ::pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
    return limit > 0 ? static_cast<size_t>(limit) : 255;
}

void RemoveWithJournal(std::string const& path)
{
    if (path.empty())
        return;
    ::unlink(path.c_str());
    ::unlink((path + "-journal").c_str());
}

}  // namespace

bool SameFile(std::wstring const& a, std::wstring const& b)
{
    struct stat first, second;
    return StatPath(a, first) && StatPath(b, second) && first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

bool MayReplaceTarget(std::wstring const& path, std::string_view signature)
{
    const int state = InspectTarget(path);
    if (state <= 0)
        return state == 0;
    if (signature.empty() || BeginsWith(PathBytes(path).value_or(std::string()), signature))
        return true;
    Refuse("The output would replace a file of another kind, which is left untouched", path);
    return false;
}

bool MayReplaceDatabase(std::wstring const& path)
{
    const int state = InspectTarget(path);
    if (state <= 0)
        return state == 0;
    if (BeginsWith(PathBytes(path).value_or(std::string()), kSqliteSignature) && HasMessagesTable(path))
        return true;
    Refuse("The target is not a measurement database and is left untouched", path);
    return false;
}

PendingFile::PendingFile(std::wstring target) : m_target(std::move(target))
{
    // A target without a byte form (refused by the entry points) gets no
    // temporary file: writing to "" fails.
    const std::optional<std::string> bytes = PathBytes(m_target);
    if (!bytes)
        return;
    const std::string& narrow = *bytes;
    const size_t slash = narrow.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : narrow.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? narrow : narrow.substr(slash + 1);
    // Room for SQLite's "-journal" beside the temporary file.
    const size_t limit = NameLimit(folder) - 8;
    const std::string suffix = FormatC(".part-%ld", static_cast<long>(::getpid()));
    for (int attempt = 0;; ++attempt) {
        const std::string extra = attempt == 0 ? suffix : FormatC("%s-%d", suffix.c_str(), attempt);
        // A name near the limit is cut: the temporary file needs no meaning.
        const std::string candidate = folder + WithSuffixWithin(name, extra, limit);
        if (!PathExists(candidate) && !PathExists(candidate + "-journal")) {
            m_path = WidePath(candidate);
            break;
        }
    }
}

PendingFile::~PendingFile()
{
    Discard();
}

bool PendingFile::Commit()
{
    if (m_done)
        return false;
    m_done = true;
    const std::string from = PathBytes(m_path).value_or(std::string());
    const std::optional<std::string> to = PathBytes(m_target);
    if (!from.empty() && to && std::rename(from.c_str(), to->c_str()) == 0) {
        ::unlink((from + "-journal").c_str());
        return true;
    }
    DebugOutput(FormatC("Could not replace %s: %s", PathForMessage(m_target).c_str(), std::strerror(errno)).c_str());
    RemoveWithJournal(from);
    return false;
}

void PendingFile::Discard()
{
    if (m_done)
        return;
    m_done = true;
    RemoveWithJournal(PathBytes(m_path).value_or(std::string()));
}

FileWrite WriteWholeFile(wchar_t const* path, std::string const& text, std::string_view signature)
{
    if (!path || !*path)
        return FileWrite::NotOpened;
    if (!MayReplaceTarget(path, signature))
        return FileWrite::Refused;
    PendingFile pending(path);
    FILE* stream = OpenRegularFile(PathBytes(pending.path()).value_or(std::string()), "wte");
    if (!stream)
        return FileWrite::NotOpened;
    errno = 0;
    bool written = std::fwrite(text.data(), 1, text.size(), stream) == text.size();
    written = std::fflush(stream) == 0 && written;
    const int writeError = errno;
    written = std::fclose(stream) == 0 && written;
    if (!written) {
        const int error = writeError != 0 ? writeError : errno;
        DebugOutput(FormatC("Could not write %s: %s", PathForMessage(path).c_str(), std::strerror(error)).c_str());
        return FileWrite::NotWritten;
    }
    return pending.Commit() ? FileWrite::Written : FileWrite::NotWritten;
}
