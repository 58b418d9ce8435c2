// The subset database file: whether an existing one is reused, left alone or
// rebuilt, and the SQL that creates, fills and finishes a new one.
#include "hits/AggregateHits.h"

#include <algorithm>
#include <sys/stat.h>

#include "dbbuild/NetworkStatistics.h"
#include "support/CFormat.h"
#include "support/DbStmt.h"
#include "support/HostDb.h"
#include "support/LibUtils.h"
#include "support/MeasurementDb.h"
#include "support/Paths.h"
#include "support/TargetFile.h"
#include "support/Utf8.h"

namespace {

// Text as SQLite stores the library's bound texts.
std::string Stored(std::string const& narrow)
{
    return Utf8FromWide(widestring(narrow));
}

// A read-only look that never writes to the file (not even to roll back a
// journal someone else left).
// Whatever the file holds, its queries do bounded work.
class ReadOnlyDb {
public:
    explicit ReadOnlyDb(std::wstring const& path)
    {
        uint64_t bytes = 0;
        m_db = OpenDatabaseReadOnly(path, &bytes);
        if (m_db)
            m_limit.Attach(m_db, bytes);
    }
    ~ReadOnlyDb()
    {
        m_limit.Detach();
        sqlite3_close_v2(m_db);
    }
    ReadOnlyDb(ReadOnlyDb const&) = delete;
    ReadOnlyDb& operator=(ReadOnlyDb const&) = delete;
    sqlite3* get() const { return m_db; }

private:
    sqlite3* m_db = nullptr;
    SqlWorkLimit m_limit;
};

bool HasMarkersTable(sqlite3* db)
{
    CDbStmt query;
    return db && query.Prepare(db, "SELECT sql FROM sqlite_master WHERE type = 'table' AND name = 'Markers'") &&
           query.Step() && query.GetText(0) == Utf8FromWide(MeasurementDb::kMarkersTable);
}

bool IsEmptyOrAbsent(std::wstring const& path)
{
    struct stat info;
    const std::optional<std::string> bytes = PathBytes(path);
    return !bytes || ::stat(bytes->c_str(), &info) != 0 || info.st_size == 0;
}

double Count(sqlite3* db, std::string const& sql)
{
    CDbStmt query;
    return query.Prepare(db, sql.c_str()) && query.Step() ? query.GetDouble(0) : -1.0;
}

}  // namespace

// ---- Reuse -------------------------------------------------------------------

AggregateHits::Subset AggregateHits::ExamineDatabase(std::vector<std::wstring> const& sources)
{
    const std::wstring path = DatabasePath();
    for (std::wstring const& source : sources) {
        if (SameFile(path, source)) {
            DebugOutput1("The subset database %s would replace a listed database, which is left untouched",
                         PathForMessage(path).c_str());
            return Subset::Refuse;
        }
    }
    // Refuses folders, FIFOs and devices.
    if (!MayReplaceTarget(path, std::string_view()))
        return Subset::Refuse;
    if (IsEmptyOrAbsent(path))
        return Subset::Create;
    ReadOnlyDb db(path);
    if (!HasMarkersTable(db.get())) {
        DebugOutput1("%s is no subset database of hit extraction and is left untouched", PathForMessage(path).c_str());
        return Subset::Refuse;
    }
    return LoadFromDb(db.get()) ? Subset::Reuse : Subset::Create;
}

// A subset is reused only when it is complete and made of the current
// channels and hits; anything else is rebuilt.
bool AggregateHits::LoadFromDb(sqlite3* db)
{
    // A view in place of a table may recurse without end: no subset of ours.
    for (char const* table : {"Network_Statistics", "Messages", "Channels"})
        if (!IsPlainTable(db, table))
            return false;
    if (Count(db, "SELECT COUNT(*) FROM Network_Statistics") <= 0)
        return false;
    CDbStmt query;
    if (!query.Prepare(db, "PRAGMA user_version") || !query.Step() || query.GetInt(0) == 0 || query.GetInt(0) != m_listDigest)
        return false;
    if (!query.Prepare(db, "SELECT ID, Name, Network, SignalCount, MessageCount FROM Messages ORDER BY ID"))
        return false;
    // The row counts are taken only for a subset that is reused: a rebuilt
    // one counts its rows from 0.
    std::vector<uint64_t> rowCounts;
    for (auto const& message : m_messages) {
        if (!query.Step() || query.GetInt(0) != message->tableNumber || query.GetText(1) != Stored(message->Name()) ||
            query.GetText(2) != Stored(message->Network()) ||
            query.GetDouble(3) != static_cast<double>(message->channels.size()) || query.GetDouble(4) < 0)
            return false;
        rowCounts.push_back(static_cast<uint64_t>(query.GetDouble(4)));
    }
    if (query.Step())
        return false;
    if (!query.Prepare(db, "SELECT MessageId, MessageChannel, Name FROM Channels ORDER BY ID"))
        return false;
    for (auto const& message : m_messages)
        for (AggregateChannelData const* channel : message->channels)
            if (!query.Step() || query.GetInt(0) != message->tableNumber || query.GetInt(1) != channel->column ||
                query.GetText(2) != Stored(channel->name))
                return false;
    if (query.Step() || !RecordTablesMatch(db, rowCounts) || !MarkersMatch(db))
        return false;
    for (size_t m = 0; m < m_messages.size(); ++m)
        m_messages[m]->rowCount = rowCounts[m];
    return true;
}

// Every part holds every column and the message's row count.
bool AggregateHits::RecordTablesMatch(sqlite3* db, std::vector<uint64_t> const& rowCounts) const
{
    for (size_t m = 0; m < m_messages.size(); ++m) {
        AggregateMessage const* message = m_messages[m].get();
        for (int part = 1; part <= message->PartCount(); ++part) {
            const std::string table = MeasurementDb::RecordTableName(message->tableNumber, part);
            std::string columns = "SELECT TIME_VAL";
            const int first = (part - 1) * MeasurementDb::kSignalsPerPart + 1;
            const int last = std::min<int>(static_cast<int>(message->channels.size()), first + MeasurementDb::kSignalsPerPart - 1);
            for (int column = first; column <= last; ++column)
                columns += ", " + MeasurementDb::SignalColumnName(column);
            CDbStmt probe;
            if (!IsPlainTable(db, table) || !probe.Prepare(db, (columns + " FROM " + table).c_str()) ||
                Count(db, "SELECT COUNT(*) FROM " + table) != static_cast<double>(rowCounts[m]))
                return false;
        }
    }
    return true;
}

// The Markers rows are the current hits in order (source and absolute
// start); the markers then take the output times stored with them.
bool AggregateHits::MarkersMatch(sqlite3* db)
{
    CDbStmt query;
    if (!query.Prepare(db, "SELECT Description, StartTime, AbsoluteTime FROM Markers ORDER BY rowid"))
        return false;
    std::vector<double> outputTimes;
    for (FileMarker const& marker : m_markers) {
        if (!query.Step() || query.IsNull(1) || query.GetText(0) != Stored(*marker.description) ||
            query.GetDouble(2) != marker.fileStart + marker.hitStart)
            return false;
        outputTimes.push_back(query.GetDouble(1));
    }
    if (query.Step())
        return false;
    for (size_t i = 0; i < m_markers.size(); ++i)
        m_markers[i].outputTime = outputTimes[i];
    return true;
}

// ---- Creating and finishing ------------------------------------------------------

void AggregateHits::Run(wchar_t const* sql)
{
    m_db->execQuery(sql);
}

void AggregateHits::CreateDatabase()
{
    m_pending = std::make_unique<PendingFile>(DatabasePath());
    m_db = std::make_unique<CppSQLite3DB>();
    m_db->open(m_pending->path().c_str());
    for (wchar_t const* pragma : MeasurementDb::kBulkLoadPragmas)
        Run(pragma);
    Run(MeasurementDb::kExclusiveLockPragma);
    for (wchar_t const* table : MeasurementDb::kSchemaTables)
        Run(table);
    Run(MeasurementDb::kMarkersTable);
    // What shaped the subset, for the next run's reuse check; the tables and
    // their texts stay those of every measurement database.
    Run(FormatCW(L"PRAGMA user_version = %d", m_listDigest).c_str());
    const int perPart = MeasurementDb::kSignalsPerPart;
    for (auto const& message : m_messages) {
        const int signals = static_cast<int>(message->channels.size());
        for (int part = 1; part <= message->PartCount(); ++part) {
            const int first = (part - 1) * perPart + 1;
            const int count = std::min(perPart, signals - first + 1);
            const std::vector<MeasurementDb::ColumnType> types(static_cast<size_t>(count),
                                                                MeasurementDb::ColumnType::Double);
            Run(MeasurementDb::RecordTableCreateSql(message->tableNumber, part, first, types).c_str());
            message->inserts.push_back(m_db->compileStatement(
                MeasurementDb::RecordTableInsertSql(message->tableNumber, part, count).c_str()));
        }
    }
    Run(L"BEGIN TRANSACTION");
    m_writesInTransaction = 0;
}

double AggregateHits::EndOfOutput() const
{
    FileMarker const& last = m_markers.back();
    return last.outputTime + last.hitEnd - last.hitStart;
}

void AggregateHits::InsertMessageRows()
{
    CppSQLite3Statement messageRow =
        m_db->compileStatement(L"INSERT INTO Messages VALUES (?, ?, '', ?, ?, ?, ?, ?, 0, 0, ?, 0, ?, 8)");
    CppSQLite3Statement channelRow = m_db->compileStatement(
        L"INSERT INTO Channels VALUES (?, ?, ?, ?, 'Double', ?, ?, ?, 0.0, ?, ?, ?, '', -1, ?, '', 1.0, 0.0, 4, ?, 64, "
        L"0, 1, -1, ?, 1)");
    int channelId = 1;
    for (auto const& message : m_messages) {
        const std::wstring network = widestring(message->Network());
        messageRow.bind(1, message->tableNumber);
        messageRow.bind(2, widestring(message->Name()).c_str());
        messageRow.bind(3, static_cast<int>(message->channels.size()));
        messageRow.bind(4, widestring(MeasurementDb::RecordTableName(message->tableNumber)).c_str());
        messageRow.bind(5, network.c_str());
        // A subset of no hit spans nothing.
        messageRow.bind(6, m_markers.empty() ? 0.0 : m_markers.front().outputTime);
        messageRow.bind(7, m_markers.empty() ? 0.0 : EndOfOutput());
        messageRow.bind(8, static_cast<long long>(message->rowCount));
        messageRow.bind(9, static_cast<long long>(message->changeCount));
        messageRow.execDML();
        for (size_t j = 0; j < message->channels.size(); ++j) {
            AggregateChannelData const& channel = *message->channels[j];
            ChannelStats const& stats = channel.stats;
            channelRow.bind(1, channelId++);
            channelRow.bind(2, message->tableNumber);
            channelRow.bind(3, static_cast<int>(j) + 1);
            channelRow.bind(4, widestring(channel.name).c_str());
            channelRow.bind(5, stats.GetMin());
            channelRow.bind(6, stats.GetMax());
            channelRow.bind(7, stats.GetAverage());
            channelRow.bind(8, stats.GetStdDev());
            channelRow.bind(9, network.c_str());
            channelRow.bind(10, widestring(channel.unit).c_str());
            channelRow.bind(11, static_cast<long long>(stats.GetNumChanges()));
            channelRow.bind(12, static_cast<long long>(8 * j));
            channelRow.bind(13, static_cast<int>(j) + 1);
            channelRow.execDML();
        }
    }
}

void AggregateHits::InsertMarkerRows()
{
    CppSQLite3Statement markerRow = m_db->compileStatement(L"INSERT INTO Markers VALUES (?, ?, ?)");
    for (FileMarker const& marker : m_markers) {
        markerRow.bind(1, widestring(*marker.description).c_str());
        markerRow.bind(2, marker.outputTime);
        markerRow.bind(3, marker.fileStart + marker.hitStart);
        markerRow.execDML();
    }
}

bool AggregateHits::FinishWritingDb()
{
    Run(L"COMMIT TRANSACTION");
    Run(L"BEGIN TRANSACTION");
    InsertMessageRows();
    InsertMarkerRows();
    Run(L"COMMIT TRANSACTION");
    UpdateNetworkStatistics(m_db.get(), 0.0);
    for (wchar_t const* pragma : MeasurementDb::kFinishPragmas)
        Run(pragma);
    for (auto const& message : m_messages)
        message->inserts.clear();
    m_db->close();
    m_db.reset();
    const bool named = m_pending->Commit();
    m_pending.reset();
    return named;
}
