// Helpers shared by the test programs: temporary folders, process state held
// for a scope, captured standard output, fixture paths, whole-file reads and
// running external commands (sqlite3, python3, ...).
#pragma once

#include <cstdint>
#include <cstdio>
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

// Process state changed for the lifetime of an object and put back after.
class Scoped {
public:
    Scoped(const Scoped&) = delete;
    Scoped& operator=(const Scoped&) = delete;

protected:
    Scoped() = default;
    ~Scoped() { restore_(); }
    std::function<void()> restore_ = [] {};
};

// The working directory.
class ScopedChdir : Scoped {
public:
    explicit ScopedChdir(const std::string& dir);
};

// An environment variable (unset with a null value); tzset() follows, so TZ
// changes take effect.
class ScopedEnv : Scoped {
public:
    ScopedEnv(const char* name, const char* value);
};

// The C locale (LC_ALL); ok() tells whether the named locale exists.
class ScopedLocale : Scoped {
public:
    explicit ScopedLocale(const char* name);
    bool ok() const { return ok_; }

private:
    bool ok_;
};

// de_DE.UTF-8 (a comma as decimal separator) and a locale whose character set
// is ISO-8859-1, generated once with localedef into a folder that LOCPATH then
// names; empty when that fails.
std::string commaDecimalLocale();
std::string latin1Locale();

// Collects what the process writes to standard output (descriptor 1, so stdio
// and direct writes alike) from construction until text().
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture() { text(); }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;
    // Stops collecting and returns what was written.
    std::string text();

private:
    std::FILE* sink_;
    int saved_;
};

// Absolute path of a fixture file, e.g. fixture("mdf/types_v330.mdf").
std::string fixture(const std::string& relative);
// Absolute path of a file of the source tree.
std::string sourcePath(const std::string& relative);

std::vector<uint8_t> readBytes(const std::string& path);
std::string readText(const std::string& path);
void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes);
void writeText(const std::string& path, const std::string& text);
bool fileExists(const std::string& path);

struct CommandResult {
    int exitCode = -1;
    std::string output;  // standard output only
};
// Runs a shell command and collects its standard output.
CommandResult run(const std::string& command);
// Quotes a text as one word of a shell command.
std::string shellQuote(const std::string& text);
// The sqlite3 command-line tool (batch mode, stopping at the first error) on
// the database; its error lines join the output.
CommandResult sqlite3(const std::string& database, const std::string& sql);
// Debian's python3, which has the packages the tests rely on.
std::string python();

}  // namespace testlib
