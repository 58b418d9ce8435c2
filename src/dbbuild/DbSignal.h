// What the builder and the channel lists keep while they read an MDF file:
// one channel with its scaling and running statistics (DbSignal), one channel
// group with its signals (DbMessage), and the two channel descriptions they
// share: the Channels.DataType code and the selection key.
#pragma once

#include <cfloat>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "dbbuild/SignalStatistics.h"

class CCNBlockOp;

// The statistics fields (min, max, sum, mean, m2, sumOfSquares) and
// GetStdDev/GetAverage come from SignalStatistics.
struct DbSignal : SignalStatistics {
    // How a channel's values are read: 1 raw (no conversion), 2 through a
    // value-to-text or range-to-text table (the stored number is the key of
    // a ChannelStates text), 0 through any other conversion (physical
    // values), 3 a linear conversion that also carries states.
    enum ScalingKind { Physical = 0, Raw = 1, StateEncoded = 2, LinearWithStates = 3 };

    DbSignal() = default;
    explicit DbSignal(CCNBlockOp* channel);

    bool HasCustomScaling() const { return scalingKind == Physical; }
    // The conversion's value-to-text states; false without a conversion.
    bool GetStates(std::map<double, std::string>& states) const;
    double ScaleValue(double v) const { return v * slope + offset; }
    // Feeds the sample of record index; returns the value with infinity and
    // NaN taken as 0, the value every statistic sees.
    inline double ProcessValue(long long index, double time, double value, bool accumulate);
    // The factors of one record index that ProcessValue's accumulation
    // needs, computed once for all the signals fed that record.
    struct SampleWeights {
        explicit SampleWeights(long long index)
            : inverseCount(1.0 / (static_cast<double>(index) + 1.0)), spreadWeight(static_cast<double>(index) * inverseCount)
        {
        }
        double inverseCount;  // 1 / (index + 1)
        double spreadWeight;  // index / (index + 1)
    };
    // ProcessValue with accumulation, for callers that feed many signals the
    // same record.
    inline double ProcessSample(long long index, double time, double value, SampleWeights const& weights);
    inline double TrackBounds(long long index, double time, double value);

    std::wstring name;
    std::wstring unit;
    double slope = 1.0;
    double offset = 0.0;
    double timeAtMin = DBL_MAX;
    double timeAtMax = -DBL_MAX;
    double firstValue = 0.0;
    int scalingKind = Raw;
    int bitCount = 0;
    int byteOffset = 0;
    int channelId = 0;
    CCNBlockOp* channel = nullptr;  // borrowed from the MDF file object
};

// The running statistics of several signals fed the same records, held
// signal by signal in arrays so that one pass over a record's values updates
// all of them without a branch per value. The arithmetic is ProcessSample's,
// bit for bit: a DbSignal loaded into a batch, fed, and stored back holds
// what feeding it sample by sample gives.
class SignalBatch {
public:
    // Takes the statistics of the signals (each fed at least its record 0).
    void Load(std::vector<DbSignal*> const& signals);
    // Gives them back to the signals Load took them from.
    void Store() const;
    // Feeds count records, their indexes from firstIndex (above 0) on:
    // record j has the time times[j] and, for signal k, the value
    // values[k * stride + j].
    void Feed(double const* values, size_t stride, double const* times, long long firstIndex, size_t count);

private:
    std::vector<DbSignal*> m_signals;
    std::vector<double> m_min, m_max, m_timeAtMin, m_timeAtMax, m_sum, m_sumOfSquares, m_mean, m_m2;
};

struct DbMessage {
    std::wstring name;
    std::wstring network;
    int id = 0;
    unsigned long long recordCount = 0;
    // Element 0 is the channel group's time channel; the data signals follow
    // in creation order.
    std::vector<DbSignal> signals;
};

// Channels.DataType of the channel: 0 unsigned, 1 signed integer, 3 float of
// 32 bits, 4 other floats and integers with text states whose stored numbers
// an integer of the channel's exported width cannot hold (physical values
// beside the states, or state numbers past that width).
int GetOrbkDataType(CCNBlockOp* channel);
// "name | message | network" when the comment holds " | ", else
// "name |  | ": the key a signal selection names the channel by.
std::string GetUniqueChannelName(CCNBlockOp* channel);

inline double DbSignal::ProcessValue(long long index, double time, double value, bool accumulate)
{
    if (!accumulate || index == 0)
        return TrackBounds(index, time, value);
    return ProcessSample(index, time, value, SampleWeights(index));
}

inline double DbSignal::TrackBounds(long long index, double time, double value)
{
    const double v = std::isfinite(value) ? value : 0.0;
    if (index == 0) {
        Start(v);
        firstValue = v;
        timeAtMin = timeAtMax = time;
        return v;
    }
    if (v > max) {
        max = v;
        timeAtMax = time;
    }
    if (v < min) {
        min = v;
        timeAtMin = time;
    }
    return v;
}

inline double DbSignal::ProcessSample(long long index, double time, double value, SampleWeights const& weights)
{
    const double v = TrackBounds(index, time, value);
    if (index != 0)
        Accumulate(v, index, weights.inverseCount);
    return v;
}
