// The requested output, read back from the finished subset database: the
// database itself, a MAT file in the structure layout of exported data, or an
// MDF 4.00 file with one data group per record table and one event per hit.
// Both files are written beside the output and renamed onto it only when
// complete; every row count is taken before it is declared.
#include "hits/AggregateHits.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <map>
#include <string_view>

#include "mat/MatArray.h"
#include "mat/RecFileStc.h"
#include "mdfwrite/MDFFile_V4.h"
#include "support/CFormat.h"
#include "support/LibUtils.h"
#include "support/MatNames.h"
#include "support/MeasurementDb.h"
#include "support/Paths.h"
#include "support/TargetFile.h"

namespace {

// Positions in CRecFileStc::ChannelStructureFieldNames and
// ChannelSignalsStructureFieldNames.
constexpr int kTimeField = 6;
constexpr int kSignalsField = 7;
constexpr int kValuesField = 0;
constexpr int kDimensionsField = 1;

// A NULL cell (a channel before its first point) is written as NaN.
double CellValue(CppSQLite3Query const& row, int column)
{
    return row.getFloatField(column, std::nan(""));
}

struct CloseMat {
    void operator()(MATFile_tag* file) const { matClose(file); }
};

struct CloseFile {
    void operator()(FILE* file) const { std::fclose(file); }
};

mxArray_tag* NewColumn(uint64_t rows)
{
    const size_t dims[2] = {static_cast<size_t>(rows), 1};
    return mxCreateNumericArray(2, dims, mxDOUBLE_CLASS, 0);
}

void AppendDouble(std::vector<uint8_t>& out, double value)
{
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<uint8_t>(bits >> (8 * i)));
}

void Refuse(char const* what, std::wstring const& path)
{
    DebugOutput1(what, PathForMessage(path).c_str());
}

// Paths compared as bytes, ASCII letters in either case: the bytes of a path
// are no text of the locale.
bool EqualNoCase(std::string_view a, std::string_view b)
{
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace

AggregateHits::Output AggregateHits::OutputKind() const
{
    const std::string output = PathBytes(m_outputPath).value_or(std::string());
    const std::string database = PathBytes(DatabasePath()).value_or(std::string());
    if (EqualNoCase(output, database))
        return Output::Database;
    if (output.size() > 4 && EqualNoCase(std::string_view(output).substr(output.size() - 4), ".mat"))
        return Output::Mat;
    return Output::Mdf;
}

bool AggregateHits::MayWriteOutput(std::vector<std::wstring> const& sources) const
{
    const Output kind = OutputKind();
    if (kind == Output::Database)
        return true;
    for (std::wstring const& source : sources) {
        if (SameFile(m_outputPath, source)) {
            Refuse("The output %s would replace a listed database, which is left untouched", m_outputPath);
            return false;
        }
    }
    return MayReplaceTarget(m_outputPath, kind == Output::Mat ? kMatSignature : kMdfSignature);
}

bool AggregateHits::WriteToOutput()
{
    if (m_markers.empty() || m_channels.empty())
        return false;
    const Output kind = OutputKind();
    if (kind == Output::Database)
        return true;
    m_db = std::make_unique<CppSQLite3DB>();
    m_db->open(DatabasePath().c_str());
    const bool written = kind == Output::Mat ? WriteToMatlab(m_outputPath) : WriteToMdf(m_outputPath);
    m_db.reset();
    if (!written)
        Refuse("The output %s was not written", m_outputPath);
    return written;
}

uint64_t AggregateHits::CountRows(std::string const& table)
{
    const std::wstring sql = widestring("SELECT COUNT(*) FROM " + table);
    CppSQLite3Query count = m_db->execQuery(sql.c_str());
    const long long rows = count.eof() ? 0 : count.getInt64Field(0, 0);
    return rows > 0 ? static_cast<uint64_t>(rows) : 0;
}

// ---- MAT ------------------------------------------------------------------------

bool AggregateHits::WriteToMatlab(std::wstring const& path)
{
    PendingFile pending(path);
    std::unique_ptr<MATFile_tag, CloseMat> file(matOpen(PathBytes(pending.path()).value_or(std::string()).c_str(), "wL"));
    if (!file)
        return false;
    std::string startDate, startTime, stopDate, stopTime;
    FormatDateAndTime(TicksFromTime(m_markers.front().outputTime), false, startDate, startTime);
    FormatDateAndTime(TicksFromTime(EndOfOutput()), false, stopDate, stopTime);
    bool complete = WriteStructureHeader(file.get(), startDate.c_str(), startTime.c_str(), stopDate.c_str(),
                                         stopTime.c_str(), static_cast<int>(m_channels.size()));
    std::vector<std::string> names;
    for (AggregateChannelData const& channel : m_channels) {
        names.push_back(MatlabNameFromWide(widestring(channel.name)));
    }
    MakeMatlabNamesUnique(names);
    for (size_t i = 0; complete && i < m_channels.size(); ++i)
        complete = WriteMatChannel(file.get(), m_channels[i], names[i]);
    complete = matClose(file.release()) == 0 && complete;
    return complete && pending.Commit();
}

bool AggregateHits::WriteMatChannel(MATFile_tag* file, AggregateChannelData const& channel, std::string const& name)
{
    using mat::ArrayPtr;
    const int tableNumber = channel.message->tableNumber;
    const std::string table = MeasurementDb::RecordTableOfSignal(tableNumber, channel.column);
    const uint64_t rows = CountRows(table);
    ArrayPtr structure(CreateStructureChannelArray(name.c_str(), widestring(channel.unit).c_str()));
    ArrayPtr time(NewColumn(rows)), values(NewColumn(rows));
    const size_t one[2] = {1, 1};
    ArrayPtr signals(mxCreateStructArray(2, one, CRecFileStc::NumChannelSignalsFields(),
                                         const_cast<char const**>(CRecFileStc::ChannelSignalsStructureFieldNames)));
    ArrayPtr dimensions(mxCreateDoubleMatrix(1, 1, 0));
    if (!structure || !time || !values || !signals || !dimensions) {
        DebugOutput1("Channel %s could not be made for the MAT file", channel.name.c_str());
        return false;
    }
    *mxGetPr(dimensions.get()) = 1.0;

    const std::string column = MeasurementDb::SignalColumnName(channel.column);
    const std::wstring sql = widestring("SELECT TIME_VAL, " + column + " FROM " + table);
    double* times = mxGetPr(time.get());
    double* samples = mxGetPr(values.get());
    double earliest = DBL_MAX, latest = -DBL_MAX;
    uint64_t read = 0;
    for (CppSQLite3Query row = m_db->execQuery(sql.c_str()); !row.eof(); row.nextRow(), ++read) {
        if (read == rows)
            return false;  // rows appeared after they were counted
        times[read] = CellValue(row, 0);
        samples[read] = CellValue(row, 1);
        earliest = std::min(earliest, times[read]);
        latest = std::max(latest, times[read]);
    }
    if (read != rows)
        return false;
    mxSetFieldByNumber(signals.get(), 0, kValuesField, values.release());
    mxSetFieldByNumber(signals.get(), 0, kDimensionsField, dimensions.release());
    mxSetFieldByNumber(structure.get(), 0, kTimeField, time.release());
    mxSetFieldByNumber(structure.get(), 0, kSignalsField, signals.release());
    return FinalizeChannel(file, structure.release(), earliest, latest, name.c_str());
}

// ---- MDF 4.00 ---------------------------------------------------------------------

namespace {

// One data group: the part of a message's record table.
struct TablePart {
    AggregateMessage const* message;
    int part;
    size_t first;  // index of its first channel in the message
    size_t count;
};

std::vector<TablePart> TableParts(std::vector<std::unique_ptr<AggregateMessage>> const& messages)
{
    const size_t perPart = MeasurementDb::kSignalsPerPart;
    std::vector<TablePart> parts;
    for (auto const& message : messages)
        for (int part = 1; part <= message->PartCount(); ++part) {
            const size_t first = static_cast<size_t>(part - 1) * perPart;
            parts.push_back({message.get(), part, first, std::min(perPart, message->channels.size() - first)});
        }
    return parts;
}

// Events named after the source's number in the list (a new number whenever
// the source differs from the previous hit's) and the hit's window.
void AddMarkers(MDFFile_V4& writer, std::vector<FileMarker> const& markers)
{
    int fileNumber = 0;
    std::string const* previous = nullptr;
    for (FileMarker const& marker : markers) {
        if (!previous || *previous != *marker.description)
            ++fileNumber;
        previous = marker.description.get();
        const std::string name = FormatC("Subset File %d (%g - %g)", fileNumber, marker.hitStart, marker.hitEnd);
        writer.AddMarker(MdfMarker(name.c_str(), marker.description->c_str(), marker.outputTime));
    }
}

void DeclareChannels(MDFFile_V4& writer, TablePart const& part)
{
    MdfChannelInfo time;
    time.dataType = 4;
    time.bitCount = 64;
    time.SetTimeField(1);
    time.byteOffset = 0;
    writer.AddChannelToPreparedGroup(time);
    for (size_t j = 0; j < part.count; ++j) {
        AggregateChannelData const& channel = *part.message->channels[part.first + j];
        MdfChannelInfo data = time;
        data.isTime = false;
        data.byteOffset = static_cast<uint16_t>(8 * (j + 1));
        data.name = channel.name;
        data.description = channel.description;
        data.unit = channel.unit;
        writer.AddChannelToPreparedGroup(data);
    }
}

}  // namespace

bool AggregateHits::WriteToMdf(std::wstring const& path)
{
    PendingFile pending(path);
    std::unique_ptr<FILE, CloseFile> file(OpenRegularFile(PathBytes(pending.path()).value_or(std::string()), "wbe"));
    if (!file)
        return false;
    const std::vector<TablePart> parts = TableParts(m_messages);
    MDFFile_V4 writer;
    AddMarkers(writer, m_markers);
    MdfHeaderInfo info("", "", "");
    writer.WriteHeader(info, static_cast<unsigned short>(std::min<size_t>(parts.size(), USHRT_MAX)), nullptr);
    writer.WriteHeaderToFile(file.get());

    // Records go out in chunks of whole rows, not row by row.
    constexpr size_t kChunkBytes = size_t(1) << 20;
    std::vector<uint8_t> chunk;
    chunk.reserve(kChunkBytes + 8 * (MeasurementDb::kSignalsPerPart + 1));
    for (size_t g = 0; g < parts.size() && !writer.HasFailed(); ++g) {
        TablePart const& part = parts[g];
        const std::string table = MeasurementDb::RecordTableName(part.message->tableNumber, part.part);
        const uint64_t rows = CountRows(table);
        if (rows > UINT_MAX) {
            DebugOutput1("Table %s has more records than an MDF data group of this writer declares", table.c_str());
            return false;
        }
        const unsigned recordSize = static_cast<unsigned>(8 * (part.count + 1));
        writer.PrepareDataGroup(static_cast<unsigned short>(recordSize), static_cast<unsigned>(rows),
                                static_cast<unsigned short>(part.count + 1), nullptr);
        DeclareChannels(writer, part);
        writer.FlushPreparedGroup(file.get(), g + 1 == parts.size());

        std::string sql = "SELECT TIME_VAL ";
        for (size_t j = 0; j < part.count; ++j)
            sql += ", " + MeasurementDb::SignalColumnName(static_cast<int>(part.first + j) + 1);
        const int columns = static_cast<int>(part.count) + 1;
        uint64_t read = 0;
        for (CppSQLite3Query row = m_db->execQuery(widestring(sql + " FROM " + table).c_str()); !row.eof();
             row.nextRow(), ++read) {
            if (read == rows)
                return false;  // rows appeared after they were counted
            for (int c = 0; c < columns; ++c)
                AppendDouble(chunk, CellValue(row, c));
            if (chunk.size() >= kChunkBytes) {
                writer.WriteRecord(chunk.data(), static_cast<int>(chunk.size()), file.get());
                chunk.clear();
            }
        }
        writer.WriteRecord(chunk.data(), static_cast<int>(chunk.size()), file.get());
        chunk.clear();
        if (read != rows)
            return false;
        writer.FinishWritingData(file.get());
    }
    const bool complete = !writer.HasFailed();
    return std::fclose(file.release()) == 0 && complete && pending.Commit();
}
