// The MAT output of the export: at the recorded times one structure per
// channel (read channel by channel or message by message), on a time grid
// one matrix "SignalData" with its column names "SignalNames", spread over
// several files when one matrix cannot be had.
#pragma once

#include "export/ChannelNames.h"
#include "export/ExportOutput.h"
#include "mat/MatArray.h"

#include <cstddef>
#include <string>
#include <vector>

// One channel's structure and arrays while they are filled.
class ExportChannelInfo {
public:
    explicit ExportChannelInfo(int index) : index(index) {}

    // The channel structure; false when it cannot be created.
    bool CreateStructure(char const* name, wchar_t const* unit);
    // The n x 1 time and value arrays; false (and neither kept) when one
    // cannot be created.
    bool CreateChannels(size_t n);
    // Stores one sample; samples beyond n are not stored.
    void AddData(double time, double value);
    // The "signals" structure holding the values; false when it cannot be
    // created.
    bool WriteChannelData();
    // Hands the structure to FinalizeChannel.
    mxArray_tag* ReleaseStructure() { return m_structure.release(); }

    int index;

private:
    mat::ArrayPtr m_structure;
    mat::ArrayPtr m_values;
    double* m_timeCursor = nullptr;
    double* m_valueCursor = nullptr;
    size_t m_room = 0;
};

ExportOutcome WriteMatlabStruct(CppSQLite3DB* db, MATFile_tag* file, COrbkBin& model,
                                std::vector<CDbChannel>& channels);
ExportOutcome WriteGroupedMatlabStruct(CppSQLite3DB* db, MATFile_tag* file, COrbkBin& model, int channelCount,
                                       std::vector<CDbChannel>& channels, std::vector<CArbDbInfo*>& cursors);
// Writes base + ".mat", then base + "_02.mat", ... as long as grid points
// remain; each file replaces its target only when complete.
ExportOutcome WriteOneArrayFromDb(CppSQLite3DB* db, std::wstring const& base, double period, double start,
                                  COrbkBin& model, long long points, int channelCount,
                                  std::vector<CDbChannel>& channels);

// A rows x columns matrix (dims); when memory is short, fewer rows (halved
// while more than 100 remain, each failure reported as (-1, text)). Null
// when not even that works.
mxArray_tag* AllocLargeMatlabArray(size_t* dims, COrbkBin& model);

// The largest array, in bytes, that AllocLargeMatlabArray and
// ExportChannelInfo::CreateChannels take; lets tests make memory run short.
// 0 restores no limit.
void SetMatrixAllocationLimit(size_t bytes);
