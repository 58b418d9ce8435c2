// Message cursors, exported channels, the export order and the readers of a
// message's selected columns.
#include "export/MessageCursors.h"

#include <algorithm>
#include <cfloat>

#include "support/CFormat.h"
#include "support/CppSQLite3U.h"
#include "support/MeasurementDb.h"

namespace {

std::wstring Widen(std::string const& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

// "SELECT rowid, TIME_VAL, Signal3, Signal7 FROM MessageData0001": the
// selected signal j (1-based) is column j + 1.
std::wstring SelectColumns(int messageId, PartColumns const& part)
{
    std::string sql = "SELECT rowid, TIME_VAL";
    for (int signal : part.signals)
        sql += ", " + MeasurementDb::SignalColumnName(signal);
    sql += " FROM " + MeasurementDb::RecordTableName(messageId, part.part);
    return Widen(sql);
}

std::unique_ptr<CppSQLite3Statement> Compile(CppSQLite3DB* db, std::wstring const& sql)
{
    return std::make_unique<CppSQLite3Statement>(db->compileStatement(sql.c_str()));
}

[[noreturn]] void ThrowMissingRecord(int messageId, int part, long long rowid)
{
    const std::string text = FormatC("The record table %s lacks the record %lld of its message",
                                     MeasurementDb::RecordTableName(messageId, part).c_str(), rowid);
    throw CppSQLite3Exception(CPPSQLITE_ERROR, Widen(text).c_str());
}

}  // namespace

// ---- CArbDbInfo -------------------------------------------------------------------

struct CArbDbInfo::Queries {
    std::unique_ptr<CppSQLite3Statement> nextTime;
    std::unique_ptr<CppSQLite3Statement> nearestTime;
    // One page query per record table part; parts 2+ by part 1's rowids.
    std::vector<std::unique_ptr<CppSQLite3Statement>> page;
    // The values of the record at a time, for grids.
    std::unique_ptr<RecordReader> values;
    unsigned valuesMask = 0;
    bool valuesLoaded = false;
    double valuesTime = 0.0;
};

namespace {

constexpr int kPageRows = CArbitration::SignalList::kCacheSlots;

// The page query of part p: every signal of the part, the raw bytes with
// part 1 when they are wanted.
std::wstring PageSql(CArbitration const& message, int part)
{
    const int signals = static_cast<int>(message.m_signals.size()) - 1;
    const int first = (part - 1) * MeasurementDb::kSignalsPerPart + 1;
    const int last = std::min(signals, part * MeasurementDb::kSignalsPerPart);
    std::string sql = "SELECT rowid, TIME_VAL";
    for (int k = first; k <= last; ++k)
        sql += ", " + MeasurementDb::SignalColumnName(k);
    if (part == 1 && CArbitration::m_bUseMessageBytes)
        sql += ", BLOB";
    sql += " FROM " + MeasurementDb::RecordTableName(message.ID, part);
    sql += part == 1 ? " WHERE rowid > ? ORDER BY rowid LIMIT 100" : " WHERE rowid >= ? AND rowid <= ? ORDER BY rowid";
    return Widen(sql);
}

void StoreColumn(CppSQLite3Query const& row, int column, int slot, CArbitration::SignalList& signal)
{
    if (signal.IsFloatingPoint())
        signal.SetExportValue(slot, row.getFloatField(column, DBL_MAX));
    else
        signal.SetExportValue(slot, static_cast<unsigned long long>(row.getInt64Field(column, 0)));
}

}  // namespace

bool CArbDbInfo::LoadPage(CppSQLite3DB* db)
{
    CArbitration& message = *m_message;
    const int signals = static_cast<int>(message.m_signals.size()) - 1;
    const int parts = signals <= 0 ? 1 : MeasurementDb::PartOfSignal(signals);
    if (!m_queries)
        m_queries = std::make_unique<Queries>();
    m_queries->valuesLoaded = false;  // the page replaces slot 0
    if (m_queries->page.empty())
        for (int part = 1; part <= parts; ++part)
            m_queries->page.push_back(Compile(db, PageSql(message, part)));
    std::vector<long long> rowids;
    rowids.reserve(kPageRows);
    CppSQLite3Statement& first = *m_queries->page[0];
    first.reset();
    first.bind(1, m_lastRowId);
    CppSQLite3Query row = first.execQuery();
    // Past the last record the cache keeps the last page.
    if (row.eof() && m_lastRowId > 0)
        return false;
    message.SetCacheIndex(0);
    for (; !row.eof() && rowids.size() < kPageRows; row.nextRow()) {
        const int slot = static_cast<int>(rowids.size());
        rowids.push_back(row.getInt64Field(0));
        message.m_signals[0].SetExportValue(slot, row.getFloatField(1, DBL_MAX));
        const int inPart = std::min(signals, MeasurementDb::kSignalsPerPart);
        for (int k = 1; k <= inPart; ++k)
            StoreColumn(row, k + 1, slot, message.m_signals[static_cast<size_t>(k)]);
        if (CArbitration::m_bUseMessageBytes) {
            int length = 0;
            unsigned char const* bytes = row.getBlobField(inPart + 2, length);
            if (bytes && length > 0)
                message.m_messageBytes.insert(message.m_messageBytes.end(), bytes, bytes + length);
        }
    }
    for (int part = 2; part <= parts && !rowids.empty(); ++part) {
        CppSQLite3Statement& statement = *m_queries->page[static_cast<size_t>(part - 1)];
        statement.reset();
        statement.bind(1, rowids.front());
        statement.bind(2, rowids.back());
        const int firstSignal = (part - 1) * MeasurementDb::kSignalsPerPart + 1;
        const int lastSignal = std::min(signals, part * MeasurementDb::kSignalsPerPart);
        CppSQLite3Query row = statement.execQuery();
        for (size_t slot = 0; slot < rowids.size(); ++slot, row.nextRow()) {
            // A row part 1 does not have is no record of the message.
            while (!row.eof() && row.getInt64Field(0) < rowids[slot])
                row.nextRow();
            if (row.eof() || row.getInt64Field(0) != rowids[slot])
                ThrowMissingRecord(message.ID, part, rowids[slot]);
            for (int k = firstSignal; k <= lastSignal; ++k)
                StoreColumn(row, k - firstSignal + 2, static_cast<int>(slot), message.m_signals[static_cast<size_t>(k)]);
        }
    }
    // Slots past a short page must not show the previous page's records.
    m_pageRows = static_cast<int>(rowids.size());
    for (auto& signal : message.m_signals)
        for (int slot = m_pageRows; slot < kPageRows; ++slot)
            signal.SetExportValue(slot, DBL_MAX);
    m_rowsRead += rowids.size();
    if (!rowids.empty())
        m_lastRowId = rowids.back();
    return !rowids.empty();
}

double CArbDbInfo::GetFirstRecord(CppSQLite3DB* db)
{
    m_rowsRead = 0;
    m_lastRowId = 0;
    if (!LoadPage(db))
        m_message->SetCacheIndex(kPageRows);  // no record: exhausted
    return m_message->GetTimeStamp();
}

bool CArbDbInfo::Advance(CppSQLite3DB* db)
{
    CArbitration& message = *m_message;
    if (message.IsExhausted())
        return false;
    if (message.GetCacheIndex() + 1 < m_pageRows) {
        message.IncrementCachePointer();
        return true;
    }
    // A short page was the last; a full one may be followed by more.
    if (m_pageRows < kPageRows || !LoadPage(db)) {
        message.SetCacheIndex(kPageRows);
        return false;
    }
    return true;
}

double CArbDbInfo::GetNextRecord(CppSQLite3DB* db)
{
    return Advance(db) ? m_message->GetTimeStamp() : DBL_MAX;
}

bool CArbDbInfo::GetNextTimeStamp(CppSQLite3DB* db, double t, double& next)
{
    // Records at or before t (equal times, and times that go backwards) are
    // passed over, across pages.
    for (;;) {
        if (m_message->IsExhausted())
            return false;
        const double ts = m_message->GetTimeStamp();
        if (ts > t) {
            if (ts < next) {
                next = ts;
                return true;
            }
            return false;
        }
        if (!Advance(db))
            return false;
    }
}

CArbDbInfo::CArbDbInfo(int id, CppSQLite3DB* db, CArbitration* message, int /*signalCount*/)
    : m_message(message), m_nextTime(DBL_MAX), m_nearestTime(DBL_MAX)
{
    if (m_message)
        m_message->ID = id;
    if (!db || !m_message)
        return;
    const int signals = static_cast<int>(m_message->m_signals.size()) - 1;
    const int parts = signals <= 0 ? 1 : MeasurementDb::PartOfSignal(signals);
    for (int part = 1; part <= parts; ++part) {
        const int inPart = std::min(signals - (part - 1) * MeasurementDb::kSignalsPerPart, MeasurementDb::kSignalsPerPart);
        std::wstring text = MeasurementDb::RecordTableInsertSql(id, part, inPart < 0 ? 0 : inPart);
        if (CArbitration::m_bUseMessageBytes && part == 1)
            text.insert(text.size() - 1, L", ?");
        m_insertStatements.push_back(Compile(db, text));
        m_insertTexts.push_back(std::move(text));
    }
}

CArbDbInfo::~CArbDbInfo() = default;

void CArbDbInfo::ResetTimestamps()
{
    m_nextTime = DBL_MAX;
    m_nearestTime = DBL_MAX;
}

double CArbDbInfo::GetNearestTimestamp(CppSQLite3DB* db, double t)
{
    if (m_nearestTime != DBL_MAX && (m_nextTime == DBL_MAX || (m_nearestTime <= t && t < m_nextTime)))
        return m_nearestTime;
    if (m_nextTime != DBL_MAX && t < m_nextTime)
        return m_nearestTime;
    if (!m_queries)
        m_queries = std::make_unique<Queries>();
    const std::string table = MeasurementDb::RecordTableName(m_message->ID);
    if (!m_queries->nextTime) {
        m_queries->nextTime = Compile(db, Widen("SELECT MIN(TIME_VAL) FROM " + table + " WHERE TIME_VAL > ?"));
        m_queries->nearestTime = Compile(db, Widen("SELECT MAX(TIME_VAL) FROM " + table + " WHERE TIME_VAL <= ?"));
    }
    CppSQLite3Statement& next = *m_queries->nextTime;
    next.reset();
    next.bind(1, t);
    {
        CppSQLite3Query row = next.execQuery();
        m_nextTime = row.eof() ? DBL_MAX : row.getFloatField(0, DBL_MAX);
    }
    if (t >= m_message->GetMinTimeStamp()) {
        CppSQLite3Statement& nearest = *m_queries->nearestTime;
        nearest.reset();
        nearest.bind(1, t);
        CppSQLite3Query row = nearest.execQuery();
        if (!row.eof() && !row.fieldIsNull(0)) {
            m_nearestTime = row.getFloatField(0);
            if (!m_message->m_signals.empty())
                m_message->m_signals[0].SetExportValue(m_nearestTime);
        }
    }
    return m_nearestTime;
}

void CArbDbInfo::InsertRow(CppSQLite3DB* db)
{
    if (!db || m_insertStatements.empty())
        return;
    auto const& signals = m_message->m_signals;
    for (auto& statement : m_insertStatements)
        statement->bind(1, signals.empty() ? DBL_MAX : signals[0].GetRawValue(0));
    for (size_t k = 1; k < signals.size(); ++k) {
        CppSQLite3Statement& statement = *m_insertStatements[(k - 1) / MeasurementDb::kSignalsPerPart];
        const int parameter = static_cast<int>((k - 1) % MeasurementDb::kSignalsPerPart) + 2;
        CArbitration::SignalList const& signal = signals[k];
        if (signal.IsEmpty(0))
            statement.bindNull(parameter);
        else if (signal.IsFloatingPoint())
            statement.bind(parameter, signal.GetRawValue(0));
        else
            statement.bind(parameter, static_cast<long long>(signal.m_cache[0]));
    }
    for (auto& statement : m_insertStatements) {
        statement->execDML();
        statement->reset();
    }
}

void CArbDbInfo::Reset(CppSQLite3DB* db)
{
    if (!db)
        return;
    for (size_t i = 0; i < m_insertStatements.size(); ++i) {
        m_insertStatements[i]->finalize();
        m_insertStatements[i] = Compile(db, m_insertTexts[i]);
    }
}

// ---- CDbChannel ---------------------------------------------------------------------

void CDbChannel::SetArb(CArbitration* message, int index, CArbDbInfo* cursor, bool first)
{
    m_message = message;
    m_index = index;
    m_cursor = cursor;
    m_first = first;
}

int CDbChannel::GetChannelIndex(CArbitration const* message) const
{
    return message && message == m_message ? m_index : 0;
}

int CDbChannel::GetDbId() const
{
    return m_message ? m_message->ID : 0;
}

double CDbChannel::GetFirstRecord(CppSQLite3DB* db)
{
    return m_cursor ? m_cursor->GetFirstRecord(db) : 0.0;
}

bool CDbChannel::GetNextTimeStamp(CppSQLite3DB* db, double t, double& next)
{
    return m_cursor ? m_cursor->GetNextTimeStamp(db, t, next) : false;
}

double CDbChannel::GetNearestTimestamp(CppSQLite3DB* db, double t)
{
    return m_cursor ? m_cursor->GetNearestTimestamp(db, t) : 0.0;
}

double CDbChannel::GetNextTimestamp() const
{
    return m_cursor ? m_cursor->GetNextTimestamp() : 0.0;
}

void CDbChannel::ResetTimestamps()
{
    if (m_cursor)
        m_cursor->ResetTimestamps();
}

bool CDbChannel::ValueChanged() const
{
    return m_message ? Signal().ValueChanged() : false;
}

double CDbChannel::GetExportValue() const
{
    return m_message ? Signal().GetExportValue(0) : 0.0;
}

bool CDbChannel::CompareSequence(CDbChannel const& other) const
{
    if (!m_message)
        return true;
    if (!other.m_message)
        return false;
    return Signal().Sequence < other.Signal().Sequence;
}

bool SortChannels(CDbChannel const& a, CDbChannel const& b)
{
    return a.CompareSequence(b);
}

bool SortMessages(CArbDbInfo const* a, CArbDbInfo* b)
{
    return a->GetArb()->GetFirstSequence() < b->GetArb()->GetFirstSequence();
}

// ---- Statements of selected signals ------------------------------------------------

std::vector<PartColumns> SelectedColumns(CArbitration const& message, unsigned mask)
{
    std::vector<PartColumns> parts;
    for (size_t k = 1; k < message.m_signals.size(); ++k) {
        if (!message.m_signals[k].IsInCollection(mask))
            continue;
        const int part = MeasurementDb::PartOfSignal(static_cast<int>(k));
        if (parts.empty() || parts.back().part != part)
            parts.push_back(PartColumns{part, {}});
        parts.back().signals.push_back(static_cast<int>(k));
    }
    return parts;
}

int GetSelectForArb(CArbitration* message, std::vector<int>& types, std::vector<std::wstring>& selects, bool bytes,
                    unsigned mask)
{
    types.clear();
    selects.clear();
    int taken = 0;
    for (PartColumns const& part : SelectedColumns(*message, mask)) {
        std::string sql = bytes ? "SELECT TIME_VAL, BLOB" : "SELECT TIME_VAL";
        for (int signal : part.signals) {
            ++taken;
            if (bytes)
                continue;
            types.push_back(message->m_signals[static_cast<size_t>(signal)].GetTypeCode());
            sql += ", " + MeasurementDb::SignalColumnName(signal);
        }
        sql += " FROM " + MeasurementDb::RecordTableName(message->ID, part.part);
        selects.push_back(Widen(sql));
    }
    return taken;
}

namespace {

// The record the reader stands on into slot 0 of the message's signals.
void StoreRecord(RecordReader const& reader, CArbitration& message)
{
    // Slot 0 by its slot: the changed flag compares with whatever it held,
    // also a missing value (a value that appears or goes is a change).
    message.m_signals[0].SetExportValue(0, reader.Time());
    auto const& parts = reader.Parts();
    for (size_t p = 0; p < parts.size(); ++p) {
        for (size_t j = 0; j < parts[p].signals.size(); ++j) {
            CArbitration::SignalList& signal = message.m_signals[static_cast<size_t>(parts[p].signals[j])];
            const int column = static_cast<int>(j) + 1;
            if (signal.IsFloatingPoint())
                signal.SetExportValue(0, reader.Double(p, column));
            else
                signal.SetExportValue(0, static_cast<unsigned long long>(reader.Int64(p, column)));
        }
    }
}

}  // namespace

void FillExportValues(CppSQLite3DB* db, CArbitration* message, double t, unsigned mask)
{
    RecordReader reader(db, message->ID, SelectedColumns(*message, mask));
    if (reader.ReadAt(t))
        StoreRecord(reader, *message);
}

void CArbDbInfo::FillValuesAt(CppSQLite3DB* db, double t, unsigned mask)
{
    if (!m_queries)
        m_queries = std::make_unique<Queries>();
    Queries& q = *m_queries;
    if (!q.values || q.valuesMask != mask) {
        q.values = std::make_unique<RecordReader>(db, m_message->ID, SelectedColumns(*m_message, mask));
        q.valuesMask = mask;
        q.valuesLoaded = false;
    }
    if (q.valuesLoaded && q.valuesTime == t) {
        // Storing the same record again would find every value unchanged.
        for (CArbitration::SignalList& signal : m_message->m_signals)
            signal.m_changed = false;
        return;
    }
    if (!q.values->ReadAt(t)) {
        for (CArbitration::SignalList& signal : m_message->m_signals)
            signal.m_changed = false;  // the slots keep what they held
        return;
    }
    q.valuesLoaded = true;
    q.valuesTime = t;
    StoreRecord(*q.values, *m_message);
}

// ---- RecordReader -------------------------------------------------------------------

RecordReader::RecordReader(CppSQLite3DB* db, int messageId, std::vector<PartColumns> parts)
    : m_db(db), m_messageId(messageId), m_parts(std::move(parts)), m_read(m_parts)
{
    if (m_read.empty() || m_read.front().part != 1) {
        m_read.insert(m_read.begin(), PartColumns{1, {}});
        m_partOneAdded = 1;
    }
    m_rows.resize(m_read.size());
}

RecordReader::~RecordReader()
{
    // Queries borrow their statements: they go first.
    m_rows.clear();
}

void RecordReader::Start()
{
    m_rows.clear();
    m_rows.resize(m_read.size());
    if (m_all.empty())
        for (PartColumns const& part : m_read)
            m_all.push_back(Compile(m_db, SelectColumns(m_messageId, part) + L" ORDER BY rowid"));
    for (size_t i = 0; i < m_read.size(); ++i) {
        m_all[i]->reset();
        m_rows[i] = std::make_unique<CppSQLite3Query>(m_all[i]->execQuery());
    }
    m_started = false;
}

bool RecordReader::Next()
{
    if (m_started)
        for (auto& row : m_rows)
            if (!row->eof())
                row->nextRow();
    m_started = true;
    return FollowParts();
}

bool RecordReader::ReadAt(double t)
{
    if (m_byKey.empty()) {
        m_byKey.push_back(Compile(m_db, SelectColumns(m_messageId, m_read[0]) +
                                            L" WHERE TIME_VAL = ? ORDER BY rowid LIMIT 1"));
        for (size_t i = 1; i < m_read.size(); ++i)
            m_byKey.push_back(Compile(m_db, SelectColumns(m_messageId, m_read[i]) + L" WHERE rowid = ?"));
    }
    m_rows.clear();
    m_rows.resize(m_read.size());
    m_byKey[0]->reset();
    m_byKey[0]->bind(1, t);
    m_rows[0] = std::make_unique<CppSQLite3Query>(m_byKey[0]->execQuery());
    if (m_rows[0]->eof())
        return false;
    for (size_t i = 1; i < m_read.size(); ++i) {
        m_byKey[i]->reset();
        m_byKey[i]->bind(1, m_rows[0]->getInt64Field(0));
        m_rows[i] = std::make_unique<CppSQLite3Query>(m_byKey[i]->execQuery());
    }
    return FollowParts();
}

bool RecordReader::FollowParts()
{
    if (m_rows[0]->eof())
        return false;
    if (m_rows.size() == 1)
        return true;  // one part: no rowid to follow
    const long long rowid = m_rows[0]->getInt64Field(0);
    for (size_t i = 1; i < m_rows.size(); ++i) {
        // A row part 1 does not have is no record of the message.
        while (!m_rows[i]->eof() && m_rows[i]->getInt64Field(0) < rowid)
            m_rows[i]->nextRow();
        if (m_rows[i]->eof() || m_rows[i]->getInt64Field(0) != rowid)
            ThrowMissingRecord(m_messageId, m_read[i].part, rowid);
    }
    return true;
}

double RecordReader::Time() const
{
    return m_rows[0]->columnDouble(1, DBL_MAX);
}
