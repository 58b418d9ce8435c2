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

// Why a group without a time channel has none that is read: a virtual
// master's times lie in no record. Empty when there is no such master.
std::string VirtualMasterNote(CCGBlockOp* group)
{
    for (CCNBlockOp* cn = group->GetFirstCN(); cn; cn = cn->GetNextCN())
        if (cn->IsVirtualTimeMaster())
            return " (its master channel " + cn->GetName() +
                   " is virtual: times computed from the record number are not read)";
    return std::string();
}

bool IsIntegerCode(int code)
{
    return code == CodeUnsignedLE || code == CodeSignedLE || code == CodeUnsignedBE || code == CodeSignedBE;
}

// The parts of a channel's value that its stored signal leaves out, each as
// the diagnostic line words it.
std::vector<std::string> LostParts(DbSignal const& signal)
{
    CCNBlockOp const* channel = signal.channel;
    std::vector<std::string> lost;
    if (channel->GetComposition() == CCNBlockOp::Composition::Structure)
        lost.push_back("its member channels (a structure) are not read");
    else if (channel->GetComposition() == CCNBlockOp::Composition::Array)
        lost.push_back("of its channel array only the first element is stored");
    if (channel->IsVariableLength())
        lost.push_back("its values are variable-length signal data, stored as their offsets into the signal data");
    if (const unsigned type = channel->GetUndecodedType())
        lost.push_back("its data type " + std::to_string(type) +
                       " is not decoded (the integer of its leading bits is stored)");
    // Raw integers and integer codes read the first 64 bits; any other code
    // (floats of a width no MDF version defines, MDF 3 strings through a
    // conversion) decodes none of them, whatever their number.
    const unsigned bits = channel->GetBitCount();
    const GroupReader::Reading reading = GroupReader::ReadingOf(signal);
    const bool leadingBits = reading == GroupReader::Reading::RawInteger ||
                             (reading != GroupReader::Reading::RawFloat && IsIntegerCode(channel->GetDataType()));
    const std::string count = std::to_string(bits);
    if (bits > 64 && leadingBits)
        lost.push_back("only the first 64 of its " + count + " bits are stored, as an integer");
    else if (!leadingBits && !channel->DecodesRawValue())
        lost.push_back("none of its " + count + " bits is stored (they are not decoded)");
    return lost;
}

}  // namespace

void ReportPartialStorage(DbSignal const& signal, int groupNumber)
{
    const std::vector<std::string> lost = LostParts(signal);
    if (lost.empty())
        return;
    std::string line = "Channel " + signal.channel->GetName() + " of channel group " + std::to_string(groupNumber) +
                       " is stored only in part: " + lost[0];
    for (size_t k = 1; k < lost.size(); ++k)
        line += "; " + lost[k];
    DebugOutput(line.c_str());
}

CCNBlockOp* TimeChannelOfReadableGroup(CCNBlockOp* first, int groupNumber)
{
    CCGBlockOp* group = first ? first->GetChannelGroup() : nullptr;
    if (!group || RecordsUnreadable(group, groupNumber))
        return nullptr;
    CCNBlockOp* timeChannel = first->GetTimeChannel();
    if (!timeChannel || !timeChannel->FitsRecord(group->GetDataRecordSize())) {
        const std::string note = timeChannel ? std::string() : VirtualMasterNote(group);
        DebugOutput((FormatC("Channel group %d is left out: it has no time channel", groupNumber) + note).c_str());
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
    m_dataSignals.reserve(signals.size());
    for (size_t k = 1; k < signals.size(); ++k) {
        DbSignal& signal = signals[k];
        m_cells.push_back({signal.channel, ValuePosition(signal.channel), ReadingOf(signal)});
        m_dataSignals.push_back(&signal);
    }
    const size_t size = std::max<size_t>(1, m_group->GetDataRecordSize());
    m_perBlock = std::max<size_t>(1, std::min(kBlockBytes / size, kBlockValues / (m_cells.size() + 1)));
    m_times.resize(m_perBlock);
    m_columns.resize(m_perBlock * m_cells.size());
}

void GroupReader::DecodeBlock(char const* records, size_t size, size_t count)
{
    m_time.channel->GetValues(records + m_timePosition, size, count, m_times.data());
    for (size_t k = 0; k < m_cells.size(); ++k) {
        Cell const& cell = m_cells[k];
        char const* p = records + cell.position;
        double* column = m_columns.data() + k * m_perBlock;
        switch (cell.reading) {
        case Reading::Double:
        case Reading::Integer:
            cell.channel->GetValues(p, size, count, column);
            break;
        case Reading::RawInteger:
            for (size_t r = 0; r < count; ++r)
                column[r] = static_cast<double>(cell.channel->GetInteger(p + r * size));
            break;
        default:
            for (size_t r = 0; r < count; ++r)
                column[r] = cell.channel->GetFloat(p + r * size);
            break;
        }
    }
}

void GroupReader::FeedStatistics(unsigned long long index, size_t count)
{
    // A message without data signals has no columns: nothing to feed, and
    // no column storage to point into.
    if (m_cells.empty())
        return;
    size_t first = 0;
    if (index == 0 && count > 0) {
        for (size_t k = 0; k < m_cells.size(); ++k)
            m_dataSignals[k]->ProcessValue(0, m_times[0], m_columns[k * m_perBlock], true);
        m_statistics.Load(m_dataSignals);
        first = 1;
    }
    if (count > first)
        m_statistics.Feed(m_columns.data() + first, m_perBlock, m_times.data() + first,
                          static_cast<long long>(index + first), count - first);
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
    const bool numeric = IsIntegerCode(channel->GetDataType());
    return numeric && !converted && channel->GetBitCount() <= 53 ? Reading::Integer : Reading::RawInteger;
}

void GroupReader::ReportUnreadable(std::string const& label, unsigned long long read, unsigned long long count) const
{
    DebugOutput(FormatC("%s ends after %llu of %llu records: record %llu cannot be read", label.c_str(), read, count,
                        read)
                    .c_str());
}
