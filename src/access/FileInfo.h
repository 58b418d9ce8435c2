// One measurement database opened read-only for a list of requested channels:
// resolution of the list against the database, one cursor per record table,
// and stepping through the records of all tables merged in time order.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <sqlite3.h>
#include <string>
#include <vector>

#include "access/ChannelInfo.h"
#include "access/SeekByScan.h"
#include "support/DbStmt.h"
#include "support/HostDb.h"

// The channels of one record table (a cursor over its rows), or of one
// message across its table parts (used only for choosing times).
class CMessageSignals {
public:
    // A channel listed several times reads the one column they share.
    void AddChannel(CChannelInfo* channel);
    CChannelInfo* GetFirstChannel() const;
    CChannelInfo* GetActiveChannel() const;

    // ", Signal1, Signal7": the columns of the channels in order, each once.
    std::string GetSignalNames() const;
    // "SELECT TIME_VAL, Signal1, ... FROM <table>".
    std::string StartSql() const;
    // Positions the cursor on the table's first row.
    void BuildStartSql(sqlite3* db);
    // Positions the cursor on the first row (in stored order) at or after t;
    // the rows read from then on are those at or after t.
    void BuildSql(double t, sqlite3* db);
    // Moves one row forward; false once the rows are used up.
    bool GetNextRecord();
    // Moves forward until the table's sample at t is current; a table whose
    // last row is current moves past its end.
    void GetRecordsUpTo(double t);
    // Consumes rows at or before t without moving past the last row: after a
    // repositioning, rows not later than the current time belong to it.
    void CatchUpTo(double t);

    // Seeking by time. A table whose stored order is its time order is
    // searched by bisection on its rowid; any other table by range queries
    // over TIME_VAL, which scan it. Both give the same times and rows.
    enum class TimeOrder : uint8_t { Unchecked, Sorted, Unsorted };
    // A row found by rowid, and a statement kept for finding rows.
    struct RowAt {
        long long rowid;
        double time;
    };
    struct StmtFinalizer {
        void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
    };
    using Probe = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;
    // The first time at or after t, and the last time at or before t, among
    // the table's rows; nothing when no row qualifies or a query fails.
    std::optional<double> TimeAtOrAfter(double t, sqlite3* db);
    std::optional<double> TimeAtOrBefore(double t, sqlite3* db);
    // Checks the stored order at the first call (one pass over TIME_VAL in
    // rowid order: every time a number, none smaller than the one before);
    // whether the table is searched by rowid.
    bool SearchesByRowid(sqlite3* db);
    // After the database changed: the order is checked again when needed.
    void ForgetTimeOrder();
    TimeOrder GetTimeOrder() const { return timeOrder; }

    bool HasRow() const { return !channels.empty() && channels.front()->curTime != DBL_MAX; }
    bool HasNextRow() const { return !channels.empty() && channels.front()->nextTime != DBL_MAX; }
    double NextTime() const { return channels.empty() ? DBL_MAX : channels.front()->nextTime; }

    CDbStmt stmt;
    std::vector<CChannelInfo*> channels;

private:
    friend class FileInfo;

    bool prepare(sqlite3* db, std::string const& sql);
    double readValue(CChannelInfo const& channel, int col) const;
    void readRowAsCurrent();
    void readRowAsNext();
    void clearNext();
    void stepForNext();
    void standWithoutRows();

    TimeOrder checkTimeOrder(sqlite3* db);
    std::optional<RowAt> probe(Probe& statement, long long rowid);
    template <typename Reached>
    std::optional<RowAt> firstRowWhere(Reached reached);
    void positionAtRowid(long long rowid, sqlite3* db);

    std::vector<std::string> columns;  // distinct, in order of first use
    std::vector<int> columnOf;          // result column of each channel

    // Bookkeeping of the merge, owned by FileInfo.
    std::vector<size_t> positions;  // list position of each channel
    size_t index = 0;               // in FileInfo::m_tables
    uint32_t version = 0;           // changes whenever the table moves
    bool proposing = false;         // its message proposes times from it

    // Seeking; set up by the order check, kept for the handle's life.
    TimeOrder timeOrder = TimeOrder::Unchecked;
    bool seekByScan = false;  // range queries whatever the order (FileInfo::seekByScan)
    std::string rowidName;    // a name of the rowid no column of the table takes
    std::optional<RowAt> firstRow, lastRow;  // none for an empty table
    Probe rowAtOrAfter;                      // the first row at or after a rowid
    Probe rowBefore;                         // the last row before a rowid
    // The row the last search found, which is also the first row at or
    // after its own time: the repositioning that follows needs no search.
    std::optional<RowAt> landing;
};

class FileInfo {
public:
    FileInfo() = default;
    ~FileInfo();
    FileInfo(FileInfo const&) = delete;
    FileInfo& operator=(FileInfo const&) = delete;

    // Resolution. Both return the number of resolved channels, or -2 when the
    // database cannot be opened or read.
    int LoadDbChannels(wchar_t const* path);
    int LoadChannelsFromAliases(wchar_t const* path);
    bool HasAllRequiredChannels() const { return numRequired == numRequiredFound; }
    // Finalizes every statement and closes the connection; false (with
    // SQLite's error text printed) when the close failed.
    bool Close();

    // The arrays handed to a caller, one entry per listed channel (numFound
    // when n is 0); none while no channel is resolved.
    void AllocPointers(unsigned long n);
    double* GetDataPtr() const { return data.get(); }
    double* GetTsPtr() const { return timeStamps.get(); }

    // Stepping. Times are absolute except the results of the three stepping
    // functions and the arrays' times in relative mode.
    void FillDataArray();
    double SetCursorsToStart();
    double GetNextRecord();
    double GetNextChangedRecord();
    double GetNextValidRecord();
    double JumpToTimeStamp(double t);
    double JumpBeforeTimeStamp(double t);
    double JumpAfterTimeStamp(double t);
    void SetAbsoluteTimeStamps(bool absolute);
    // '1' activates, '0' deactivates the channel at that position; the mask
    // must cover the list exactly. Takes effect at the next step or jump.
    bool SetActiveMask(char const* mask);

    // Runs now the order check of every record table that the first seek
    // would otherwise run; the number of tables searched by rowid.
    int CheckTimeOrder();
    // Seeks every table by range queries, as if none were stored in time
    // order (SeekByScan.h).
    bool seekByScan = SeekByScanDefault();

    bool absoluteTimeStamps = true;
    double currentTime = DBL_MAX;
    std::unique_ptr<double[]> data;
    std::unique_ptr<double[]> timeStamps;
    std::unique_ptr<double[]> previousData;
    int numFound = 0;
    int numRequired = 0;
    int numRequiredFound = 0;
    std::map<int, CMessageSignals> messageSignals;
    std::map<std::string, CMessageSignals> tableSignals;
    std::vector<CChannelInfo> channels;
    double startTime = DBL_MAX;
    double endTime = -DBL_MAX;
    sqlite3* db = nullptr;
    std::wstring dbPath;

    // A table waiting in a merge queue: the time it moves at.
    struct Pending {
        double key;
        size_t table;
        uint32_t version;
    };

private:

    bool open(wchar_t const* path);
    void clearCursors();
    int failQuery();
    bool checkRecordTables();
    void registerChannel(CChannelInfo& channel);
    void readMeasurementBounds();

    double relative(double t) const { return absoluteTimeStamps || t == DBL_MAX ? t : t - startTime; }
    void prepareMerge();
    void rebuildQueues();
    void rebuildProposals();
    void queue(CMessageSignals& table);
    double nextProposedTime();
    void moveTable(CMessageSignals& table, double t);
    void fillTable(CMessageSignals const& table);
    void finishPositioning(double t);
    // Before a seek: tables set up for this FileInfo's way of seeking, and
    // checked again once another connection changed the database.
    void prepareSeeking();
    CMessageSignals* tableOf(CChannelInfo const& channel);
    // Every table on its last row at or before t, or on its first row when
    // it starts after t; returns the latest such time among the tables with
    // an active channel.
    std::optional<double> positionAtOrBefore(double t);
    bool resolvedEntriesEqual() const;
    bool resolvedEntryMissing() const;

    // Each operation reads one snapshot of the database, so that a jump's
    // time is the time of the rows it places and the steps after it follow
    // on from them while other connections commit. Loading the channels
    // begins one that the first operation after it goes on with: an open
    // describes and positions from one state.
    class CallSnapshot {
    public:
        explicit CallSnapshot(FileInfo& file) : m_snapshot(file.m_snapshot) { m_snapshot.Begin(file.db); }
        ~CallSnapshot() { m_snapshot.End(); }
        CallSnapshot(CallSnapshot const&) = delete;
        CallSnapshot& operator=(CallSnapshot const&) = delete;

    private:
        ReadSnapshot& m_snapshot;
    };

    ReadSnapshot m_snapshot;                 // of db
    SqlWorkLimit m_workLimit;                // of db; restarted by each operation
    std::vector<CMessageSignals*> m_tables;  // tableSignals in name order
    std::vector<Pending> m_due;              // tables with a next row, by its time
    std::vector<size_t> m_atLastRow;         // tables that move past their end at any step
    std::vector<Pending> m_proposals;        // next times proposed by messages
    bool m_allPropose = false;
    size_t m_arrayLength = 0;
    bool m_mergeReady = false;
    bool m_proposalsStale = true;
    bool m_fillAll = true;
    std::optional<long long> m_dataVersion;  // of the last seek
};
