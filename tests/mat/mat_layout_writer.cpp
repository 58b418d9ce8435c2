// Writes a MAT file in the exported structure layout, the way hit extraction
// and export call the writer, for the independent readers of
// check_readers.py: a "header" for 3 channels, then the channels "speed"
// (3 samples), "empty_unit" (no samples, empty unit) and "bare" (finalised
// without time or signals).
#include "mat/MatArray.h"
#include "mat/RecFileStc.h"

#include <array>
#include <cfloat>
#include <cstdio>

namespace {

mxArray_tag* Column(double const* values, std::size_t n)
{
    std::size_t dims[2] = {n, 1};
    mxArray_tag* column = mxCreateNumericArray(2, dims, mxDOUBLE_CLASS, 0);
    for (std::size_t i = 0; column && i < n; ++i)
        mxGetPr(column)[i] = values[i];
    return column;
}

bool WriteChannel(MATFile_tag* file, char const* name, wchar_t const* unit, double const* times,
                  double const* values, std::size_t n, double min, double max)
{
    mxArray_tag* channel = CreateStructureChannelArray(name, unit);
    if (!channel)
        return false;
    mxSetFieldByNumber(channel, 0, 6, Column(times, n));
    mxArray_tag* signals = mxCreateStructArray(2, std::array<std::size_t, 2>{1, 1}.data(),
                                               CRecFileStc::NumChannelSignalsFields(),
                                               const_cast<char const**>(CRecFileStc::ChannelSignalsStructureFieldNames));
    mxSetFieldByNumber(signals, 0, 0, Column(values, n));
    double one = 1.0;
    mxSetFieldByNumber(signals, 0, 1, Column(&one, 1));
    mxSetFieldByNumber(channel, 0, 7, signals);
    return FinalizeChannel(file, channel, min, max, name);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s output.mat\n", argv[0]);
        return 2;
    }
    MATFile_tag* file = matOpen(argv[1], "wL");
    if (!file)
        return 1;
    bool ok = WriteStructureHeader(file, "6/11/2024", "13:5:7", "6/11/2024", "13:6:0", 3);
    double const times[] = {0.0, 0.5, 1.0};
    double const values[] = {10.0, -20.25, 30.5};
    ok = WriteChannel(file, "speed", L"km/h", times, values, 3, 0.0, 1.0) && ok;
    ok = WriteChannel(file, "empty_unit", L"", nullptr, nullptr, 0, DBL_MAX, -DBL_MAX) && ok;
    ok = FinalizeChannel(file, CreateStructureChannelArray("bare", L"\u00b0C"), 1.0, 2.0, "bare") && ok;
    return matClose(file) == 0 && ok ? 0 : 1;
}
