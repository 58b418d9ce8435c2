// The MDF 4.00 streaming writer: a header (identification, header block with
// an XML comment, one file-history entry, the markers as events), then data
// groups of one channel group each, whose records follow in one DT block.
// Every block starts at a multiple of 8. The protocol and the failure flag
// are those of MDFFile.
#pragma once

#include "mdfwrite/MDFFile.h"
#include "mdfwrite/Mdf4Blocks.h"

#include <memory>
#include <vector>

// One MDF 4.00 data group in memory, from PrepareDataGroup until
// FinishWritingData (its padding depends on its data size).
struct MDFDataGroup_V4 {
    std::vector<std::unique_ptr<CNBLOCK_V4>> channels;
    uint64_t position = 0;  // file position of the DG
    std::unique_ptr<TXBLOCK_V4> name;
    uint64_t recordSize = 0;
    uint64_t recordCount = 0;
    DGBLOCK_V4 dg;
    CGBLOCK_V4 cg;
    // Set by FlushPreparedGroup: the stream the records go to.
    bool flushed = false;
    FILE* stream = nullptr;

    uint64_t DataSize() const { return recordSize * recordCount; }
    // The group's blocks and the header of its data block.
    void Serialize(MdfByteBuffer& out) const;
};

class MDFFile_V4 : public MDFFile {
public:
    MDFFile_V4();
    ~MDFFile_V4() override;

    int GetMdfVersion() override;
    // The channel count is not used: the channels added are counted.
    void PrepareDataGroup(unsigned short recordSize, unsigned int recordCount, unsigned short channelCount,
                          char const* name) override;
    // A channel that reaches past the record is moved down (its byteOffset
    // lowered, in the caller's description too) until it fits.
    void AddChannelToPreparedGroup(MdfChannelInfo& channel) override;
    void FlushPreparedGroup(FILE* fp, bool isLast) override;
    // groupCount is not a limit: 0 only leaves the header without a link
    // until a first group comes (which needs a stream that can seek back).
    int WriteHeader(MdfHeaderInfo& info, unsigned short groupCount, tm* startTime) override;
    void WriteHeaderToFile(FILE* fp) override;
    void FinishWritingData(FILE* fp) override;

    // Every marker is added before WriteHeader, which reserves its space.
    void AddMarker(MdfMarker const& marker);

private:
    // Pads a flushed group's records and releases the group; a group never
    // flushed is dropped and its place reused.
    void DiscardPreparedGroup();
    void FinishGroupData(FILE* fp);
    void AddConversion(CNBLOCK_V4& cn, MdfChannelInfo const& ci);
    bool LinkFirstGroup(FILE* fp, uint64_t position);

    IDBLOCK_V4 m_id;
    HDBLOCK_V4 m_hd;
    FHBLOCK_V4 m_fh;
    MDBLOCK_V4 m_headerComment;
    MDBLOCK_V4 m_historyComment;
    std::unique_ptr<MDFDataGroup_V4> m_preparedGroup;
    std::vector<MdfMarker> m_markers;
    std::vector<EVBLOCK_V4> m_events;
};

// The XML comment of the header block for the given header texts.
std::string BuildHeaderComment(MdfHeaderInfo const& info);
// Sync base value of a marker time in microseconds, truncated toward zero; 0
// for a NaN or infinite time, saturated beyond the 64-bit range.
int64_t EventSyncValue(double seconds);
