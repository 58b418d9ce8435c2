// MAT writer throughput against plain fwrite of the same bytes, measured in
// the same run: a 10,000,000 x 10 double matrix, and a structure holding
// 1,000 channel structures (time and values of 10,000 samples each).
// Usage: bench_mat_write [folder]  (default $TMPDIR or /tmp)
#include "mat/MatArray.h"
#include "mat/MatFile.h"
#include "mat/RecFileStc.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kRows = 10000000;
constexpr std::size_t kColumns = 10;
constexpr int kChannels = 1000;
constexpr std::size_t kSamples = 10000;
constexpr int kRounds = 3;

using mat::ArrayPtr;

double Seconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double FileSize(std::string const& path)
{
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return 0;
    std::fseek(f, 0, SEEK_END);
    double size = static_cast<double>(std::ftell(f));
    std::fclose(f);
    return size;
}

// Seconds to write the array as one variable, including the close.
double TimeMatWrite(std::string const& path, mxArray_tag* array, char const* name)
{
    auto start = std::chrono::steady_clock::now();
    MATFile_tag* file = matOpen(path.c_str(), "wL");
    if (!file || matPutVariableAsGlobal(file, name, array) != 0 || matClose(file) != 0) {
        std::fprintf(stderr, "MAT write to %s failed\n", path.c_str());
        std::exit(1);
    }
    return Seconds(std::chrono::steady_clock::now() - start);
}

// Seconds to fwrite the given blocks to a new file, including the close.
double TimeRawWrite(std::string const& path, std::vector<std::pair<void const*, std::size_t>> const& blocks)
{
    auto start = std::chrono::steady_clock::now();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    bool ok = f != nullptr;
    for (auto const& block : blocks)
        ok = ok && std::fwrite(block.first, 1, block.second, f) == block.second;
    ok = f && std::fclose(f) == 0 && ok;
    if (!ok) {
        std::fprintf(stderr, "raw write to %s failed\n", path.c_str());
        std::exit(1);
    }
    return Seconds(std::chrono::steady_clock::now() - start);
}

std::vector<uint8_t> ReadAll(std::string const& path)
{
    std::vector<uint8_t> bytes(static_cast<std::size_t>(FileSize(path)));
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f || std::fread(bytes.data(), 1, bytes.size(), f) != bytes.size())
        std::exit(1);
    std::fclose(f);
    return bytes;
}

void Report(char const* what, double bytes, double matSeconds, double rawSeconds)
{
    double mb = bytes / 1e6;
    std::printf("%-34s %8.1f MB  MAT %8.1f MB/s  fwrite %8.1f MB/s  ratio %.2f\n", what, mb, mb / matSeconds,
                mb / rawSeconds, rawSeconds / matSeconds);
}

void BenchMatrix(std::string const& folder)
{
    ArrayPtr matrix(mxCreateDoubleMatrix(kRows, kColumns, 0));
    if (!matrix) {
        std::fprintf(stderr, "no memory for the matrix\n");
        std::exit(1);
    }
    double* values = mxGetPr(matrix.get());
    for (std::size_t i = 0; i < kRows * kColumns; ++i)
        values[i] = static_cast<double>(i) * 0.001;
    std::string matPath = folder + "/bench_matrix.mat", rawPath = folder + "/bench_matrix.raw";
    double bestMat = 1e30, bestRaw = 1e30;
    for (int round = 0; round < kRounds; ++round) {
        bestMat = std::min(bestMat, TimeMatWrite(matPath, matrix.get(), "SignalData"));
        std::remove(matPath.c_str());
        bestRaw = std::min(bestRaw, TimeRawWrite(rawPath, {{values, kRows * kColumns * sizeof(double)}}));
        std::remove(rawPath.c_str());
    }
    Report("10,000,000 x 10 double matrix", static_cast<double>(CalcBytes(matrix.get())) + 128, bestMat, bestRaw);
}

mxArray_tag* Channel(int number)
{
    char name[16];
    std::snprintf(name, sizeof name, "ch%04d", number);
    mxArray_tag* channel = CreateStructureChannelArray(name, L"km/h");
    std::size_t dims[2] = {kSamples, 1};
    mxArray_tag* time = mxCreateNumericArray(2, dims, mxDOUBLE_CLASS, 0);
    mxArray_tag* values = mxCreateNumericArray(2, dims, mxDOUBLE_CLASS, 0);
    for (std::size_t i = 0; i < kSamples; ++i) {
        mxGetPr(time)[i] = static_cast<double>(i) * 0.01;
        mxGetPr(values)[i] = static_cast<double>(number) + static_cast<double>(i);
    }
    mxSetFieldByNumber(channel, 0, 6, time);
    std::size_t one[2] = {1, 1};
    mxArray_tag* signals = mxCreateStructArray(2, one, CRecFileStc::NumChannelSignalsFields(),
                                               const_cast<char const**>(CRecFileStc::ChannelSignalsStructureFieldNames));
    mxSetFieldByNumber(signals, 0, 0, values);
    mxArray_tag* dimension = mxCreateDoubleMatrix(1, 1, 0);
    *mxGetPr(dimension) = 1.0;
    mxSetFieldByNumber(signals, 0, 1, dimension);
    mxSetFieldByNumber(channel, 0, 7, signals);
    return channel;
}

void BenchChannels(std::string const& folder)
{
    std::vector<std::string> names;
    for (int c = 0; c < kChannels; ++c) {
        char name[16];
        std::snprintf(name, sizeof name, "ch%04d", c);
        names.push_back(name);
    }
    std::vector<char const*> fieldNames;
    for (std::string const& name : names)
        fieldNames.push_back(name.c_str());
    std::size_t one[2] = {1, 1};
    ArrayPtr all(mxCreateStructArray(2, one, kChannels, fieldNames.data()));
    for (int c = 0; c < kChannels; ++c)
        mxSetFieldByNumber(all.get(), 0, c, Channel(c));

    std::string matPath = folder + "/bench_channels.mat", rawPath = folder + "/bench_channels.raw";
    TimeMatWrite(matPath, all.get(), "channels");
    std::vector<uint8_t> image = ReadAll(matPath);
    double bestMat = 1e30, bestRaw = 1e30;
    for (int round = 0; round < kRounds; ++round) {
        std::remove(matPath.c_str());
        bestMat = std::min(bestMat, TimeMatWrite(matPath, all.get(), "channels"));
        bestRaw = std::min(bestRaw, TimeRawWrite(rawPath, {{image.data(), image.size()}}));
        std::remove(rawPath.c_str());
    }
    std::remove(matPath.c_str());
    Report("struct of 1,000 channel structures", static_cast<double>(image.size()), bestMat, bestRaw);
}

}  // namespace

int main(int argc, char** argv)
{
    char const* tmp = std::getenv("TMPDIR");
    std::string folder = argc > 1 ? argv[1] : (tmp && *tmp ? tmp : "/tmp");
    std::printf("best of %d rounds, files in %s; ratio = MAT rate / fwrite rate (aim >= 0.5)\n", kRounds,
                folder.c_str());
    BenchMatrix(folder);
    BenchChannels(folder);
    return 0;
}
