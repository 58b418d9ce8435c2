#include "export/CsvExport.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <map>
#include <set>

#include "export/MdfExport.h"
#include "support/CFormat.h"
#include "support/LibUtils.h"

char const* const kCsvSignature = "\"Date\"";

namespace {

// Repeated values are formatted once. The cache holds at most this many
// texts, so a long export of ever new values does not grow without bound.
constexpr size_t kCachedValues = 10000;

std::string Quoted(std::string text)
{
    ReplaceStringInPlace(text, "\"", "\"\"");
    return text;
}

void WriteRowPrefix(FILE* file, double t, COrbkBin const& model)
{
    std::string date, time;
    FormatDateAndTime(TicksFromTime(t), true, date, time);
    const std::string relative = FormatC("%.7f", t - model.minTime);
    const std::string prefix = model.relativeTimeFirst ? relative + "," + date + "," + time
                                                       : date + "," + time + "," + relative;
    std::fputs(prefix.c_str(), file);
}

enum class CellMode { Event, Grid };

// Whether a cell stays blank under the duplicate rule.
bool BlankCell(int writeDuplicates, CDbChannel const& channel, double t, CellMode mode, bool ownMessage,
               bool firstPoint)
{
    CArbitration const& message = *channel.GetArb();
    switch (writeDuplicates) {
    case 0:
        return mode == CellMode::Event ? !ownMessage : !(channel.ValueChanged() || firstPoint);
    case 1:
        return !message.IsTimeValid(t);
    case 2:
        return !message.IsTimeInRange(t);
    default:
        return false;
    }
}

std::string CellText(CDbChannel const& channel, bool writeStateText)
{
    CArbitration& message = *channel.GetArb();
    const int k = channel.GetChannelIndex(&message);
    CArbitration::SignalList const& signal = channel.Signal();
    // A big integer whose message gave no record yet has no value either.
    if (signal.IsBigInt() && !signal.IsEmpty(message.GetCacheIndex())) {
        const unsigned long long bits = message.GetBigIntExportValue(k);
        return signal.DataType == 0 ? FormatC(",%llu", bits) : FormatC(",%lld", static_cast<long long>(bits));
    }
    const double value = message.GetExportValue(k);
    wchar_t const* state = writeStateText && signal.HasText() ? message.FindState(k) : nullptr;
    if (state)
        return ",\"" + Quoted(Latin1FromWide(state)) + FormatC("|%.7g", value) + "\"";
    return CsvValueText(value);
}

void WriteCell(FILE* file, CDbChannel const& channel, bool writeStateText)
{
    std::fputs(CellText(channel, writeStateText).c_str(), file);
}

std::vector<CDbChannel*> FirstsOfMessages(std::vector<CDbChannel>& channels)
{
    std::vector<CDbChannel*> firsts;
    for (CDbChannel& channel : channels)
        if (channel.IsFirstForMessage() && channel.GetArb())
            firsts.push_back(&channel);
    return firsts;
}

}  // namespace

std::string CsvHeading(std::vector<CDbChannel>& channels, bool writeUnits)
{
    const ChannelNameMap names = BuildChannelNameMap(channels, false, "|");
    std::string heading = "\"Date\",\"Time\",\"Time (abs)";
    for (CDbChannel const& channel : channels) {
        if (channel.GetChannelIndex(channel.GetArb()) <= 0)
            continue;
        std::string name = NameOf(names, channel);
        const std::wstring& units = channel.Signal().Units;
        if (writeUnits && !units.empty())
            name += " (" + Latin1FromWide(units) + ")";
        heading += "\",\"" + Quoted(name);
    }
    return heading + "\"\n";
}

std::string const& CsvValueText(double value)
{
    static std::map<double, std::string> cache;
    static std::string const notANumber = ",nan";
    static std::string uncached;
    // A NaN has no place in an ordered cache.
    if (std::isnan(value))
        return notANumber;
    auto found = cache.find(value);
    if (found != cache.end())
        return found->second;
    const bool integral = value >= -2147483648.0 && value <= 2147483647.0 && value == std::trunc(value);
    uncached = integral ? FormatC(",%d", static_cast<int>(value)) : FormatC(",%.7g", value);
    if (cache.size() < kCachedValues)
        return cache.emplace(value, uncached).first->second;
    return uncached;
}

int WriteCsvValue(FILE* file, double value)
{
    return std::fputs(CsvValueText(value).c_str(), file);
}

ExportOutcome WriteAsciiFile(CppSQLite3DB* db, FILE* file, std::vector<CDbChannel>& channels, double /*startTime*/,
                             COrbkBin& model, bool writeStateText, int writeDuplicates)
{
    ProgressReporter progress(model);
    std::vector<CDbChannel*> firsts = FirstsOfMessages(channels);
    unsigned long long total = 0, rows = 0;
    double t = DBL_MAX;
    CArbitration* rowMessage = nullptr;
    for (CDbChannel* first : firsts) {
        total += static_cast<unsigned long long>(std::max<int64_t>(first->GetArb()->MessageCount, 0));
        const double time = first->GetFirstRecord(db);
        if (time < t) {
            t = time;
            rowMessage = first->GetArb();
        }
    }
    std::set<CArbitration*> writtenAtT;
    // The cells of a message hold the values of its last row until its next
    // one: its cursor already stands on its next record. Before its first
    // row a message shows its first record.
    // Empty until the message's first row (a cell's text is never empty).
    std::vector<std::string> held(channels.size());
    while (t < DBL_MAX) {
        if (!progress.Percent(rows, total))
            return ExportOutcome::Cancelled;
        WriteRowPrefix(file, t, model);
        for (size_t c = 0; c < channels.size(); ++c) {
            CDbChannel const& channel = channels[c];
            if (channel.GetChannelIndex(channel.GetArb()) <= 0)
                continue;
            const bool own = channel.GetArb() == rowMessage;
            if (BlankCell(writeDuplicates, channel, t, CellMode::Event, own, false)) {
                std::fputc(',', file);
            } else if (own) {
                held[c] = CellText(channel, writeStateText);
                std::fputs(held[c].c_str(), file);
            } else if (!held[c].empty()) {
                std::fputs(held[c].c_str(), file);
            } else {
                WriteCell(file, channel, writeStateText);
            }
        }
        std::fputc('\n', file);
        ++rows;
        // Messages recorded at the same instant follow in the model's order.
        CArbitration* sameTime = nullptr;
        for (auto const& entry : model.messages) {
            CArbitration* message = entry.second;
            if (message != rowMessage && message->GetTimeStamp() == t && !writtenAtT.count(message) &&
                !message->IsExhausted()) {
                sameTime = message;
                break;
            }
        }
        if (sameTime) {
            writtenAtT.insert(rowMessage);
            writtenAtT.insert(sameTime);
            rowMessage = sameTime;
            continue;
        }
        writtenAtT.clear();
        double next = DBL_MAX;
        for (CDbChannel* first : firsts)
            if (first->GetNextTimeStamp(db, t, next))
                rowMessage = first->GetArb();
        t = next;
    }
    return ExportOutcome::Written;
}

ExportOutcome WriteForceRateFromDb(CppSQLite3DB* db, FILE* file, double period, double start, int points,
                                   int /*channelCount*/, std::vector<CDbChannel>& channels, double /*startAgain*/,
                                   COrbkBin& model, bool writeStateText, int writeDuplicates)
{
    ProgressReporter progress(model);
    for (CDbChannel& channel : channels)
        channel.ResetTimestamps();
    for (long long i = 0; i < points;) {
        if (!progress.Percent(static_cast<unsigned long long>(i), static_cast<unsigned long long>(points)))
            return ExportOutcome::Cancelled;
        const double t = static_cast<double>(i) * period + start;
        WriteRowPrefix(file, t, model);
        const long long nextIndex = NextGridIndex(db, i, t, period, model, channels);
        for (CDbChannel& channel : channels) {
            CArbitration* message = channel.GetArb();
            if (!message)
                continue;
            if (channel.IsFirstForMessage()) {
                if (!message->IsTimeValid(t)) {
                    if (writeDuplicates == 3 || i == 0)
                        channel.GetFirstRecord(db);
                    else
                        for (CArbitration::SignalList& signal : message->m_signals)
                            signal.m_changed = false;  // nothing new at this point
                } else {
                    const double ts = channel.GetNearestTimestamp(db, t);
                    channel.GetCursor()->FillValuesAt(db, ts, model.collectionMask);
                }
            }
            if (channel.GetChannelIndex(message) <= 0)
                continue;
            if (BlankCell(writeDuplicates, channel, t, CellMode::Grid, false, i == 0))
                std::fputc(',', file);
            else
                WriteCell(file, channel, writeStateText);
        }
        std::fputc('\n', file);
        i = nextIndex;
    }
    return ExportOutcome::Written;
}
