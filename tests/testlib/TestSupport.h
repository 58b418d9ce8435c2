// Helpers shared by the test programs: temporary folders, fixture paths,
// whole-file reads and running external commands (sqlite3, python3, ...).
#pragma once

#include <cstdint>
#include <cstdio>
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

// Changes the working directory for the lifetime of the object.
class ScopedChdir {
public:
    explicit ScopedChdir(const std::string& dir);
    ~ScopedChdir();

private:
    std::string previous_;
};

// Sets (or with a null value unsets) an environment variable for the
// lifetime of the object, and calls tzset() so TZ changes take effect.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();

private:
    std::string name_;
    bool hadValue_;
    std::string previous_;
};

// Sets the C locale (LC_ALL) for the lifetime of the object; ok() tells
// whether the named locale exists. The previous locale comes back after.
class ScopedLocale {
public:
    explicit ScopedLocale(const char* name);
    ~ScopedLocale();
    ScopedLocale(const ScopedLocale&) = delete;
    ScopedLocale& operator=(const ScopedLocale&) = delete;
    bool ok() const { return ok_; }

private:
    std::string previous_;
    bool ok_;
};

// A locale with a comma as decimal separator: an installed one, or else
// de_DE.UTF-8 generated once with localedef into a temporary folder that
// LOCPATH then names (for the rest of the process, ahead of the system's
// folder). Empty when neither works.
std::string commaDecimalLocale();
// A locale whose character set is ISO-8859-1, found or generated the same
// way; empty when there is none.
std::string latin1Locale();

// Collects what the process writes to standard output (descriptor 1, so
// stdio and direct writes alike) from construction until text().
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;
    // Stops collecting and returns what was written.
    std::string text();

private:
    void stop();
    int saved_ = -1;
    std::FILE* sink_ = nullptr;
};

// Absolute path of a file of the shared fixtures, e.g. fixture("mdf/types_v330.mdf").
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
// Quotes a text for use as one word of a shell command.
std::string shellQuote(const std::string& text);

// Runs the sqlite3 command-line tool (batch mode, stopping at the first
// error) with sql on the database; its error lines join the output.
CommandResult sqlite3(const std::string& database, const std::string& sql);

// Debian's python3, which has the packages the tests rely on.
std::string python();

}  // namespace testlib
