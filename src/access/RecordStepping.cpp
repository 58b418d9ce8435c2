// Moving the record table cursors: to the start, to a time, and forward
// through the rows of all tables merged in time order.
//
// Invariant after every positioning and every step: a table that still has a
// current row has no next row, or a next row later than currentTime. Rows
// not later than the current time (out-of-order rows; a NaN time is stored
// as 0) are therefore consumed at the step or positioning that reaches them,
// every proposed time is later than the current one, and every row of an
// active message is reached: stepping always ends and drops nothing.
#include "access/FileInfo.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "support/CFormat.h"

namespace {

// Earliest time first.
bool laterFirst(double a, double b)
{
    return a > b;
}

// Runs an aggregate over TIME_VAL with t bound; NULL (no qualifying row) and
// failures give nothing.
std::optional<double> timeQuery(sqlite3* db, char const* aggregate, std::string const& table, char const* condition,
                                double t)
{
    CDbStmt query;
    std::string sql = std::string("SELECT ") + aggregate + "(TIME_VAL) FROM " + table + " WHERE TIME_VAL " +
                      condition + " ?";
    if (!query.Prepare(db, sql.c_str()) || !query.Bind(t, 1) || !query.Step() || query.IsNull(0))
        return std::nullopt;
    return query.GetDouble(0);
}

}  // namespace

// ---- CChannelInfo time searches ---------------------------------------------

std::optional<double> CChannelInfo::GetTimeStampJustAfterOrAt(double t, sqlite3* db) const
{
    return timeQuery(db, "MIN", tableName, ">=", t);
}

std::optional<double> CChannelInfo::GetTimeStampJustBeforeOrAt(double t, sqlite3* db) const
{
    return timeQuery(db, "MAX", tableName, "<=", t);
}

// ---- CMessageSignals ---------------------------------------------------------

CChannelInfo* CMessageSignals::GetFirstChannel() const
{
    for (CChannelInfo* channel : channels)
        if (channel->channelId > 0)
            return channel;
    return nullptr;
}

CChannelInfo* CMessageSignals::GetActiveChannel() const
{
    for (CChannelInfo* channel : channels)
        if (channel->channelId > 0 && channel->active)
            return channel;
    return nullptr;
}

std::string CMessageSignals::GetSignalNames() const
{
    std::string names;
    for (CChannelInfo const* channel : channels)
        names += ", " + channel->columnName;
    return names;
}

bool CMessageSignals::prepare(sqlite3* db, std::string const& sql)
{
    return stmt.Prepare(db, sql.c_str());
}

void CMessageSignals::readRowAsCurrent()
{
    double time = stmt.GetDouble(0);
    for (size_t i = 0; i < channels.size(); ++i) {
        int col = static_cast<int>(i) + 1;
        CChannelInfo* channel = channels[i];
        channel->curTime = time;
        channel->curValue = stmt.IsNull(col) ? DBL_MAX : channel->ValueOfStored(stmt.GetDouble(col));
    }
}

void CMessageSignals::readRowAsNext()
{
    double time = stmt.GetDouble(0);
    for (size_t i = 0; i < channels.size(); ++i) {
        int col = static_cast<int>(i) + 1;
        CChannelInfo* channel = channels[i];
        channel->nextTime = time;
        channel->nextValue = stmt.IsNull(col) ? DBL_MAX : channel->ValueOfStored(stmt.GetDouble(col));
    }
}

void CMessageSignals::clearNext()
{
    for (CChannelInfo* channel : channels) {
        channel->nextTime = DBL_MAX;
        channel->nextValue = DBL_MAX;
    }
}

void CMessageSignals::stepForNext()
{
    if (stmt.Step()) {
        readRowAsNext();
        return;
    }
    clearNext();
    // A finished statement would start over if stepped again.
    stmt.Finalize();
}

void CMessageSignals::standWithoutRows()
{
    for (CChannelInfo* channel : channels) {
        channel->curTime = DBL_MAX;
        channel->nextTime = DBL_MAX;
    }
    stmt.Finalize();
}

void CMessageSignals::BuildStartSql(sqlite3* db)
{
    CChannelInfo const* first = GetFirstChannel();
    // No ORDER BY: the stored order is the record order.
    if (first && prepare(db, "SELECT TIME_VAL" + GetSignalNames() + " FROM " + first->tableName) && stmt.Step()) {
        readRowAsCurrent();
        stepForNext();
    } else {
        standWithoutRows();
    }
}

void CMessageSignals::BuildSql(double t, sqlite3* db)
{
    CChannelInfo const* first = GetFirstChannel();
    if (first && prepare(db, "SELECT TIME_VAL" + GetSignalNames() + " FROM " + first->tableName + " WHERE TIME_VAL >= ?") &&
        stmt.Bind(t, 1) && stmt.Step()) {
        readRowAsCurrent();
        stepForNext();
    } else {
        standWithoutRows();
    }
}

bool CMessageSignals::GetNextRecord()
{
    bool moved = true;
    for (CChannelInfo* channel : channels) {
        if (channel->nextTime != DBL_MAX) {
            channel->curTime = channel->nextTime;
            channel->curValue = channel->nextValue;
        } else {
            channel->curTime = DBL_MAX;
            moved = false;
        }
    }
    if (moved)
        stepForNext();
    return moved;
}

void CMessageSignals::GetRecordsUpTo(double t)
{
    if (channels.empty())
        return;
    CChannelInfo const* first = channels.front();
    while (first->channelId != 0 && first->ShouldGetNextRecord(t))
        GetNextRecord();
}

void CMessageSignals::CatchUpTo(double t)
{
    while (HasRow() && HasNextRow() && NextTime() <= t)
        GetNextRecord();
}

// ---- FileInfo: arrays --------------------------------------------------------

void FileInfo::FillDataArray()
{
    m_fillAll = false;
    if (!data || !timeStamps)
        return;
    size_t count = std::min(m_arrayLength, channels.size());
    for (size_t i = 0; i < count; ++i) {
        CChannelInfo const& channel = channels[i];
        data[i] = channel.IsResolved() ? channel.curValue : DBL_MAX;
        timeStamps[i] = channel.IsResolved() ? relative(channel.curTime) : DBL_MAX;
    }
}

// Only the tables that moved change entries, so a step writes only theirs.
void FileInfo::fillTable(CMessageSignals const& table)
{
    if (!data || !timeStamps)
        return;
    for (size_t i = 0; i < table.channels.size(); ++i) {
        size_t position = table.positions[i];
        if (position >= m_arrayLength)
            continue;
        data[position] = table.channels[i]->curValue;
        timeStamps[position] = relative(table.channels[i]->curTime);
    }
}

void FileInfo::SetAbsoluteTimeStamps(bool absolute)
{
    if (absolute != absoluteTimeStamps)
        m_fillAll = true;
    absoluteTimeStamps = absolute;
}

// ---- FileInfo: the merge -------------------------------------------------------

void FileInfo::prepareMerge()
{
    if (m_mergeReady)
        return;
    m_tables.clear();
    for (auto& entry : tableSignals) {
        CMessageSignals& table = entry.second;
        table.index = m_tables.size();
        table.positions.clear();
        for (CChannelInfo const* channel : table.channels)
            table.positions.push_back(static_cast<size_t>(channel - channels.data()));
        m_tables.push_back(&table);
    }
    m_mergeReady = true;
}

// A table moves at a step when its next row is due, and at any step once its
// last row is current (it then moves past its end).
void FileInfo::queue(CMessageSignals& table)
{
    auto later = [](Pending const& a, Pending const& b) { return laterFirst(a.key, b.key); };
    if (!table.HasRow())
        return;
    double due = table.HasNextRow() ? table.NextTime() : -HUGE_VAL;
    m_due.push_back({due, table.index, table.version});
    std::push_heap(m_due.begin(), m_due.end(), later);
    if (table.proposing && table.HasNextRow()) {
        m_proposals.push_back({table.NextTime(), table.index, table.version});
        std::push_heap(m_proposals.begin(), m_proposals.end(), later);
    }
}

void FileInfo::rebuildQueues()
{
    m_due.clear();
    m_proposals.clear();
    m_proposalsStale = true;
    for (CMessageSignals* table : m_tables) {
        ++table->version;
        queue(*table);
    }
}

// Each message proposes the next time of its first active channel's table.
void FileInfo::rebuildProposals()
{
    auto later = [](Pending const& a, Pending const& b) { return laterFirst(a.key, b.key); };
    m_proposals.clear();
    for (CMessageSignals* table : m_tables)
        table->proposing = false;
    for (auto const& entry : messageSignals) {
        CChannelInfo const* active = entry.second.GetActiveChannel();
        if (!active)
            continue;
        auto found = tableSignals.find(active->tableName);
        if (found == tableSignals.end())
            continue;
        CMessageSignals& table = found->second;
        table.proposing = true;
        if (table.HasNextRow())
            m_proposals.push_back({table.NextTime(), table.index, table.version});
    }
    std::make_heap(m_proposals.begin(), m_proposals.end(), later);
    m_proposalsStale = false;
}

void FileInfo::finishPositioning(double t)
{
    currentTime = t;
    if (t != DBL_MAX)
        for (CMessageSignals* table : m_tables)
            table->CatchUpTo(t);
    rebuildQueues();
    FillDataArray();
}

double FileInfo::SetCursorsToStart()
{
    prepareMerge();
    double t = DBL_MAX;
    for (CMessageSignals* table : m_tables) {
        table->BuildStartSql(db);
        if (table->HasRow())
            t = std::min(t, table->channels.front()->curTime);
    }
    finishPositioning(t);
    return t;
}

double FileInfo::GetNextRecord()
{
    if (!m_mergeReady)
        return DBL_MAX;
    if (m_proposalsStale)
        rebuildProposals();
    auto later = [](Pending const& a, Pending const& b) { return laterFirst(a.key, b.key); };

    double next = DBL_MAX;
    while (!m_proposals.empty()) {
        Pending top = m_proposals.front();
        CMessageSignals const& table = *m_tables[top.table];
        if (top.version == table.version && table.proposing && top.key > currentTime) {
            next = top.key;
            break;
        }
        std::pop_heap(m_proposals.begin(), m_proposals.end(), later);
        m_proposals.pop_back();
    }
    if (next == DBL_MAX)
        return DBL_MAX;

    currentTime = next;
    while (!m_due.empty() && m_due.front().key <= next) {
        Pending due = m_due.front();
        std::pop_heap(m_due.begin(), m_due.end(), later);
        m_due.pop_back();
        CMessageSignals& table = *m_tables[due.table];
        if (due.version != table.version)
            continue;
        table.GetRecordsUpTo(next);
        ++table.version;
        queue(table);
        if (!m_fillAll)
            fillTable(table);
    }
    if (m_fillAll)
        FillDataArray();
    return relative(currentTime);
}

bool FileInfo::resolvedEntriesEqual() const
{
    size_t count = std::min(m_arrayLength, channels.size());
    for (size_t i = 0; i < count; ++i)
        if (channels[i].IsResolved() && std::memcmp(&data[i], &previousData[i], sizeof(double)) != 0)
            return false;
    return true;
}

bool FileInfo::resolvedEntryMissing() const
{
    size_t count = std::min(m_arrayLength, channels.size());
    for (size_t i = 0; i < count; ++i)
        if (channels[i].IsResolved() && data[i] == DBL_MAX)
            return true;
    return false;
}

double FileInfo::GetNextChangedRecord()
{
    if (!data || !previousData)
        return GetNextRecord();
    std::copy_n(data.get(), m_arrayLength, previousData.get());
    double t = GetNextRecord();
    while (t != DBL_MAX && resolvedEntriesEqual())
        t = GetNextRecord();
    return t;
}

double FileInfo::GetNextValidRecord()
{
    double t = GetNextRecord();
    if (!data)
        return t;
    while (t != DBL_MAX && resolvedEntryMissing())
        t = GetNextRecord();
    return t;
}

// ---- FileInfo: jumps -----------------------------------------------------------

double FileInfo::JumpToTimeStamp(double t)
{
    prepareMerge();
    std::optional<double> best;
    for (CMessageSignals* table : m_tables) {
        CChannelInfo const* first = table->GetFirstChannel();
        if (!first)
            continue;
        // Tables without a row at or after t keep their position.
        std::optional<double> at = first->GetTimeStampJustAfterOrAt(t, db);
        if (!at)
            continue;
        best = best ? std::min(*best, *at) : *at;
        table->BuildSql(*at, db);
    }
    if (!best) {
        FillDataArray();
        return DBL_MAX;
    }
    finishPositioning(*best);
    return *best;
}

std::optional<double> FileInfo::positionAtOrBefore(double t)
{
    std::optional<double> best;
    for (CMessageSignals* table : m_tables) {
        CChannelInfo const* first = table->GetFirstChannel();
        if (!first)
            continue;
        std::optional<double> at = first->GetTimeStampJustBeforeOrAt(t, db);
        if (!at)
            at = first->GetTimeStampJustAfterOrAt(t, db);  // it starts after t
        if (!at)
            continue;  // no rows
        table->BuildSql(*at, db);
        if (table->GetActiveChannel() && (!best || *at > *best))
            best = at;
    }
    return best;
}

double FileInfo::JumpBeforeTimeStamp(double t)
{
    prepareMerge();
    std::optional<double> best = positionAtOrBefore(t);
    // An active table starting after t: every table goes to that start, so
    // that each active channel has a sample.
    if (best && *best > t)
        best = positionAtOrBefore(*best);
    finishPositioning(best ? *best : DBL_MAX);
    return currentTime;
}

double FileInfo::JumpAfterTimeStamp(double t)
{
    prepareMerge();
    std::optional<double> best;
    for (auto const& entry : messageSignals) {
        CChannelInfo const* active = entry.second.GetActiveChannel();
        if (!active)
            continue;
        std::optional<double> at = active->GetTimeStampJustAfterOrAt(t, db);
        if (at)
            best = best ? std::min(*best, *at) : *at;
    }
    if (!best) {
        FillDataArray();
        return DBL_MAX;
    }
    positionAtOrBefore(*best);
    finishPositioning(*best);
    return *best;
}
