// The exported record access functions and their handle table. A handle is
// the address of the value array handed to the host; the FileInfo behind it
// belongs to the table from OpenDataFile to CloseDataFile.
#include <cfloat>
#include <map>
#include <memory>

#include "access/ChannelInfo.h"
#include "access/FileInfo.h"
#include "support/LibUtils.h"
#include "support/Paths.h"
#include "vantrel.h"

namespace {

std::map<double*, FileInfo*> mapFiles;

FileInfo* findFile(double* handle)
{
    auto it = mapFiles.find(handle);
    return it == mapFiles.end() ? nullptr : it->second;
}

void clearOutputs(double** values, double** timeStamps, int* count)
{
    if (values)
        *values = nullptr;
    if (timeStamps)
        *timeStamps = nullptr;
    if (count)
        *count = 0;
}

double openDataFile(wchar_t const* dbPath, wchar_t const* channelList, double** values, double** timeStamps,
                    int* count)
{
    if (!values || !timeStamps || !count || !CheckPaths({dbPath}))
        return 0.0;
    std::string listName = PathForMessage(channelList);
    std::vector<CChannelInfo> list;
    if (!channelList || !ReadChannelsFromJson(channelList, list)) {
        DebugOutput1("Invalid JSON file %s", listName.c_str());
        return -3.0;
    }
    auto file = std::make_unique<FileInfo>();
    size_t listLength = list.size();
    file->channels = std::move(list);
    int found = file->LoadDbChannels(dbPath);
    if (!file->HasAllRequiredChannels()) {
        DebugOutput1("File does not have enough signals for script %s", listName.c_str());
        return 0.0;
    }
    // A failed query closed the database: nothing could be stepped.
    if (found < 0)
        return 0.0;
    file->AllocPointers(listLength);
    if (!file->GetDataPtr() || !file->GetTsPtr())
        return 0.0;
    file->SetCursorsToStart();
    double* handle = file->GetDataPtr();
    mapFiles.emplace(handle, file.get());
    FileInfo* registered = file.release();
    *values = handle;
    *timeStamps = registered->GetTsPtr();
    *count = static_cast<int>(listLength);
    return registered->startTime;
}

// Jumps take t as absolute from the measurement start on, and as relative to
// it below; the choice also sets the handle's time mode for later steps.
template <typename Jump>
double jump(double* handle, double t, Jump jumpTo)
{
    FileInfo* file = findFile(handle);
    if (!file)
        return DBL_MAX;
    double start = file->startTime;
    if (t >= start) {
        file->SetAbsoluteTimeStamps(true);
        return jumpTo(*file, t);
    }
    file->SetAbsoluteTimeStamps(false);
    double found = jumpTo(*file, start + t);
    return found == DBL_MAX ? DBL_MAX - start : found - start;
}

}  // namespace

extern "C" {

double OpenDataFileW(wchar_t const* dbPath, wchar_t const* channelList, double** values, double** timeStamps,
                     int* count)
{
    clearOutputs(values, timeStamps, count);
    try {
        return openDataFile(dbPath, channelList, values, timeStamps, count);
    } catch (...) {
        clearOutputs(values, timeStamps, count);
        return 0.0;
    }
}

double OpenDataFile(char const* dbPath, char const* channelList, double** values, double** timeStamps, int* count)
{
    clearOutputs(values, timeStamps, count);
    try {
        // The channel list may name a file: its bytes are kept like a path's.
        std::wstring path = WidePath(dbPath);
        std::wstring list = WidePath(channelList);
        return OpenDataFileW(dbPath ? path.c_str() : nullptr, channelList ? list.c_str() : nullptr, values,
                             timeStamps, count);
    } catch (...) {
        return 0.0;
    }
}

int GetNumChannelsW(wchar_t const* channelList)
{
    try {
        std::vector<CChannelInfo> list;
        if (!channelList || !ReadChannelsFromJson(channelList, list))
            return 0;
        return static_cast<int>(list.size());
    } catch (...) {
        return 0;
    }
}

int GetNumChannels(char const* channelList)
{
    try {
        if (!channelList)
            return 0;
        return GetNumChannelsW(WidePath(channelList).c_str());
    } catch (...) {
        return 0;
    }
}

int SetActiveMask(double* handle, int, char const* mask)
{
    try {
        FileInfo* file = findFile(handle);
        return file && file->SetActiveMask(mask) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

double SetCursorsToStart(double* handle, int)
{
    try {
        FileInfo* file = findFile(handle);
        return file ? file->SetCursorsToStart() : DBL_MAX;
    } catch (...) {
        return DBL_MAX;
    }
}

double GetNextRecord(double* handle, int)
{
    try {
        FileInfo* file = findFile(handle);
        return file ? file->GetNextRecord() : DBL_MAX;
    } catch (...) {
        return DBL_MAX;
    }
}

double GetNextChangedRecord(double* handle, int)
{
    try {
        FileInfo* file = findFile(handle);
        return file ? file->GetNextChangedRecord() : DBL_MAX;
    } catch (...) {
        return DBL_MAX;
    }
}

double GetNextValidRecord(double* handle, int)
{
    try {
        FileInfo* file = findFile(handle);
        return file ? file->GetNextValidRecord() : DBL_MAX;
    } catch (...) {
        return DBL_MAX;
    }
}

double JumpAfterTimestamp(double* handle, int, double t)
{
    try {
        return jump(handle, t, [](FileInfo& file, double at) { return file.JumpAfterTimeStamp(at); });
    } catch (...) {
        return DBL_MAX;
    }
}

double JumpBeforeTimestamp(double* handle, int, double t)
{
    try {
        return jump(handle, t, [](FileInfo& file, double at) { return file.JumpBeforeTimeStamp(at); });
    } catch (...) {
        return DBL_MAX;
    }
}

int GetMeasurementTimeBounds(double* handle, int, double* start, double* end)
{
    try {
        FileInfo* file = findFile(handle);
        if (!file || !start || !end)
            return 0;
        *start = file->startTime;
        *end = file->endTime;
        return 1;
    } catch (...) {
        return 0;
    }
}

int CloseDataFile(double* handle, int)
{
    try {
        auto it = mapFiles.find(handle);
        if (it == mapFiles.end()) {
            DebugOutput("Could not find data file!");
            return 0;
        }
        std::unique_ptr<FileInfo> file(it->second);
        mapFiles.erase(it);
        return file->Close() ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

}  // extern "C"
