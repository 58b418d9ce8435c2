// Loading an MDF file's records into the measurement database: one message
// per channel group, one row per record in every part of its record table,
// statistics per signal, then the Messages and Channels rows.

#include "dbbuild/MdfKvxDb.h"

#include <algorithm>
#include <map>
#include <memory>
#include <unordered_set>

#include "dbbuild/GroupReader.h"
#include "mdfread/MDFFileOp.h"
#include "support/CFormat.h"
#include "support/CppSQLite3U.h"
#include "support/LibUtils.h"
#include "support/MeasurementDb.h"

namespace {

// A commit after more than this many executed inserts keeps the journal
// small without paying for a commit per record.
constexpr long long kInsertsPerTransaction = 50000;

void Run(CppSQLite3DB* db, wchar_t const* sql)
{
    db->execQuery(sql);
}

void Run(CppSQLite3DB* db, std::wstring const& sql)
{
    db->execQuery(sql.c_str());
}

// The reader gives -1.0 for a file without a start time; the database then
// counts from 0.
double MeasurementStart(CMDFFileOp& file)
{
    const double start = file.GetMeasurementStartTimestamp();
    return start == -1.0 ? 0.0 : start;
}

bool IsSelected(CCNBlockOp* channel, std::set<std::string> const* selection)
{
    return !selection || selection->count(SelectionKey(GetUniqueChannelName(channel))) != 0;
}

// Integer values without a conversion, or standing for text states, are
// stored as integers; everything else as doubles.
bool StoresIntegers(DbSignal const& signal)
{
    return !signal.channel->IsFloat() && signal.scalingKind != DbSignal::Physical;
}

// Channel IDs run 1, 2, 3 ... across the database, signal by signal, also
// past messages that hold no data signal.
int ChannelIdsUsed(std::vector<DbMessage> const& messages)
{
    size_t used = 0;
    for (DbMessage const& message : messages)
        used += message.signals.size() - 1;
    return static_cast<int>(used);
}

wchar_t const* SignalTypeText(int scalingKind)
{
    switch (scalingKind) {
    case DbSignal::Physical: return L"Double";
    case DbSignal::Raw: return L"RawValue";
    case DbSignal::StateEncoded: return L"State Encoded";
    default: return nullptr;  // a linear conversion with states: NULL
    }
}

void InsertStates(CppSQLite3DB* db, DbSignal const& signal)
{
    std::map<double, std::string> states;
    if (!signal.GetStates(states) || states.empty())
        return;
    CppSQLite3Statement insert = db->compileStatement(L"INSERT INTO ChannelStates VALUES (?, ?, ?)");
    for (auto const& state : states) {
        insert.bind(1, signal.channelId);
        insert.bind(2, widestring(state.second).c_str());
        insert.bind(3, state.first);
        insert.execDML();
    }
}

// ---- Storing one group's records -----------------------------------------

// Binds every value the group reader decodes to its parameter and inserts
// each record into every part of the message's record table.
class RecordStore {
public:
    static constexpr bool kKeepsValues = true;

    RecordStore(CppSQLite3DB* db, DbMessage const& message, long long& insertsInTransaction);

    void Time(double time)
    {
        for (auto& part : m_parts)
            part->bind(1, time);
    }
    // SQLite stores a NaN as NULL.
    void Value(size_t k, double value) { m_bindings[k].statement->bind(m_bindings[k].parameter, value); }
    void Integer(size_t k, long long value) { m_bindings[k].statement->bind(m_bindings[k].parameter, value); }
    void EndRecord();

private:
    struct Binding {
        CppSQLite3Statement* statement;
        int parameter;
    };

    CppSQLite3DB* m_db;
    long long& m_inserts;
    std::vector<std::unique_ptr<CppSQLite3Statement>> m_parts;
    std::vector<Binding> m_bindings;  // one per data signal
};

RecordStore::RecordStore(CppSQLite3DB* db, DbMessage const& message, long long& insertsInTransaction)
    : m_db(db), m_inserts(insertsInTransaction)
{
    const int signals = static_cast<int>(message.signals.size()) - 1;
    const int parts = signals == 0 ? 1 : MeasurementDb::PartOfSignal(signals);
    for (int part = 1; part <= parts; ++part) {
        const int first = (part - 1) * MeasurementDb::kSignalsPerPart + 1;
        const int count = std::min(MeasurementDb::kSignalsPerPart, signals - first + 1);
        const std::wstring sql = MeasurementDb::RecordTableInsertSql(message.id, part, count);
        m_parts.push_back(std::make_unique<CppSQLite3Statement>(m_db->compileStatement(sql.c_str())));
    }
    for (int number = 1; number <= signals; ++number)
        m_bindings.push_back({m_parts[MeasurementDb::PartOfSignal(number) - 1].get(),
                              (number - 1) % MeasurementDb::kSignalsPerPart + 2});
}

void RecordStore::EndRecord()
{
    for (auto& part : m_parts)
        part->execDML();
    m_inserts += static_cast<long long>(m_parts.size());
    if (m_inserts > kInsertsPerTransaction) {
        Run(m_db, L"COMMIT TRANSACTION");
        Run(m_db, L"BEGIN TRANSACTION");
        m_inserts = 0;
    }
}

void LoadGroup(CppSQLite3DB* db, DbMessage& message, double start, long long& insertsInTransaction)
{
    RecordStore store(db, message, insertsInTransaction);
    GroupReader reader(message.signals, start);
    message.recordCount = reader.ReadAll(store, FormatC("Message %d", message.id));
}

}  // namespace

bool CreateNewMessage(CppSQLite3DB* db, CCNBlockOp* first, std::vector<DbMessage>& messages,
                      std::set<std::string>* selection, int groupNumber)
{
    CCNBlockOp* timeChannel = TimeChannelOfReadableGroup(first, groupNumber);
    if (!timeChannel)
        return false;

    DbMessage message;
    message.id = static_cast<int>(messages.size()) + 1;
    message.network = L"HS CAN";
    const std::wstring comment = widestring(first->GetComment());
    const size_t separator = comment.find(L" | ");
    if (separator != std::wstring::npos) {
        message.name = comment.substr(0, separator);
        message.network = comment.substr(separator + 3);
    } else {
        message.name = widestring(FormatC("Group%04d", groupNumber));
    }

    int channelId = ChannelIdsUsed(messages);
    message.signals.emplace_back(timeChannel);
    std::vector<MeasurementDb::ColumnType> columnTypes;
    for (CCNBlockOp* cn = first; cn; cn = cn->GetNextCN()) {
        if (cn->IsTimeChannel() || !IsSelected(cn, selection) || !BecomesSignal(cn))
            continue;
        DbSignal signal(cn);
        ReportPartialStorage(signal, groupNumber);
        signal.channelId = ++channelId;
        columnTypes.push_back(StoresIntegers(signal) ? MeasurementDb::ColumnType::Integer
                                                     : MeasurementDb::ColumnType::Double);
        InsertStates(db, signal);
        message.signals.push_back(std::move(signal));
    }

    // Parts of 500 signal columns each; a message without data signals still
    // has its first part (TIME_VAL only).
    const size_t perPart = MeasurementDb::kSignalsPerPart;
    const size_t parts = columnTypes.empty() ? 1 : (columnTypes.size() + perPart - 1) / perPart;
    for (size_t part = 1; part <= parts; ++part) {
        const size_t begin = (part - 1) * perPart;
        const size_t end = std::min(columnTypes.size(), begin + perPart);
        std::vector<MeasurementDb::ColumnType> partTypes(columnTypes.begin() + begin, columnTypes.begin() + end);
        Run(db, MeasurementDb::RecordTableCreateSql(message.id, static_cast<int>(part), static_cast<int>(begin) + 1,
                                                    partTypes));
    }
    messages.push_back(std::move(message));
    return true;
}

bool AddMessageInfo(CppSQLite3DB* db, DbMessage& message)
{
    DbSignal const& timeSignal = message.signals[0];
    const long long count = static_cast<long long>(message.recordCount);
    const std::wstring tableName = widestring(MeasurementDb::RecordTableName(message.id));
    CppSQLite3Statement messageRow =
        db->compileStatement(L"INSERT INTO Messages VALUES (?, ?, '', ?, ?, ?, ?, ?, 0, 0, ?, 0, 0, 8)");
    messageRow.bind(1, message.id);
    messageRow.bind(2, message.name.c_str());
    messageRow.bind(3, static_cast<int>(message.signals.size()) - 1);
    messageRow.bind(4, tableName.c_str());
    messageRow.bind(5, message.network.c_str());
    messageRow.bind(6, timeSignal.min);
    messageRow.bind(7, timeSignal.max);
    messageRow.bind(8, count);
    messageRow.execDML();

    if (message.signals.size() < 2)
        return true;
    CppSQLite3Statement channelRow = db->compileStatement(
        L"INSERT INTO Channels VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, '', -1, 0, '', ?, ?, ?, ?, ?, 0, 1, -1, ?, 1)");
    for (size_t j = 1; j < message.signals.size(); ++j) {
        DbSignal const& signal = message.signals[j];
        const double average = signal.GetAverage(static_cast<double>(message.recordCount));
        channelRow.bind(1, signal.channelId);
        channelRow.bind(2, message.id);
        channelRow.bind(3, static_cast<int>(j));
        channelRow.bind(4, signal.name.c_str());
        channelRow.bind(5, SignalTypeText(signal.scalingKind));
        channelRow.bind(6, signal.min);
        channelRow.bind(7, signal.max);
        channelRow.bind(8, average);
        channelRow.bind(9, average);
        channelRow.bind(10, signal.GetStdDev(static_cast<double>(message.recordCount)));
        channelRow.bind(11, message.network.c_str());
        channelRow.bind(12, signal.unit.c_str());
        channelRow.bind(13, signal.slope);
        channelRow.bind(14, signal.offset);
        channelRow.bind(15, GetOrbkDataType(signal.channel));
        channelRow.bind(16, signal.byteOffset);
        channelRow.bind(17, signal.bitCount);
        channelRow.bind(18, signal.channelId);
        channelRow.execDML();
    }
    return true;
}

bool LoadDataInDatabase(CppSQLite3DB* db, CMDFFileOp& file, std::set<std::string>* selection)
{
    for (wchar_t const* pragma : MeasurementDb::kBulkLoadPragmas)
        Run(db, pragma);
    for (wchar_t const* table : MeasurementDb::kSchemaTables)
        Run(db, table);
    Run(db, L"BEGIN TRANSACTION");
    const double start = MeasurementStart(file);
    long long insertsInTransaction = 0;
    std::vector<DbMessage> messages;

    CCNBlockOp* channel = file.GetNextChannel(true);
    if (!channel) {
        Run(db, L"COMMIT TRANSACTION");
        DebugOutput("The MDF file has no channels");
        return false;
    }
    // A group is decided once: at its first channel, or with a selection at
    // its first selected channel.
    std::unordered_set<CCGBlockOp*> decided;
    CCGBlockOp* previousGroup = nullptr;
    int groupNumber = 0;
    for (; channel; channel = file.GetNextChannel(false)) {
        CCGBlockOp* group = channel->GetChannelGroup();
        if (group != previousGroup) {
            ++groupNumber;
            previousGroup = group;
        }
        if (!IsSelected(channel, selection) || !decided.insert(group).second)
            continue;
        if (CreateNewMessage(db, channel, messages, selection, groupNumber))
            LoadGroup(db, messages.back(), start, insertsInTransaction);
    }
    Run(db, L"COMMIT TRANSACTION");
    if (messages.empty()) {
        DebugOutput(selection ? "No channel of the signal selection can be loaded from the MDF file"
                              : "No channel group of the MDF file can be loaded");
        return false;
    }

    Run(db, L"BEGIN TRANSACTION");
    Run(db, L"INSERT INTO Channels (ID, Name, CollectionMask) VALUES (0, 'Collection Key', 1)");
    for (DbMessage& message : messages)
        AddMessageInfo(db, message);
    Run(db, L"COMMIT TRANSACTION");
    for (wchar_t const* pragma : MeasurementDb::kFinishPragmas)
        Run(db, pragma);
    return true;
}
