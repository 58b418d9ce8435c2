// The export engine behind ExportDbData and the exported ExportToMdf
// functions.
#pragma once

#include "export/ExportOutput.h"
#include "export/MessageCursors.h"

#include <string>
#include <vector>

// The channels an export writes, in export order, and what they span.
struct ExportSelection {
    std::vector<CDbChannel> channels;
    int exportedChannels = 0;
    int exportedMessages = 0;
    int allChannels = 0;
    // A diagnostic line for each selected channel that cannot be exported.
    std::vector<std::string> unplaced;
    double start = 1.7976931348623157e308;
    double end = -1.7976931348623157e308;
};

// The settings file's export settings.
struct ExportSettings {
    bool writeStateText = true;
    bool writeUnits = false;
    int writeDuplicates = 0;
    int groupMessages = 1;
    bool hasForceRateGap = false;
    double forceRateGap = 0.0;
    std::wstring mdfExtension = L".dat";
};

// Orders the cursors, selects the channels of the context's collection (all
// channels when it holds none) and orders them.
ExportSelection SelectExportChannels(std::vector<CArbDbInfo*>& cursors, COrbkBin& bin);

// Writes the formats asked for; true when every output was written
// completely, false when one failed or the host cancelled.
bool RunExport(CppSQLite3DB* db, std::vector<CArbDbInfo*>& cursors, COrbkBin& bin, std::wstring const& outBase,
               unsigned formats, int rateMs);
