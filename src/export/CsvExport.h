// The CSV output of the export: a heading row, then one row per record of
// any message (event mode) or per point of a time grid.
#pragma once

#include "export/ChannelNames.h"
#include "export/ExportOutput.h"

#include <cstdio>
#include <vector>

// What the file of the CSV output begins with (an existing file is replaced
// only when it begins so, or is empty).
extern char const* const kCsvSignature;

// "Date","Time","Time (abs)", then each channel's name (with " (units)"
// when writeUnits), quotes doubled.
std::string CsvHeading(std::vector<CDbChannel>& channels, bool writeUnits);

// One numeric cell: ",%d" for 32-bit integral values, ",%.7g" else, ",nan"
// for a NaN; texts of repeated values come from a bounded process-wide
// cache. Returns fputs's result.
int WriteCsvValue(FILE* file, double value);
// The text of one numeric cell (",3", ",2.5", ",nan"), formatted once per
// value while the process-wide cache has room; valid until the next call.
std::string const& CsvValueText(double value);

// Cancelled when the progress callback answered 0 (the rows written so far
// stay in the stream).
ExportOutcome WriteAsciiFile(CppSQLite3DB* db, FILE* file, std::vector<CDbChannel>& channels, double startTime,
                             COrbkBin& model, bool writeStateText, int writeDuplicates);
ExportOutcome WriteForceRateFromDb(CppSQLite3DB* db, FILE* file, double period, double start, int points,
                                   int channelCount, std::vector<CDbChannel>& channels, double startAgain,
                                   COrbkBin& model, bool writeStateText, int writeDuplicates);
