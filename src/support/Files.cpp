#include "support/LibUtils.h"

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>


bool FileExists(wchar_t const* path)
{
    if (!path)
        return false;
    struct stat info;
    return stat(mbstring(path).c_str(), &info) == 0;
}

bool ExportFileExists(wchar_t const* path)
{
    return FileExists(path);
}

bool RemoveFile(wchar_t const* path)
{
    return path && unlink(mbstring(path).c_str()) == 0;
}

bool DeleteFile(wchar_t const* path)
{
    return RemoveFile(path);
}

FILE* Owfopen(wchar_t const* path, wchar_t const* mode)
{
    if (!path || !mode)
        return nullptr;
    std::string narrowMode = ASCIIfromUnicode(mode);
    return std::fopen(mbstring(path).c_str(), narrowMode.c_str());
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

bool ReadFileToString(wchar_t const* argument, std::string& out)
{
    if (!argument)
        return false;
    std::string name = mbstring(argument);
    if (FileExists(argument)) {
        // A directory or an unreadable file is named, not given as text.
        if (ReadFileToString(std::fopen(name.c_str(), "rte"), out))
            return true;
        DebugOutput1("Could not open file %s", name.c_str());
        return false;
    }
    out = name;
    if (out.find('{') != std::string::npos)
        return true;
    DebugOutput1("Could not open file %s", out.c_str());
    return false;
}
