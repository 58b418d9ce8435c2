// Opening a measurement database and resolving the requested channels in it.
#include "access/FileInfo.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>
#include <unordered_set>

#include "support/CFormat.h"
#include "support/HostDb.h"
#include "support/LibUtils.h"
#include "support/MeasurementDb.h"
#include "support/Paths.h"

namespace {

// A row of Channels joined with its message.
struct ChannelRow {
    std::string network;
    std::string message;
    CChannelDescription description;
};

// The rows of the wanted names, each name's rows in Channels.ID order.
using ChannelDirectory = std::unordered_map<std::string, std::vector<ChannelRow>>;

char const* const kChannelScan =
    "SELECT Messages.Network, Messages.Name, Channels.ID, Channels.Name, Units, ArbId, MessageCount, "
    "SignalType, DAQRate, Decimals, MessageId, MessageChannel, BitLength, Slope, Offset, MinTime, MaxTime, "
    "MinVal, MaxVal FROM Channels, Messages WHERE MessageId = Messages.ID ORDER BY Channels.ID";

ChannelRow readChannelRow(CDbStmt const& row)
{
    ChannelRow r;
    r.network = row.GetText(0);
    r.message = row.GetText(1);
    CChannelDescription& d = r.description;
    d.channelId = static_cast<int>(row.GetInt64(2));
    d.name = row.GetText(3);
    d.units = row.GetText(4);
    d.arbId = row.GetText(5);
    d.messageCount = row.GetInt(6);
    d.signalType = row.GetText(7);
    d.daqRate = row.GetText(8);
    d.decimals = row.GetInt(9);
    d.messageId = static_cast<int>(row.GetInt64(10));
    d.messageChannel = static_cast<int>(row.GetInt64(11));
    d.bitLength = row.GetInt(12);
    // A missing factor or offset leaves the value unscaled rather than
    // multiplied by zero.
    d.slope = row.IsNull(13) ? 1.0 : row.GetDouble(13);
    d.offset = row.IsNull(14) ? 0.0 : row.GetDouble(14);
    d.minTime = row.GetDouble(15);
    d.maxTime = row.GetDouble(16);
    d.minVal = row.GetDouble(17);
    d.maxVal = row.GetDouble(18);
    return r;
}

// Channel and message IDs and signal numbers outside the range the builder
// writes name no record table and column: such rows are passed over (a
// channel ID of 0 could not stand for a resolved channel either).
bool hasUsableNumbers(CDbStmt const& row)
{
    for (int column : {2, 10, 11})
        if (!MeasurementDb::IsStoredNumber(row.GetInt64(column)))
            return false;
    return true;
}

// One pass over Channels serves the whole list: a query per name would scan
// the table once per listed channel, and no name ever reaches SQL text. Both
// tables must be plain tables: a view may recurse without end.
bool readChannelDirectory(sqlite3* db, std::unordered_set<std::string> const& wanted, ChannelDirectory& out)
{
    CDbStmt scan;
    if (!IsPlainTable(db, "Channels") || !IsPlainTable(db, "Messages") || !scan.Prepare(db, kChannelScan))
        return false;
    while (scan.Step()) {
        std::string name = scan.GetText(3);
        if (wanted.count(name) && hasUsableNumbers(scan))
            out[name].push_back(readChannelRow(scan));
    }
    // The scan ends on SQLITE_DONE; anything else (a damaged file) fails it.
    int code = sqlite3_errcode(db);
    return code == SQLITE_OK || code == SQLITE_DONE || code == SQLITE_ROW;
}

std::vector<ChannelRow> const& rowsNamed(ChannelDirectory const& directory, std::string const& name)
{
    static std::vector<ChannelRow> const none;
    auto it = directory.find(name);
    return it == directory.end() ? none : it->second;
}

// An alias that found no alternative has no name; it is not looked up again.
bool isUnresolvedAlias(CChannelInfo const& channel)
{
    return channel.name.empty() && (!channel.name_in_script.empty() || !channel.definitions.empty());
}

// Alternatives of the alias form are checked by their filters alone; the
// alternative of a plain entry as record access checks a channel list.
bool alternativeMatches(CChannelDefinition const& definition, ChannelRow const& row)
{
    if (definition.plainEntry)
        return ChannelFiltersMatch(definition.network_name, definition.message_name, row.network, row.message);
    return MatchField(definition.message_name, row.message) && MatchField(definition.network_name, row.network);
}

void printNotFound(std::string const& name, std::wstring const& path)
{
    char line[1024];
    std::snprintf(line, sizeof line, "Channel %s was not found in file %s", name.c_str(),
                  PathForMessage(path).c_str());
    DebugOutput(line);
}

void applyRow(ChannelRow const& row, CChannelInfo& channel)
{
    CChannelDescription const& d = row.description;
    static_cast<CChannelDescription&>(channel) = d;
    channel.storesPhysical = MeasurementDb::StoresPhysicalValues(d.signalType);
    channel.tableName = MeasurementDb::RecordTableOfSignal(d.messageId, d.messageChannel);
    channel.columnName = MeasurementDb::SignalColumnName(d.messageChannel);
}

bool seekByScanDefault = false;

}  // namespace

void SetSeekByScanDefault(bool scan)
{
    seekByScanDefault = scan;
}

bool SeekByScanDefault()
{
    return seekByScanDefault;
}

FileInfo::~FileInfo()
{
    if (!Close() && db)
        sqlite3_close_v2(db);
}

bool FileInfo::open(wchar_t const* path)
{
    if (db) {
        m_snapshot.End();
        m_workLimit.Detach();
        sqlite3_close_v2(db);
        db = nullptr;
    }
    numFound = numRequired = numRequiredFound = 0;
    uint64_t bytes = 0;
    sqlite3* connection = path ? OpenDatabaseReadOnly(path, &bytes) : nullptr;
    if (!connection)
        return false;
    db = connection;
    m_workLimit.Attach(db, bytes);
    dbPath = path;
    m_snapshot.Begin(db);
    return true;
}

void FileInfo::clearCursors()
{
    m_tables.clear();
    m_due.clear();
    m_atLastRow.clear();
    m_proposals.clear();
    m_mergeReady = false;
    m_proposalsStale = true;
    messageSignals.clear();
    tableSignals.clear();
}

int FileInfo::failQuery()
{
    DebugOutput1("Invalid database %s", PathForMessage(dbPath).c_str());
    Close();
    return -2;
}

bool FileInfo::Close()
{
    if (!db)
        return true;
    clearCursors();
    m_snapshot.End();
    m_workLimit.Detach();
    int result = sqlite3_close(db);
    if (result != SQLITE_OK) {
        DebugOutput(sqlite3_errstr(result));
        return false;
    }
    db = nullptr;
    return true;
}

void FileInfo::registerChannel(CChannelInfo& channel)
{
    messageSignals[channel.messageId].AddChannel(&channel);
    tableSignals[channel.tableName].AddChannel(&channel);
}

int FileInfo::LoadDbChannels(wchar_t const* path)
{
    clearCursors();
    if (!open(path))
        return -2;

    std::unordered_set<std::string> wanted;
    for (auto const& channel : channels)
        if (!isUnresolvedAlias(channel))
            wanted.insert(channel.name);
    ChannelDirectory directory;
    if (!readChannelDirectory(db, wanted, directory)) {
        // Counted as a failure at the first channel looked up.
        for (auto const& channel : channels) {
            numRequired += channel.required ? 1 : 0;
            if (!isUnresolvedAlias(channel))
                break;
        }
        return failQuery();
    }

    for (auto& channel : channels) {
        if (channel.required)
            ++numRequired;
        channel.channelId = 0;
        channel.messageId = 0;
        if (isUnresolvedAlias(channel))
            continue;
        for (ChannelRow const& row : rowsNamed(directory, channel.name)) {
            // The first match in Channels.ID order resolves the channel.
            if (!channel.DoesChannelMatch(row.network, row.message))
                continue;
            applyRow(row, channel);
            if (channel.minTime < startTime)
                startTime = channel.minTime;
            if (channel.maxTime > endTime)
                endTime = channel.maxTime;
            registerChannel(channel);
            numRequiredFound += channel.required ? 1 : 0;
            ++numFound;
            break;
        }
        if (channel.messageId == 0)
            printNotFound(channel.name, dbPath);
    }
    if (!checkRecordTables())
        return failQuery();
    readMeasurementBounds();
    return numFound;
}

// A view may recurse without end, and a statement that does not prepare (a
// table or column the database lacks) would deliver no rows while the open
// reports success: every record table must be a plain table that reads.
bool FileInfo::checkRecordTables()
{
    for (auto& entry : tableSignals) {
        CMessageSignals& table = entry.second;
        const bool readable = IsPlainTable(db, entry.first) && table.prepare(db, table.StartSql());
        table.stmt.Finalize();
        if (!readable) {
            DebugOutput(FormatC("The records of %s in %s cannot be read", entry.first.c_str(),
                                PathForMessage(dbPath).c_str())
                            .c_str());
            return false;
        }
    }
    return true;
}

void FileInfo::readMeasurementBounds()
{
    CDbStmt query;
    if (!IsPlainTable(db, "Network_Statistics"))
        return;
    // An empty table gives NULL, read as 0: the channels' bounds then stay.
    if (query.Prepare(db, "SELECT MIN(MinTime) FROM Network_Statistics WHERE MinTime > 0") && query.Step() &&
        query.GetDouble(0) != 0)
        startTime = query.GetDouble(0);
    if (query.Prepare(db, "SELECT MAX(MaxTime) FROM Network_Statistics") && query.Step() && query.GetDouble(0) != 0)
        endTime = query.GetDouble(0);
}

int FileInfo::LoadChannelsFromAliases(wchar_t const* path)
{
    clearCursors();
    // Every entry is resolved by lookup, the plain form too: a name copied
    // from the list is no proof that the database has it, also when the
    // database cannot be read at all.
    for (auto& channel : channels) {
        channel.name.clear();
        channel.exactNames = false;
        channel.channelId = 0;
        channel.messageId = 0;
    }
    if (!open(path))
        return -2;

    std::unordered_set<std::string> wanted;
    for (auto const& channel : channels)
        for (auto const& definition : channel.definitions)
            wanted.insert(definition.channel_name);
    ChannelDirectory directory;
    if (!readChannelDirectory(db, wanted, directory)) {
        for (auto const& channel : channels) {
            numRequired += channel.required ? 1 : 0;
            if (!channel.definitions.empty())
                break;
        }
        return failQuery();
    }

    for (auto& channel : channels) {
        if (channel.required)
            ++numRequired;
        for (auto const& definition : channel.definitions) {
            for (ChannelRow const& row : rowsNamed(directory, definition.channel_name)) {
                if (alternativeMatches(definition, row)) {
                    channel.name = definition.channel_name;
                    channel.message_name = row.message;
                    channel.network_name = row.network;
                    channel.exactNames = true;
                    break;
                }
            }
            if (!channel.name.empty()) {
                numRequiredFound += channel.required ? 1 : 0;
                ++numFound;
                break;
            }
        }
        if (channel.name.empty())
            printNotFound(channel.name_in_script, dbPath);
    }
    return numFound;
}

void FileInfo::AllocPointers(unsigned long n)
{
    data.reset();
    previousData.reset();
    timeStamps.reset();
    m_arrayLength = 0;
    if (numFound == 0)
        return;
    size_t length = n != 0 ? n : static_cast<size_t>(numFound);
    data.reset(new double[length]);
    previousData.reset(new double[length]);
    timeStamps.reset(new double[length]);
    std::fill_n(data.get(), length, DBL_MAX);
    std::fill_n(previousData.get(), length, DBL_MAX);
    std::fill_n(timeStamps.get(), length, DBL_MAX);
    m_arrayLength = length;
    m_fillAll = true;
}

bool FileInfo::SetActiveMask(char const* mask)
{
    if (!mask || std::char_traits<char>::length(mask) != channels.size())
        return false;
    // A refused mask changes nothing: it is checked whole before any of it
    // applies.
    for (size_t i = 0; i < channels.size(); ++i)
        if (mask[i] != '1' && mask[i] != '0')
            return false;
    m_proposalsStale = true;
    for (size_t i = 0; i < channels.size(); ++i)
        channels[i].active = mask[i] == '1';
    return true;
}
