#include "mdfwrite/MDFFile.h"

#include "support/CFormat.h"
#include "support/LibUtils.h"

#include <cstring>
#include <limits>
#include <sys/stat.h>

namespace {

// A 3.30 group holds its channel count in 16 bits.
constexpr size_t kMaxChannels3 = 65535;
// Byte offsets from here on do not fit the 16-bit start offset in bits.
constexpr uint16_t kFirstAdditionalByteOffset = 8192;

void FillChannel(CNBLOCK_WRITE& cn, MdfChannelInfo const& ci)
{
    cn.channelType = ci.isTime ? 1 : 0;
    cn.shortName = ci.name;
    cn.description = ci.description;
    unsigned bit = ci.bitOffset % 8;
    if (ci.byteOffset < kFirstAdditionalByteOffset) {
        cn.startOffsetBits = static_cast<uint16_t>(ci.byteOffset * 8 + bit);
    } else {
        cn.startOffsetBits = static_cast<uint16_t>(bit);
        cn.additionalByteOffset = ci.byteOffset;
    }
    cn.bitCount = ci.bitCount;
    cn.signalType = ci.GetV3Type();
    cn.rangeValid = ci.minValue < ci.maxValue;
    cn.minimum = ci.minValue;
    cn.maximum = ci.maxValue;
}

// A conversion is written unless the channel has nothing to convert or name;
// text states win over a linear formula.
std::unique_ptr<CCBLOCK_WRITE> MakeConversion(MdfChannelInfo const& ci)
{
    bool identity = ci.factor == 1.0 && ci.offset == 0.0;
    if (TextBeforeZero(ci.unit).empty() && ci.states.empty() && identity)
        return nullptr;
    auto cc = std::make_unique<CCBLOCK_WRITE>();
    cc->unit = ci.unit;
    if (!ci.states.empty()) {
        cc->conversionType = CCBLOCK_WRITE::kTextTable;
        for (auto const& state : ci.states) {
            if (cc->states.size() == CCBLOCK_WRITE::kMaxStates)
                break;
            cc->states.emplace_back(state.first, state.second);
        }
    } else {
        cc->conversionType = CCBLOCK_WRITE::kLinear;
        cc->p1 = ci.offset;
        cc->p2 = ci.factor;
    }
    return cc;
}

}  // namespace

void MDFDataGroup::Serialize(MdfByteBuffer& out) const
{
    dg.Serialize(out);
    if (name)
        name->Serialize(out);
    cg.Serialize(out);
    for (Channel const& channel : channels) {
        channel.cn.Serialize(out);
        if (channel.longName)
            channel.longName->Serialize(out);
        if (channel.conversion)
            channel.conversion->Serialize(out);
    }
}

MDFFile::MDFFile() = default;
MDFFile::~MDFFile() = default;

int MDFFile::GetMdfVersion() { return 3; }

MDFDataGroup* MDFFile::AddChannelGroup(unsigned short, char const*)
{
    Fail("The MDF writer only streams: AddChannelGroup is not provided");
    return nullptr;
}

bool MDFFile::FlushDataGroups(FILE*)
{
    return Fail("The MDF writer only streams: FlushDataGroups is not provided");
}

// ---- Shared protocol -------------------------------------------------------

bool MDFFile::Fail(std::string const& reason)
{
    if (!m_bFailed)
        DebugOutput(reason.c_str());
    m_bFailed = true;
    return false;
}

bool MDFFile::UsableStream(FILE* fp)
{
    if (m_bFailed)
        return false;
    return fp ? true : Fail("The MDF writer was given no output stream");
}

bool MDFFile::StreamAt(FILE* fp, uint64_t expected, char const* what)
{
    int fd = fileno(fp);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return true;
    off_t at = ftello(fp);
    if (at < 0 || static_cast<uint64_t>(at) == expected)
        return true;
    return Fail(FormatC("The MDF file is at byte %lld where %s belongs at byte %llu", static_cast<long long>(at),
                        what, static_cast<unsigned long long>(expected)));
}

bool MDFFile::WriteBytes(FILE* fp, void const* data, size_t size)
{
    if (!UsableStream(fp))
        return false;
    if (size == 0)
        return true;
    if (std::fwrite(data, 1, size, fp) != size || std::ferror(fp))
        return Fail("Writing the MDF file failed");
    return true;
}

bool MDFFile::PushToStream(FILE* fp)
{
    if (!UsableStream(fp))
        return false;
    if (std::fflush(fp) != 0 || std::ferror(fp))
        return Fail("Writing the MDF file failed");
    return true;
}

bool MDFFile::Advance(uint64_t bytes)
{
    if (bytes > std::numeric_limits<uint64_t>::max() - m_position)
        return Fail("The MDF file would pass the largest file position");
    m_position += bytes;
    return true;
}

bool MDFFile::ReadyForHeader()
{
    if (m_bFailed)
        return false;
    if (m_headerBuilt)
        return Fail("The MDF header was built twice");
    return true;
}

bool MDFFile::ReadyToWriteHeader(FILE* fp)
{
    if (m_bFailed)
        return false;
    if (!m_headerBuilt || m_headerWritten)
        return Fail("The MDF header was written out of order");
    return UsableStream(fp) && StreamAt(fp, 0, "the header");
}

bool MDFFile::PlaceGroupData(uint64_t span, bool isLast, uint64_t& data, uint64_t& nextGroup)
{
    data = m_position;
    if (isLast)
        return true;
    if (!Advance(span))
        return false;
    nextGroup = m_position;
    return true;
}

bool MDFFile::WriteGroupBlocks(FILE* fp, MdfByteBuffer const& buffer, uint64_t blocksSize, uint64_t dataEnd,
                               bool isLast)
{
    if (buffer.Size() != blocksSize)
        return Fail("The MDF data group's blocks differ from the positions they were given");
    if (!WriteBuffer(fp, buffer))
        return false;
    m_dataPending = true;
    m_dataEnd = dataEnd;
    ++m_flushedGroups;
    if (isLast)
        m_lastGroupFlushed = true;
    return true;
}

bool MDFFile::ReadyForNewGroup()
{
    if (m_bFailed)
        return false;
    if (!m_headerWritten)
        return Fail("An MDF data group was prepared before the header was written");
    if (m_lastGroupFlushed)
        return Fail("An MDF data group was prepared after the last group of the file");
    return true;
}

long long MDFFile::StartTime(tm const* given, tm& broken)
{
    if (!given) {
        time_t now = time(nullptr);
        if (!gmtime_r(&now, &broken))
            std::memset(&broken, 0, sizeof broken);
        return static_cast<long long>(now);
    }
    // timegm normalises its argument; the caller's time stays untouched.
    broken = *given;
    broken.tm_isdst = 0;
    return static_cast<long long>(timegm(&broken));
}

uint64_t MDFFile::NanosecondsFromSeconds(long long seconds)
{
    if (seconds <= 0)
        return 0;
    uint64_t const limit = std::numeric_limits<uint64_t>::max() / 1000000000ULL;
    if (static_cast<uint64_t>(seconds) > limit)
        return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(seconds) * 1000000000ULL;
}

size_t MDFFile::WriteValue(double* value, int bits, FILE* fp)
{
    if (m_bFailed)
        return 0;
    if (!value) {
        Fail("WriteValue was given no value");
        return 0;
    }
    // A small array, not a buffer: this runs once per value.
    uint8_t bytes[8];
    uint64_t image = 0;
    size_t size = 8;
    if (bits == 32) {
        float narrow = ToFloat32(*value);
        uint32_t single;
        std::memcpy(&single, &narrow, sizeof single);
        image = single;
        size = 4;
    } else {
        std::memcpy(&image, value, sizeof image);
    }
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(image >> (8 * i));
    return WriteBytes(fp, bytes, size) ? 1 : 0;
}

size_t MDFFile::WriteRecord(void* bytes, int size, FILE* fp)
{
    if (m_bFailed)
        return 0;
    if (size < 0 || (size > 0 && !bytes)) {
        Fail("WriteRecord was given no record");
        return 0;
    }
    return WriteBytes(fp, bytes, static_cast<size_t>(size)) ? 1 : 0;
}

// ---- MDF 3.30 --------------------------------------------------------------

int MDFFile::WriteHeader(MdfHeaderInfo& info, unsigned short groupCount, tm* startTime)
{
    if (!ReadyForHeader())
        return -1;
    m_position = 0;
    Advance(IDBLOCK_WRITE::kSize);

    tm broken;
    long long seconds = StartTime(startTime, broken);
    m_hd.dataGroupCount = groupCount;
    m_hd.date = FormatC("%02d:%02d:%04d", broken.tm_mday, broken.tm_mon + 1, broken.tm_year + 1900);
    m_hd.time = FormatC("%02d:%02d:%02d", broken.tm_hour, broken.tm_min, broken.tm_sec);
    m_hd.author = info.author;
    m_hd.project = info.project;
    m_hd.subject = info.vehicle;
    m_hd.startTimeNs = NanosecondsFromSeconds(seconds);
    Advance(HDBLOCK_WRITE::kSize);
    // A file without groups must not link to a group that never comes.
    m_hd.firstDataGroup = groupCount ? m_position : 0;

    m_declaredGroups = groupCount;
    m_headerBuilt = true;
    return 0;
}

void MDFFile::WriteHeaderToFile(FILE* fp)
{
    if (!ReadyToWriteHeader(fp))
        return;
    m_hd.firstDataGroup = m_declaredGroups ? m_position : 0;
    MdfByteBuffer buffer;
    m_id.Serialize(buffer);
    m_hd.Serialize(buffer);
    if (WriteBuffer(fp, buffer))
        m_headerWritten = true;
}

void MDFFile::DiscardPreparedGroup()
{
    // A group that was prepared and never flushed was never written: the
    // next group takes its place.
    if (m_preparedGroup) {
        m_position = m_preparedGroup->position;
        m_preparedGroup.reset();
    }
}

void MDFFile::PrepareDataGroup(unsigned short recordSize, unsigned int recordCount, unsigned short,
                               char const* name)
{
    DiscardPreparedGroup();
    if (!ReadyForNewGroup())
        return;
    // The 3.30 header holds the group count: it was written without a link.
    if (m_declaredGroups == 0) {
        Fail("An MDF data group was prepared for a header that declares none");
        return;
    }
    auto group = std::make_unique<MDFDataGroup>();
    group->position = m_position;
    Advance(DGBLOCK_WRITE::kSize);
    if (name && *name) {
        group->name = std::make_unique<TXBLOCK>(name);
        group->cg.comment = m_position;
        Advance(group->name->Size());
    }
    group->dg.firstChannelGroup = m_position;
    Advance(CGBLOCK_WRITE::kSize);
    group->cg.recordSize = recordSize;
    group->cg.recordCount = recordCount;
    m_preparedGroup = std::move(group);
}

void MDFFile::AddChannelToPreparedGroup(MdfChannelInfo& ci)
{
    if (m_bFailed)
        return;
    MDFDataGroup* group = m_preparedGroup.get();
    if (!group) {
        Fail("An MDF channel was added without a prepared data group");
        return;
    }
    if (group->channels.size() >= kMaxChannels3) {
        Fail("An MDF 3.30 data group holds at most 65535 channels");
        return;
    }
    uint64_t endBit = ci.byteOffset * 8ULL + ci.bitOffset % 8 + ci.bitCount;
    if (endBit > group->cg.recordSize * 8ULL) {
        Fail("MDF channel " + TextBeforeZero(ci.name) + " does not fit its record");
        return;
    }

    if (group->channels.empty())
        group->cg.firstChannel = m_position;
    else
        group->channels.back().cn.nextChannel = m_position;

    MDFDataGroup::Channel channel;
    FillChannel(channel.cn, ci);
    Advance(CNBLOCK_WRITE::kSize);
    if (TextBeforeZero(ci.name).size() > 31) {
        channel.longName = std::make_unique<TXBLOCK>(ci.name);
        channel.cn.longName = m_position;
        Advance(channel.longName->Size());
    }
    channel.conversion = MakeConversion(ci);
    if (channel.conversion) {
        channel.cn.conversion = m_position;
        Advance(channel.conversion->Size());
    }
    group->channels.push_back(std::move(channel));
}

void MDFFile::FlushPreparedGroup(FILE* fp, bool isLast)
{
    if (m_bFailed)
        return;
    std::unique_ptr<MDFDataGroup> group = std::move(m_preparedGroup);
    if (!group) {
        Fail("An MDF data group was flushed without being prepared");
        return;
    }
    if (!UsableStream(fp) || !StreamAt(fp, group->position, "the next data group"))
        return;

    if (!PlaceGroupData(group->DataSize(), isLast, group->dg.data, group->dg.nextDataGroup))
        return;
    group->cg.channelCount = static_cast<uint16_t>(group->channels.size());

    MdfByteBuffer buffer;
    group->Serialize(buffer);
    if (buffer.LinkOverflow()) {
        Fail("An MDF 3.30 file cannot reach past 4 GiB: a data group would lie beyond what its links can hold");
        return;
    }
    if (!WriteGroupBlocks(fp, buffer, group->dg.data - group->position, group->dg.data + group->DataSize(), isLast))
        return;
    if (m_flushedGroups > m_declaredGroups || (isLast && m_flushedGroups != m_declaredGroups))
        Fail(FormatC("The MDF header declares %u data groups; the file holds %llu", m_declaredGroups,
                     static_cast<unsigned long long>(m_flushedGroups)));
}

void MDFFile::FinishWritingData(FILE* fp)
{
    if (m_bFailed)
        return;
    if (m_preparedGroup) {
        DiscardPreparedGroup();
        Fail("MDF data were finished for a data group that was never flushed");
        return;
    }
    if (!m_dataPending)
        return;
    m_dataPending = false;
    if (UsableStream(fp) && StreamAt(fp, m_dataEnd, "the end of the declared records"))
        PushToStream(fp);
}
