// The channel lists of an MDF file: every channel's name with its message and
// network (mode 0), or with the statistics of its values gathered exactly as
// the builder gathers them (mode 1), written as one JSON document.

#include <cmath>
#include <new>
#include <vector>

#include "dbbuild/DumpSignals.h"
#include "dbbuild/GroupReader.h"
#include "dbbuild/MdfKvxDb.h"
#include "jsonxx/jsonxx.h"
#include "mdfread/MDFFileOp.h"
#include "support/CFormat.h"
#include "support/LibUtils.h"
#include "support/Paths.h"
#include "support/TargetFile.h"
#include "support/Utf8.h"
#include "vantrel.h"

namespace {

// A channel's texts as the list shows them: UTF-8 whatever the file holds
// (MDF 3 texts are Latin-1), the comment split at its first " | ".
struct ChannelTexts {
    std::string name;
    std::string unit;
    std::string message;
    std::string network;
    bool named = false;  // the comment names the message and the network
};

std::string Utf8Text(std::string const& text)
{
    return Utf8FromWide(widestring(text));
}

ChannelTexts TextsOf(CCNBlockOp* channel)
{
    std::string name, unit, comment;
    channel->GetChannelInfo(name, unit, comment);
    ChannelTexts texts;
    texts.name = Utf8Text(name);
    texts.unit = Utf8Text(unit);
    const size_t separator = comment.find(" | ");
    if (separator != std::string::npos) {
        texts.named = true;
        texts.message = Utf8Text(comment.substr(0, separator));
        texts.network = Utf8Text(comment.substr(separator + 3));
    }
    return texts;
}

// Without a " | " comment a channel's message is its group's label, which
// only the statistics list (groupLabel not null) gives.
jsonxx::Object NameEntry(ChannelTexts const& texts, std::string const* groupLabel)
{
    jsonxx::Object entry;
    entry.import("name", texts.name);
    if (texts.named) {
        entry.import("message_name", texts.message);
        entry.import("network_name", texts.network);
    } else if (groupLabel) {
        entry.import("message_name", *groupLabel);
    }
    return entry;
}

}  // namespace

jsonxx::Object StatisticsEntry(DbSignal const& signal, DbSignal const& time, unsigned long long records,
                               std::string const& groupLabel)
{
    const ChannelTexts texts = TextsOf(signal.channel);
    jsonxx::Object entry = NameEntry(texts, &groupLabel);
    if (!texts.unit.empty() && texts.unit != "-")
        entry.import("unit", texts.unit);
    // Values decoded through the conversion are physical already; values
    // read raw are reported through the linear formula, and their spread
    // grows with the slope's size whatever its sign.
    const bool decoded = signal.HasCustomScaling();
    auto reported = [&](double v) { return decoded ? v : signal.ScaleValue(v); };
    const double n = static_cast<double>(records);
    const double spread = signal.GetStdDev(n);
    entry.import("min_time", time.min);
    entry.import("max_time", time.max);
    entry.import("num_records", records);
    entry.import("min", reported(signal.min));
    entry.import("time_at_min", signal.timeAtMin);
    entry.import("max", reported(signal.max));
    entry.import("time_at_max", signal.timeAtMax);
    entry.import("avg", reported(signal.GetAverage(n)));
    entry.import("std_dev", decoded ? spread : spread * std::fabs(signal.slope));
    if (signal.slope != 1.0)
        entry.import("slope", signal.slope);
    if (signal.offset != 0.0)
        entry.import("offset", signal.offset);
    entry.import("first_value", reported(signal.firstValue));
    return entry;
}

namespace {

// Mode 1: the group of first (a data channel, the group's first one met) is
// read as a whole: every record once, every signal fed from it. Groups the
// builder leaves out are left out here too. Returns the first channel of the
// next group, null at the end.
CCNBlockOp* ScanGroup(CMDFFileOp& file, CCNBlockOp* first, int groupNumber, jsonxx::Array& out)
{
    CCGBlockOp* group = first->GetChannelGroup();
    CCNBlockOp* timeChannel = TimeChannelOfReadableGroup(first, groupNumber);
    std::vector<DbSignal> signals;
    if (timeChannel)
        signals.emplace_back(timeChannel);
    CCNBlockOp* channel = first;
    for (; channel && channel->GetChannelGroup() == group; channel = file.GetNextChannel(false))
        if (timeChannel && BecomesSignal(channel))
            signals.emplace_back(channel);
    if (!timeChannel)
        return channel;

    DiscardValues statisticsOnly;
    GroupReader reader(signals, 0.0);  // times relative to the measurement start
    const unsigned long long records = reader.ReadAll(statisticsOnly, FormatC("Channel group %d", groupNumber));
    const std::string label = FormatC("Group%04d", groupNumber);
    for (size_t k = 1; k < signals.size(); ++k)
        out.append(StatisticsEntry(signals[k], signals[0], records, label));
    return channel;
}

void ReportUnopened(char const* what, wchar_t const* path)
{
    DebugOutput(what);
    DebugOutput(PathForMessage(path).c_str());
}

int ListChannels(wchar_t const* mdfPath, wchar_t const* jsonPath, int mode)
{
    try {
        if (!CheckPaths({mdfPath, jsonPath}))
            return 0;
        CMDFFileOp file;
        if (!mdfPath || !*mdfPath || !file.ReadFile(mdfPath)) {
            ReportUnopenedMdf(file, mdfPath);
            return 0;
        }
        if (!jsonPath || !*jsonPath) {
            ReportUnopened("Could not open Json file!", jsonPath);
            return 0;
        }
        return DumpSignals(file, jsonPath, mode) ? 1 : 0;
    } catch (std::bad_alloc const&) {
        DebugOutput("Out of memory while listing channels");
    } catch (...) {
        DebugOutput("Unexpected failure while listing channels");
    }
    return 0;
}

int ListChannels(char const* mdfPath, char const* jsonPath, int mode)
{
    try {
        const std::wstring mdf = WidePath(mdfPath), json = WidePath(jsonPath);
        return ListChannels(mdfPath ? mdf.c_str() : nullptr, jsonPath ? json.c_str() : nullptr, mode);
    } catch (...) {
        DebugOutput("Unexpected failure while listing channels");
        return 0;
    }
}

}  // namespace

bool DumpSignals(CMDFFileOp& file, wchar_t const* jsonPath, int mode)
{
    jsonxx::Array channels;
    int groupNumber = 0;
    CCNBlockOp* channel = file.GetNextChannel(true);
    while (channel) {
        if (channel->IsTimeChannel()) {
            channel = file.GetNextChannel(false);
        } else if (mode == 0) {
            channels.append(NameEntry(TextsOf(channel), nullptr));
            channel = file.GetNextChannel(false);
        } else {
            channel = ScanGroup(file, channel, ++groupNumber, channels);
        }
    }
    jsonxx::Object document;
    document.import("Channels", channels);
    switch (WriteWholeFile(jsonPath, document.json(), kJsonSignature)) {
    case FileWrite::Written:
        return true;
    case FileWrite::NotOpened:
        ReportUnopened("Could not open Json file!", jsonPath);
        return false;
    default:
        return false;
    }
}

// ---- Exported functions ------------------------------------------------------

extern "C" {

VANTREL_API int GetChannelsW(wchar_t const* mdfPath, wchar_t const* jsonPath)
{
    return ListChannels(mdfPath, jsonPath, 0);
}

VANTREL_API int GetChannelStatisticsW(wchar_t const* mdfPath, wchar_t const* jsonPath)
{
    return ListChannels(mdfPath, jsonPath, 1);
}

VANTREL_API int GetChannels(char const* mdfPath, char const* jsonPath)
{
    return ListChannels(mdfPath, jsonPath, 0);
}

VANTREL_API int GetChannelStatistics(char const* mdfPath, char const* jsonPath)
{
    return ListChannels(mdfPath, jsonPath, 1);
}

}  // extern "C"
