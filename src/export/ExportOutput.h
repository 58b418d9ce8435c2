// What every export output shares: its outcome, progress reports to the
// context's callback, and the file it is written to, which replaces the
// target only once it is complete.
#pragma once

#include "export/ExportModel.h"

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "support/TargetFile.h"

enum class ExportOutcome { Written, Cancelled, Failed };

// An output that cannot be written as asked (a count its format cannot
// declare, a write that failed); the export reports it and goes on.
class ExportFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ProgressReporter {
public:
    explicit ProgressReporter(COrbkBin const& bin) : m_callback(bin.progress) {}

    // (0, title); false when the host cancels.
    bool Title(wchar_t const* title);
    // done * 100 / total when it differs from the last percentage reported;
    // false when the host cancels. Nothing once done reaches total: 100 is
    // Done's.
    bool Percent(unsigned long long done, unsigned long long total);
    // (100, null).
    void Done();
    // (-1, text).
    void Failed(std::string const& text);

private:
    ExportProgressCallback m_callback;
    int m_last = 0;
};

// One output file: checked against what stands at the target, written under
// a temporary name, renamed onto the target by Commit. Destroyed without a
// Commit, it is closed and removed.
class OutputFile {
public:
    explicit OutputFile(std::wstring target) : m_target(std::move(target)) {}
    ~OutputFile();
    OutputFile(OutputFile const&) = delete;
    OutputFile& operator=(OutputFile const&) = delete;

    std::wstring const& Target() const { return m_target; }
    // Whether the target may be written: not the database itself, nothing
    // but a file of this kind (signature) or an empty one. A diagnostic line
    // tells why not.
    bool MayWrite(CppSQLite3DB* db, std::string_view signature) const;
    // Opens the temporary file with fopen's mode; null with a diagnostic.
    FILE* Open(wchar_t const* mode);
    // The temporary file's path, for writers that open it themselves.
    std::wstring const& PendingPath();
    // Closes the stream opened here; false when a write or the close failed.
    bool Close();
    // Renames the written file onto the target.
    bool Commit();

private:
    std::wstring m_target;
    std::unique_ptr<PendingFile> m_pending;
    FILE* m_stream = nullptr;
};

// The diagnostic line of an output that was not written: printed and told to
// the progress callback.
void ReportUnwritten(ProgressReporter& progress, std::wstring const& target, std::string const& why);
