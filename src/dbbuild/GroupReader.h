// Reading the records of one channel group into its signals' statistics:
// which groups can be read at all, which of their channels become signals,
// and the loop that decodes every value of every record. The builder (which
// also stores each value) and the channel lists both go through it, so a
// channel's statistics are the same in a database's Channels row and in the
// channel list of the same file.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "dbbuild/DbSignal.h"
#include "mdfread/CGBlock.h"
#include "mdfread/CNBlock.h"
#include "support/CFormat.h"
#include "support/LibUtils.h"

// The time channel of first's channel group when the group's records can be
// read; null, with a diagnostic line naming group number groupNumber, when
// the data cannot be read (compressed or otherwise unsupported) or the group
// has no time channel.
CCNBlockOp* TimeChannelOfReadableGroup(CCNBlockOp* first, int groupNumber);

// Whether a channel of a readable group becomes a data signal: no time
// channel, and its bits inside the record (a diagnostic line otherwise).
bool BecomesSignal(CCNBlockOp* channel);

// A diagnostic line when the signal of a channel of the builder's group
// groupNumber holds only part of the channel's value: a structure's member
// channels, an array's further elements, variable-length signal data, a data
// type read as the integer of its leading bits, bits past the first 64, or
// bits not decoded at all (a float of an odd width, an MDF 3 string that has
// a conversion). The stored values stay as they are.
void ReportPartialStorage(DbSignal const& signal, int groupNumber);

class GroupReader {
public:
    // How one signal's value leaves the record buffer. The reader's decoder
    // (getValue, GetValues) serves every value it gives exactly: converted values,
    // floats without a conversion and integers without one of up to 53 bits.
    enum class Reading : unsigned char {
        Double,      // getValue, stored as a double
        Integer,     // getValue, stored as a 64-bit integer
        RawInteger,  // GetInteger, stored as a 64-bit integer
        RawFloat,    // GetFloat: the raw float of a channel with a conversion
    };

    // signals[0] is the group's time signal, which is given start + t (the
    // time channel's value t) as its value; the others are the data signals.
    // The vector must not change while the reader exists.
    GroupReader(std::vector<DbSignal>& signals, double start);

    // Reads records 0, 1, ... of the group in order and feeds every signal.
    // A store whose kKeepsValues is true sees each record: Time(time as
    // stored), then Value(k, double) or Integer(k, long long) for data signal
    // k = 0, 1, ..., then EndRecord().
    // A record the reader cannot give ends the reading there, with a
    // diagnostic line naming label: nothing is decoded from a buffer the
    // reader did not fill. Returns the records read.
    template <typename Store>
    unsigned long long ReadAll(Store& store, std::string const& label);

    static Reading ReadingOf(DbSignal const& signal);

private:
    struct Cell {
        CCNBlockOp const* channel;
        size_t position;  // byte of the record where the value begins
        Reading reading;
    };

    // A block of records read and decoded at once holds about this many
    // bytes, and its decoded values about this many doubles.
    static constexpr size_t kBlockBytes = 64 * 1024;
    static constexpr size_t kBlockValues = 8 * 1024;

    // The values of count records (size bytes each) into m_times and
    // m_columns: each channel's layout is looked at once per block.
    void DecodeBlock(char const* records, size_t size, size_t count);
    // The time signal's sample of record r of the block (record index of
    // the group), and the record's values handed to store.
    template <typename Store>
    inline void StoreRecord(char const* record, size_t r, unsigned long long index, Store& store);
    // The data signals' samples of the first count records of the block,
    // the first of which is record index of the group.
    void FeedStatistics(unsigned long long index, size_t count);
    void ReportUnreadable(std::string const& label, unsigned long long read, unsigned long long count) const;

    DbSignal& m_time;
    size_t m_timePosition;
    double m_start;
    CCGBlockOp* m_group;
    std::vector<Cell> m_cells;
    size_t m_perBlock;                     // records in a block
    std::vector<double> m_times;           // the time of each record of the block
    std::vector<double> m_columns;         // cell k's values of the block from k * m_perBlock on
    std::vector<DbSignal*> m_dataSignals;  // one per cell
    SignalBatch m_statistics;              // the data signals' statistics from record 1 on
};

// A store that keeps nothing: statistics only.
struct DiscardValues {
    static constexpr bool kKeepsValues = false;
    void Time(double) {}
    void Value(size_t, double) {}
    void Integer(size_t, long long) {}
    void EndRecord() {}
};

template <typename Store>
unsigned long long GroupReader::ReadAll(Store& store, std::string const& label)
{
    const unsigned long long count = m_group->GetRecordCount();
    const size_t size = m_group->GetDataRecordSize();
    std::vector<char> buffer(m_perBlock * size + 8, 0);
    unsigned long long index = 0;
    while (index < count) {
        const size_t wanted = static_cast<size_t>(std::min<unsigned long long>(m_perBlock, count - index));
        const size_t read = static_cast<size_t>(m_group->ReadRecords(buffer.data(), index, wanted));
        DecodeBlock(buffer.data(), size, read);
        for (size_t r = 0; r < read; ++r)
            StoreRecord(buffer.data() + r * size, r, index + r, store);
        FeedStatistics(index, read);
        index += read;
        if (read < wanted) {
            ReportUnreadable(label, index, count);
            break;
        }
    }
    if (index > 0)
        m_statistics.Store();
    return index;
}

template <typename Store>
inline void GroupReader::StoreRecord(char const* record, size_t r, unsigned long long index, Store& store)
{
    const double t = m_times[r];
    // An infinite or NaN time counts as 0, in the statistics as stored.
    const double time = m_time.ProcessValue(static_cast<long long>(index), t, m_start + t, false);
    if constexpr (Store::kKeepsValues) {
        store.Time(time);
        for (size_t k = 0; k < m_cells.size(); ++k) {
            Cell const& cell = m_cells[k];
            const double value = m_columns[k * m_perBlock + r];
            switch (cell.reading) {
            case Reading::Integer: store.Integer(k, static_cast<long long>(value)); break;
            // Integers beyond 53 bits keep every bit in the store.
            case Reading::RawInteger: store.Integer(k, cell.channel->GetInteger(record + cell.position)); break;
            default: store.Value(k, value); break;
            }
        }
        store.EndRecord();
    }
}
