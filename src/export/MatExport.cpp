#include "export/MatExport.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>

#include "export/MdfExport.h"
#include "mat/MatFile.h"
#include "mat/RecFileStc.h"
#include "support/CFormat.h"
#include "support/CppSQLite3U.h"
#include "support/LibUtils.h"
#include "support/MeasurementDb.h"
#include "support/Paths.h"

namespace {

constexpr int kTimeField = 6;
constexpr int kSignalsField = 7;

size_t g_matrixLimit = 0;  // bytes; 0: none

std::wstring Widen(std::string const& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

long long CountRecords(CppSQLite3DB* db, int messageId)
{
    const std::string sql = "SELECT COUNT(*) FROM " + MeasurementDb::RecordTableName(messageId);
    CppSQLite3Query row = db->execQuery(Widen(sql).c_str());
    return row.eof() ? 0 : std::max<long long>(row.getInt64Field(0), 0);
}

// A column's value by the one value rule of the export.
double ExportValue(RecordReader const& reader, size_t part, int column, CArbitration::SignalList const& signal)
{
    uint64_t bits;
    if (signal.IsFloatingPoint()) {
        const double value = reader.Double(part, column);
        std::memcpy(&bits, &value, sizeof bits);
    } else {
        bits = static_cast<uint64_t>(reader.Int64(part, column));
    }
    return signal.ExportValueOfBits(bits);
}

// The statistics of a stored value as exported: physical ones as stored,
// scaled ones in order even for a negative factor.
void Bounds(CArbitration::SignalList const& signal, double& low, double& high)
{
    low = signal.GetMinValue();
    high = signal.GetMaxValue();
    if (signal.m_kind == CArbitration::kKindPhysical || (signal.Slope == 1.0 && signal.Offset == 0.0))
        return;
    const double a = signal.GetScaledValue(low), b = signal.GetScaledValue(high);
    low = std::min(a, b);
    high = std::max(a, b);
}

std::string AllocationText(long long n, std::wstring const& name)
{
    wchar_t text[1024];
    std::swprintf(text, 1024, L"Error allocating %lld points for channel %ls\n", n, name.c_str());
    return mbstring(text);
}

// Creates the structures and arrays of a message's (or one) channels;
// false after reporting an allocation failure.
bool CreateAll(std::vector<ExportChannelInfo>& infos, CArbitration const& message, ChannelNameMap const& names,
               long long n, ProgressReporter& progress)
{
    for (ExportChannelInfo& info : infos) {
        CArbitration::SignalList const& signal = message.m_signals[static_cast<size_t>(info.index)];
        auto it = names.find({const_cast<CArbitration*>(&message), info.index});
        const std::string name = it == names.end() ? std::string() : it->second;
        if (!info.CreateStructure(name.c_str(), signal.Units.c_str()) ||
            n > static_cast<long long>(INT_MAX) || !info.CreateChannels(static_cast<size_t>(n))) {
            progress.Failed(AllocationText(n, signal.Name));
            return false;
        }
    }
    return true;
}

// Fills the arrays from the message's records and writes each channel.
bool FillAndWrite(CppSQLite3DB* db, MATFile_tag* file, COrbkBin const& model, CArbitration& message,
                  std::vector<PartColumns> parts, std::vector<ExportChannelInfo>& infos, ChannelNameMap const& names,
                  long long n)
{
    RecordReader reader(db, message.ID, std::move(parts));
    // The channel of each selected column, in column order.
    std::vector<std::pair<size_t, int>> columns;
    for (size_t p = 0; p < reader.Parts().size(); ++p)
        for (size_t j = 0; j < reader.Parts()[p].signals.size(); ++j)
            columns.emplace_back(p, static_cast<int>(j) + 1);
    reader.Start();
    for (long long row = 0; row < n && reader.Next(); ++row) {
        const double t = reader.Time() - model.minTime;
        for (size_t c = 0; c < infos.size(); ++c)
            infos[c].AddData(t, ExportValue(reader, columns[c].first, columns[c].second,
                                            message.m_signals[static_cast<size_t>(infos[c].index)]));
    }
    bool written = true;
    for (ExportChannelInfo& info : infos) {
        CArbitration::SignalList const& signal = message.m_signals[static_cast<size_t>(info.index)];
        double low, high;
        Bounds(signal, low, high);
        const std::string& name = names.at({&message, info.index});
        const bool signals = info.WriteChannelData();
        written = FinalizeChannel(file, info.ReleaseStructure(), low, high, name.c_str()) && signals && written;
    }
    return written;
}

}  // namespace

// ---- ExportChannelInfo ------------------------------------------------------------

bool ExportChannelInfo::CreateStructure(char const* name, wchar_t const* unit)
{
    m_structure.reset(CreateStructureChannelArray(name, unit));
    return m_structure != nullptr;
}

bool ExportChannelInfo::CreateChannels(size_t n)
{
    if (g_matrixLimit && n > g_matrixLimit / sizeof(double))
        return false;
    size_t dims[2] = {n, 1};
    mat::ArrayPtr time(mxCreateNumericArray(2, dims, mxDOUBLE_CLASS, 0));
    mat::ArrayPtr values(mxCreateNumericArray(2, dims, mxDOUBLE_CLASS, 0));
    if (!m_structure || !time || !values)
        return false;
    m_timeCursor = mxGetPr(time.get());
    m_valueCursor = mxGetPr(values.get());
    m_room = n;
    mxSetFieldByNumber(m_structure.get(), 0, kTimeField, time.release());
    m_values = std::move(values);
    return true;
}

void ExportChannelInfo::AddData(double time, double value)
{
    if (m_room == 0 || !m_timeCursor || !m_valueCursor)
        return;
    *m_timeCursor++ = time;
    *m_valueCursor++ = value;
    --m_room;
}

bool ExportChannelInfo::WriteChannelData()
{
    size_t one[2] = {1, 1};
    mat::ArrayPtr signals(mxCreateStructArray(2, one, CRecFileStc::NumChannelSignalsFields(),
                                              const_cast<char const**>(CRecFileStc::ChannelSignalsStructureFieldNames)));
    mat::ArrayPtr dimensions(mxCreateDoubleMatrix(1, 1, 0));
    if (!m_structure || !signals || !dimensions || !m_values)
        return false;
    *mxGetPr(dimensions.get()) = 1.0;
    mxSetFieldByNumber(signals.get(), 0, 0, m_values.release());
    mxSetFieldByNumber(signals.get(), 0, 1, dimensions.release());
    mxSetFieldByNumber(m_structure.get(), 0, kSignalsField, signals.release());
    return true;
}

// ---- Structures at the recorded times ----------------------------------------------

ExportOutcome WriteMatlabStruct(CppSQLite3DB* db, MATFile_tag* file, COrbkBin& model, std::vector<CDbChannel>& channels)
{
    if (!file)
        return ExportOutcome::Failed;
    ProgressReporter progress(model);
    const ChannelNameMap names = BuildChannelNameMap(channels, true, "_");
    unsigned long long written = 0;
    for (CDbChannel& channel : channels) {
        if (!progress.Percent(written++, channels.size()))
            return ExportOutcome::Cancelled;
        const int k = channel.GetChannelIndex(channel.GetArb());
        if (k <= 0)
            continue;
        CArbitration& message = *channel.GetArb();
        const long long n = CountRecords(db, message.ID);
        std::vector<ExportChannelInfo> infos;
        infos.emplace_back(k);
        if (!CreateAll(infos, message, names, n, progress))
            return ExportOutcome::Failed;
        std::vector<PartColumns> parts{PartColumns{MeasurementDb::PartOfSignal(k), {k}}};
        if (!FillAndWrite(db, file, model, message, std::move(parts), infos, names, n))
            return ExportOutcome::Failed;
    }
    return ExportOutcome::Written;
}

ExportOutcome WriteGroupedMatlabStruct(CppSQLite3DB* db, MATFile_tag* file, COrbkBin& model, int channelCount,
                                       std::vector<CDbChannel>& channels, std::vector<CArbDbInfo*>& cursors)
{
    if (!file)
        return ExportOutcome::Failed;
    ProgressReporter progress(model);
    const ChannelNameMap names = BuildChannelNameMap(channels, true, "_");
    unsigned long long written = 0;
    for (CArbDbInfo* cursor : cursors) {
        if (!progress.Percent(written, static_cast<unsigned long long>(std::max(channelCount, 0))))
            return ExportOutcome::Cancelled;
        CArbitration& message = *cursor->GetArb();
        std::vector<PartColumns> parts = SelectedColumns(message, model.collectionMask);
        std::vector<ExportChannelInfo> infos;
        for (PartColumns const& part : parts)
            for (int k : part.signals)
                infos.emplace_back(k);
        if (infos.empty())
            continue;
        const long long n = CountRecords(db, message.ID);
        if (!CreateAll(infos, message, names, n, progress))
            return ExportOutcome::Failed;
        if (!FillAndWrite(db, file, model, message, std::move(parts), infos, names, n))
            return ExportOutcome::Failed;
        written += infos.size();
    }
    return ExportOutcome::Written;
}

// ---- One matrix on a time grid ---------------------------------------------------

void SetMatrixAllocationLimit(size_t bytes)
{
    g_matrixLimit = bytes;
}

namespace {

mxArray_tag* CreateMatrix(size_t rows, size_t columns)
{
    if (g_matrixLimit && rows * columns > g_matrixLimit / sizeof(double))
        return nullptr;
    size_t dims[2] = {rows, columns};
    return mxCreateNumericArray(2, dims, mxDOUBLE_CLASS, 0);
}

}  // namespace

mxArray_tag* AllocLargeMatlabArray(size_t* dims, COrbkBin& model)
{
    ProgressReporter progress(model);
    mxArray_tag* matrix = CreateMatrix(dims[0], dims[1]);
    bool failed = false;
    while (!matrix && dims[0] > 100) {
        wchar_t text[1024];
        std::swprintf(text, 1024, L"Error allocating %d points for %d channels\n", static_cast<int>(dims[0]),
                      static_cast<int>(dims[1]));
        progress.Failed(mbstring(text));
        dims[0] /= 2;
        failed = true;
        matrix = CreateMatrix(dims[0], dims[1]);
    }
    if (matrix && failed)
        progress.Title(L"Writing MAT file");
    return matrix;
}

namespace {

struct GridState {
    double period;
    double start;
    long long points;
    long long gapUntil = 0;  // grid indexes below it that a gap skipped
};

// Fills rows [0, rows) of the matrix with grid points from firstIndex on.
ExportOutcome FillMatrix(CppSQLite3DB* db, mxArray_tag* matrix, size_t rows, long long firstIndex, GridState& grid,
                         COrbkBin& model, std::vector<CDbChannel>& channels, ProgressReporter& progress)
{
    double* data = mxGetPr(matrix);
    const size_t columns = matrix->elementCount / std::max<size_t>(rows, 1);
    auto at = [&](size_t row, size_t column) -> double& { return data[column * rows + row]; };
    for (size_t i = 0; i < rows; ++i) {
        const long long g = firstIndex + static_cast<long long>(i);
        if (!progress.Percent(static_cast<unsigned long long>(g), static_cast<unsigned long long>(grid.points)))
            return ExportOutcome::Cancelled;
        const double t = static_cast<double>(g) * grid.period + grid.start;
        at(i, 0) = t - model.minTime;
        at(i, 1) = t;
        if (g < grid.gapUntil) {
            // A point a gap skipped: its time, and no value.
            for (size_t c = 2; c < columns; ++c)
                at(i, c) = std::numeric_limits<double>::quiet_NaN();
            continue;
        }
        grid.gapUntil = NextGridIndex(db, g, t, grid.period, model, channels);
        size_t column = 2;
        for (CDbChannel& channel : channels) {
            CArbitration* message = channel.GetArb();
            if (!message)
                continue;
            if (channel.IsFirstForMessage()) {
                if (g == 0)
                    channel.GetFirstRecord(db);
                double ts = channel.GetNearestTimestamp(db, t);
                if (!message->IsTimeValid(t))
                    ts = message->GetMinTimeStamp();
                else if (!message->IsTimeInRange(t))
                    ts = message->GetMaxTimeStamp();
                channel.GetCursor()->FillValuesAt(db, ts, model.collectionMask);
            }
            const int k = channel.GetChannelIndex(message);
            if (k > 0 && column < columns)
                at(i, column++) = message->GetExportValue(k);
        }
    }
    return ExportOutcome::Written;
}

bool WriteNames(MATFile_tag* file, std::vector<CDbChannel>& channels, size_t columns)
{
    size_t dims[2] = {1, columns};
    mat::ArrayPtr names(mxCreateCellArray(2, dims));
    if (!names)
        return false;
    std::vector<std::string> texts{"Time", "AbsTime"};
    for (CDbChannel const& channel : channels)
        if (channel.GetChannelIndex(channel.GetArb()) > 0)
            texts.push_back(Latin1FromWide(channel.Signal().Name));
    for (size_t c = 0; c < texts.size() && c < columns; ++c) {
        mxArray_tag* text = mxCreateString(texts[c].c_str());
        if (!text)
            return false;
        mxSetCell(names.get(), c, text);
    }
    return WriteArray(file, "SignalNames", names.get(), true) == 0;
}

// One file of the grid: at most `rows` points from firstIndex on; written
// tells how many it took.
ExportOutcome WriteOneArrayPoints(CppSQLite3DB* db, MATFile_tag* file, GridState& grid, COrbkBin& model,
                                  size_t rows, int channelCount, std::vector<CDbChannel>& channels,
                                  long long firstIndex, size_t& written, ProgressReporter& progress)
{
    size_t dims[2] = {rows, static_cast<size_t>(channelCount) + 2};
    mat::ArrayPtr matrix(AllocLargeMatlabArray(dims, model));
    if (!matrix)
        return ExportOutcome::Failed;
    const ExportOutcome filled = FillMatrix(db, matrix.get(), dims[0], firstIndex, grid, model, channels, progress);
    if (filled != ExportOutcome::Written)
        return filled;
    if (WriteArray(file, "SignalData", matrix.get(), true) != 0)
        return ExportOutcome::Failed;
    matrix.reset();
    if (!WriteNames(file, channels, dims[1]))
        return ExportOutcome::Failed;
    written = dims[0];
    return ExportOutcome::Written;
}

std::wstring GridFileName(std::wstring const& base, int number)
{
    return number == 1 ? base + L".mat" : base + Widen(FormatC("_%02d.mat", number));
}

}  // namespace

ExportOutcome WriteOneArrayFromDb(CppSQLite3DB* db, std::wstring const& base, double period, double start,
                                  COrbkBin& model, long long points, int channelCount,
                                  std::vector<CDbChannel>& channels)
{
    ProgressReporter progress(model);
    for (CDbChannel& channel : channels)
        channel.ResetTimestamps();
    GridState grid{period, start, points};
    // A variable must stay below the MAT element limit: more files instead.
    const size_t columns = static_cast<size_t>(channelCount) + 2;
    const size_t fileRows = static_cast<size_t>((mat::kElementByteLimit - 4096) / (columns * sizeof(double)));
    size_t rowsPerFile = std::min<size_t>(static_cast<size_t>(points), fileRows);
    long long next = 0;
    for (int number = 1; next < points; ++number) {
        OutputFile out(GridFileName(base, number));
        if (!out.MayWrite(db, kMatSignature)) {
            ReportUnwritten(progress, out.Target(), "it would replace another file");
            return ExportOutcome::Failed;
        }
        MATFile_tag* file = matOpen(PathBytes(out.PendingPath()).value_or(std::string()).c_str(), "wL");
        if (!file) {
            ReportUnwritten(progress, out.Target(), "it cannot be created");
            return ExportOutcome::Failed;
        }
        size_t written = 0;
        const size_t rows = std::min<size_t>(rowsPerFile, static_cast<size_t>(points - next));
        const ExportOutcome outcome =
            WriteOneArrayPoints(db, file, grid, model, rows, channelCount, channels, next, written, progress);
        const bool closed = matClose(file) == 0;
        if (outcome == ExportOutcome::Cancelled) {
            // Hosts expect a cancelled grid to leave its file with the MAT
            // header alone: no variable in it can pass for data.
            if (closed)
                out.Commit();
            return outcome;
        }
        if (outcome != ExportOutcome::Written || !closed || !out.Commit()) {
            ReportUnwritten(progress, out.Target(), "writing it failed");
            return ExportOutcome::Failed;
        }
        rowsPerFile = written;
        next += static_cast<long long>(written);
    }
    return ExportOutcome::Written;
}
