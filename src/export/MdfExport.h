// The MDF writers of the export: one data group per message, one per
// channel, or one on a fixed time grid; the same code writes MDF 3.30 and
// MDF 4.00 through the MDF writer interface.
#pragma once

#include "export/ExportOutput.h"
#include "export/MessageCursors.h"

#include <cstdio>
#include <vector>

class MDFFile;

// Where an MDF output's time axis starts: the context's earliest time cut
// to its second, which is also the header's start date, so that header
// start + record time is the stored time.
double MdfTimeBase(COrbkBin const& bin);

// Every record at its own time, one data group per message holding its
// exported channels.
ExportOutcome WriteGroupedMdf(CppSQLite3DB* db, MDFFile* writer, FILE* fp, COrbkBin& bin, bool writeStates,
                              int totalChannels, int timeBits, std::vector<CArbDbInfo*>& messages);
// Every record at its own time, one data group per channel.
ExportOutcome WriteMdf(CppSQLite3DB* db, MDFFile* writer, FILE* fp, COrbkBin& bin, bool writeStates,
                       int totalChannels, int timeBits, std::vector<CDbChannel>& channels);
// One data group of all channels sampled at points grid times.
ExportOutcome WriteForceRateFromDb(CppSQLite3DB* db, MDFFile* writer, FILE* fp, double period, double startTime,
                                   COrbkBin& bin, int points, int channelCount, int timeBits,
                                   std::vector<CDbChannel>& channels);

// The grid points a fixed-rate export writes when gaps longer than the
// context's ForceRateGap are skipped (all points without a gap setting).
// Leaves every cursor's time search reset.
long long CountGridPoints(CppSQLite3DB* db, double period, double startTime, COrbkBin const& bin, long long points,
                          std::vector<CDbChannel>& channels);
// The grid index after point i: i + 1, plus the points a gap skips. The
// cursors of the first channels of their messages stand at t afterwards.
long long NextGridIndex(CppSQLite3DB* db, long long i, double t, double period, COrbkBin const& bin,
                        std::vector<CDbChannel>& channels);
