#include "export/MdfExport.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>

#include "mdfwrite/MDFFile.h"
#include "mdfwrite/MdfBytes.h"
#include "support/CFormat.h"
#include "support/CppSQLite3U.h"
#include "support/LibUtils.h"
#include "support/MeasurementDb.h"
#include "support/Utf8.h"

namespace {

constexpr unsigned kMaxDeclarable = 0xFFFF;

std::wstring Widen(std::string const& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

// Texts of MDF 4.00 are UTF-8, those of MDF 3.30 Latin-1.
std::string MdfText(MDFFile const* writer, std::wstring const& text)
{
    return const_cast<MDFFile*>(writer)->GetMdfVersion() >= 4 ? Utf8FromWide(text) : Latin1FromWide(text);
}

// Records are little-endian, as is every host the library is built for:
// the low bytes of a value are its first bytes in memory.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "records are written from little-endian memory");

void PutLittleEndian(uint8_t* out, uint64_t value, int bytes)
{
    std::memcpy(out, &value, static_cast<size_t>(bytes));
}

void PutDouble(uint8_t* out, double value)
{
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    PutLittleEndian(out, bits, 8);
}

void PutFloat(uint8_t* out, float value)
{
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    PutLittleEndian(out, bits, 4);
}

std::string Description(MDFFile const* writer, CArbitration const& message)
{
    std::wstring text = message.m_signals.empty() ? std::wstring() : message.m_signals[0].Name;
    if (!message.Network.empty())
        text += L" | " + message.Network;
    return MdfText(writer, text);
}

void FillValueChannel(MDFFile const* writer, CArbitration const& message, CArbitration::SignalList const& signal,
                      bool writeStates, unsigned byteOffset, MdfChannelInfo& info)
{
    info.name = MdfText(writer, signal.Name);
    info.unit = MdfText(writer, signal.Units);
    info.description = Description(writer, message);
    const bool scaledKeys = signal.IsStateEncodedHybrid() || signal.IsMultiplexed();
    if (writeStates && signal.HasText())
        for (auto const& [value, text] : signal.m_states)
            info.states[scaledKeys ? signal.GetScaledValue(value) : value] = MdfText(writer, text);
    info.precision = static_cast<int8_t>(signal.Decimals);
    info.minValue = signal.GetMinValue();
    info.maxValue = signal.GetMaxValue();
    info.byteOffset = static_cast<uint16_t>(byteOffset);
    info.isTime = false;
    const int code = signal.GetTypeCode();
    const bool unscaled = signal.m_kind == CArbitration::kKindPhysical || signal.WritesScaledValue();
    info.factor = unscaled ? 1.0 : signal.Slope;
    info.offset = unscaled ? 0.0 : signal.Offset;
    if (code < 0) {
        info.dataType = code == -32 ? 3 : 4;
        info.bitCount = static_cast<uint16_t>(-code);
    } else {
        info.dataType = signal.DataType == 0 ? 0 : 1;
        info.bitCount = static_cast<uint16_t>(code);
    }
}

void AddTimeChannel(MDFFile* writer, int timeBits, std::string const& description)
{
    MdfChannelInfo time;
    time.SetTimeField(timeBits);
    time.description = description;
    writer->AddChannelToPreparedGroup(time);
}

// Where one exported value comes from and goes to, and how it is written
// (decided once per channel, not per value).
struct ValueSlot {
    ValueSlot(CArbitration::SignalList const* s, size_t part, int col, unsigned offset)
        : signal(s), partIndex(part), column(col), byteOffset(offset), code(s->GetTypeCode()),
          scaled(s->WritesScaledValue())
    {
    }

    CArbitration::SignalList const* signal;
    size_t partIndex;  // among the reader's parts
    int column;        // 1-based among the part's selected signals
    unsigned byteOffset;
    int code;
    bool scaled;
};

// Writes a value by the signal's type code: a NULL column is 0 for the
// integers, DBL_MAX (unscaled) for doubles and infinity for floats.
void PutValue(RecordReader const& reader, ValueSlot const& slot, uint8_t* record)
{
    uint8_t* out = record + slot.byteOffset;
    if (slot.code > 0) {
        PutLittleEndian(out, static_cast<uint64_t>(reader.Int64(slot.partIndex, slot.column)), slot.code / 8);
        return;
    }
    if (slot.code == -32) {
        PutFloat(out, ToFloat32(reader.Double(slot.partIndex, slot.column, std::numeric_limits<double>::infinity())));
        return;
    }
    double value = reader.Double(slot.partIndex, slot.column, DBL_MAX);
    if (slot.scaled && value != DBL_MAX)
        value = slot.signal->GetScaledValue(value);
    PutDouble(out, value);
}

void PutMissing(ValueSlot const& slot, uint8_t* record)
{
    if (slot.code == -32)
        PutFloat(record + slot.byteOffset, std::numeric_limits<float>::infinity());
    else if (slot.code < 0)
        PutDouble(record + slot.byteOffset, DBL_MAX);
}

// The value slots of a message's selected signals for a reader of
// SelectedColumns, with byte offsets from firstOffset on.
std::vector<ValueSlot> SlotsOf(CArbitration const& message, std::vector<PartColumns> const& parts, unsigned firstOffset)
{
    std::vector<ValueSlot> slots;
    unsigned offset = firstOffset;
    for (size_t p = 0; p < parts.size(); ++p)
        for (size_t j = 0; j < parts[p].signals.size(); ++j) {
            CArbitration::SignalList const& signal = message.m_signals[static_cast<size_t>(parts[p].signals[j])];
            slots.push_back(ValueSlot{&signal, p, static_cast<int>(j) + 1, offset});
            offset += static_cast<unsigned>(signal.GetSignalBytes());
        }
    return slots;
}

long long CountRecords(CppSQLite3DB* db, int messageId)
{
    const std::string sql = "SELECT COUNT(*) FROM " + MeasurementDb::RecordTableName(messageId);
    CppSQLite3Query row = db->execQuery(Widen(sql).c_str());
    return row.eof() ? 0 : row.getInt64Field(0);
}

void CheckGroup(unsigned long long recordSize, unsigned long long records, unsigned long long channels)
{
    if (recordSize > kMaxDeclarable)
        throw ExportFailure(FormatC("a record of %llu bytes is more than an MDF channel group can hold", recordSize));
    if (channels > kMaxDeclarable)
        throw ExportFailure(FormatC("%llu channels are more than an MDF channel group can hold", channels));
    if (records > UINT_MAX)
        throw ExportFailure(FormatC("%llu records are more than an MDF channel group can count", records));
}

void PrepareGroup(MDFFile* writer, unsigned long long recordSize, unsigned long long records,
                  unsigned long long channels, std::string const& name)
{
    CheckGroup(recordSize, records, channels);
    writer->PrepareDataGroup(static_cast<unsigned short>(recordSize), static_cast<unsigned>(records),
                             static_cast<unsigned short>(channels), name.empty() ? nullptr : name.c_str());
}

// Writes every record of the reader's message; false when the writer failed.
bool WriteAllRecords(RecordReader& reader, std::vector<ValueSlot> const& slots, double timeBase,
                     std::vector<uint8_t>& record, long long declared, MDFFile* writer, FILE* fp)
{
    reader.Start();
    for (long long written = 0; written < declared && reader.Next(); ++written) {
        PutDouble(record.data(), reader.Time() - timeBase);
        for (ValueSlot const& slot : slots)
            PutValue(reader, slot, record.data());
        if (writer->WriteRecord(record.data(), static_cast<int>(record.size()), fp) != 1)
            return false;
    }
    return true;
}

}  // namespace

double MdfTimeBase(COrbkBin const& bin)
{
    // Beyond a few thousand years there is no calendar date to start from.
    if (!std::isfinite(bin.minTime) || std::fabs(bin.minTime) > 1e11)
        return 0.0;
    return std::floor(bin.minTime);
}

ExportOutcome WriteGroupedMdf(CppSQLite3DB* db, MDFFile* writer, FILE* fp, COrbkBin& bin, bool writeStates,
                              int totalChannels, int timeBits, std::vector<CArbDbInfo*>& messages)
{
    if (!writer)
        return ExportOutcome::Failed;
    ProgressReporter progress(bin);
    const double timeBase = MdfTimeBase(bin);
    long long done = 0;
    for (CArbDbInfo* cursor : messages) {
        if (!progress.Percent(done, totalChannels))
            return ExportOutcome::Cancelled;
        CArbitration& message = *cursor->GetArb();
        std::vector<PartColumns> parts = SelectedColumns(message, bin.collectionMask);
        if (parts.empty())
            continue;
        const long long count = CountRecords(db, message.ID);
        std::vector<ValueSlot> slots = SlotsOf(message, parts, static_cast<unsigned>(timeBits / 8));
        const std::string description = Description(writer, message);
        const unsigned long long recordSize = message.GetRecordSize(timeBits, bin.collectionMask);
        PrepareGroup(writer, recordSize, count, slots.size() + 1, MdfText(writer, slots[0].signal->DAQRate));
        AddTimeChannel(writer, timeBits, description);
        for (ValueSlot const& slot : slots) {
            MdfChannelInfo info;
            FillValueChannel(writer, message, *slot.signal, writeStates, slot.byteOffset, info);
            writer->AddChannelToPreparedGroup(info);
        }
        done += static_cast<long long>(slots.size());
        writer->FlushPreparedGroup(fp, done == totalChannels);
        RecordReader reader(db, message.ID, std::move(parts));
        std::vector<uint8_t> record(recordSize, 0);
        if (!WriteAllRecords(reader, slots, timeBase, record, count, writer, fp))
            return ExportOutcome::Failed;
        writer->FinishWritingData(fp);
        if (writer->HasFailed())
            return ExportOutcome::Failed;
    }
    return writer->HasFailed() ? ExportOutcome::Failed : ExportOutcome::Written;
}

ExportOutcome WriteMdf(CppSQLite3DB* db, MDFFile* writer, FILE* fp, COrbkBin& bin, bool writeStates,
                       int totalChannels, int timeBits, std::vector<CDbChannel>& channels)
{
    if (!writer)
        return ExportOutcome::Failed;
    ProgressReporter progress(bin);
    const double timeBase = MdfTimeBase(bin);
    long long done = 0;
    size_t lastChannel = channels.size();
    for (size_t i = 0; i < channels.size(); ++i)
        if (channels[i].GetChannelIndex(channels[i].GetArb()) > 0)
            lastChannel = i;
    for (size_t i = 0; i < channels.size(); ++i) {
        CDbChannel& channel = channels[i];
        const int index = channel.GetChannelIndex(channel.GetArb());
        if (index <= 0)
            continue;
        if (!progress.Percent(done, totalChannels))
            return ExportOutcome::Cancelled;
        CArbitration& message = *channel.GetArb();
        CArbitration::SignalList const& signal = channel.Signal();
        const long long count = CountRecords(db, message.ID);
        const unsigned offset = static_cast<unsigned>(timeBits / 8);
        PrepareGroup(writer, offset + signal.GetSignalBytes(), count, 2, MdfText(writer, signal.DAQRate));
        AddTimeChannel(writer, timeBits, Description(writer, message));
        MdfChannelInfo info;
        FillValueChannel(writer, message, signal, writeStates, offset, info);
        writer->AddChannelToPreparedGroup(info);
        writer->FlushPreparedGroup(fp, i == lastChannel);
        std::vector<PartColumns> parts{PartColumns{MeasurementDb::PartOfSignal(index), {index}}};
        RecordReader reader(db, message.ID, parts);
        std::vector<ValueSlot> slots{ValueSlot{&signal, 0, 1, offset}};
        std::vector<uint8_t> record(offset + static_cast<unsigned>(signal.GetSignalBytes()), 0);
        if (!WriteAllRecords(reader, slots, timeBase, record, count, writer, fp))
            return ExportOutcome::Failed;
        writer->FinishWritingData(fp);
        if (writer->HasFailed())
            return ExportOutcome::Failed;
        ++done;
    }
    return writer->HasFailed() ? ExportOutcome::Failed : ExportOutcome::Written;
}

// ---- Fixed time grid ---------------------------------------------------------------

long long NextGridIndex(CppSQLite3DB* db, long long i, double t, double period, COrbkBin const& bin,
                        std::vector<CDbChannel>& channels)
{
    if (!(bin.ForceRateGap > 0.0))
        return i + 1;
    double next = DBL_MAX;
    for (CDbChannel& channel : channels) {
        if (!channel.IsFirstForMessage())
            continue;
        channel.GetNearestTimestamp(db, t);
        next = std::min(next, channel.GetNextTimestamp());
    }
    if (next == DBL_MAX || !(t + bin.ForceRateGap < next))
        return i + 1;
    // Far gaps skip at most to the end of any grid an int can count.
    const double skip = std::floor((next - t) / period) - 1.0;
    return skip > 0.0 ? i + 1 + static_cast<long long>(std::min(skip, double(INT_MAX))) : i + 1;
}

long long CountGridPoints(CppSQLite3DB* db, double period, double startTime, COrbkBin const& bin, long long points,
                          std::vector<CDbChannel>& channels)
{
    long long written = points;
    if (bin.ForceRateGap > 0.0) {
        written = 0;
        for (CDbChannel& channel : channels)
            channel.ResetTimestamps();
        for (long long i = 0; i < points; ++written)
            i = NextGridIndex(db, i, static_cast<double>(i) * period + startTime, period, bin, channels);
    }
    for (CDbChannel& channel : channels)
        channel.ResetTimestamps();
    return written;
}

namespace {

// The channels of one message on the grid, read from one reader.
struct GridMessage {
    CDbChannel* first;
    std::unique_ptr<RecordReader> reader;
    std::vector<ValueSlot> slots;
    double loadedTime = DBL_MAX;  // the record whose values the buffer holds
};

std::vector<GridMessage> GridMessages(CppSQLite3DB* db, COrbkBin const& bin, std::vector<CDbChannel>& channels,
                                      std::vector<unsigned> const& offsets)
{
    std::vector<GridMessage> messages;
    for (size_t i = 0; i < channels.size(); ++i) {
        if (!channels[i].IsFirstForMessage() || !channels[i].GetArb())
            continue;
        CArbitration& message = *channels[i].GetArb();
        std::vector<PartColumns> parts = SelectedColumns(message, bin.collectionMask);
        GridMessage grid{&channels[i], nullptr, {}};
        // The message's channels in the list, placed at their own offsets.
        for (size_t c = 0; c < channels.size(); ++c) {
            const int index = channels[c].GetChannelIndex(&message);
            if (index <= 0)
                continue;
            for (size_t p = 0; p < parts.size(); ++p)
                for (size_t j = 0; j < parts[p].signals.size(); ++j)
                    if (parts[p].signals[j] == index)
                        grid.slots.push_back(ValueSlot{&channels[c].Signal(), p, static_cast<int>(j) + 1, offsets[c]});
        }
        grid.reader = std::make_unique<RecordReader>(db, message.ID, std::move(parts));
        messages.push_back(std::move(grid));
    }
    return messages;
}

}  // namespace

ExportOutcome WriteForceRateFromDb(CppSQLite3DB* db, MDFFile* writer, FILE* fp, double period, double startTime,
                                   COrbkBin& bin, int points, int channelCount, int timeBits,
                                   std::vector<CDbChannel>& channels)
{
    if (!writer)
        return ExportOutcome::Failed;
    ProgressReporter progress(bin);
    const double timeBase = MdfTimeBase(bin);
    std::vector<unsigned> offsets(channels.size(), 0);
    unsigned long long offset = static_cast<unsigned>(timeBits / 8);
    for (size_t c = 0; c < channels.size(); ++c) {
        if (channels[c].GetChannelIndex(channels[c].GetArb()) <= 0)
            continue;
        offsets[c] = static_cast<unsigned>(std::min<unsigned long long>(offset, UINT_MAX));
        const int bytes = channels[c].Signal().GetSignalBytes();
        offset += bytes ? bytes : timeBits / 8;
    }
    const long long records = CountGridPoints(db, period, startTime, bin, points, channels);
    PrepareGroup(writer, offset, records, static_cast<unsigned long long>(channelCount) + 1, std::string());
    AddTimeChannel(writer, timeBits, std::string());
    for (size_t c = 0; c < channels.size(); ++c) {
        if (channels[c].GetChannelIndex(channels[c].GetArb()) <= 0)
            continue;
        MdfChannelInfo info;
        FillValueChannel(writer, *channels[c].GetArb(), channels[c].Signal(), true, offsets[c], info);
        writer->AddChannelToPreparedGroup(info);
    }
    writer->FlushPreparedGroup(fp, true);

    std::vector<GridMessage> messages = GridMessages(db, bin, channels, offsets);
    // Until a message has a record to give, its channels read as NULL.
    std::vector<uint8_t> record(static_cast<size_t>(offset), 0);
    for (GridMessage const& grid : messages)
        for (ValueSlot const& slot : grid.slots)
            PutMissing(slot, record.data());
    for (long long i = 0; i < points;) {
        if (!progress.Percent(static_cast<unsigned long long>(i), static_cast<unsigned long long>(points)))
            return ExportOutcome::Cancelled;
        const double t = static_cast<double>(i) * period + startTime;
        PutDouble(record.data(), t - timeBase);
        const long long nextIndex = NextGridIndex(db, i, t, period, bin, channels);
        for (GridMessage& grid : messages) {
            CArbitration const& message = *grid.first->GetArb();
            double ts = grid.first->GetNearestTimestamp(db, t);
            if (!message.IsTimeValid(t))
                ts = message.GetMinTimeStamp();
            else if (!message.IsTimeInRange(t))
                ts = message.GetMaxTimeStamp();
            // Values of one record are read once; the buffer holds them.
            if (ts == grid.loadedTime || !grid.reader->ReadAt(ts))
                continue;
            grid.loadedTime = ts;
            for (ValueSlot const& slot : grid.slots)
                PutValue(*grid.reader, slot, record.data());
        }
        if (writer->WriteRecord(record.data(), static_cast<int>(record.size()), fp) != 1)
            return ExportOutcome::Failed;
        i = nextIndex;
    }
    writer->FinishWritingData(fp);
    return writer->HasFailed() ? ExportOutcome::Failed : ExportOutcome::Written;
}
