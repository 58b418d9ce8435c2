// Reading the records of one channel group into its signals' statistics:
// which groups can be read at all, which of their channels become signals,
// and the loop that decodes every value of every record. The builder (which
// also stores each value) and the channel lists both go through it, so a
// channel's statistics are the same in a database's Channels row and in the
// channel list of the same file.
#pragma once

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

class GroupReader {
public:
    // How one signal's value leaves the record buffer. The inlined decoder
    // (getValue) serves every value it gives exactly: converted values,
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

    // Reads records 0, 1, ... of the group in order and feeds every signal;
    // store sees each record: Time(time as stored), then Value(k, double) or
    // Integer(k, long long) for data signal k = 0, 1, ..., then EndRecord().
    // A record the reader cannot give ends the reading there, with a
    // diagnostic line naming label: nothing is decoded from a buffer the
    // reader did not fill. Returns the records read.
    template <typename Store>
    unsigned long long ReadAll(Store& store, std::string const& label);

private:
    struct Cell {
        CCNBlockOp const* channel;
        DbSignal* signal;
        size_t position;  // byte of the record where the value begins
        Reading reading;
    };

    static Reading ReadingOf(DbSignal const& signal);
    void ReportUnreadable(std::string const& label, unsigned long long read, unsigned long long count) const;

    DbSignal& m_time;
    size_t m_timePosition;
    double m_start;
    CCGBlockOp* m_group;
    std::vector<Cell> m_cells;
};

// A store that keeps nothing: statistics only.
struct DiscardValues {
    void Time(double) {}
    void Value(size_t, double) {}
    void Integer(size_t, long long) {}
    void EndRecord() {}
};

template <typename Store>
unsigned long long GroupReader::ReadAll(Store& store, std::string const& label)
{
    const unsigned long long count = m_group->GetRecordCount();
    // The reader keeps only channels whose bits lie inside the record.
    std::vector<char> buffer(static_cast<size_t>(m_group->GetDataRecordSize()) + 8, 0);
    char const* record = buffer.data();
    unsigned long long index = 0;
    for (; index < count; ++index) {
        if (!m_group->ReadRecord(buffer.data(), index)) {
            ReportUnreadable(label, index, count);
            break;
        }
        const long long i = static_cast<long long>(index);
        const double t = m_time.channel->getValue(record + m_timePosition);
        // An infinite or NaN time counts as 0, in the statistics as stored.
        store.Time(m_time.ProcessValue(i, t, m_start + t, false));
        const double inverseCount = 1.0 / (static_cast<double>(index) + 1.0);
        for (size_t k = 0; k < m_cells.size(); ++k) {
            Cell const& cell = m_cells[k];
            char const* p = record + cell.position;
            double value;
            switch (cell.reading) {
            case Reading::Double:
                value = cell.channel->getValue(p);
                store.Value(k, value);
                break;
            case Reading::Integer:
                value = cell.channel->getValue(p);
                store.Integer(k, static_cast<long long>(value));
                break;
            case Reading::RawInteger: {
                const long long raw = cell.channel->GetInteger(p);
                store.Integer(k, raw);
                value = static_cast<double>(raw);
                break;
            }
            default:
                value = cell.channel->GetFloat(p);
                store.Value(k, value);
                break;
            }
            cell.signal->ProcessSample(i, t, value, inverseCount);
        }
        store.EndRecord();
    }
    return index;
}
