#include "support/MeasurementDb.h"

#include <cmath>

#include "support/CFormat.h"

namespace MeasurementDb {

char const* const kSignalTypeDouble = "Double";
char const* const kSignalTypeRawValue = "RawValue";
char const* const kSignalTypeStateEncoded = "State Encoded";

std::string RecordTableName(int messageId, int part)
{
    if (part <= 1)
        return FormatC("MessageData%04d", messageId);
    return FormatC("MessageData%04d_%04d", messageId, part);
}

std::string RecordTableOfSignal(int messageId, int signalNumber)
{
    return RecordTableName(messageId, PartOfSignal(signalNumber));
}

std::string SignalColumnName(int signalNumber)
{
    return FormatC("Signal%d", signalNumber);
}

bool StoresPhysicalValues(std::string const& signalType)
{
    return signalType == kSignalTypeDouble;
}

int IntegerWidth(int bitLength)
{
    if (bitLength <= 8)
        return 8;
    if (bitLength <= 16)
        return 16;
    return bitLength <= 32 ? 32 : 64;
}

bool IntegerHolds(double number, int bitLength, bool isSigned)
{
    if (number != std::floor(number))
        return false;
    const double span = std::ldexp(1.0, IntegerWidth(bitLength) - (isSigned ? 1 : 0));
    return isSigned ? number >= -span && number < span : number >= 0 && number < span;
}

wchar_t const* const kSchemaTables[kSchemaTableCount] = {
    L"CREATE TABLE Messages (ID INTEGER PRIMARY KEY, Name TEXT, ArbId TEXT, SignalCount INTEGER, "
    L"DataTableName TEXT, Network TEXT, MinTime DOUBLE, MaxTime DOUBLE, MinDelta DOUBLE, MaxDelta DOUBLE, "
    L"MessageCount INTEGER, Rate DOUBLE, MessageChanges INTEGER, DataBytes INTEGER)",
    L"CREATE TABLE UnmatchedMessages (ID INTEGER PRIMARY KEY, Name TEXT, ArbId TEXT, Network TEXT, "
    L"MinTime DOUBLE, MaxTime DOUBLE, MinDelta DOUBLE, MaxDelta DOUBLE, MessageCount INTEGER, Rate DOUBLE)",
    L"CREATE TABLE Channels (ID INTEGER PRIMARY KEY, MessageId INTEGER, MessageChannel INTEGER, Name TEXT, "
    L"SignalType TEXT, MinVal DOUBLE, MaxVal DOUBLE, AvgVal DOUBLE, Median DOUBLE, StdDev DOUBLE, "
    L"Network TEXT, Units TEXT, DAQRate TEXT, Decimals INTEGER, NumChanges INTEGER, Formula TEXT, "
    L"Slope DOUBLE, Offset DOUBLE, DataType INTEGER, StartByte INTEGER, BitLength INTEGER, "
    L"StartBit INTEGER, BigEndian INTEGER, MUXValue INTEGER, Sequence INTEGER, CollectionMask INTEGER)",
    L"CREATE TABLE ErrorMessages (TIME_VAL DOUBLE, ArbId TEXT, Description TEXT, ByteData TEXT, Network TEXT)",
    L"CREATE TABLE ChannelStates (ChannelId INTEGER, StateText TEXT, NumVal DOUBLE)",
    L"CREATE TABLE Network_Statistics (Network TEXT, TotalMessages INTEGER, MatchedMessages INTEGER, "
    L"UnmatchedMessages INTEGER, ErrorMessages INTEGER, LongMessageParts INTEGER, MinTime DOUBLE, "
    L"MaxTime DOUBLE, Rate DOUBLE)",
};

wchar_t const* const kMarkersTable = L"CREATE TABLE Markers (Description TEXT, StartTime DOUBLE, AbsoluteTime DOUBLE)";

wchar_t const* const kBulkLoadPragmas[kPragmaCount] = {
    L"PRAGMA journal_mode=MEMORY",
    L"PRAGMA synchronous=OFF",
    L"PRAGMA cache_size=500",
};
wchar_t const* const kFinishPragmas[kPragmaCount] = {
    L"PRAGMA journal_mode=DELETE",
    L"PRAGMA synchronous=FULL",
    L"PRAGMA shrink_memory",
};
wchar_t const* const kExclusiveLockPragma = L"PRAGMA locking_mode=EXCLUSIVE";

namespace {

std::wstring Widen(std::string const& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

}  // namespace

std::wstring RecordTableCreateSql(int messageId, int part, int firstSignal, std::vector<ColumnType> const& columnTypes)
{
    std::string sql = "CREATE TABLE " + RecordTableName(messageId, part) + " (TIME_VAL DOUBLE ";
    sql.reserve(sql.size() + columnTypes.size() * 24 + 1);
    int signal = firstSignal;
    for (ColumnType type : columnTypes) {
        sql += ", ";
        sql += SignalColumnName(signal++);
        sql += type == ColumnType::Integer ? " INTEGER" : " DOUBLE";
    }
    sql += ')';
    return Widen(sql);
}

std::wstring RecordTableInsertSql(int messageId, int part, int signalCount)
{
    std::string sql = "INSERT INTO " + RecordTableName(messageId, part) + " VALUES (?";
    sql.reserve(sql.size() + static_cast<size_t>(signalCount > 0 ? signalCount : 0) * 3 + 1);
    for (int k = 0; k < signalCount; ++k)
        sql += ", ?";
    sql += ')';
    return Widen(sql);
}

}  // namespace MeasurementDb
