#include "export/ExportOutput.h"

#include "support/CFormat.h"
#include "support/LibUtils.h"
#include "support/Paths.h"

bool ProgressReporter::Title(wchar_t const* title)
{
    m_last = 0;
    return !m_callback || m_callback(0, title) != 0;
}

bool ProgressReporter::Percent(unsigned long long done, unsigned long long total)
{
    // 100 is the end report alone: a writer past its last item (a message
    // without a channel to write after the last one that had) reports none.
    if (!m_callback || done >= total)
        return true;
    const int percent = static_cast<int>(done * 100.0L / total);
    if (percent == m_last)
        return true;
    m_last = percent;
    return m_callback(percent, nullptr) != 0;
}

void ProgressReporter::Done()
{
    if (m_callback)
        m_callback(100, nullptr);
}

void ProgressReporter::Failed(std::string const& text)
{
    if (m_callback)
        m_callback(-1, widestring(text).c_str());
}

OutputFile::~OutputFile()
{
    if (m_stream)
        std::fclose(m_stream);
}

bool OutputFile::MayWrite(CppSQLite3DB* db, std::string_view signature) const
{
    const std::wstring source = db ? db->fileName() : std::wstring();
    if (!source.empty() && SameFile(m_target, source)) {
        DebugOutput1("The export %s would replace the database it is made from", PathForMessage(m_target).c_str());
        return false;
    }
    return MayReplaceTarget(m_target, signature);
}

std::wstring const& OutputFile::PendingPath()
{
    if (!m_pending)
        m_pending = std::make_unique<PendingFile>(m_target);
    return m_pending->path();
}

FILE* OutputFile::Open(wchar_t const* mode)
{
    m_stream = Owfopen(PendingPath().c_str(), mode);
    if (!m_stream)
        DebugOutput1("Could not create the export file %s", PathForMessage(m_target).c_str());
    return m_stream;
}

bool OutputFile::Close()
{
    if (!m_stream)
        return true;
    const bool failed = std::ferror(m_stream) != 0;
    const bool closed = std::fclose(m_stream) == 0;
    m_stream = nullptr;
    return closed && !failed;
}

bool OutputFile::Commit()
{
    return Close() && m_pending && m_pending->Commit();
}

void ReportUnwritten(ProgressReporter& progress, std::wstring const& target, std::string const& why)
{
    const std::string line = FormatC("The export file %s was not written: %s", PathForMessage(target).c_str(),
                                     why.c_str());
    DebugOutput(line.c_str());
    progress.Failed(line);
}
