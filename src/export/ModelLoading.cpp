// Loading a measurement database's description into the export model, and
// the time indexes a fixed-rate export reads by.
#include "export/ExportModel.h"

#include <algorithm>
#include <cwchar>
#include <memory>
#include <optional>

#include "support/CFormat.h"
#include "support/CppSQLite3U.h"
#include "support/LibUtils.h"
#include "support/MeasurementDb.h"
#include "support/Paths.h"
#include "support/Utf8.h"

namespace {

std::wstring Widen(std::string const& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

void* MessageKey(int id)
{
    return reinterpret_cast<void*>(static_cast<intptr_t>(id));
}

// Columns of a table or view; 0 when the database has nothing of that name.
long long ColumnCount(CppSQLite3DB* db, std::string const& table)
{
    CppSQLite3Statement columns = db->compileStatement(L"SELECT COUNT(*) FROM pragma_table_info(?)");
    columns.bind(1, Widen(table).c_str());
    CppSQLite3Query count = columns.execQuery();
    return count.eof() ? 0 : count.getInt64Field(0);
}

// The export reads only plain tables: a view may recurse without end, and
// record access refuses such a database too. A name the database lacks is
// left to fail at its first query, with SQLite's own error.
bool CheckPlainTable(CppSQLite3DB* db, std::string const& table)
{
    if (db->isPlainTable(Widen(table).c_str()) || ColumnCount(db, table) == 0)
        return true;
    DebugOutput1("%s is not a plain table: the database is not exported", table.c_str());
    return false;
}

// The number of signal columns the message's record table parts really
// have, counted up to the wanted number: a SignalCount from the file is
// never trusted further than its tables go. -1 when a part that is there
// (the first one always is read, for its times) is no plain table.
int AvailableSignals(CppSQLite3DB* db, int messageId, long long wanted)
{
    long long available = 0;
    for (int part = 1; part == 1 || available < wanted; ++part) {
        const std::string table = MeasurementDb::RecordTableName(messageId, part);
        const long long signalColumns = ColumnCount(db, table) - 1;
        if (signalColumns < 0)
            break;  // no such part
        if (!CheckPlainTable(db, table))
            return -1;
        available += std::min<long long>(signalColumns, MeasurementDb::kSignalsPerPart);
        if (signalColumns < MeasurementDb::kSignalsPerPart)
            break;
    }
    return static_cast<int>(std::max<long long>(0, std::min(available, wanted)));
}

// Null when a record table of the message is no plain table.
CArbitration* LoadMessage(CppSQLite3DB* db, CppSQLite3Query const& row)
{
    auto message = std::make_unique<CArbitration>();
    row.getStringField(1, message->ArbId);
    row.getStringField(3, message->Network);
    message->ID = row.getIntField(0);
    CArbitration::SignalList entry;
    entry.m_kind = CArbitration::kKindMessage;
    row.getStringField(2, entry.Name);
    message->m_signals.push_back(std::move(entry));
    const int signals = AvailableSignals(db, message->ID, row.getInt64Field(4));
    if (signals < 0)
        return nullptr;
    message->m_signals.resize(static_cast<size_t>(signals) + 1);
    message->SetMinTimeStamp(row.getFloatField(5));
    message->SetMaxTimeStamp(row.getFloatField(6));
    message->MessageCount = row.getInt64Field(7);
    return message.release();
}

template <typename Field>
void ReadInt(CppSQLite3Query const& row, int column, Field& field)
{
    if (!row.fieldIsNull(column))
        field = static_cast<Field>(row.getInt64Field(column));
}

void ReadDouble(CppSQLite3Query const& row, int column, double& field)
{
    if (!row.fieldIsNull(column))
        field = row.getFloatField(column);
}

void LoadStates(CppSQLite3Statement& statesOf, int channelId, std::map<double, std::wstring>& states)
{
    statesOf.reset();
    statesOf.bind(1, channelId);
    for (CppSQLite3Query row = statesOf.execQuery(); !row.eof(); row.nextRow()) {
        std::wstring text;
        row.getStringField(0, text);
        states[row.getFloatField(1)] = text;
    }
}

void LoadSignal(CppSQLite3Query const& row, CppSQLite3Statement& statesOf, CArbitration::SignalList& signal)
{
    ReadInt(row, 0, signal.ID);
    ReadInt(row, 1, signal.MessageChannel);
    row.getStringField(2, signal.Name);
    row.getStringField(3, signal.Units);
    row.getStringField(4, signal.DAQRate);
    ReadInt(row, 5, signal.Decimals);
    std::wstring type;
    signal.m_kind = SignalKindOf(row.getStringField(6, type) ? &type : nullptr);
    if (signal.HasText())
        LoadStates(statesOf, signal.ID, signal.m_states);
    ReadDouble(row, 7, signal.MinVal);
    ReadDouble(row, 8, signal.MaxVal);
    row.getStringField(9, signal.Formula);
    ReadDouble(row, 10, signal.Slope);
    ReadDouble(row, 11, signal.Offset);
    ReadInt(row, 12, signal.DataType);
    ReadInt(row, 13, signal.StartByte);
    ReadInt(row, 14, signal.BitLength);
    ReadInt(row, 15, signal.StartBit);
    ReadInt(row, 16, signal.BigEndian);
    ReadInt(row, 17, signal.MUXValue);
    ReadInt(row, 18, signal.Sequence);
    ReadInt(row, 19, signal.CollectionMask);
}

// Why no Channels row of a message without signals describes a column.
std::string WhyNoSignals(CppSQLite3DB* db, CArbitration const& message)
{
    return ColumnCount(db, MeasurementDb::RecordTableName(message.ID)) == 0 ? "its message has no record table"
                                                                           : "its message has no signal columns";
}

// Why a Channels row whose MessageChannel is column (null: none) describes
// no signal of the message (noSignals: why, for a message without any, found
// once per message); empty when it does.
std::string Unplaced(CppSQLite3DB* db, CArbitration const& message, std::optional<std::string>& noSignals,
                     std::vector<bool> const& filled, long long const* column)
{
    const long long last = static_cast<long long>(message.m_signals.size()) - 1;
    if (last == 0) {
        if (!noSignals)
            noSignals = WhyNoSignals(db, message);
        return *noSignals;
    }
    if (!column)
        return "it names no MessageChannel";
    if (*column < 1 || *column > last)
        return FormatC("its MessageChannel %lld is not a signal column of its message (1 to %lld)", *column, last);
    if (filled[static_cast<size_t>(*column)])
        return FormatC("its MessageChannel %lld is described by an earlier Channels row", *column);
    return std::string();
}

// A Channels row describes the column its MessageChannel names, as record
// access reads it: rows in ID order, the first row of a column wins, and a
// column outside the message's signals is no signal of it (the row is kept
// aside, with the reason, for the export to name).
void LoadSignals(CppSQLite3DB* db, CArbitration& message)
{
    CppSQLite3Statement channels = db->compileStatement(
        L"SELECT ID, MessageChannel, Name, Units, DAQRate, Decimals, SignalType, MinVal, MaxVal, Formula, Slope, "
        L"Offset, DataType, StartByte, BitLength, StartBit, BigEndian, MUXValue, Sequence, CollectionMask "
        L"FROM Channels WHERE MessageId = ? ORDER BY ID");
    CppSQLite3Statement statesOf = db->compileStatement(L"SELECT StateText, NumVal FROM ChannelStates WHERE ChannelId = ?");
    channels.bind(1, message.ID);
    std::vector<bool> filled(message.m_signals.size(), false);
    std::optional<std::string> noSignals;
    for (CppSQLite3Query row = channels.execQuery(); !row.eof(); row.nextRow()) {
        const long long column = row.getInt64Field(1);
        std::string reason = Unplaced(db, message, noSignals, filled, row.fieldIsNull(1) ? nullptr : &column);
        if (!reason.empty()) {
            message.m_unplaced.push_back({CArbitration::SignalList(), std::move(reason)});
            LoadSignal(row, statesOf, message.m_unplaced.back().signal);
            continue;
        }
        filled[static_cast<size_t>(column)] = true;
        LoadSignal(row, statesOf, message.m_signals[static_cast<size_t>(column)]);
    }
}

void LoadContextSettings(CppSQLite3DB* db, COrbkBin& bin)
{
    CppSQLite3Query mask = db->execQuery(L"SELECT CollectionMask FROM Channels WHERE ID = 0");
    bin.collectionMask = mask.eof() ? 0xFFFFFFFFu : static_cast<uint32_t>(mask.getInt64Field(0));
    for (CppSQLite3Query row = db->execQuery(L"SELECT StateText, NumVal FROM ChannelStates WHERE ChannelId = 0");
         !row.eof(); row.nextRow()) {
        std::wstring text;
        row.getStringField(0, text);
        const double which = row.getFloatField(1);
        // Kept as UTF-8; each writer converts to the text form of its file.
        if (which == 1.0)
            bin.headerText1 = Utf8FromWide(text);
        else if (which == 2.0)
            bin.headerText2 = Utf8FromWide(text);
        else if (which == 3.0)
            bin.headerText3 = Utf8FromWide(text);
    }
}

void CreateIndex(CppSQLite3DB* db, CArbitration const& message)
{
    // A message without a signal column is never read by time (and may lack
    // its record table).
    if (message.m_signals.size() <= 1)
        return;
    const std::string sql = FormatC("CREATE INDEX IF NOT EXISTS MessageIndex%04d ON %s (TIME_VAL)", message.ID,
                                    MeasurementDb::RecordTableName(message.ID).c_str());
    db->execDML(Widen(sql).c_str());
}

void CreateIndicesInOrder(CppSQLite3DB* db, std::vector<CArbitration*> const& messages,
                          ExportProgressCallback progress)
{
    if (Exp_ShowProgress)
        std::wprintf(L"Creating indices\n");
    const size_t count = messages.size();
    size_t done = 0;
    int last = 0;
    for (CArbitration* message : messages) {
        if (progress) {
            const int percent = static_cast<int>(++done * 100 / count);
            if (percent != last) {
                last = percent;
                if (progress(percent, nullptr) == 0)
                    return;
            }
        }
        CreateIndex(db, *message);
    }
}

}  // namespace

uint32_t SignalKindOf(std::wstring const* signalType)
{
    // NULL is what the builder writes for a linear conversion with states:
    // stored raw, read through its states and its scaling.
    if (!signalType || *signalType == Widen(MeasurementDb::kSignalTypeStateEncoded))
        return CArbitration::kKindStateEncoded;
    if (*signalType == L"Text")
        return CArbitration::kKindText;
    if (MeasurementDb::StoresPhysicalValues(Utf8FromWide(*signalType)))
        return CArbitration::kKindPhysical;
    return CArbitration::kKindRaw;
}

bool LoadChannelsFromDatabase(CppSQLite3DB* db, COrbkBin& bin, std::vector<CArbDbInfo*>& cursors)
{
    if (!db)
        return false;
    for (char const* table : {"Messages", "Channels", "ChannelStates"})
        if (!CheckPlainTable(db, table))
            return false;
    bool first = true;
    for (CppSQLite3Query row = db->execQuery(
             L"SELECT ID, ArbId, Name, Network, SignalCount, MinTime, MaxTime, MessageCount FROM Messages");
         !row.eof(); row.nextRow()) {
        std::unique_ptr<CArbitration> message(LoadMessage(db, row));
        if (!message)
            return false;
        if (bin.messages.count(MessageKey(message->ID)))
            continue;  // a second row of one ID has no table of its own
        if (first || message->GetMinTimeStamp() < bin.minTime)
            bin.minTime = message->GetMinTimeStamp();
        if (first || message->GetMaxTimeStamp() > bin.maxTime)
            bin.maxTime = message->GetMaxTimeStamp();
        first = false;
        cursors.reserve(cursors.size() + 1);
        auto cursor = std::make_unique<CArbDbInfo>(message->ID, nullptr, message.get(), 0);
        bin.messages[MessageKey(message->ID)] = message.get();
        message.release();
        cursors.push_back(cursor.release());
    }
    for (CArbDbInfo* cursor : cursors)
        LoadSignals(db, *cursor->GetArb());
    LoadContextSettings(db, bin);
    if (cursors.empty())
        DebugOutput1("The database %s holds no message to export", PathForMessage(db->fileName()).c_str());
    return !cursors.empty();
}

void CreateIndices(CppSQLite3DB* db, std::map<void*, CArbitration*>& messages, ExportProgressCallback progress)
{
    std::vector<CArbitration*> ordered;
    for (auto const& entry : messages)
        ordered.push_back(entry.second);
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](CArbitration const* a, CArbitration const* b) { return a->ID < b->ID; });
    CreateIndicesInOrder(db, ordered, progress);
}

void CreateIndices(CppSQLite3DB* db, std::vector<CArbDbInfo*>& cursors, ExportProgressCallback progress)
{
    std::vector<CArbitration*> ordered;
    for (CArbDbInfo* cursor : cursors)
        ordered.push_back(cursor->GetArb());
    CreateIndicesInOrder(db, ordered, progress);
}
