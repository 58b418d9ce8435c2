#include "support/LibUtils.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/Paths.h"

namespace {

// open(2) flags of an fopen mode; -1 for a mode fopen would refuse.
int OpenFlags(char const* mode)
{
    const bool update = std::strchr(mode, '+') != nullptr;
    int flags = std::strchr(mode, 'e') ? O_CLOEXEC : 0;
    switch (mode[0]) {
    case 'r':
        return flags | (update ? O_RDWR : O_RDONLY);
    case 'w':
        return flags | (update ? O_RDWR : O_WRONLY) | O_CREAT | (std::strchr(mode, 'x') ? O_EXCL : 0);
    case 'a':
        return flags | (update ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
    default:
        return -1;
    }
}

}  // namespace

FILE* OpenRegularFile(std::string const& path, char const* mode)
{
    const int flags = mode ? OpenFlags(mode) : -1;
    if (flags < 0) {
        errno = EINVAL;
        return nullptr;
    }
    // Non-blocking, so that a FIFO without a writer or reader, or a device,
    // is refused at once rather than holding the call.
    const int fd = ::open(path.c_str(), flags | O_NONBLOCK, 0666);
    if (fd < 0)
        return nullptr;
    struct stat info;
    const bool regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    // Truncated only once it is known to be a regular file, and only when it
    // holds something: ext4 takes a truncation to 0 for a file being replaced
    // and writes all its new data out at the close, which costs a large
    // output a good part of its writing time.
    const bool truncate = regular && mode[0] == 'w' && info.st_size != 0;
    if (!regular || (truncate && ftruncate(fd, 0) != 0) || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        const int error = regular ? errno : ENODEV;
        ::close(fd);
        errno = error;
        return nullptr;
    }
    const std::string streamMode = std::string(1, mode[0]) + (std::strchr(mode, '+') ? "+" : "");
    FILE* stream = fdopen(fd, streamMode.c_str());
    if (!stream)
        ::close(fd);
    return stream;
}

bool PathExists(std::string const& path)
{
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0;
}

bool FileExists(wchar_t const* path)
{
    std::optional<std::string> bytes = PathBytes(path);
    struct stat info;
    return bytes && stat(bytes->c_str(), &info) == 0;
}

bool ExportFileExists(wchar_t const* path)
{
    return FileExists(path);
}

bool RemoveFile(wchar_t const* path)
{
    std::optional<std::string> bytes = PathBytes(path);
    return bytes && unlink(bytes->c_str()) == 0;
}

bool DeleteFile(wchar_t const* path)
{
    return RemoveFile(path);
}

FILE* Owfopen(wchar_t const* path, wchar_t const* mode)
{
    std::optional<std::string> bytes = PathBytes(path);
    if (!bytes || !mode)
        return nullptr;
    std::string narrowMode = ASCIIfromUnicode(mode);
    return OpenRegularFile(*bytes, narrowMode.c_str());
}

bool ReadFileToString(FILE* stream, std::string& out)
{
    if (!stream)
        return false;
    // fopen succeeds on a directory on Linux; only regular files hold text.
    struct stat info;
    if (fstat(fileno(stream), &info) != 0 || !S_ISREG(info.st_mode)) {
        std::fclose(stream);
        return false;
    }
    std::string text;
    text.reserve(static_cast<size_t>(info.st_size));
    char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, stream)) > 0)
        text.append(chunk, n);
    bool failed = std::ferror(stream) != 0;
    std::fclose(stream);
    if (failed)
        return false;
    out.swap(text);
    return true;
}

namespace {

// An argument that names no file: JSON text when it holds a '{'.
bool JsonText(std::string& out)
{
    if (out.find('{') != std::string::npos)
        return true;
    DebugOutput1("Could not open file %s", out.c_str());
    return false;
}

}  // namespace

bool ReadFileToString(char const* argument, std::string& out)
{
    if (!argument)
        return false;
    struct stat info;
    if (::stat(argument, &info) == 0)
        return ReadFileToString(OpenRegularFile(argument, "re"), out);
    // The argument's bytes, as a file holding them would give them (so a path
    // inside reaches the file system byte for byte).
    out = argument;
    return JsonText(out);
}

bool ReadFileToString(wchar_t const* argument, std::string& out)
{
    if (!argument)
        return false;
    if (std::optional<std::string> bytes = PathBytes(argument))
        return ReadFileToString(bytes->c_str(), out);
    out = mbstring(argument);  // no byte form: its text form
    return JsonText(out);
}
