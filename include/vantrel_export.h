/*
 * libVantrel-64, C++ interface of the database export engine.
 *
 * A C++ host that wants more than ExportToMdf(W) (vantrel.h) drives the
 * export itself: it opens the measurement database, loads it into an export
 * context, optionally sets a progress callback, and calls ExportDbData with
 * any combination of the output formats:
 *
 *     CppSQLite3DB db;
 *     db.open(L"drive.db");
 *     COrbkBin bin;
 *     std::vector<CArbDbInfo*> cursors;
 *     if (LoadChannelsFromDatabase(&db, bin, cursors)) {
 *         std::wstring base = L"out/drive";
 *         ExportDbData(&db, bin.messages, cursors, bin, base, kExportCsv | kExportMdf4, 0);
 *     }
 *     for (CArbDbInfo* cursor : cursors) delete cursor;
 *
 * SQL failures leave ExportDbData, LoadChannelsFromDatabase and CreateIndices
 * as CppSQLite3Exception (other failures, such as memory running out, are
 * reported as CppSQLite3Exception too); no other exception leaves them.
 *
 * A cancel (0 from the callback) ends the export. Outputs finished before it
 * stay; of the output being written, a CSV file keeps the rows written so
 * far, a MAT grid file keeps the MAT header alone, and an MDF file or a MAT
 * file of structures is removed. An output that cannot be written
 * completely is removed and reported to the callback as (-1, text); a
 * completed output replaces an existing file of its own kind only. One
 * export at a time in the process.
 */
#ifndef VANTREL_EXPORT_H
#define VANTREL_EXPORT_H

#include "vantrel.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

/* ---- SQL access (the part a host needs to hand a database over) ------- */

struct sqlite3;
struct sqlite3_stmt;
class CppSQLite3Statement;
class CppSQLite3Query;

/* Result code of the access layer's own errors. */
constexpr int CPPSQLITE_ERROR = 1000;

/* An SQL failure: SQLite's result code and "NAME[code]: text". */
class VANTREL_API CppSQLite3Exception {
public:
    /* With freeText set, a non-null text is released with sqlite3_free once
     * the message is composed. */
    CppSQLite3Exception(int errorCode, wchar_t const* errorText, bool freeText = false);
    CppSQLite3Exception(CppSQLite3Exception const& other) = default;
    CppSQLite3Exception& operator=(CppSQLite3Exception const& other) = default;
    virtual ~CppSQLite3Exception();

    int errorCode() const { return m_nErrCode; }
    wchar_t const* errorMessage() const { return m_errMessage.c_str(); }

    /* "SQLITE_ERROR", "SQLITE_NOTADB", ... */
    static wchar_t const* errorCodeAsString(int errorCode);

private:
    int m_nErrCode;
    std::wstring m_errMessage;
};

/* A connection. Hosts use the constructor, open, close and the destructor;
 * the rest is the library's own. */
class VANTREL_API CppSQLite3DB {
public:
    CppSQLite3DB();
    CppSQLite3DB(CppSQLite3DB const&) = delete;
    CppSQLite3DB& operator=(CppSQLite3DB const&) = delete;
    virtual ~CppSQLite3DB();

    /* Opens (creating when missing) the database file for reading and
     * writing. A connection already open is closed first. */
    void open(wchar_t const* path);
    void close();
    void setBusyTimeout(int milliseconds);

    CppSQLite3Statement compileStatement(wchar_t const* sql);
    CppSQLite3Query execQuery(wchar_t const* sql);
    /* Runs sql once; true when finalizing the statement reported a failure. */
    bool execDML(wchar_t const* sql);
    /* The first column of the first row as an integer (0x hexadecimal and
     * leading-0 octal recognised). */
    int execScalar(wchar_t const* sql);
    bool tableExists(wchar_t const* table);
    /* Whether table is an ordinary table: no view, which may recurse without
     * end, and no virtual table. */
    bool isPlainTable(wchar_t const* table);
    long long lastRowId() const;
    /* The file of the open database; empty when none is open. */
    std::wstring fileName() const;

private:
    void checkDB() const;
    sqlite3_stmt* compile(wchar_t const* sql);
    /* Compiles and steps once, compiling again while SQLite reports that the
     * schema changed under the statement. Returns a statement on its first
     * row (result SQLITE_ROW) or at its end (SQLITE_DONE). */
    sqlite3_stmt* compileAndStep(wchar_t const* sql, int& result);

    sqlite3* m_pDB = nullptr;
    int m_nBusyTimeoutMs = 60000;
};

/* ---- Export model ------------------------------------------------------ */

/* Output formats of ExportDbData, in any combination. */
constexpr unsigned kExportCsv = 1;   /* outBase + " Log File.csv" */
constexpr unsigned kExportMdf3 = 2;  /* outBase + "MDF Extension" setting (".dat") */
constexpr unsigned kExportMat = 4;   /* outBase + ".mat" (grid: also outBase + "_02.mat", ...) */
constexpr unsigned kExportMdf4 = 0x100; /* outBase + ".mf4" */

/* Progress and cancellation: (0, title) at the start of each output file
 * (0 returned cancels the export), (percent, null) while writing, (-1, text)
 * for an output that could not be written, (100, null) at the end of each. */
typedef int (*ExportProgressCallback)(int percent, wchar_t const* text);

/* Progress lines on standard output during loading and export. */
VANTREL_API extern bool Exp_ShowProgress;

class CArbitration {
public:
    /* One signal of a message; entry 0 of a message stands for the message
     * itself and holds its record times. */
    class SignalList {
    public:
        static constexpr int kCacheSlots = 100;

        SignalList();

        bool IsInCollection(unsigned mask) const;
        bool IsFloatingPoint() const;
        bool IsBigInt() const;
        bool HasText() const;
        bool IsStateEncodedHybrid() const;
        bool IsMultiplexed() const;
        int GetIntSize() const;
        /* Width of the value in an exported MDF record; see GetTypeCode. */
        int GetSignalBytes() const;
        /* -32 float, -64 double, 8/16/32/64 integer of that many bits. */
        int GetTypeCode() const;
        /* Whether the value is written already scaled (as a plain double). */
        bool WritesScaledValue() const;
        uint64_t* GetDataPtr() { return m_cache; }
        void ResetCache();
        void SetExportValue(int slot, double value);
        void SetExportValue(int slot, unsigned long long value);
        void SetExportValue(double value);
        void SetExportValue(unsigned long long value);
        bool ValueChanged() const { return m_changed; }
        /* Whether the slot holds no value (the DBL_MAX pattern). */
        bool IsEmpty(int slot) const;
        double GetExportValue(int slot) const;
        /* The stored value as a double, unscaled. */
        double GetRawValue(int slot) const;
        /* GetExportValue of a stored bit pattern: the one value rule of
         * every export (DBL_MAX for none, unscaled). */
        double ExportValueOfBits(uint64_t bits) const;
        unsigned long long GetBigIntExportValue(int slot) const;
        double GetScaledValue(double value) const { return value * Slope + Offset; }
        double GetMinValue() const { return MinVal; }
        double GetMaxValue() const { return MaxVal; }
        void SetMinValue(double value) { MinVal = value; }
        void SetMaxValue(double value) { MaxVal = value; }
        int FormatValue(char* buffer, size_t size, double value) const;
        void SetValue(unsigned long long count, double value);
        void UpdateStats(unsigned long long count, double value);
        double GetStdDev(double count) const;

        double MinVal = 0.0;
        double MaxVal = 0.0;
        double m_sum = 0.0;
        double m_mean = 0.0;
        double m_M2 = 0.0;
        double m_sumSquares = 0.0;
        bool m_changed = false;
        uint64_t m_cache[kCacheSlots];
        int32_t Sequence = 0;
        uint32_t CollectionMask = 0;
        std::wstring Name;
        int32_t ID = 0;
        uint32_t m_kind = 0;
        int32_t MessageChannel = 0;
        std::map<double, std::wstring> m_states;
        std::wstring Units;
        std::wstring DAQRate;
        std::wstring Formula;
        int32_t Decimals = -1;
        double Slope = 1.0;
        double Offset = 0.0;
        uint16_t DataType = 3;
        uint16_t StartByte = 0;
        uint16_t BitLength = 32;
        uint8_t StartBit = 0;
        uint8_t BigEndian = 0;
        int32_t MUXValue = -1;
    };

    /* Signal kinds. */
    static constexpr uint32_t kKindPlain = 0;
    static constexpr uint32_t kKindText = 1;
    static constexpr uint32_t kKindMessage = 2;
    static constexpr uint32_t kKindPhysical = 3;
    static constexpr uint32_t kKindStateEncoded = 4;
    static constexpr uint32_t kKindRaw = 8;

    /* Export also reads the raw message bytes. */
    VANTREL_API static bool m_bUseMessageBytes;

    int GetCacheIndex() const { return m_cacheIndex; }
    void SetCacheIndex(int index);
    void IncrementCachePointer();
    void ResetCache();
    bool IsExhausted() const { return m_exhausted; }
    double GetTimeStamp() const;
    double GetExportValue(int signal) const;
    unsigned long long GetBigIntExportValue(int signal) const;
    void SetValue(int slot, int signal, double value);
    void SetValue(int slot, int signal, unsigned long long value);
    /* The state text of the signal's current raw value, or null. */
    wchar_t const* FindState(int signal) const;
    void AddState(int signal, double value, wchar_t const* text);
    int GetFirstSequence() const;
    int GetRecordSize(int defaultBits, unsigned mask) const;
    double GetMinTimeStamp() const { return m_minTimeStamp; }
    void SetMinTimeStamp(double t) { m_minTimeStamp = t; }
    double GetMaxTimeStamp() const { return m_maxTimeStamp; }
    void SetMaxTimeStamp(double t) { m_maxTimeStamp = t; }
    bool IsTimeValid(double t) const { return t >= m_minTimeStamp; }
    bool IsTimeInRange(double t) const { return t >= m_minTimeStamp && t < m_maxTimeStamp; }

    std::wstring ArbId;
    std::wstring Network;
    int64_t MessageCount = 0;
    uint16_t m_cacheIndex = 0;
    bool m_exhausted = false;
    std::vector<unsigned char> m_messageBytes;
    int32_t ID = 0;
    std::vector<SignalList> m_signals;
    double m_minTimeStamp = 0.0;
    double m_maxTimeStamp = 0.0;

    /* A Channels row of the message that describes no column of its record
     * tables (or one an earlier row describes), and why. It is never
     * exported; an export that would have written it names it in a
     * diagnostic line, and writes nothing when no selected channel is left. */
    struct UnplacedChannel {
        SignalList signal;
        std::string reason;
    };
    std::vector<UnplacedChannel> m_unplaced;
};

/* The export context: every loaded message, the time bounds, the channel
 * selection and the header texts. It owns its messages. */
class COrbkBin {
public:
    VANTREL_API COrbkBin();
    VANTREL_API ~COrbkBin();
    COrbkBin(COrbkBin const&) = delete;
    COrbkBin& operator=(COrbkBin const&) = delete;

    /* Keyed by the message's ID widened to a pointer. */
    std::map<void*, CArbitration*> messages;
    double maxTime;
    double minTime;
    /* Selects the channels whose CollectionMask shares a bit with it; all
     * bits set selects every channel with a non-zero Sequence. */
    uint32_t collectionMask = 0;
    std::string headerText2;  /* MDF header project */
    std::string headerText3;  /* MDF header vehicle */
    std::string headerText1;  /* MDF header author */
    ExportProgressCallback progress = nullptr;
    /* CSV rows put the relative time before the date and time. */
    bool relativeTimeFirst = false;
    /* Seconds without records after which a fixed-rate export skips ahead. */
    double ForceRateGap = 0.0;
};

/* The cursor of one message's records; created by LoadChannelsFromDatabase,
 * deleted by the caller after the export. */
class CArbDbInfo {
public:
    CArbDbInfo(int id, CppSQLite3DB* db, CArbitration* message, int signalCount);
    VANTREL_API ~CArbDbInfo();
    CArbDbInfo(CArbDbInfo const&) = delete;
    CArbDbInfo& operator=(CArbDbInfo const&) = delete;

    CArbitration* GetArb() const { return m_message; }
    double GetFirstRecord(CppSQLite3DB* db);
    double GetNextRecord(CppSQLite3DB* db);
    bool GetNextTimeStamp(CppSQLite3DB* db, double t, double& next);
    double GetNearestTimestamp(CppSQLite3DB* db, double t);
    double GetNextTimestamp() const { return m_nextTime; }
    void ResetTimestamps();
    /* FillExportValues with statements prepared once per export. */
    void FillValuesAt(CppSQLite3DB* db, double t, unsigned mask);
    void InsertRow(CppSQLite3DB* db);
    void Reset(CppSQLite3DB* db);

private:
    struct Queries;
    /* Reads the records after the last one read into the value cache;
     * false when there are none. */
    bool LoadPage(CppSQLite3DB* db);
    /* The next record, loading the next page when needed; false at the end. */
    bool Advance(CppSQLite3DB* db);

    uint64_t m_rowsRead = 0;
    CArbitration* m_message;
    std::vector<std::unique_ptr<CppSQLite3Statement>> m_insertStatements;
    double m_nextTime;
    double m_nearestTime;
    std::vector<std::wstring> m_insertTexts;
    /* Prepared page and time queries, kept for the whole export. */
    std::unique_ptr<Queries> m_queries;
    /* Rowid of the last record read, the start of the next page. */
    long long m_lastRowId = 0;
    /* Records in the cache; a page of fewer than 100 is the message's last. */
    int m_pageRows = 0;
};

/* Reads the messages and channels of an open measurement database into a
 * fresh context; true when at least one message was loaded (otherwise a
 * diagnostic line says so). False, with a diagnostic line, when a table the
 * export reads (Messages, Channels, ChannelStates, a record table) is a view
 * or a virtual table. */
VANTREL_API bool LoadChannelsFromDatabase(CppSQLite3DB* db, COrbkBin& bin, std::vector<CArbDbInfo*>& cursors);
/* Adds the time index "MessageIndex%04d" of every message (fixed-rate
 * export uses it); progress may be null, and 0 from it stops. */
VANTREL_API void CreateIndices(CppSQLite3DB* db, std::map<void*, CArbitration*>& messages,
                               ExportProgressCallback progress);
VANTREL_API void CreateIndices(CppSQLite3DB* db, std::vector<CArbDbInfo*>& cursors, ExportProgressCallback progress);
/* Writes the formats asked for; rateMs > 0 samples every channel on a grid
 * of that period, otherwise every record is written at its own time. */
VANTREL_API void ExportDbData(CppSQLite3DB* db, std::map<void*, CArbitration*>& messages,
                              std::vector<CArbDbInfo*>& cursors, COrbkBin& bin, std::wstring& outBase,
                              unsigned formats, int rateMs);

#endif /* VANTREL_EXPORT_H */
