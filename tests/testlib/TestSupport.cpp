#include "TestSupport.h"

#include <clocale>
#include <cstdio>
#include <cstring>
#include <langinfo.h>
#include <locale.h>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

// glibc's setlocale keeps a copy of LOCPATH on every call made while it is
// set (see commaDecimalLocale): a leak of the C library, not of this code.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions()
{
    return "leak:__argz_add_sep\n";
}

namespace testlib {

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/vantrel-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = buffer.data();
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

ScopedChdir::ScopedChdir(const std::string& dir)
    : previous_(std::filesystem::current_path().string())
{
    std::filesystem::current_path(dir);
}

ScopedChdir::~ScopedChdir()
{
    std::error_code ec;
    std::filesystem::current_path(previous_, ec);
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name)
{
    const char* old = std::getenv(name);
    hadValue_ = old != nullptr;
    if (old)
        previous_ = old;
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
    tzset();
}

ScopedEnv::~ScopedEnv()
{
    if (hadValue_)
        setenv(name_.c_str(), previous_.c_str(), 1);
    else
        unsetenv(name_.c_str());
    tzset();
}

ScopedLocale::ScopedLocale(const char* name) : previous_(std::setlocale(LC_ALL, nullptr))
{
    ok_ = std::setlocale(LC_ALL, name) != nullptr;
}

ScopedLocale::~ScopedLocale()
{
    std::setlocale(LC_ALL, previous_.c_str());
}

namespace {

bool hasCommaDecimal(const std::string& name)
{
    locale_t locale = newlocale(LC_ALL_MASK, name.c_str(), static_cast<locale_t>(0));
    if (!locale)
        return false;
    bool comma = std::strcmp(nl_langinfo_l(RADIXCHAR, locale), ",") == 0;
    freelocale(locale);
    return comma;
}

bool exists(const std::string& name, const char* codeset = nullptr)
{
    locale_t locale = newlocale(LC_ALL_MASK, name.c_str(), static_cast<locale_t>(0));
    if (!locale)
        return false;
    bool found = !codeset || std::strcmp(nl_langinfo_l(CODESET, locale), codeset) == 0;
    freelocale(locale);
    return found;
}

// Generated without touching the system: a locale folder of our own, named
// by LOCPATH ahead of the system's.
std::string generateLocale(const char* charmap, const std::string& name)
{
    static TempDir folder;
    static bool named = false;
    run("localedef -i de_DE -f " + std::string(charmap) + " " + shellQuote(folder.file(name)) + " >/dev/null 2>&1");
    if (!named) {
        const char* old = std::getenv("LOCPATH");
        std::string path = folder.path() + ":" + (old && *old ? old : "/usr/lib/locale");
        setenv("LOCPATH", path.c_str(), 1);
        named = true;
    }
    return exists(name) ? name : "";
}

std::string findCommaDecimalLocale()
{
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "de_DE"})
        if (hasCommaDecimal(name))
            return name;
    return hasCommaDecimal(generateLocale("UTF-8", "de_DE.UTF-8")) ? "de_DE.UTF-8" : "";
}

std::string findLatin1Locale()
{
    for (const char* name : {"de_DE.ISO-8859-1", "de_DE", "en_US.ISO-8859-1"})
        if (exists(name, "ISO-8859-1"))
            return name;
    // A name not probed above: the C library remembers names it did not find.
    std::string generated = generateLocale("ISO-8859-1", "de_AT.ISO-8859-1");
    return exists(generated, "ISO-8859-1") ? generated : "";
}

}  // namespace

std::string commaDecimalLocale()
{
    static const std::string name = findCommaDecimalLocale();
    return name;
}

std::string latin1Locale()
{
    static const std::string name = findLatin1Locale();
    return name;
}

StdoutCapture::StdoutCapture()
{
    std::fflush(stdout);
    sink_ = std::tmpfile();
    saved_ = dup(1);
    if (!sink_ || saved_ < 0 || dup2(fileno(sink_), 1) < 0)
        throw std::runtime_error("cannot capture standard output");
}

StdoutCapture::~StdoutCapture()
{
    stop();
}

void StdoutCapture::stop()
{
    if (saved_ < 0)
        return;
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    saved_ = -1;
}

std::string StdoutCapture::text()
{
    stop();
    std::string captured;
    if (!sink_)
        return captured;
    std::rewind(sink_);
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, sink_)) > 0)
        captured.append(buffer, n);
    std::fclose(sink_);
    sink_ = nullptr;
    return captured;
}

std::string fixture(const std::string& relative)
{
    const char* dir = std::getenv("VANTREL_FIXTURES");
    return std::string(dir && *dir ? dir : VANTREL_FIXTURES_DIR) + "/" + relative;
}

std::string sourcePath(const std::string& relative)
{
    return std::string(VANTREL_SOURCE_DIR) + "/" + relative;
}

std::vector<uint8_t> readBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string readText(const std::string& path)
{
    std::vector<uint8_t> bytes = readBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

void writeText(const std::string& path, const std::string& text)
{
    writeBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

bool fileExists(const std::string& path)
{
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

CommandResult run(const std::string& command)
{
    CommandResult result;
    // The sanitizer runtime must not be preloaded into the tools we call.
    std::string full = "env -u LD_PRELOAD " + command;
    FILE* pipe = popen(full.c_str(), "r");
    if (!pipe)
        return result;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.output.append(buffer, n);
    int status = pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string shellQuote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

CommandResult sqlite3(const std::string& database, const std::string& sql)
{
    return run("sqlite3 -batch -bail " + shellQuote(database) + " " + shellQuote(sql) + " 2>&1");
}

std::string python()
{
    const char* configured = std::getenv("VANTREL_PYTHON");
    return configured && *configured ? configured : VANTREL_PYTHON;
}

}  // namespace testlib
