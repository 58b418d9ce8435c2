#include "mdfwrite/MDFFile_V4.h"

#include "support/CFormat.h"
#include "support/LibUtils.h"

#include <cmath>
#include <limits>

namespace {

char const kHistoryComment[] =
    "<FHcomment>\n<TX>created</TX>\n<tool_id>Orbisk Lens</tool_id>\n"
    "<tool_vendor>Norvane Instrument Works</tool_vendor>\n<tool_version>3.6</tool_version>\n</FHcomment>";

uint64_t RoundUpTo8(uint64_t value) { return (value + 7) / 8 * 8; }

void AppendElement(std::string& xml, char const* name, std::string const& text)
{
    if (TextBeforeZero(text).empty())
        return;
    xml += "\n<e name=\"";
    xml += name;
    xml += "\">";
    xml += XmlCharacterData(text);
    xml += "</e>\n";
}

}  // namespace

std::string BuildHeaderComment(MdfHeaderInfo const& info)
{
    std::string xml = "<HDcomment>\n<TX /><common_properties>";
    AppendElement(xml, "PROJECT", info.project);
    AppendElement(xml, "VEHICLE", info.vehicle);
    AppendElement(xml, "AUTHOR", info.author);
    xml += "</common_properties>\n</HDcomment>";
    return xml;
}

int64_t EventSyncValue(double seconds)
{
    if (!std::isfinite(seconds))
        return 0;
    double micro = std::trunc(seconds * 1e6);
    // 2^63 is the first double beyond the int64 range.
    if (micro >= 9223372036854775808.0)
        return std::numeric_limits<int64_t>::max();
    if (micro < -9223372036854775808.0)
        return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(micro);
}

void MDFDataGroup_V4::Serialize(MdfByteBuffer& out) const
{
    dg.Serialize(out);
    if (name)
        name->Serialize(out);
    cg.Serialize(out);
    for (auto const& channel : channels)
        channel->Serialize(out);
    SerializeDataBlockHeader(out, DataSize());
}

MDFFile_V4::MDFFile_V4()
{
    m_fh.timeNs = NanosecondsFromSeconds(static_cast<long long>(time(nullptr)));
    m_position = 0;
}

MDFFile_V4::~MDFFile_V4() = default;

int MDFFile_V4::GetMdfVersion() { return 4; }

void MDFFile_V4::AddMarker(MdfMarker const& marker)
{
    if (m_headerBuilt) {
        Fail("An MDF marker was added after the header was built: " + TextBeforeZero(marker.name));
        return;
    }
    m_markers.push_back(marker);
}

int MDFFile_V4::WriteHeader(MdfHeaderInfo& info, unsigned short groupCount, tm* startTime)
{
    if (!ReadyForHeader())
        return -1;
    m_position = 0;
    Advance(IDBLOCK_V4::kSize + HDBLOCK_V4::kSize);

    m_hd.comment = m_position;
    m_headerComment = MDBLOCK_V4(BuildHeaderComment(info));
    Advance(m_headerComment.GetLength());

    m_hd.fileHistory = m_position;
    Advance(FHBLOCK_V4::kSize);
    m_fh.comment = m_position;
    m_historyComment = MDBLOCK_V4(kHistoryComment);
    Advance(m_historyComment.GetLength());

    tm broken;
    m_hd.startTimeNs = NanosecondsFromSeconds(StartTime(startTime, broken));

    m_events.clear();
    m_hd.firstEvent = m_markers.empty() ? 0 : m_position;
    for (MdfMarker const& marker : m_markers) {
        if (!m_events.empty())
            m_events.back().nextEvent = m_position;
        m_events.emplace_back(marker.name, marker.comment);
        EVBLOCK_V4& event = m_events.back();
        event.syncBaseValue = EventSyncValue(marker.time);
        Advance(EVBLOCK_V4::kSize);
        event.name = m_position;
        Advance(event.nameText.GetLength());
        event.comment = m_position;
        Advance(event.commentText.GetLength());
    }

    m_hd.firstDataGroup = groupCount ? m_position : 0;
    m_declaredGroups = groupCount;
    m_headerBuilt = true;
    return 0;
}

void MDFFile_V4::WriteHeaderToFile(FILE* fp)
{
    if (!ReadyToWriteHeader(fp))
        return;
    // A file without groups must not link to a group that never comes.
    m_hd.firstDataGroup = m_declaredGroups ? m_position : 0;
    MdfByteBuffer buffer;
    m_id.Serialize(buffer);
    m_hd.Serialize(buffer);
    m_headerComment.Serialize(buffer);
    m_fh.Serialize(buffer);
    m_historyComment.Serialize(buffer);
    for (EVBLOCK_V4 const& event : m_events)
        event.Serialize(buffer);
    if (buffer.Size() != m_position) {
        Fail("The MDF header's blocks differ from the positions they were given");
        return;
    }
    if (WriteBuffer(fp, buffer))
        m_headerWritten = true;
}

void MDFFile_V4::FinishGroupData(FILE* fp)
{
    std::unique_ptr<MDFDataGroup_V4> group = std::move(m_preparedGroup);
    m_dataPending = false;
    if (HasFailed() || !UsableStream(fp) || !StreamAt(fp, m_dataEnd, "the end of the declared records"))
        return;
    uint64_t remainder = group->DataSize() % 8;
    if (remainder != 0) {
        static uint8_t const zeros[8] = {};
        if (!WriteBytes(fp, zeros, 8 - remainder))
            return;
    }
    PushToStream(fp);
}

void MDFFile_V4::DiscardPreparedGroup()
{
    if (!m_preparedGroup)
        return;
    if (m_preparedGroup->flushed) {
        // The records are in the stream: the next group's position counted
        // their padding.
        FinishGroupData(m_preparedGroup->stream);
        return;
    }
    m_position = m_preparedGroup->position;
    m_preparedGroup.reset();
}

void MDFFile_V4::PrepareDataGroup(unsigned short recordSize, unsigned int recordCount, unsigned short,
                                  char const* name)
{
    DiscardPreparedGroup();
    if (!ReadyForNewGroup())
        return;
    auto group = std::make_unique<MDFDataGroup_V4>();
    group->position = m_position;
    group->recordSize = recordSize;
    group->recordCount = recordCount;
    Advance(DGBLOCK_V4::kSize);
    if (name && *name) {
        group->name = std::make_unique<TXBLOCK_V4>(name);
        group->cg.acquisitionName = m_position;
        Advance(group->name->GetLength());
    }
    group->dg.firstChannelGroup = m_position;
    Advance(CGBLOCK_V4::kSize);
    group->cg.dataBytes = recordSize;
    m_preparedGroup = std::move(group);
}

void MDFFile_V4::AddConversion(CNBLOCK_V4& cn, MdfChannelInfo const& ci)
{
    // A NaN differs from the identity, so it gets a linear conversion too.
    bool linear = !(ci.factor == 1.0) || !(ci.offset == 0.0);
    if (!linear && ci.states.empty())
        return;
    auto cc = std::make_unique<CCBLOCK_V4>();
    cc->unit = cn.unit;
    if (linear) {
        cc->conversionType = CCBLOCK_V4::kLinear;
        cc->values = {ci.offset, ci.factor};
    } else {
        cc->conversionType = CCBLOCK_V4::kValueToText;
        for (auto const& state : ci.states) {
            if (cc->values.size() == CCBLOCK_V4::kMaxStates)
                break;
            cc->values.push_back(state.first);
            cc->stateTexts.emplace_back(state.second);
        }
    }
    cn.conversion = m_position;
    Advance(cc->GetLength());
    for (TXBLOCK_V4 const& text : cc->stateTexts) {
        cc->stateTextLinks.push_back(m_position);
        Advance(text.GetLength());
    }
    cn.conversionBlock = std::move(cc);
}

void MDFFile_V4::AddChannelToPreparedGroup(MdfChannelInfo& ci)
{
    if (HasFailed())
        return;
    MDFDataGroup_V4* group = m_preparedGroup.get();
    if (!group || group->flushed) {
        Fail("An MDF channel was added without a prepared data group");
        return;
    }

    // Fit into the record by moving the channel down, never below byte 0.
    int64_t excess = static_cast<int64_t>(ci.byteOffset) * 8 + ci.bitOffset % 8 + ci.bitCount -
                     static_cast<int64_t>(group->cg.dataBytes) * 8;
    if (excess > 0) {
        int64_t lower = (excess + 7) / 8;
        if (lower > ci.byteOffset) {
            Fail("MDF channel " + TextBeforeZero(ci.name) + " is wider than its record");
            return;
        }
        ci.byteOffset = static_cast<uint16_t>(ci.byteOffset - lower);
    }

    if (group->channels.empty())
        group->cg.firstChannel = m_position;
    else
        group->channels.back()->nextChannel = m_position;

    auto cn = std::make_unique<CNBLOCK_V4>(ci.name);
    Advance(CNBLOCK_V4::kSize);
    cn->name = m_position;
    Advance(cn->nameText.GetLength());
    if (!TextBeforeZero(ci.description).empty()) {
        cn->descriptionText = std::make_unique<TXBLOCK_V4>(ci.description);
        cn->comment = m_position;
        Advance(cn->descriptionText->GetLength());
    }
    if (!TextBeforeZero(ci.unit).empty()) {
        cn->unitText = std::make_unique<TXBLOCK_V4>(ci.unit);
        cn->unit = m_position;
        Advance(cn->unitText->GetLength());
    }

    cn->channelType = ci.isTime ? 2 : 0;
    cn->syncType = ci.isTime ? 1 : 0;
    cn->dataType = ci.GetV4Type();
    cn->bitOffset = ci.bitOffset % 8;
    cn->byteOffset = ci.byteOffset;
    cn->bitCount = ci.bitCount;
    if (ci.precision >= 0) {
        cn->flags |= CNBLOCK_V4::kPrecisionValid;
        cn->precision = static_cast<uint8_t>(ci.precision);
    }
    if (ci.minValue < ci.maxValue) {
        cn->flags |= CNBLOCK_V4::kRangeValid;
        cn->minimum = ci.minValue;
        cn->maximum = ci.maxValue;
    }
    AddConversion(*cn, ci);
    group->channels.push_back(std::move(cn));
}

void MDFFile_V4::FlushPreparedGroup(FILE* fp, bool isLast)
{
    if (HasFailed())
        return;
    MDFDataGroup_V4* group = m_preparedGroup.get();
    if (!group || group->flushed) {
        Fail("An MDF data group was flushed without being prepared");
        return;
    }
    if (!UsableStream(fp) || !StreamAt(fp, group->position, "the next data group") ||
        !LinkFirstGroup(fp, group->position))
        return;

    if (!PlaceGroupData(RoundUpTo8(group->DataSize() + kDataBlockHeaderSize), isLast, group->dg.data,
                        group->dg.nextDataGroup))
        return;
    group->cg.cycleCount = group->recordCount;

    MdfByteBuffer buffer;
    group->Serialize(buffer);
    uint64_t const dataStart = group->dg.data + kDataBlockHeaderSize;
    if (!WriteGroupBlocks(fp, buffer, dataStart - group->position, dataStart + group->DataSize(), isLast))
        return;
    group->flushed = true;
    group->stream = fp;
}

// A header written for no group links none, so that a file without groups
// links nothing that never comes; a group that comes all the same is linked
// into the header written before it.
bool MDFFile_V4::LinkFirstGroup(FILE* fp, uint64_t position)
{
    if (m_hd.firstDataGroup != 0)
        return true;
    MdfByteBuffer link;
    link.Link64(position);
    off_t const end = ftello(fp);
    if (end < 0 || std::fflush(fp) != 0 || fseeko(fp, IDBLOCK_V4::kSize + 24, SEEK_SET) != 0 ||
        std::fwrite(link.Data(), 1, link.Size(), fp) != link.Size() || fseeko(fp, end, SEEK_SET) != 0)
        return Fail("The MDF header links no data group, and the stream cannot go back to link the first one");
    m_hd.firstDataGroup = position;
    return true;
}

void MDFFile_V4::FinishWritingData(FILE* fp)
{
    if (!m_preparedGroup)
        return;
    if (!m_preparedGroup->flushed) {
        DiscardPreparedGroup();
        Fail("MDF data were finished for a data group that was never flushed");
        return;
    }
    FinishGroupData(fp);
}
