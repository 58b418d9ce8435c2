#include "mat/RecFileStc.h"

#include "mat/MatArray.h"
#include "mat/MatFile.h"

#include <initializer_list>
#include <memory>

namespace {

using mat::ArrayPtr;

enum HeaderField {
    kVersion, kSource, kProject, kScreen, kRecorder, kStartDate, kStartTime, kStartEvent,
    kStopDate, kStopTime, kStopEvent, kUser, kComment, kVehicle, kNumChannels, kNumDevices, kDevice
};

enum ChannelField { kChannelName, kChannelType, kUnit, kTimeUnit, kPeriod, kChannelDevice, kTime, kSignals, kMin, kMax };

constexpr std::size_t kUserEntries = 10;

mxArray_tag* NewStruct(std::size_t columns, int nfields, char const* const* names)
{
    std::size_t dims[2] = {1, columns};
    return mxCreateStructArray(2, dims, nfields, const_cast<char const**>(names));
}

mxArray_tag* NewScalar(double value)
{
    mxArray_tag* scalar = mxCreateDoubleMatrix(1, 1, 0);
    if (scalar)
        *mxGetPr(scalar) = value;
    return scalar;
}

// Stores a field, freeing what it held before; false when its array could
// not be created, which leaves the field unset.
bool SetField(mxArray_tag* s, std::size_t index, int field, mxArray_tag* value)
{
    if (!value)
        return false;
    if (index >= s->elementCount || field < 0 || field >= s->numberOfFields) {
        mxDestroyArray(value);
        return false;
    }
    mxArray_tag* previous = s->Children()[index * static_cast<std::size_t>(s->numberOfFields) + field];
    mxSetFieldByNumber(s, index, field, value);
    if (value->parent != s) {
        mxDestroyArray(value);
        return false;
    }
    if (previous && previous != value)
        mxDestroyArray(previous);
    return true;
}

bool SetText(mxArray_tag* s, int field, char const* text)
{
    return SetField(s, 0, field, mxCreateString(text ? text : ""));
}

bool SetUserTable(mxArray_tag* header)
{
    mxArray_tag* user = NewStruct(kUserEntries, CRecFileStc::NumUserFields(), CRecFileStc::UserStructureFieldNames);
    if (!SetField(header, 0, kUser, user))
        return false;
    bool complete = true;
    for (std::size_t i = 0; i < kUserEntries; ++i)
        complete = SetField(user, i, 0, mxCreateString("")) && complete;
    return complete;
}

bool FillHeader(mxArray_tag* header, char const* startDate, char const* startTime, char const* stopDate,
                char const* stopTime, int numChannels)
{
    bool complete = SetText(header, kVersion, CRecFileStc::MatlabStructureVersion);
    complete = SetText(header, kSource, "Orbisk Lens") && complete;
    for (int field : {kProject, kScreen, kRecorder, kComment, kVehicle})
        complete = SetText(header, field, "") && complete;
    complete = SetText(header, kStartDate, startDate) && complete;
    complete = SetText(header, kStartTime, startTime) && complete;
    complete = SetText(header, kStartEvent, "Manual") && complete;
    complete = SetText(header, kStopDate, stopDate) && complete;
    complete = SetText(header, kStopTime, stopTime) && complete;
    complete = SetText(header, kStopEvent, "Manual") && complete;
    complete = SetUserTable(header) && complete;
    complete = SetField(header, 0, kNumChannels, NewScalar(numChannels)) && complete;
    complete = SetField(header, 0, kNumDevices, NewScalar(1.0)) && complete;
    mxArray_tag* device = NewStruct(1, CRecFileStc::NumDeviceFields(), CRecFileStc::DeviceStructureFieldNames);
    return SetField(header, 0, kDevice, device) && complete;
}

}  // namespace

CRecFileStc::~CRecFileStc() = default;

char const* const CRecFileStc::MatlabStructureVersion = "orbk Matlab Structure 1.0";

char const* const CRecFileStc::TopStructureFieldNames[17] = {
    "version",   "source",   "project", "screen",  "recorder",    "startdate",  "starttime", "startevent", "stopdate",
    "stoptime",  "stopevent", "user",   "comment", "vehicle",     "numchannels", "numdevices", "device"};

char const* const CRecFileStc::UserStructureFieldNames[2] = {"name", "value"};

char const* const CRecFileStc::DeviceStructureFieldNames[6] = {"name",     "description", "comment",
                                                                "strategy", "calibration", "serialnum"};

char const* const CRecFileStc::ChannelStructureFieldNames[10] = {
    "Channelname", "Channeltype", "unit", "timeunit", "period", "device", "time", "signals", "min", "max"};

char const* const CRecFileStc::ChannelSignalsStructureFieldNames[2] = {"values", "dimensions"};

wchar_t const* const CRecFileStc::ValidContexts[4] = {L"TOPLEVEL", L"DEVICE", L"CHANNEL", L"USER"};

wchar_t const* const CRecFileStc::BookmarkStructureFieldNames[4] = {L"Name", L"XMin", L"XMax", L"Comment"};

wchar_t const* const CRecFileStc::ConfigurationFieldNames[4] = {L"ConfigData", L"ConfigSize", L"DRAnnData",
                                                                 L"DRAnnSize"};

wchar_t const* const CRecFileStc::ValidCommands[4] = {L"Command Set Version 1.0", L"ResetContent",
                                                       L"OpenSubsetSource", L"SiftSource"};

bool WriteStructureHeader(MATFile_tag* file, char const* startDate, char const* startTime, char const* stopDate,
                          char const* stopTime, int numChannels)
{
    if (!file)
        return false;
    ArrayPtr header(NewStruct(1, CRecFileStc::NumHeaderFields(), CRecFileStc::TopStructureFieldNames));
    if (!header)
        return false;
    bool complete = FillHeader(header.get(), startDate, startTime, stopDate, stopTime, numChannels);
    return WriteArray(file, "header", header.get(), true) == 0 && complete;
}

mxArray_tag* CreateStructureChannelArray(char const* name, wchar_t const* unit)
{
    mxArray_tag* channel = NewStruct(1, CRecFileStc::NumChannelFields(), CRecFileStc::ChannelStructureFieldNames);
    if (!channel)
        return nullptr;
    SetText(channel, kChannelName, name);
    SetText(channel, kChannelType, "DOUBLE");
    SetField(channel, 0, kUnit, mxCreateStringW(unit ? unit : L""));
    SetText(channel, kTimeUnit, "s");
    SetField(channel, 0, kPeriod, NewScalar(0.0));
    SetText(channel, kChannelDevice, "");
    return channel;
}

bool FinalizeChannel(MATFile_tag* file, mxArray_tag* channel, double min, double max, char const* variableName)
{
    ArrayPtr owned(channel);
    if (!file || !channel || !variableName)
        return false;
    bool complete = SetField(channel, 0, kMin, NewScalar(min));
    complete = SetField(channel, 0, kMax, NewScalar(max)) && complete;
    return WriteArray(file, variableName, channel, true) == 0 && complete;
}
