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
#include <cctype>
#include <cmath>
#include <cstring>

namespace {

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

void CMessageSignals::AddChannel(CChannelInfo* channel)
{
    auto found = std::find(columns.begin(), columns.end(), channel->columnName);
    columnOf.push_back(static_cast<int>(found - columns.begin()) + 1);
    if (found == columns.end())
        columns.push_back(channel->columnName);
    channels.push_back(channel);
}

std::string CMessageSignals::GetSignalNames() const
{
    std::string names;
    for (std::string const& column : columns)
        names += ", " + column;
    return names;
}

std::string CMessageSignals::StartSql() const
{
    CChannelInfo const* first = GetFirstChannel();
    return first ? "SELECT TIME_VAL" + GetSignalNames() + " FROM " + first->tableName : std::string();
}

bool CMessageSignals::prepare(sqlite3* db, std::string const& sql)
{
    return stmt.Prepare(db, sql.c_str());
}

// A NULL column reads as 0, so only a 0 needs the second look.
double CMessageSignals::readValue(CChannelInfo const& channel, int col) const
{
    double stored = stmt.GetDouble(col);
    if (stored == 0.0 && stmt.IsNull(col))
        return DBL_MAX;
    return channel.ValueOfStored(stored);
}

void CMessageSignals::readRowAsCurrent()
{
    double time = stmt.GetDouble(0);
    for (size_t i = 0; i < channels.size(); ++i) {
        CChannelInfo* channel = channels[i];
        channel->curTime = time;
        channel->curValue = readValue(*channel, columnOf[i]);
    }
}

void CMessageSignals::readRowAsNext()
{
    double time = stmt.GetDouble(0);
    for (size_t i = 0; i < channels.size(); ++i) {
        CChannelInfo* channel = channels[i];
        channel->nextTime = time;
        channel->nextValue = readValue(*channel, columnOf[i]);
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
    // No ORDER BY: the stored order is the record order.
    if (GetFirstChannel() && prepare(db, StartSql()) && stmt.Step()) {
        readRowAsCurrent();
        stepForNext();
    } else {
        standWithoutRows();
    }
}

void CMessageSignals::BuildSql(double t, sqlite3* db)
{
    if (SearchesByRowid(db)) {
        // The rows at or after t are those from the first of them on.
        std::optional<RowAt> first = landing && landing->time == t ? landing : std::nullopt;
        if (!first && lastRow && lastRow->time >= t)
            first = firstRowWhere([t](double time) { return time >= t; });
        if (first)
            positionAtRowid(first->rowid, db);
        else
            standWithoutRows();
        return;
    }
    if (GetFirstChannel() && prepare(db, StartSql() + " WHERE TIME_VAL >= ?") && stmt.Bind(t, 1) && stmt.Step()) {
        readRowAsCurrent();
        stepForNext();
    } else {
        standWithoutRows();
    }
}

void CMessageSignals::positionAtRowid(long long rowid, sqlite3* db)
{
    // NOT INDEXED: the rowid range, never an index on TIME_VAL, gives the
    // order. The number is the database's own rowid, written in full.
    std::string const sql = "SELECT TIME_VAL" + GetSignalNames() + " FROM " + GetFirstChannel()->tableName +
                            " NOT INDEXED WHERE " + rowidName + " >= " + std::to_string(rowid);
    if (prepare(db, sql) && stmt.Step()) {
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

// ---- CMessageSignals: seeking by time -------------------------------------------
//
// A table in time order (TIME_VAL non-decreasing in rowid order, no NULL) has
// its rows at or after any t as one run at its end, so the range queries'
// answers are found by bisection over the rowids, each probe one B-tree
// descent. Rowids may have gaps and any sign: a probe reads the first row at
// or after a rowid, and the bisection runs over the rowid values.

namespace {

// Exactly representable: SQLite compares such an integer with a double as
// the double it converts to, so comparisons in C++ give SQLite's answers.
constexpr long long kExactIntegerLimit = 1LL << 53;

bool prepareProbe(sqlite3* db, std::string const& sql, CMessageSignals::Probe& probe)
{
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK || !statement) {
        sqlite3_finalize(statement);
        return false;
    }
    probe.reset(statement);
    return true;
}

// A time that SQLite and C++ order alike: a float (SQLite keeps no NaN), or
// an integer a double holds exactly. NULL, text and blob are not.
std::optional<double> numericTime(sqlite3_stmt* statement, int col)
{
    switch (sqlite3_column_type(statement, col)) {
    case SQLITE_FLOAT: {
        double time = sqlite3_column_double(statement, col);
        return std::isnan(time) ? std::nullopt : std::optional<double>(time);
    }
    case SQLITE_INTEGER: {
        long long value = sqlite3_column_int64(statement, col);
        if (value < -kExactIntegerLimit || value > kExactIntegerLimit)
            return std::nullopt;
        return static_cast<double>(value);
    }
    default:
        return std::nullopt;
    }
}

// A name of the rowid that no column of the table takes ("rowid" may be a
// column of a host's table, a generated one too, which only table_xinfo
// lists); empty when all three are taken.
std::string freeRowidName(sqlite3* db, std::string const& table)
{
    std::vector<std::string> names = {"rowid", "_rowid_", "oid"};
    CDbStmt columns;
    if (!columns.Prepare(db, "SELECT name FROM pragma_table_xinfo(?)") || !columns.Bind(table, 1))
        return std::string();
    while (columns.Step()) {
        std::string column = columns.GetText(0);
        for (char& c : column)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        names.erase(std::remove(names.begin(), names.end(), column), names.end());
    }
    return names.empty() ? std::string() : names.front();
}

}  // namespace

void CMessageSignals::ForgetTimeOrder()
{
    timeOrder = TimeOrder::Unchecked;
    firstRow.reset();
    lastRow.reset();
    landing.reset();
    rowAtOrAfter.reset();
    rowBefore.reset();
}

bool CMessageSignals::SearchesByRowid(sqlite3* db)
{
    if (seekByScan)
        return false;
    if (timeOrder == TimeOrder::Unchecked)
        timeOrder = checkTimeOrder(db);
    return timeOrder == TimeOrder::Sorted;
}

CMessageSignals::TimeOrder CMessageSignals::checkTimeOrder(sqlite3* db)
{
    CChannelInfo const* first = GetFirstChannel();
    if (!first)
        return TimeOrder::Unsorted;
    std::string const& table = first->tableName;
    rowidName = freeRowidName(db, table);
    // A WITHOUT ROWID table has no rowid: its queries do not prepare.
    Probe pass;
    if (rowidName.empty() ||
        !prepareProbe(db, "SELECT " + rowidName + ", TIME_VAL FROM " + table + " NOT INDEXED ORDER BY " + rowidName,
                      pass))
        return TimeOrder::Unsorted;
    int result;
    while ((result = sqlite3_step(pass.get())) == SQLITE_ROW) {
        std::optional<double> time = numericTime(pass.get(), 1);
        if (!time || (lastRow && *time < lastRow->time))
            return TimeOrder::Unsorted;
        lastRow = RowAt{sqlite3_column_int64(pass.get(), 0), *time};
        if (!firstRow)
            firstRow = lastRow;
    }
    // An interrupted or failed pass proves nothing: the range queries stay.
    if (result != SQLITE_DONE)
        return TimeOrder::Unsorted;
    std::string const columns = "SELECT " + rowidName + ", TIME_VAL FROM " + table + " NOT INDEXED WHERE " + rowidName;
    if (firstRow && (!prepareProbe(db, columns + " >= ? ORDER BY " + rowidName + " LIMIT 1", rowAtOrAfter) ||
                     !prepareProbe(db, columns + " < ? ORDER BY " + rowidName + " DESC LIMIT 1", rowBefore)))
        return TimeOrder::Unsorted;
    return TimeOrder::Sorted;
}

// The row a probe finds from rowid on; nothing when the probe fails or finds
// no row or a time that is not a number (the database changed meanwhile).
std::optional<CMessageSignals::RowAt> CMessageSignals::probe(Probe& statement, long long rowid)
{
    sqlite3_stmt* query = statement.get();
    std::optional<RowAt> row;
    if (sqlite3_bind_int64(query, 1, rowid) == SQLITE_OK && sqlite3_step(query) == SQLITE_ROW)
        if (std::optional<double> time = numericTime(query, 1))
            row = RowAt{sqlite3_column_int64(query, 0), *time};
    // Reset at once: a probe holds no read transaction open.
    sqlite3_reset(query);
    return row;
}

// The first row, in rowid order, whose time has reached what `reached` asks
// for, which the last row's time must have: the answer lies among the rows
// from the rowid found by bisecting [first rowid, last rowid]. Nothing when
// a probe fails.
template <typename Reached>
std::optional<CMessageSignals::RowAt> CMessageSignals::firstRowWhere(Reached reached)
{
    // Invariant: rows before rowid low have not reached it; the first row at
    // or after rowid high has (found).
    long long low = firstRow->rowid;
    long long high = lastRow->rowid;
    std::optional<RowAt> found = lastRow;
    while (low < high) {
        // Without overflow for rowids of any sign.
        long long middle = low + static_cast<long long>((static_cast<unsigned long long>(high) -
                                                         static_cast<unsigned long long>(low)) / 2);
        std::optional<RowAt> row = probe(rowAtOrAfter, middle);
        // No row up to high, or one there that has not reached: the table
        // is no longer what the order check saw.
        if (!row || (row->rowid >= high && !reached(row->time)))
            return std::nullopt;
        if (reached(row->time)) {
            high = middle;
            found = row;
        } else {
            // Every rowid up to this row's leads to a row before it.
            low = row->rowid + 1;
        }
    }
    return found;
}

std::optional<double> CMessageSignals::TimeAtOrAfter(double t, sqlite3* db)
{
    if (!SearchesByRowid(db)) {
        CChannelInfo const* first = GetFirstChannel();
        return first ? first->GetTimeStampJustAfterOrAt(t, db) : std::nullopt;
    }
    // NaN (bound as NULL) finds nothing, as in the query.
    if (!lastRow || !(lastRow->time >= t))
        return std::nullopt;
    landing = firstRowWhere([t](double time) { return time >= t; });
    return landing ? std::optional<double>(landing->time) : std::nullopt;
}

std::optional<double> CMessageSignals::TimeAtOrBefore(double t, sqlite3* db)
{
    if (!SearchesByRowid(db)) {
        CChannelInfo const* first = GetFirstChannel();
        return first ? first->GetTimeStampJustBeforeOrAt(t, db) : std::nullopt;
    }
    if (!firstRow || !(firstRow->time <= t))
        return std::nullopt;
    if (lastRow->time <= t)
        return lastRow->time;
    // The row before the first one later than t (which is not the first row).
    std::optional<RowAt> later = firstRowWhere([t](double time) { return time > t; });
    std::optional<RowAt> before = later ? probe(rowBefore, later->rowid) : std::nullopt;
    return before ? std::optional<double>(before->time) : std::nullopt;
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

namespace {

// A binary min-heap of pending tables by time; replaceTop re-keys the top
// entry with one sift-down, the common case of a step.
using PendingQueue = std::vector<FileInfo::Pending>;

void siftDown(PendingQueue& heap, size_t i)
{
    size_t n = heap.size();
    FileInfo::Pending moving = heap[i];
    for (;;) {
        size_t child = 2 * i + 1;
        if (child >= n)
            break;
        if (child + 1 < n && heap[child + 1].key < heap[child].key)
            ++child;
        if (!(heap[child].key < moving.key))
            break;
        heap[i] = heap[child];
        i = child;
    }
    heap[i] = moving;
}

void siftUp(PendingQueue& heap, size_t i)
{
    FileInfo::Pending moving = heap[i];
    while (i > 0) {
        size_t parent = (i - 1) / 2;
        if (!(moving.key < heap[parent].key))
            break;
        heap[i] = heap[parent];
        i = parent;
    }
    heap[i] = moving;
}

void push(PendingQueue& heap, FileInfo::Pending entry)
{
    heap.push_back(entry);
    siftUp(heap, heap.size() - 1);
}

void popTop(PendingQueue& heap)
{
    heap.front() = heap.back();
    heap.pop_back();
    if (!heap.empty())
        siftDown(heap, 0);
}

void replaceTop(PendingQueue& heap, FileInfo::Pending entry)
{
    heap.front() = entry;
    siftDown(heap, 0);
}

}  // namespace

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
    if (!table.HasRow())
        return;
    if (!table.HasNextRow()) {
        m_atLastRow.push_back(table.index);
        return;
    }
    push(m_due, {table.NextTime(), table.index, table.version});
    if (table.proposing && !m_allPropose)
        push(m_proposals, {table.NextTime(), table.index, table.version});
}

void FileInfo::rebuildQueues()
{
    m_due.clear();
    m_atLastRow.clear();
    m_proposals.clear();
    m_proposalsStale = true;
    for (CMessageSignals* table : m_tables) {
        ++table->version;
        queue(*table);
    }
}

// Each message proposes the next time of its first active channel's table.
// When every table proposes (all messages active, each in one table), the
// queue of due tables is the queue of proposals.
void FileInfo::rebuildProposals()
{
    m_proposals.clear();
    for (CMessageSignals* table : m_tables)
        table->proposing = false;
    for (auto const& entry : messageSignals) {
        CChannelInfo const* active = entry.second.GetActiveChannel();
        if (!active)
            continue;
        auto found = tableSignals.find(active->tableName);
        if (found != tableSignals.end())
            found->second.proposing = true;
    }
    m_allPropose = std::all_of(m_tables.begin(), m_tables.end(),
                               [](CMessageSignals const* table) { return table->proposing; });
    if (!m_allPropose)
        for (CMessageSignals* table : m_tables)
            if (table->proposing && table->HasNextRow())
                push(m_proposals, {table->NextTime(), table->index, table->version});
    m_proposalsStale = false;
}

double FileInfo::nextProposedTime()
{
    PendingQueue& heap = m_allPropose ? m_due : m_proposals;
    while (!heap.empty()) {
        FileInfo::Pending const& top = heap.front();
        CMessageSignals const& table = *m_tables[top.table];
        if (top.version == table.version && table.proposing && top.key > currentTime)
            return top.key;
        popTop(heap);
    }
    return DBL_MAX;
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
    m_workLimit.Restart();
    CallSnapshot call(*this);
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

void FileInfo::moveTable(CMessageSignals& table, double t)
{
    table.GetRecordsUpTo(t);
    ++table.version;
    if (!m_fillAll)
        fillTable(table);
}

double FileInfo::GetNextRecord()
{
    if (!m_mergeReady)
        return DBL_MAX;
    m_workLimit.Restart();
    if (m_proposalsStale)
        rebuildProposals();
    double next = nextProposedTime();
    if (next == DBL_MAX) {
        // The end is final: no time is later than DBL_MAX, so no table that
        // SetActiveMask activates afterwards proposes one.
        currentTime = DBL_MAX;
        return DBL_MAX;
    }

    currentTime = next;
    for (size_t index : m_atLastRow)
        moveTable(*m_tables[index], next);
    m_atLastRow.clear();
    while (!m_due.empty() && m_due.front().key <= next) {
        FileInfo::Pending due = m_due.front();
        CMessageSignals& table = *m_tables[due.table];
        if (due.version != table.version) {
            popTop(m_due);
            continue;
        }
        moveTable(table, next);
        // After moving up to next a table has a later next row or none.
        if (table.HasNextRow()) {
            replaceTop(m_due, {table.NextTime(), table.index, table.version});
            if (table.proposing && !m_allPropose)
                push(m_proposals, {table.NextTime(), table.index, table.version});
        } else {
            popTop(m_due);
        }
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

void FileInfo::prepareSeeking()
{
    prepareMerge();
    // Another connection's commit may have changed any table's order.
    CDbStmt version;
    std::optional<long long> now;
    if (version.Prepare(db, "PRAGMA data_version") && version.Step())
        now = version.GetInt64(0);
    bool changed = !now || now != m_dataVersion;
    m_dataVersion = now;
    for (CMessageSignals* table : m_tables) {
        if (changed)
            table->ForgetTimeOrder();
        table->seekByScan = seekByScan;
    }
}

CMessageSignals* FileInfo::tableOf(CChannelInfo const& channel)
{
    auto found = tableSignals.find(channel.tableName);
    return found == tableSignals.end() ? nullptr : &found->second;
}

int FileInfo::CheckTimeOrder()
{
    m_workLimit.Restart();
    CallSnapshot call(*this);
    prepareSeeking();
    int sorted = 0;
    for (CMessageSignals* table : m_tables)
        sorted += table->SearchesByRowid(db);
    return sorted;
}

double FileInfo::JumpToTimeStamp(double t)
{
    m_workLimit.Restart();
    CallSnapshot call(*this);
    prepareSeeking();
    std::optional<double> best;
    for (CMessageSignals* table : m_tables) {
        // Tables without a row at or after t keep their position.
        std::optional<double> at = table->TimeAtOrAfter(t, db);
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
        std::optional<double> at = table->TimeAtOrBefore(t, db);
        if (!at)
            at = table->TimeAtOrAfter(t, db);  // it starts after t
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
    m_workLimit.Restart();
    CallSnapshot call(*this);
    prepareSeeking();
    std::optional<double> best = positionAtOrBefore(t);
    // An active table starting after t: every table goes to that start, so
    // that each active channel has a sample.
    if (best && *best > t)
        best = positionAtOrBefore(*best);
    // Without an active channel every table is positioned all the same, and
    // -DBL_MAX lets later steps resume from there once one is activated.
    finishPositioning(best ? *best : -DBL_MAX);
    return currentTime;
}

double FileInfo::JumpAfterTimeStamp(double t)
{
    m_workLimit.Restart();
    CallSnapshot call(*this);
    prepareSeeking();
    std::optional<double> best;
    for (auto const& entry : messageSignals) {
        CChannelInfo const* active = entry.second.GetActiveChannel();
        CMessageSignals* table = active ? tableOf(*active) : nullptr;
        if (!table)
            continue;
        std::optional<double> at = table->TimeAtOrAfter(t, db);
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
