// The export engine: channel selection and order, settings, the time grid,
// and the outputs in their fixed order; and the exported export functions.
#include "export/ExportEngine.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <ctime>
#include <cwchar>
#include <cwctype>
#include <new>

#include "export/CsvExport.h"
#include "export/MatExport.h"
#include "export/MdfExport.h"
#include "mat/RecFileStc.h"
#include "mdfwrite/MDFFile_V4.h"
#include "support/CFormat.h"
#include "support/CppSQLite3U.h"
#include "support/LibUtils.h"
#include "support/Paths.h"
#include "support/Utf8.h"

namespace {

wchar_t const kSettingsKey[] = L"Software\\norvaneinc\\Kalderon\\Plotter\\General";

// Channels exported from a message: appended to the selection, and the
// message's time range widens the export's.
void TakeMessage(CArbDbInfo* cursor, bool everything, unsigned mask, ExportSelection& selection)
{
    CArbitration& message = *cursor->GetArb();
    for (CArbitration::UnplacedChannel const& unplaced : message.m_unplaced)
        if (everything || unplaced.signal.IsInCollection(mask))
            selection.unplaced.push_back(FormatC("The channel %s of message %s is not exported: %s",
                                                 mbstring(unplaced.signal.Name).c_str(),
                                                 mbstring(message.m_signals[0].Name).c_str(), unplaced.reason.c_str()));
    int taken = 0;
    for (size_t k = 1; k < message.m_signals.size(); ++k) {
        CArbitration::SignalList& signal = message.m_signals[k];
        if (!everything)
            ++selection.allChannels;
        if (everything) {
            // A column no Channels row describes has no name to export.
            if (signal.MessageChannel <= 0)
                continue;
            if (signal.Sequence == 0)
                signal.Sequence = 1;
            // Physical values stay physical: only stored values are re-kinded.
            if (signal.m_kind != CArbitration::kKindPhysical)
                signal.m_kind = signal.m_states.empty() ? CArbitration::kKindPlain : CArbitration::kKindText;
        } else if (!signal.IsInCollection(mask)) {
            continue;
        }
        CDbChannel channel;
        channel.SetArb(&message, static_cast<int>(k), cursor, false);
        selection.channels.push_back(channel);
        ++taken;
    }
    selection.exportedChannels += taken;
    if (taken == 0)
        return;
    message.ResetCache();
    ++selection.exportedMessages;
    selection.start = std::min(selection.start, message.GetMinTimeStamp());
    selection.end = std::max(selection.end, message.GetMaxTimeStamp());
}

ExportSettings ReadSettings()
{
    ExportSettings settings;
    settings.writeStateText = ReadRegValue(0, kSettingsKey, L"WriteStateText", 1) != 0;
    settings.writeUnits = ReadRegValue(0, kSettingsKey, L"WriteUnits", 0) != 0;
    settings.writeDuplicates = static_cast<int>(ReadRegValue(0, kSettingsKey, L"WriteDuplicates", 0));
    settings.groupMessages = static_cast<int>(ReadRegValue(0, kSettingsKey, L"GroupMessages", 1));
    const std::wstring gap = ReadRegStringValue(0, kSettingsKey, L"ForceRateGap", L"");
    if (!gap.empty()) {
        const double seconds = StrtodC(Utf8FromWide(gap).c_str(), nullptr);
        settings.forceRateGap = std::isfinite(seconds) && seconds > 0.0 ? seconds : 0.0;
        settings.hasForceRateGap = true;
    }
    return settings;
}

bool IsMf4Extension(std::wstring const& extension)
{
    std::wstring lower = extension;
    for (wchar_t& c : lower)
        c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    return lower == L".mf4";
}

// The header's start: the UTC calendar second of the time base.
tm HeaderDate(COrbkBin const& bin)
{
    const time_t when = static_cast<time_t>(MdfTimeBase(bin)) + 1167609600;
    tm broken{};
    gmtime_r(&when, &broken);
    return broken;
}

class ExportRun {
public:
    ExportRun(CppSQLite3DB* db, std::vector<CArbDbInfo*>& cursors, COrbkBin& bin, std::wstring const& outBase,
              ExportSelection& selection, long long points, double period)
        : m_db(db), m_cursors(cursors), m_bin(bin), m_outBase(outBase), m_selection(selection), m_points(points),
          m_period(period), m_progress(bin)
    {
    }

    ExportSettings settings;

    // Each runs one output; Cancelled ends the export.
    ExportOutcome Csv();
    ExportOutcome Mat();
    ExportOutcome Mdf(bool version4);
    void ReportNothingToWrite(unsigned formats);

private:
    ExportOutcome WriteMdfFile(MDFFile& writer, FILE* fp, bool version4);
    ExportOutcome WriteCsvFile(FILE* fp);
    ExportOutcome WriteMatFile(MATFile_tag* file);
    // ForceRateGap as CSV, MAT and MDF 4.00 use it: none below the period.
    void GapBelowPeriodIsNone() { m_bin.ForceRateGap = settings.forceRateGap < m_period ? 0.0 : settings.forceRateGap; }
    ExportOutcome Finish(OutputFile& out, ExportOutcome outcome, bool closed);
    unsigned long long MdfGroupCount() const;
    void CheckGrid() const;

    CppSQLite3DB* m_db;
    std::vector<CArbDbInfo*>& m_cursors;
    COrbkBin& m_bin;
    std::wstring const& m_outBase;
    ExportSelection& m_selection;
    long long m_points;
    double m_period;
    ProgressReporter m_progress;
};

void ExportRun::CheckGrid() const
{
    if (m_points > INT_MAX)
        throw ExportFailure(FormatC("a grid of %lld points is more than an export can write", m_points));
}

unsigned long long ExportRun::MdfGroupCount() const
{
    if (m_points >= 1)
        return m_selection.exportedChannels > 0 ? 1 : 0;
    return settings.groupMessages == 0 ? m_selection.exportedChannels : m_selection.exportedMessages;
}

ExportOutcome ExportRun::WriteMdfFile(MDFFile& writer, FILE* fp, bool version4)
{
    const unsigned long long groups = MdfGroupCount();
    if (groups > 0xFFFF)
        throw ExportFailure(FormatC("%llu data groups are more than an MDF file can count", groups));
    auto text = [version4](std::string const& utf8) {
        const std::wstring wide = WideFromUtf8(utf8);
        // The 4.00 header comment is decoded through the C locale.
        return version4 ? mbstring(wide) : Latin1FromWide(wide);
    };
    MdfHeaderInfo header(text(m_bin.headerText2).c_str(), text(m_bin.headerText3).c_str(),
                         text(m_bin.headerText1).c_str());
    tm date = HeaderDate(m_bin);
    if (writer.WriteHeader(header, static_cast<unsigned short>(groups), &date) != 0)
        return ExportOutcome::Failed;
    writer.WriteHeaderToFile(fp);
    const int channels = m_selection.exportedChannels;
    if (groups == 0)
        return writer.HasFailed() ? ExportOutcome::Failed : ExportOutcome::Written;
    if (m_points >= 1) {
        CheckGrid();
        if (version4)
            GapBelowPeriodIsNone();
        else
            m_bin.ForceRateGap = settings.forceRateGap;
        return WriteForceRateFromDb(m_db, &writer, fp, m_period, m_selection.start, m_bin,
                                    static_cast<int>(m_points), channels, 64, m_selection.channels);
    }
    if (settings.groupMessages == 0)
        return WriteMdf(m_db, &writer, fp, m_bin, true, channels, 64, m_selection.channels);
    return WriteGroupedMdf(m_db, &writer, fp, m_bin, true, channels, 64, m_cursors);
}

ExportOutcome ExportRun::Finish(OutputFile& out, ExportOutcome outcome, bool closed)
{
    if (outcome == ExportOutcome::Cancelled)
        return outcome;
    if (outcome == ExportOutcome::Written && closed && out.Commit()) {
        m_progress.Done();
        return outcome;
    }
    ReportUnwritten(m_progress, out.Target(), "writing it failed");
    return ExportOutcome::Failed;
}

ExportOutcome ExportRun::WriteCsvFile(FILE* fp)
{
    std::fputs(CsvHeading(m_selection.channels, settings.writeUnits).c_str(), fp);
    if (m_points < 1)
        return WriteAsciiFile(m_db, fp, m_selection.channels, m_selection.start, m_bin, settings.writeStateText,
                              settings.writeDuplicates);
    CheckGrid();
    GapBelowPeriodIsNone();
    return WriteForceRateFromDb(m_db, fp, m_period, m_selection.start, static_cast<int>(m_points),
                                m_selection.exportedChannels, m_selection.channels, m_selection.start, m_bin,
                                settings.writeStateText, settings.writeDuplicates);
}

ExportOutcome ExportRun::Csv()
{
    if (!m_progress.Title(L"Writing ASCII file"))
        return ExportOutcome::Cancelled;
    OutputFile out(m_outBase + L" Log File.csv");
    if (!out.MayWrite(m_db, kCsvSignature)) {
        ReportUnwritten(m_progress, out.Target(), "it would replace another file");
        return ExportOutcome::Failed;
    }
    FILE* fp = out.Open(L"wte");
    if (!fp) {
        ReportUnwritten(m_progress, out.Target(), "it cannot be created");
        return ExportOutcome::Failed;
    }
    ExportOutcome outcome;
    try {
        outcome = WriteCsvFile(fp);
    } catch (ExportFailure const& failure) {
        ReportUnwritten(m_progress, out.Target(), failure.what());
        return ExportOutcome::Failed;
    }
    // A cancel keeps the rows written so far; each is whole, and a table is
    // read row by row. The export ends all the same.
    if (outcome == ExportOutcome::Cancelled && !out.Commit())
        ReportUnwritten(m_progress, out.Target(), "writing it failed");
    return Finish(out, outcome, out.Close());
}

ExportOutcome ExportRun::WriteMatFile(MATFile_tag* file)
{
    std::string startDate, startTime, stopDate, stopTime;
    FormatDateAndTime(TicksFromTime(m_bin.minTime), false, startDate, startTime);
    FormatDateAndTime(TicksFromTime(m_bin.maxTime), false, stopDate, stopTime);
    if (!WriteStructureHeader(file, startDate.c_str(), startTime.c_str(), stopDate.c_str(), stopTime.c_str(),
                              m_selection.exportedChannels))
        return ExportOutcome::Failed;
    if (settings.groupMessages == 0)
        return WriteMatlabStruct(m_db, file, m_bin, m_selection.channels);
    return WriteGroupedMatlabStruct(m_db, file, m_bin, m_selection.exportedChannels, m_selection.channels, m_cursors);
}

ExportOutcome ExportRun::Mat()
{
    if (!m_progress.Title(L"Writing MAT file"))
        return ExportOutcome::Cancelled;
    try {
        if (m_points >= 1) {
            CheckGrid();
            GapBelowPeriodIsNone();
            const ExportOutcome outcome = WriteOneArrayFromDb(m_db, m_outBase, m_period, m_selection.start, m_bin,
                                                              m_points, m_selection.exportedChannels,
                                                              m_selection.channels);
            if (outcome == ExportOutcome::Written)
                m_progress.Done();
            return outcome;
        }
    } catch (ExportFailure const& failure) {
        ReportUnwritten(m_progress, m_outBase + L".mat", failure.what());
        return ExportOutcome::Failed;
    }
    OutputFile out(m_outBase + L".mat");
    if (!out.MayWrite(m_db, kMatSignature)) {
        ReportUnwritten(m_progress, out.Target(), "it would replace another file");
        return ExportOutcome::Failed;
    }
    MATFile_tag* file = matOpen(PathBytes(out.PendingPath()).value_or(std::string()).c_str(), "wL");
    if (!file) {
        ReportUnwritten(m_progress, out.Target(), "it cannot be created");
        return ExportOutcome::Failed;
    }
    ExportOutcome outcome = ExportOutcome::Failed;
    try {
        outcome = WriteMatFile(file);
    } catch (...) {
        matClose(file);
        throw;
    }
    return Finish(out, outcome, matClose(file) == 0);
}

ExportOutcome ExportRun::Mdf(bool version4)
{
    OutputFile out(m_outBase + (version4 ? std::wstring(L".mf4") : settings.mdfExtension));
    if (!out.MayWrite(m_db, kMdfSignature)) {
        ReportUnwritten(m_progress, out.Target(), "it would replace another file");
        return ExportOutcome::Failed;
    }
    FILE* fp = out.Open(L"wbe");
    if (!fp) {
        ReportUnwritten(m_progress, out.Target(), "it cannot be created");
        return ExportOutcome::Failed;
    }
    std::unique_ptr<MDFFile> writer = version4 ? std::make_unique<MDFFile_V4>() : std::make_unique<MDFFile>();
    if (!m_progress.Title(version4 ? L"Writing MDF4 file" : L"Writing MDF file"))
        return ExportOutcome::Cancelled;
    ExportOutcome outcome;
    try {
        outcome = WriteMdfFile(*writer, fp, version4);
    } catch (ExportFailure const& failure) {
        ReportUnwritten(m_progress, out.Target(), failure.what());
        return ExportOutcome::Failed;
    }
    if (outcome == ExportOutcome::Cancelled)
        return outcome;
    if (outcome == ExportOutcome::Written && !writer->HasFailed() && out.Commit()) {
        m_progress.Done();
        return outcome;
    }
    ReportUnwritten(m_progress, out.Target(), "writing it failed");
    return ExportOutcome::Failed;
}

void ExportRun::ReportNothingToWrite(unsigned formats)
{
    if (formats & kExportMdf3)
        settings.mdfExtension = ReadRegStringValue(0, kSettingsKey, L"MDF Extension", L".dat");
    const std::pair<unsigned, std::wstring> outputs[] = {{kExportCsv, L" Log File.csv"},
                                                         {kExportMat, L".mat"},
                                                         {kExportMdf3, settings.mdfExtension},
                                                         {kExportMdf4, L".mf4"}};
    for (auto const& [format, suffix] : outputs)
        if (formats & format)
            ReportUnwritten(m_progress, m_outBase + suffix, "none of the selected channels can be exported");
}

// Grid points over the export's time range; 0 without a usable range or rate.
long long GridPoints(double start, double end, int rateMs)
{
    if (rateMs <= 0 || !std::isfinite(start) || !std::isfinite(end) || !(end > start))
        return 0;
    const double points = (end - start) * 1000.0 / rateMs;
    if (!std::isfinite(points))
        return LLONG_MAX;
    return points >= 9.2e18 ? LLONG_MAX : static_cast<long long>(points);
}

}  // namespace

ExportSelection SelectExportChannels(std::vector<CArbDbInfo*>& cursors, COrbkBin& bin)
{
    std::stable_sort(cursors.begin(), cursors.end(), SortMessages);
    ExportSelection selection;
    for (CArbDbInfo* cursor : cursors)
        TakeMessage(cursor, false, bin.collectionMask, selection);
    if (selection.channels.empty() && selection.exportedMessages == 0 && selection.unplaced.empty()) {
        if (Exp_ShowProgress)
            std::wprintf(L"Nothing selected, exporting all channels...\n");
        bin.collectionMask = 0xFFFFFFFFu;
        for (CArbDbInfo* cursor : cursors)
            TakeMessage(cursor, true, bin.collectionMask, selection);
    }
    if (Exp_ShowProgress)
        std::wprintf(L"Exporting %d channels from %d messages, total channels: %d...\n", selection.exportedChannels,
                     selection.exportedMessages, selection.allChannels);
    for (std::string const& line : selection.unplaced)
        DebugOutput(line.c_str());
    std::stable_sort(selection.channels.begin(), selection.channels.end(), SortChannels);
    std::vector<CArbitration*> seen;
    for (CDbChannel& channel : selection.channels) {
        if (std::find(seen.begin(), seen.end(), channel.GetArb()) != seen.end())
            continue;
        seen.push_back(channel.GetArb());
        channel.SetFirst(true);
    }
    return selection;
}

bool RunExport(CppSQLite3DB* db, std::vector<CArbDbInfo*>& cursors, COrbkBin& bin, std::wstring const& outBase,
               unsigned formats, int rateMs)
{
    ExportSelection selection = SelectExportChannels(cursors, bin);
    const long long points = GridPoints(selection.start, selection.end, rateMs);
    const double period = rateMs / 1000.0;
    ExportRun run(db, cursors, bin, outBase, selection, points, period);
    run.settings = ReadSettings();
    if (selection.channels.empty() && !selection.unplaced.empty()) {
        // Channels were selected, and not one can be written: no output
        // may pass for their export.
        run.ReportNothingToWrite(formats);
        return false;
    }
    if (run.settings.hasForceRateGap)
        bin.ForceRateGap = run.settings.forceRateGap;
    else
        run.settings.forceRateGap = bin.ForceRateGap;
    bool written = true;
    for (unsigned format : {kExportCsv, kExportMat}) {
        if (!(formats & format))
            continue;
        const ExportOutcome outcome = format == kExportCsv ? run.Csv() : run.Mat();
        if (outcome == ExportOutcome::Cancelled)
            return false;
        written = written && outcome == ExportOutcome::Written;
    }
    if (formats & (kExportMdf3 | kExportMdf4)) {
        run.settings.mdfExtension = ReadRegStringValue(0, kSettingsKey, L"MDF Extension", L".dat");
        if (IsMf4Extension(run.settings.mdfExtension) && !(formats & kExportMdf4))
            formats = (formats & ~kExportMdf3) | kExportMdf4;
        for (bool version4 : {false, true}) {
            if (!(formats & (version4 ? kExportMdf4 : kExportMdf3)))
                continue;
            const ExportOutcome outcome = run.Mdf(version4);
            if (outcome == ExportOutcome::Cancelled)
                return false;
            written = written && outcome == ExportOutcome::Written;
        }
    }
    return written;
}

void ExportDbData(CppSQLite3DB* db, std::map<void*, CArbitration*>& /*messages*/, std::vector<CArbDbInfo*>& cursors,
                  COrbkBin& bin, std::wstring& outBase, unsigned formats, int rateMs)
{
    if (!db)
        throw CppSQLite3Exception(CPPSQLITE_ERROR, L"Database not open");
    // Only the documented exception leaves the library.
    try {
        RunExport(db, cursors, bin, outBase, formats, rateMs);
    } catch (CppSQLite3Exception const&) {
        throw;
    } catch (std::bad_alloc const&) {
        throw CppSQLite3Exception(CPPSQLITE_ERROR, L"Out of memory during the export");
    } catch (std::exception const& e) {
        throw CppSQLite3Exception(CPPSQLITE_ERROR, widestring(e.what()).c_str());
    } catch (...) {
        throw CppSQLite3Exception(CPPSQLITE_ERROR, L"Unexpected failure during the export");
    }
}

// ---- Exported functions ------------------------------------------------------

namespace {

// Owns the cursors the loading hands out.
struct CursorList {
    std::vector<CArbDbInfo*> cursors;
    ~CursorList()
    {
        for (CArbDbInfo* cursor : cursors)
            delete cursor;
    }
};

int ExportDatabase(wchar_t const* dbPath, wchar_t const* outBase, double rateSeconds)
{
    if (!dbPath || !outBase) {
        DebugOutput("ExportToMdf needs a database and an output name");
        return 0;
    }
    if (!CheckPaths({dbPath, outBase}))
        return 0;
    try {
        CppSQLite3DB db;
        db.open(dbPath);
        COrbkBin bin;
        CursorList list;
        if (!LoadChannelsFromDatabase(&db, bin, list.cursors))
            return 0;
        if (rateSeconds > 0.0)
            CreateIndices(&db, bin.messages, bin.progress);
        const double milliseconds = rateSeconds * 1000.0;
        const int rateMs = milliseconds > 0.0 ? static_cast<int>(std::min(milliseconds, double(INT_MAX))) : -1;
        return RunExport(&db, list.cursors, bin, outBase, kExportMdf3, rateMs) ? 1 : 0;
    } catch (CppSQLite3Exception const& e) {
        std::string line = mbstring(CppSQLite3Exception::errorCodeAsString(e.errorCode()));
        line += " error from: ";
        line += PathForMessage(dbPath);
        DebugOutput(line.c_str());
    } catch (std::bad_alloc const&) {
        DebugOutput("Out of memory during the export");
    } catch (...) {
        DebugOutput("Unexpected failure during the export");
    }
    return 0;
}

}  // namespace

extern "C" {

VANTREL_API int ExportToMdfForceRateW(wchar_t const* dbPath, wchar_t const* outBase, double rateSeconds)
{
    return ExportDatabase(dbPath, outBase, rateSeconds);
}

VANTREL_API int ExportToMdfW(wchar_t const* dbPath, wchar_t const* outBase)
{
    return ExportDatabase(dbPath, outBase, -1.0);
}

VANTREL_API int ExportToMdfForceRate(char const* dbPath, char const* outBase, double rateSeconds)
{
    try {
        if (!dbPath || !outBase)
            return ExportDatabase(nullptr, nullptr, rateSeconds);
        return ExportDatabase(WidePath(dbPath).c_str(), WidePath(outBase).c_str(), rateSeconds);
    } catch (...) {
        DebugOutput("Unexpected failure during the export");
        return 0;
    }
}

VANTREL_API int ExportToMdf(char const* dbPath, char const* outBase)
{
    return ExportToMdfForceRate(dbPath, outBase, -1.0);
}

}  // extern "C"
