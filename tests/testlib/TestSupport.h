// Helpers shared by the test programs: temporary folders, process state held
// for a scope, captured standard output, fixture paths, whole files and
// external commands (sqlite3, python3, ...).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace testlib {

// A fresh folder under $TMPDIR, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Process state changed for the lifetime of an object and put back after:
// the working directory, an environment variable (unset by a null value; TZ
// takes effect at once) or the C locale (ok(): the named locale exists).
class Scoped {
public:
    Scoped(const Scoped&) = delete;
    Scoped& operator=(const Scoped&) = delete;

protected:
    Scoped() = default;
    ~Scoped() { restore_(); }
    std::function<void()> restore_;
};

struct ScopedChdir : Scoped {
    explicit ScopedChdir(const std::string& dir);
};

struct ScopedEnv : Scoped {
    ScopedEnv(const char* name, const char* value);
};

struct ScopedLocale : Scoped {
    explicit ScopedLocale(const char* name);
    bool ok() const { return ok_; }
    bool ok_;
};

// de_DE.UTF-8 (a decimal comma) and a locale of the character set ISO-8859-1,
// generated once with localedef into a folder that LOCPATH then names; empty
// when that fails.
std::string commaDecimalLocale();
std::string latin1Locale();

// Collects what the process writes to standard output (descriptor 1: stdio
// and direct writes alike) until text() returns it.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture() { text(); }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;
    std::string text();

private:
    std::FILE* sink_;
    int saved_;
};

// A fixture file, e.g. fixture("mdf/types_v330.mdf"), and a file of the source tree.
inline std::string fixture(const std::string& relative)
{
    const char* dir = std::getenv("VANTREL_FIXTURES");
    return std::string(dir && *dir ? dir : VANTREL_FIXTURES_DIR) + "/" + relative;
}
inline std::string sourcePath(const std::string& relative) { return VANTREL_SOURCE_DIR "/" + relative; }

std::vector<uint8_t> readBytes(const std::string& path);
void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes);
inline std::string readText(const std::string& path)
{
    std::vector<uint8_t> bytes = readBytes(path);
    return {bytes.begin(), bytes.end()};
}
inline void writeText(const std::string& path, const std::string& text)
{
    writeBytes(path, {text.begin(), text.end()});
}
inline bool fileExists(const std::string& path)
{
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

struct CommandResult {
    int exitCode = -1;
    std::string output;  // standard output only
};
// Runs a shell command; shellQuote makes a text one word of it.
CommandResult run(const std::string& command);
std::string shellQuote(const std::string& text);
// The sqlite3 command-line tool (batch mode, stopping at the first error) on
// the database; its error lines join the output.
inline CommandResult sqlite3(const std::string& database, const std::string& sql)
{
    return run("sqlite3 -batch -bail " + shellQuote(database) + " " + shellQuote(sql) + " 2>&1");
}
// Debian's python3, which has the packages the tests rely on.
inline std::string python()
{
    const char* configured = std::getenv("VANTREL_PYTHON");
    return configured && *configured ? configured : VANTREL_PYTHON;
}

}  // namespace testlib
