#include "TestSupport.h"

#include <clocale>
#include <ctime>
#include <fstream>
#include <iterator>
#include <locale.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

// glibc's setlocale keeps a copy of LOCPATH on every call made while it is
// set (see generatedLocale): a leak of the C library, not of this code.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions()
{
    return "leak:__argz_add_sep\n";
}

namespace testlib {

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/vantrel-test-XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

ScopedChdir::ScopedChdir(const std::string& dir)
{
    restore_ = [previous = std::filesystem::current_path()] {
        std::error_code ec;
        std::filesystem::current_path(previous, ec);
    };
    std::filesystem::current_path(dir);
}

ScopedEnv::ScopedEnv(const char* name, const char* value)
{
    const char* old = std::getenv(name);
    restore_ = [name = std::string(name), had = old != nullptr, previous = std::string(old ? old : "")] {
        had ? setenv(name.c_str(), previous.c_str(), 1) : unsetenv(name.c_str());
        tzset();
    };
    value ? setenv(name, value, 1) : unsetenv(name);
    tzset();
}

ScopedLocale::ScopedLocale(const char* name)
{
    restore_ = [previous = std::string(std::setlocale(LC_ALL, nullptr))] { std::setlocale(LC_ALL, previous.c_str()); };
    ok_ = std::setlocale(LC_ALL, name) != nullptr;
}

namespace {

// From the system's locale sources into a folder of our own, which LOCPATH
// names ahead of the system's folder for the rest of the process.
std::string generatedLocale(const char* charmap, const char* name)
{
    static TempDir folder;
    static bool named = false;
    // Its messages are captured with its output and dropped: nothing is written to a file of the machine.
    run("localedef -i de_DE -f " + std::string(charmap) + " " + shellQuote(folder.file(name)) + " 2>&1");
    if (!named) {
        const char* old = std::getenv("LOCPATH");
        setenv("LOCPATH", (folder.path() + ":" + (old && *old ? old : "/usr/lib/locale")).c_str(), 1);
        named = true;
    }
    locale_t locale = newlocale(LC_ALL_MASK, name, static_cast<locale_t>(0));
    if (!locale)
        return "";
    freelocale(locale);
    return name;
}

std::string readAll(std::FILE* file)
{
    std::string text;
    for (int c; (c = std::fgetc(file)) != EOF;)
        text += static_cast<char>(c);
    return text;
}

}  // namespace

std::string commaDecimalLocale()
{
    static const std::string name = generatedLocale("UTF-8", "de_DE.UTF-8");
    return name;
}

std::string latin1Locale()
{
    static const std::string name = generatedLocale("ISO-8859-1", "de_AT.ISO-8859-1");
    return name;
}

StdoutCapture::StdoutCapture() : sink_(std::tmpfile()), saved_(dup(1))
{
    std::fflush(stdout);
    if (!sink_ || saved_ < 0 || dup2(fileno(sink_), 1) < 0)
        throw std::runtime_error("cannot capture standard output");
}

std::string StdoutCapture::text()
{
    if (saved_ < 0)
        return "";
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    saved_ = -1;
    std::rewind(sink_);
    std::string captured = readAll(sink_);
    std::fclose(sink_);
    return captured;
}

std::vector<uint8_t> readBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

CommandResult run(const std::string& command)
{
    // The sanitizer runtime must not be preloaded into the tools we call.
    FILE* pipe = popen(("env -u LD_PRELOAD " + command).c_str(), "r");
    if (!pipe)
        return {};
    CommandResult result{-1, readAll(pipe)};
    int status = pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string shellQuote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace testlib
