// Naming and value conventions of the measurement database, shared by every
// subsystem that writes or reads one (builder, record access, hit extraction,
// export). One message is one record table split into parts of 500 signals;
// every part has its own TIME_VAL column and one row per record.
#pragma once

#include <climits>
#include <string>
#include <vector>

namespace MeasurementDb {

constexpr int kSignalsPerPart = 500;

// IDs, signal numbers and counts read from a database are trusted only in
// the range the builder writes, 1 to INT_MAX: a reader checks them with this
// before any arithmetic on them or use as a name.
inline bool IsStoredNumber(long long value)
{
    return value >= 1 && value <= INT_MAX;
}

// The part (1, 2, ...) that holds signal number signalNumber (1-based); part
// 1 for a number below 1.
inline int PartOfSignal(int signalNumber)
{
    return signalNumber < 1 ? 1 : (signalNumber - 1) / kSignalsPerPart + 1;
}

// "MessageData%04d" for part 1, "MessageData%04d_%04d" for parts 2, 3, ...
std::string RecordTableName(int messageId, int part = 1);
// The record table part that holds signal signalNumber of the message.
std::string RecordTableOfSignal(int messageId, int signalNumber);
// "Signal%d": signals are numbered within their message, not within a part.
std::string SignalColumnName(int signalNumber);

// SignalType texts of the Channels table.
extern char const* const kSignalTypeDouble;        // physical values
extern char const* const kSignalTypeRawValue;      // raw integers, no conversion
extern char const* const kSignalTypeStateEncoded;  // raw keys of ChannelStates

// Values of a "Double" channel are stored physical; every other type (also
// NULL, a linear conversion with states) is stored raw and read through
// Slope/Offset.
bool StoresPhysicalValues(std::string const& signalType);

// A channel of an integer DataType (0 unsigned, 1 signed) is exported as an
// integer of the smallest of 8, 16, 32 or 64 bits that takes its BitLength.
int IntegerWidth(int bitLength);
// Whether that integer holds the number exactly.
bool IntegerHolds(double number, int bitLength, bool isSigned);

// ---- Schema texts ------------------------------------------------------------
// Stored files and every reader depend on these texts as they appear in
// sqlite_master: keep them byte for byte.

// Messages, UnmatchedMessages, Channels, ErrorMessages, ChannelStates,
// Network_Statistics: the tables every measurement database is created with,
// in this order, before any data.
constexpr int kSchemaTableCount = 6;
extern wchar_t const* const kSchemaTables[kSchemaTableCount];

// The table a subset database (hit extraction) adds: one row per hit, the
// source database, the hit's start on the output axis and in absolute time.
// Its presence marks a file as a subset database.
extern wchar_t const* const kMarkersTable;

// Pragmas for writing a database in bulk (journal in memory, no synchronous
// writes, a small page cache), in this order, and those that restore the
// durable settings and release SQLite's memory once it is complete.
constexpr int kPragmaCount = 3;
extern wchar_t const* const kBulkLoadPragmas[kPragmaCount];
extern wchar_t const* const kFinishPragmas[kPragmaCount];
// Keeps other connections out of a database while it is written.
extern wchar_t const* const kExclusiveLockPragma;

enum class ColumnType { Double, Integer };

// CREATE TABLE text of one record table part: TIME_VAL, then one column per
// signal, numbered from firstSignal, typed by columnTypes. Written as
// "CREATE TABLE MessageData0001 (TIME_VAL DOUBLE , Signal1 INTEGER, Signal2 DOUBLE)"
// (the blank before the first comma belongs to the format).
std::wstring RecordTableCreateSql(int messageId, int part, int firstSignal, std::vector<ColumnType> const& columnTypes);
// "INSERT INTO <part> VALUES (?, ?, ...)": parameter 1 is TIME_VAL, then one
// per signal column of the part.
std::wstring RecordTableInsertSql(int messageId, int part, int signalCount);

}  // namespace MeasurementDb
