// Streaming MDF writers. MDFFile writes MDF 3.30 and is the interface that
// MDFFile_V4 (MDF 4.00) shares. The writer keeps a running 64-bit file
// position; every block takes the current position as its own and advances
// it by its size, so all links are known before a block is written and the
// file is written front to back without seeking. The caller opens and
// closes the stream and writes each group's records between
// FlushPreparedGroup and FinishWritingData.
//
// Protocol: WriteHeader, WriteHeaderToFile, then per data group
// PrepareDataGroup, AddChannelToPreparedGroup (time channel first),
// FlushPreparedGroup, exactly recordCount records of recordSize bytes,
// FinishWritingData.
//
// Failures are sticky: a short write, a stream that is not where the blocks
// belong, a position a 3.30 link cannot hold, a call out of protocol order or
// a description the file could not hold truthfully sets the failure flag
// (HasFailed), prints one diagnostic line, and from then on the writer writes
// nothing more. A caller tests the flag after FinishWritingData of the last
// group and discards the file when it is set.
#pragma once

#include "mdfwrite/Mdf3Blocks.h"
#include "mdfwrite/MdfInfo.h"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

// One MDF 3.30 data group in memory, from PrepareDataGroup until its blocks
// are written by FlushPreparedGroup.
struct MDFDataGroup {
    struct Channel {
        CNBLOCK_WRITE cn;
        std::unique_ptr<TXBLOCK> longName;
        std::unique_ptr<CCBLOCK_WRITE> conversion;
    };

    uint64_t position = 0;  // file position of the DG
    DGBLOCK_WRITE dg;
    std::unique_ptr<TXBLOCK> name;
    CGBLOCK_WRITE cg;
    std::vector<Channel> channels;

    uint64_t DataSize() const { return static_cast<uint64_t>(cg.recordSize) * cg.recordCount; }
    void Serialize(MdfByteBuffer& out) const;
};

class MDFFile {
public:
    MDFFile();
    MDFFile(MDFFile const&) = delete;
    MDFFile& operator=(MDFFile const&) = delete;

    // The virtual operations keep this slot order.
    virtual int GetMdfVersion();
    // The whole-file road is not provided: no group is created (null).
    virtual MDFDataGroup* AddChannelGroup(unsigned short channelCount, char const* name);
    // recordSize and recordCount are final: they place the next group. The
    // channel count is taken from the channels actually added. A null or
    // empty name gives the group no name.
    virtual void PrepareDataGroup(unsigned short recordSize, unsigned int recordCount, unsigned short channelCount,
                                  char const* name);
    // Non-const: the 4.00 writer may lower byteOffset to fit the record.
    virtual void AddChannelToPreparedGroup(MdfChannelInfo& channel);
    virtual void FlushPreparedGroup(FILE* fp, bool isLast);
    // groupCount: the number of data groups that will follow (3.30 writes it
    // into the header; 0 means a file without groups). startTime: broken-down
    // UTC, null for now. Returns 0, or -1 when refused.
    virtual int WriteHeader(MdfHeaderInfo& info, unsigned short groupCount, tm* startTime);
    virtual void WriteHeaderToFile(FILE* fp);
    // The whole-file road is not provided: writes nothing, returns false.
    virtual bool FlushDataGroups(FILE* fp);
    // 32 bits: the value as a 4-byte IEEE float; any other width: 8-byte
    // double; little-endian. Returns the number of items written (0 or 1).
    virtual size_t WriteValue(double* value, int bits, FILE* fp);
    // Writes size bytes as they are. Returns 1, or 0 on failure.
    virtual size_t WriteRecord(void* bytes, int size, FILE* fp);
    // Checks that the group's records are all there and pushes them to the
    // stream (4.00 also pads them to a multiple of 8 and releases the group).
    virtual void FinishWritingData(FILE* fp);
    // Releases a group still prepared; never touches a stream.
    virtual ~MDFFile();

    bool HasFailed() const { return m_bFailed; }

protected:
    // Sets the failure flag; prints the reason when the writer had not failed
    // before. Returns false.
    bool Fail(std::string const& reason);
    bool UsableStream(FILE* fp);
    // Compares the stream's position with where the writer expects it. Only
    // regular files are checked; pipes and devices have no usable position.
    bool StreamAt(FILE* fp, uint64_t expected, char const* what);
    bool WriteBytes(FILE* fp, void const* data, size_t size);
    bool WriteBuffer(FILE* fp, MdfByteBuffer const& buffer) { return WriteBytes(fp, buffer.Data(), buffer.Size()); }
    bool PushToStream(FILE* fp);
    // Advances the running position; false (and failed) on overflow.
    bool Advance(uint64_t bytes);
    // Whether a new data group may start now; fails the writer if not.
    bool ReadyForNewGroup();
    // Whether the header may be built now; fails the writer if not.
    bool ReadyForHeader();
    // Whether the built header may be written to fp now, at its start; fails
    // the writer if not.
    bool ReadyToWriteHeader(FILE* fp);
    // Places a group's records (span bytes with whatever block holds them) at
    // the running position and, unless the group is the last, the next group
    // after them. False (and failed) when the position would overflow.
    bool PlaceGroupData(uint64_t span, bool isLast, uint64_t& data, uint64_t& nextGroup);
    // Writes a flushed group's blocks, which must fill exactly blocksSize
    // bytes, and expects its records to end at dataEnd.
    bool WriteGroupBlocks(FILE* fp, MdfByteBuffer const& buffer, uint64_t blocksSize, uint64_t dataEnd, bool isLast);
    // The start time in seconds since 1970 and its normalised broken-down
    // UTC form: the given time, or now.
    static long long StartTime(tm const* given, tm& broken);
    // Seconds since 1970 as nanoseconds, 0 before 1970, saturated after 2554.
    static uint64_t NanosecondsFromSeconds(long long seconds);

    uint64_t m_position = 0;
    bool m_headerBuilt = false;
    bool m_headerWritten = false;
    bool m_lastGroupFlushed = false;
    unsigned m_declaredGroups = 0;
    uint64_t m_flushedGroups = 0;
    // End of the records of the group flushed last, until FinishWritingData.
    bool m_dataPending = false;
    uint64_t m_dataEnd = 0;

private:
    void DiscardPreparedGroup();

    IDBLOCK_WRITE m_id;
    HDBLOCK_WRITE m_hd;
    std::unique_ptr<MDFDataGroup> m_preparedGroup;
    bool m_bFailed = false;
};
