// Builds the measurement database of an MDF file made of the fuzz input
// through CreateDatabase, the path every user's file takes: reading the
// blocks, deciding the messages and signals, reading every record into the
// record tables and the statistics. Nothing may crash, hang, leak or trip a
// sanitizer; a build that reports success leaves the database at its
// target, and a failed one leaves nothing behind.
//
// The work per input needs no cap of its own: the reader bounds every
// group's record count by the data the file holds (a larger declared count
// is cut to it), so the records read are bounded by the input's size.
//
// The database and the library's diagnostic lines (standard output) go to a
// scratch folder of the temporary directory, removed at exit with whatever
// is in it; a run that ended without exit handlers (a crash, a timeout) has
// its folder removed by the next run.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "FuzzSupport.h"
#include "vantrel.h"

namespace {

struct Scratch {
    std::string folder;
    std::string database;
    std::string diagnostics;
    int diagnosticsFd = -1;  // append-only, emptied before each build
    int standardOutput = -1;  // the process's own, back after each build
};

Scratch MakeScratch()
{
    Scratch scratch;
    scratch.folder = fuzz::MakeScratchFolder("build_fuzz");
    scratch.database = scratch.folder + "/built.db";
    scratch.diagnostics = scratch.folder + "/diagnostics.txt";
    scratch.diagnosticsFd = ::open(scratch.diagnostics.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    scratch.standardOutput = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
    if (scratch.diagnosticsFd < 0 || scratch.standardOutput < 0)
        std::abort();
    return scratch;
}

// Standard output goes to the diagnostics file while it lives.
class QuietOutput {
public:
    explicit QuietOutput(Scratch const& scratch) : m_scratch(scratch)
    {
        std::fflush(stdout);
        if (::ftruncate(m_scratch.diagnosticsFd, 0) != 0 || ::dup2(m_scratch.diagnosticsFd, 1) < 0)
            std::abort();
    }
    ~QuietOutput()
    {
        std::fflush(stdout);
        ::dup2(m_scratch.standardOutput, 1);
    }

private:
    Scratch const& m_scratch;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const Scratch scratch = MakeScratch();
    fuzz::MemoryFile file(data, size);
    if (file.path().empty())
        return 0;
    int built;
    {
        QuietOutput quiet(scratch);
        built = CreateDatabase(file.path().c_str(), scratch.database.c_str());
    }
    bool found = false;
    std::error_code error;
    for (auto const& entry : std::filesystem::directory_iterator(scratch.folder, error)) {
        if (entry.path() == scratch.database) {
            found = true;
        } else if (entry.path() != scratch.diagnostics) {
            std::fprintf(stderr, "the build left %s beside the database\n", entry.path().c_str());
            std::abort();
        }
    }
    if (error || found != (built == 1)) {
        std::fprintf(stderr, "the build returned %d with %s database\n", built, found ? "a" : "no");
        std::abort();
    }
    ::unlink(scratch.database.c_str());
    return 0;
}
