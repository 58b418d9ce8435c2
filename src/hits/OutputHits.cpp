// The extraction driver behind OutputHitsToFile(W): every listed database is
// resolved for the hit list's alias list first, so that an existing subset
// can be judged against all hits; then, unless it is reused, each hit's
// records are cut out through the record access interface and written on the
// output time axis.
#include <cmath>
#include <functional>
#include <istream>
#include <map>
#include <new>
#include <optional>
#include <streambuf>

#include "access/FileInfo.h"
#include "hits/AggregateHits.h"
#include "hits/HitList.h"
#include "support/LibUtils.h"
#include "support/Paths.h"
#include "vantrel.h"

namespace {

// One listed database that takes part: its hits and measurement start.
struct Source {
    FileHitInfo const* entry;
    double fileStart;
};

// A listed name's bytes: a lone surrogate U+DC80..U+DCFF (as the JSON escape
// "\udcff" gives it, in its three-byte form) stands for the byte of its
// value, as in a wide path.
std::string BytesOfEscapes(std::string const& name)
{
    std::string bytes;
    bytes.reserve(name.size());
    for (size_t i = 0; i < name.size(); ++i) {
        const auto lead = static_cast<unsigned char>(name[i]);
        if (lead == 0xED && i + 2 < name.size()) {
            const auto second = static_cast<unsigned char>(name[i + 1]), third = static_cast<unsigned char>(name[i + 2]);
            if ((second == 0xB2 || second == 0xB3) && (third & 0xC0) == 0x80) {
                bytes.push_back(static_cast<char>(((second & 0x01) << 6 | (third & 0x3F)) + 0x80));
                i += 2;
                continue;
            }
        }
        bytes.push_back(name[i]);
    }
    return bytes;
}

// The bytes of the file a "FilenameAndPath" names: the one form in which a
// listed database is opened, compared, counted in the digest and described,
// whatever form the hit list gave it in. Bytes that name no file and hold
// bytes no character of the locale takes are tried once more read as Latin-1
// characters, as names are (NameKey): standard JSON writers escape "é" as
// "\u00e9", which the parser keeps as the one byte 0xE9. The exact bytes
// come first, so a raw byte or a "\udce9" still names a file that has it;
// a locale that cannot write those characters gets no second try.
std::string NamedFile(std::string const& listed)
{
    std::string bytes = BytesOfEscapes(listed);
    if (bytes.find('\0') != std::string::npos || FileExists(WidePath(bytes).c_str()))
        return bytes;
    const std::optional<std::string> read = PathBytes(widestring(bytes));
    if (read && *read != bytes && FileExists(WidePath(*read).c_str()))
        return *read;
    return bytes;
}

// Resolves the alias list in the database; false, with the diagnostic line,
// when it cannot be opened or lacks a required channel. A name with a NUL
// among its bytes names no database.
bool Resolve(FileInfo& file, std::vector<CChannelInfo> const& channels, std::string const& path)
{
    file.channels = channels;
    const std::wstring wide = WidePath(path);
    const bool usable = path.find('\0') == std::string::npos && file.LoadChannelsFromAliases(wide.c_str()) != -2 && file.HasAllRequiredChannels() &&
                        file.LoadDbChannels(wide.c_str()) != -2 && file.HasAllRequiredChannels();
    if (!usable)
        DebugOutput1("File does not have enough signals for script %s", path.c_str());
    return usable;
}

// Cuts the hits of one resolved database. The FileInfo stays in absolute
// time, so a hit's bounds and the records' times are compared as the same
// sums (start + offset) the database was built from: a record at exactly a
// bound belongs to the hit.
class HitExtractor {
public:
    HitExtractor(FileInfo& file, AggregateHits& aggregate)
        : m_file(file), m_aggregate(aggregate), m_count(file.channels.size()), m_lastRow(m_count, std::nan("")),
          m_lastWritten(m_count), m_points(m_count)
    {
        FindLastRows();
    }

    void Extract(HitInfo const& hit, double spacing);

private:
    void FindLastRows();
    void Write(double t);

    FileInfo& m_file;
    AggregateHits& m_aggregate;
    size_t m_count;
    // Time of the row each channel's table ends on (NaN: none). Record
    // access shows that row with the time DBL_MAX at the step that reaches
    // it; it is still a point at that step.
    std::vector<double> m_lastRow;
    // Source time of each channel's last point in the current hit, so no
    // record is written twice.
    std::vector<double> m_lastWritten;
    std::vector<char> m_points;
};

void HitExtractor::FindLastRows()
{
    std::map<std::string, double> tables;
    for (size_t i = 0; i < m_count; ++i) {
        CChannelInfo const& channel = m_file.channels[i];
        if (!channel.IsResolved())
            continue;
        auto found = tables.find(channel.tableName);
        if (found == tables.end()) {
            CDbStmt query;
            const std::string sql = "SELECT TIME_VAL FROM " + channel.tableName + " ORDER BY rowid DESC LIMIT 1";
            const bool row = query.Prepare(m_file.db, sql.c_str()) && query.Step() && !query.IsNull(0);
            found = tables.emplace(channel.tableName, row ? query.GetDouble(0) : std::nan("")).first;
        }
        m_lastRow[i] = found->second;
    }
}

void HitExtractor::Write(double t)
{
    double const* times = m_file.GetTsPtr();
    for (size_t i = 0; i < m_count; ++i)
        if (m_points[i])
            m_lastWritten[i] = times[i] == DBL_MAX ? t : times[i];
    m_aggregate.WriteData(t, m_points.data(), m_file.GetDataPtr());
}

void HitExtractor::Extract(HitInfo const& hit, double spacing)
{
    m_aggregate.BeginHit();
    const double start = m_file.startTime + hit.GetStart();
    const double end = m_file.startTime + hit.GetEnd();
    const double first = m_file.JumpToTimeStamp(start);
    if (first != DBL_MAX && first <= end) {
        m_aggregate.StartOfHit(first);
        double const* values = m_file.GetDataPtr();
        double const* times = m_file.GetTsPtr();
        // The first row carries each table's first record at or after the
        // start, when that record lies inside the hit.
        for (size_t i = 0; i < m_count; ++i) {
            m_lastWritten[i] = std::nan("");
            m_points[i] = times[i] != DBL_MAX && times[i] >= first && times[i] <= end && values[i] != DBL_MAX;
        }
        Write(first);
        for (double t = m_file.GetNextRecord(); t != DBL_MAX && t <= end; t = m_file.GetNextRecord()) {
            for (size_t i = 0; i < m_count; ++i) {
                const bool stamped = times[i] == t || (times[i] == DBL_MAX && m_lastRow[i] == t);
                m_points[i] = stamped && m_lastWritten[i] != t && values[i] != DBL_MAX;
            }
            Write(t);
        }
    }
    m_aggregate.EndOfHit(spacing);
}

enum class Extraction { Written, Failed, AxisBroken };

// The records of every source's hits into a new subset database.
Extraction Extract(AggregateHits& aggregate, std::vector<Source> const& sources,
                   std::vector<CChannelInfo> const& channels, double defaultSpacing)
{
    aggregate.CreateDatabase();
    for (Source const& source : sources) {
        const std::string path = source.entry->GetPath();
        FileInfo file;
        if (!Resolve(file, channels, path) || file.numFound == 0 || file.startTime != source.fileStart) {
            DebugOutput1("The database %s changed while its hits were extracted", path.c_str());
            return Extraction::Failed;
        }
        file.AllocPointers(static_cast<unsigned long>(channels.size()));
        HitExtractor extractor(file, aggregate);
        for (size_t h = 0; h < source.entry->GetNumHits(); ++h) {
            HitInfo const& hit = *source.entry->GetHit(h);
            extractor.Extract(hit, hit.GetSpacing() != DBL_MAX ? hit.GetSpacing() : defaultSpacing);
            if (!aggregate.AxisHoldsSoFar())
                return Extraction::AxisBroken;
        }
    }
    if (!aggregate.AxisHolds())
        return Extraction::AxisBroken;
    return aggregate.FinishWritingDb() ? Extraction::Written : Extraction::Failed;
}

// What the hit list asks for.
struct HitRequest {
    double defaultSpacing = 1.0;
    std::vector<CChannelInfo> channels;
    std::vector<FileHitInfo> files;
};

int InvalidHitList(char const* hitList)
{
    DebugOutput1("Invalid HRQ file %s", hitList);
    return -3;
}

// The hit list argument as diagnostic lines name it, made only when needed:
// it may be a long JSON text.
using HitListName = std::function<std::string()>;

int InvalidAxis(HitListName const& hitList)
{
    DebugOutput("The hits cannot be laid end to end: their output times would leave the range of finite times or "
                "no longer follow each other");
    return InvalidHitList(hitList().c_str());
}

int NoHit()
{
    DebugOutput("No hit of the hit list could be extracted: no output was written");
    return -2;
}

// The parser reads the text where it lies, not a copy of it: a hit list of
// many hits is long.
class TextInPlace : public std::streambuf {
public:
    explicit TextInPlace(std::string& text) { setg(text.data(), text.data(), text.data() + text.size()); }

protected:
    pos_type seekoff(off_type offset, std::ios_base::seekdir from, std::ios_base::openmode which) override
    {
        char* base = from == std::ios_base::beg ? eback() : from == std::ios_base::cur ? gptr() : egptr();
        const off_type position = (base - eback()) + offset;
        if (!(which & std::ios_base::in) || position < 0 || position > egptr() - eback())
            return pos_type(off_type(-1));
        setg(eback(), eback() + position, egptr());
        return pos_type(position);
    }
    pos_type seekpos(pos_type position, std::ios_base::openmode which) override
    {
        return seekoff(off_type(position), std::ios_base::beg, which);
    }
};

// False for a hit list that lacks what it must hold. The parsed document
// goes before extraction: a long hit list is then held once, as its hits.
bool ReadHitRequest(std::string text, HitRequest& request)
{
    jsonxx::Object document;
    {
        TextInPlace buffer(text);
        std::istream input(&buffer);
        document.parse(input);  // what follows looks only at what the document holds
    }
    std::string().swap(text);
    if (!ReadDefaultSpacing(document, request.defaultSpacing) || !ReadAliasesFromObject(document, request.channels) ||
        !ReadFileHitsFromObject(document, request.files))
        return false;
    for (FileHitInfo& file : request.files)
        file.SetPath(NamedFile(file.GetPath()));
    return true;
}

int OutputHits(HitRequest const& request, std::wstring const& outputPath, HitListName const& hitListName)
{
    std::vector<CChannelInfo> const& channels = request.channels;
    size_t hitCount = 0;
    for (FileHitInfo const& entry : request.files)
        hitCount += entry.GetNumHits();
    AggregateHits aggregate(static_cast<unsigned>(channels.size()), outputPath);
    aggregate.ReserveMarkers(hitCount);
    aggregate.SetListDigest(HitListDigest(request.defaultSpacing, channels, request.files));
    std::vector<Source> sources;
    std::vector<std::wstring> listed;
    bool channelsSet = false;
    for (FileHitInfo const& entry : request.files) {
        const std::string path = entry.GetPath();
        listed.push_back(WidePath(path));
        FileInfo file;
        if (!Resolve(file, channels, path))
            continue;
        // The first usable database's channels name the output channels.
        if (!channelsSet) {
            for (size_t i = 0; i < channels.size(); ++i)
                aggregate.SetChannel(&file.channels[i], static_cast<int>(i));
            channelsSet = true;
        }
        if (file.numFound == 0 || entry.GetNumHits() == 0)
            continue;
        sources.push_back({&entry, file.startTime});
        for (size_t h = 0; h < entry.GetNumHits(); ++h)
            aggregate.AddFileMarker(path.c_str(), file.startTime, entry.GetHit(h)->GetStart(), entry.GetHit(h)->GetEnd());
    }
    // With some database usable, the subset is made even when no hit was
    // recorded; only the output needs a hit.
    const bool anyHit = !aggregate.Markers().empty();
    if (!channelsSet || (anyHit && !aggregate.MayWriteOutput(listed)))
        return channelsSet ? -2 : NoHit();
    switch (aggregate.ExamineDatabase(listed)) {
    case AggregateHits::Subset::Refuse:
        return -2;
    case AggregateHits::Subset::Create:
        switch (Extract(aggregate, sources, channels, request.defaultSpacing)) {
        case Extraction::Written:
            break;
        case Extraction::Failed:
            return -2;
        case Extraction::AxisBroken:
            return InvalidAxis(hitListName);
        }
        break;
    case AggregateHits::Subset::Reuse:
        if (!aggregate.AxisHolds())
            return InvalidAxis(hitListName);
        break;
    }
    if (!anyHit)
        return NoHit();
    return aggregate.WriteToOutput() ? 0 : -2;
}

int OutputHitsOfText(bool read, std::string text, std::wstring const& outputPath, HitListName const& hitListName)
{
    HitRequest request;
    if (!read || !ReadHitRequest(std::move(text), request))
        return InvalidHitList(hitListName().c_str());
    return OutputHits(request, outputPath, hitListName);
}

template <typename Call>
int Guarded(Call const& call)
{
    try {
        return call();
    } catch (CppSQLite3Exception const& e) {
        DebugOutput(mbstring(e.errorMessage()).c_str());
    } catch (std::bad_alloc const&) {
        DebugOutput("Out of memory while extracting hits");
    } catch (std::exception const& e) {
        DebugOutput(e.what());
    } catch (...) {
        DebugOutput("Unexpected failure while extracting hits");
    }
    return -2;
}

int NoOutput()
{
    DebugOutput("No output file was given for the hits");
    return -2;
}

}  // namespace

extern "C" {

VANTREL_API int OutputHitsToFileW(wchar_t const* hitList, wchar_t const* outputPath)
{
    return Guarded([&] {
        if (!hitList)
            return InvalidHitList("");
        if (!outputPath || !*outputPath)
            return NoOutput();
        // The hit list is a JSON argument, which may be JSON text.
        if (!CheckPaths({outputPath}))
            return -2;
        std::string text;
        const bool read = ReadFileToString(hitList, text);
        return OutputHitsOfText(read, std::move(text), outputPath, [&] { return PathForMessage(hitList); });
    });
}

// Not through the wide form: a hit list given as JSON text is read as its
// bytes, with no wide copy of it.
VANTREL_API int OutputHitsToFile(char const* hitList, char const* outputPath)
{
    return Guarded([&] {
        if (!hitList)
            return InvalidHitList("");
        if (!outputPath || !*outputPath)
            return NoOutput();
        std::string text;
        const bool read = ReadFileToString(hitList, text);
        return OutputHitsOfText(read, std::move(text), WidePath(outputPath), [&] { return std::string(hitList); });
    });
}

}  // extern "C"
