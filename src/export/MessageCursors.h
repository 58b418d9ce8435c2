// How the export writers read a measurement database's records: one cursor
// per message (CArbDbInfo, declared with the model), one handle per exported
// channel (CDbChannel), the export order, and readers of the selected
// columns of a message across its record table parts.
#pragma once

#include "export/ExportModel.h"
#include "support/CppSQLite3U.h"

#include <memory>
#include <string>
#include <vector>


// One exported channel: signal index (1, 2, ...) of its message.
class CDbChannel {
public:
    void SetArb(CArbitration* message, int index, CArbDbInfo* cursor, bool first);
    void SetFirst(bool first) { m_first = first; }
    CArbitration* GetArb() const { return m_message; }
    CArbDbInfo* GetCursor() const { return m_cursor; }
    bool IsFirstForMessage() const { return m_first; }
    int GetChannelIndex(CArbitration const* message) const;
    int GetDbId() const;
    // The channel's signal; only for a channel with a message.
    CArbitration::SignalList& Signal() const { return m_message->m_signals[static_cast<size_t>(m_index)]; }

    double GetFirstRecord(CppSQLite3DB* db);
    bool GetNextTimeStamp(CppSQLite3DB* db, double t, double& next);
    double GetNearestTimestamp(CppSQLite3DB* db, double t);
    double GetNextTimestamp() const;
    void ResetTimestamps();
    bool ValueChanged() const;
    double GetExportValue() const;
    bool CompareSequence(CDbChannel const& other) const;

private:
    CArbitration* m_message = nullptr;
    int m_index = 0;
    CArbDbInfo* m_cursor = nullptr;
    bool m_first = false;
};

bool SortChannels(CDbChannel const& a, CDbChannel const& b);
bool SortMessages(CArbDbInfo const* a, CArbDbInfo* b);

// The selected signals of one record table part, ascending.
struct PartColumns {
    int part = 1;
    std::vector<int> signals;
};

// The parts holding a signal in the collection, in part order.
std::vector<PartColumns> SelectedColumns(CArbitration const& message, unsigned mask);

int GetSelectForArb(CArbitration* message, std::vector<int>& types, std::vector<std::wstring>& selects, bool bytes,
                    unsigned mask);
void FillExportValues(CppSQLite3DB* db, CArbitration* message, double t, unsigned mask);

// Reads the selected columns of a message's records. Part 1 gives the time
// and the rowid; every further part is read at the same rowid, so parts never
// drift apart and no part but the first needs an index. A record missing
// from a part is a damaged database: CppSQLite3Exception.
class RecordReader {
public:
    RecordReader(CppSQLite3DB* db, int messageId, std::vector<PartColumns> parts);
    ~RecordReader();
    RecordReader(RecordReader const&) = delete;
    RecordReader& operator=(RecordReader const&) = delete;

    // Every record in rowid order: Start, then Next until it is false.
    void Start();
    bool Next();
    // The first record (lowest rowid) whose time is exactly t.
    bool ReadAt(double t);

    double Time() const;
    // Value of signal column (1-based among the selected signals of
    // Parts()[partIndex]), on a row that Next or ReadAt found.
    double Double(size_t partIndex, int column, double nullValue = 1.7976931348623157e308) const
    {
        return Row(partIndex).columnDouble(column + 1, nullValue);
    }
    long long Int64(size_t partIndex, int column) const { return Row(partIndex).columnInt64(column + 1, 0); }
    // The parts as the caller gave them: what Double and Int64 index.
    std::vector<PartColumns> const& Parts() const { return m_parts; }

private:
    CppSQLite3Query const& Row(size_t partIndex) const { return *m_rows[partIndex + m_partOneAdded]; }
    bool FollowParts();

    CppSQLite3DB* m_db;
    int m_messageId;
    std::vector<PartColumns> m_parts;  // the caller's
    // What is read: part 1 first, added without columns when the caller
    // selected none of it (its times and rowids lead every other part).
    std::vector<PartColumns> m_read;
    size_t m_partOneAdded = 0;
    bool m_started = false;
    std::vector<std::unique_ptr<CppSQLite3Statement>> m_all;
    std::vector<std::unique_ptr<CppSQLite3Statement>> m_byKey;
    std::vector<std::unique_ptr<CppSQLite3Query>> m_rows;  // by m_read
};
