#include "support/MeasurementDb.h"

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

}  // namespace MeasurementDb
