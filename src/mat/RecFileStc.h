// The fixed layout of the MAT files the system exports: a global structure
// "header" describing the recording, then one global structure per channel.
// Field order and the fixed texts are part of the file format.
#pragma once

#include "vantrel.h"

#include <cwchar>

class CRecFileStc {
public:
    virtual ~CRecFileStc();

    static int NumHeaderFields() { return 17; }
    static int NumChannelFields() { return 10; }
    static int NumChannelSignalsFields() { return 2; }
    static int NumUserFields() { return 2; }
    static int NumDeviceFields() { return 6; }

    static char const* const MatlabStructureVersion;
    static char const* const TopStructureFieldNames[17];
    static char const* const UserStructureFieldNames[2];
    static char const* const DeviceStructureFieldNames[6];
    static char const* const ChannelStructureFieldNames[10];
    static char const* const ChannelSignalsStructureFieldNames[2];

    // Carried with the layout; nothing in the system reads them.
    static wchar_t const* const ValidContexts[4];
    static wchar_t const* const BookmarkStructureFieldNames[4];
    static wchar_t const* const ConfigurationFieldNames[4];
    static wchar_t const* const ValidCommands[4];
};

// Builds the "header" structure and writes it as a global variable. False
// when the write failed or a field could not be created (that field is then
// written as an empty element). Null texts count as empty.
bool WriteStructureHeader(MATFile_tag* file, char const* startDate, char const* startTime, char const* stopDate,
                          char const* stopTime, int numChannels);

// A new channel structure with Channelname, Channeltype, unit, timeunit,
// period and device set (a field whose array cannot be created stays unset);
// time, signals, min and max are left to the caller. Null when the structure
// itself cannot be created.
mxArray_tag* CreateStructureChannelArray(char const* name, wchar_t const* unit);

// Sets min and max, writes the channel as the global variable variableName
// and destroys it with everything it holds. False when the write failed or
// min or max could not be created.
bool FinalizeChannel(MATFile_tag* file, mxArray_tag* channel, double min, double max, char const* variableName);
