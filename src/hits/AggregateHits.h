// The subset database of hit extraction: the records the driver takes out of
// the hits of several measurement databases, laid end to end on one output
// time axis, in a measurement database beside the output file with one added
// table, Markers (one row per hit). The database doubles as a cache: a
// complete one whose channels and hits equal the current ones is reused
// unchanged. It is written under a temporary name beside its path and takes
// that name only when complete, so an unfinished subset never passes for one.
// From it come the MAT or MDF 4.00 output (SubsetOutput.cpp).
//
// Order of calls: SetChannel for every channel; AddFileMarker for every hit
// of every usable database; ExamineDatabase; then either (Reuse) nothing
// more, or (Create) CreateDatabase and per hit BeginHit, StartOfHit when the
// hit has a record, WriteData per record, EndOfHit, and FinishWritingDb;
// finally WriteToOutput. SQL failures leave as CppSQLite3Exception.
#pragma once

#include <cfloat>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dbbuild/SignalStatistics.h"
#include "support/CppSQLite3U.h"
#include "vantrel.h"

class CChannelInfo;
class PendingFile;

// Statistics of one output channel's points, as the builder computes them
// for a signal, plus the number of changes.
struct ChannelStats : SignalStatistics {
    // Feeds one point (an infinite or NaN value counts as 0); true when it
    // differs from the previous point. The first point is no change.
    bool ProcessValue(double value, bool accumulate);
    double GetMin() const { return min; }
    double GetMax() const { return max; }
    double GetAverage() const { return SignalStatistics::GetAverage(static_cast<double>(count)); }
    double GetStdDev() const { return SignalStatistics::GetStdDev(static_cast<double>(count)); }
    uint64_t GetNumChanges() const { return changes; }

    uint64_t count = 0;
    uint64_t changes = 0;
    double last = DBL_MAX;
};

struct AggregateMessage;

// One output channel: a column of one message's record table.
struct AggregateChannelData {
    bool HasSameMessage(AggregateChannelData const& other) const
    {
        return network == other.network && messageName == other.messageName;
    }
    // Takes the point's value; true when it changed.
    bool AddPoint(double point);
    uint64_t GetNumRows() const;

    double value = DBL_MAX;
    // Until its first point the channel's cells are NULL.
    bool hasPoint = false;
    ChannelStats stats;
    std::string name;         // its name in the script
    std::string description;  // "message | network" of its source, "*" first when alternatives differ
    std::string unit;
    std::string network;
    std::string messageName;
    int column = 0;  // Signal<column> of its message, from 1
    AggregateMessage* message = nullptr;
};

// One message of the subset: a record table in parts of 500 signals.
struct AggregateMessage {
    std::string Name() const;     // its first channel's message, else "Message<n>"
    std::string Network() const;  // its first channel's network, else "HS CAN"
    int PartCount() const;
    // One row into every part, each channel's last value (NULL before its
    // first point).
    void AddRow(double time, bool changedRow);

    int tableNumber = 0;
    uint64_t rowCount = 0;
    uint64_t changeCount = 0;
    std::vector<AggregateChannelData*> channels;  // column order
    std::vector<CppSQLite3Statement> inserts;     // one per part
    // Scratch of the record being written.
    bool touched = false;
    bool changed = false;
};

// One hit on the output axis.
struct FileMarker {
    double fileStart = 0.0;   // absolute measurement start of its database
    double outputTime = 0.0;  // output time of the hit's first row
    double hitStart = 0.0;    // "StartTime" and "EndTime", relative to its database
    double hitEnd = 0.0;
    // The database's path, shared by the markers of one database: a hit list
    // may hold many hits.
    std::shared_ptr<std::string const> description;
};

class AggregateHits {
public:
    AggregateHits(unsigned channelCount, std::wstring outputPath);
    ~AggregateHits();
    AggregateHits(AggregateHits const&) = delete;
    AggregateHits& operator=(AggregateHits const&) = delete;

    // Output channel index from a channel resolved in the first usable
    // database; channels of one message share a record table.
    void SetChannel(CChannelInfo const* channel, int index);
    void ReserveMarkers(size_t count) { m_markers.reserve(count); }
    void AddFileMarker(char const* path, double fileStart, double hitStart, double hitEnd);
    std::vector<FileMarker> const& Markers() const { return m_markers; }
    // Recorded in the subset; an existing subset is reused only when it
    // records the same digest (HitListDigest).
    void SetListDigest(int32_t digest) { m_listDigest = digest; }
    unsigned ChannelCount() const { return static_cast<unsigned>(m_channels.size()); }

    // The output path with the text from its last '.' replaced by ".db"; the
    // output path itself when it holds no '.'.
    std::wstring DatabasePath() const;
    enum class Subset { Reuse, Create, Refuse };
    // What stands at the database path: nothing (Create); a complete subset
    // of the current channels and hits (Reuse: the markers take their output
    // times from it); another subset (Create: it is rebuilt). Refuse, with a
    // diagnostic line, for a listed source or any other file, which are left
    // untouched.
    Subset ExamineDatabase(std::vector<std::wstring> const& sources);

    // Creates the database under its temporary name and begins writing.
    void CreateDatabase();
    // The next marker's hit starts at the current output time.
    void BeginHit();
    // t: time of the hit's first record, in the source's time.
    void StartOfHit(double t);
    // Writes the record at source time t: one row for every message with a
    // point (points[i] set) at t. False when there is none.
    bool WriteData(double t, char const* points, double const* values);
    // The next hit starts spacing after this hit's last row (after the
    // previous one's, when this hit wrote none).
    void EndOfHit(double spacing);
    // False once the output axis left the finite range (a row, a marker or
    // the end of the last hit), or a row that follows another in its source,
    // or after a spacing, fell on the same output time: the hits cannot be
    // laid end to end, and nothing may be written.
    bool AxisHolds() const;
    // What AxisHolds learns while hits are laid, without walking the markers:
    // false as soon as a row or a hit's start left the axis.
    bool AxisHoldsSoFar() const { return !m_axisBroken; }
    // Messages, Channels and Markers rows, network statistics, durable
    // settings; closes the database and gives it its name. False (with a
    // diagnostic line) when the rename fails.
    bool FinishWritingDb();

    // Delivers the output: nothing more when the output is the database,
    // else a MAT file (name ending in ".mat", any case, longer than 4) or an
    // MDF 4.00 file, written beside the output and renamed when complete.
    bool WriteToOutput();
    // Whether the output (when not the database) may be written: no listed
    // source, and a file of its own kind or none. Diagnostic when not.
    bool MayWriteOutput(std::vector<std::wstring> const& sources) const;

private:
    enum class Output { Database, Mat, Mdf };
    Output OutputKind() const;
    bool LoadFromDb(sqlite3* db);
    bool RecordTablesMatch(sqlite3* db, std::vector<uint64_t> const& rowCounts) const;
    bool MarkersMatch(sqlite3* db);
    void Run(wchar_t const* sql);
    void InsertMessageRows();
    void InsertMarkerRows();
    double EndOfOutput() const;
    bool RowFollows(double t, double outputTime);

    bool WriteToMatlab(std::wstring const& path);
    bool WriteToMdf(std::wstring const& path);
    bool WriteMatChannel(MATFile_tag* file, AggregateChannelData const& channel, std::string const& name);
    uint64_t CountRows(std::string const& table);

    double m_outputTime = 0.0;
    double m_hitStart = 0.0;
    double m_lastTime = 0.0;
    bool m_wroteInHit = false;
    // The output time of the last row written, and whether a spacing above
    // 0 came after it.
    double m_lastOutput = 0.0;
    bool m_anyRow = false;
    bool m_spacedSinceRow = false;
    bool m_axisBroken = false;
    int32_t m_listDigest = 0;
    std::wstring m_outputPath;
    std::vector<AggregateChannelData> m_channels;
    std::vector<std::unique_ptr<AggregateMessage>> m_messages;
    std::vector<AggregateMessage*> m_touched;
    std::vector<FileMarker> m_markers;
    size_t m_nextMarker = 0;
    std::unique_ptr<PendingFile> m_pending;
    std::unique_ptr<CppSQLite3DB> m_db;
    long long m_writesInTransaction = 0;
};
