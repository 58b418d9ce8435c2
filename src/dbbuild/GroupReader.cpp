#include "dbbuild/GroupReader.h"

#include "mdfread/CCBlock.h"
#include "mdfread/DGBlock.h"

namespace {

size_t ValuePosition(CCNBlockOp const* channel)
{
    return static_cast<size_t>(channel->GetByteOffset()) + channel->GetStartBit() / 8;
}

// The group's records cannot be read at all (compressed or otherwise
// unsupported data): such a group must not pass for one without records.
bool RecordsUnreadable(CCGBlockOp* group, int groupNumber)
{
    CDGBlockOp* dataGroup = group->GetDataGroup();
    if (!dataGroup || dataGroup->GetDataProblem().empty())
        return false;
    DebugOutput(FormatC("Channel group %d is left out: its records cannot be read (%s)", groupNumber,
                        dataGroup->GetDataProblem().c_str())
                    .c_str());
    return true;
}

}  // namespace

CCNBlockOp* TimeChannelOfReadableGroup(CCNBlockOp* first, int groupNumber)
{
    CCGBlockOp* group = first ? first->GetChannelGroup() : nullptr;
    if (!group || RecordsUnreadable(group, groupNumber))
        return nullptr;
    CCNBlockOp* timeChannel = first->GetTimeChannel();
    if (!timeChannel || !timeChannel->FitsRecord(group->GetDataRecordSize())) {
        DebugOutput(FormatC("Channel group %d is left out: it has no time channel", groupNumber).c_str());
        return nullptr;
    }
    return timeChannel;
}

bool BecomesSignal(CCNBlockOp* channel)
{
    if (channel->IsTimeChannel())
        return false;
    CCGBlockOp* group = channel->GetChannelGroup();
    if (!group || !channel->FitsRecord(group->GetDataRecordSize())) {
        DebugOutput1("Channel %s lies outside its record and is left out", channel->GetName().c_str());
        return false;
    }
    return true;
}

GroupReader::GroupReader(std::vector<DbSignal>& signals, double start)
    : m_time(signals.at(0)),
      m_timePosition(ValuePosition(m_time.channel)),
      m_start(start),
      m_group(m_time.channel->GetChannelGroup())
{
    m_cells.reserve(signals.size());
    for (size_t k = 1; k < signals.size(); ++k) {
        DbSignal& signal = signals[k];
        m_cells.push_back({signal.channel, &signal, ValuePosition(signal.channel), ReadingOf(signal)});
    }
}

GroupReader::Reading GroupReader::ReadingOf(DbSignal const& signal)
{
    CCNBlockOp const* channel = signal.channel;
    // Text-state channels give the conversion's result: the key under which
    // ChannelStates holds the text (also for raw values outside the keys).
    if (signal.scalingKind == DbSignal::Physical || signal.scalingKind == DbSignal::StateEncoded)
        return Reading::Double;
    const bool converted = channel->GetConversion() != nullptr;
    if (channel->IsFloat())
        return converted ? Reading::RawFloat : Reading::Double;
    const int code = channel->GetDataType();
    const bool numeric = code == CodeUnsignedLE || code == CodeSignedLE || code == CodeUnsignedBE || code == CodeSignedBE;
    return numeric && !converted && channel->GetBitCount() <= 53 ? Reading::Integer : Reading::RawInteger;
}

void GroupReader::ReportUnreadable(std::string const& label, unsigned long long read, unsigned long long count) const
{
    DebugOutput(FormatC("%s ends after %llu of %llu records: record %llu cannot be read", label.c_str(), read, count,
                        read)
                    .c_str());
}
