// Running statistics of one signal's values: bounds, sum, sum of squares and
// Welford's running mean and sum of squared deviations (m2). Shared by the
// database builder (per MDF channel) and hit extraction (per subset channel),
// so both write the same Channels statistics for the same values.
#pragma once

#include <cfloat>
#include <cmath>

struct SignalStatistics {
    // Deviations from the mean at or beyond this size are accumulated in
    // long double: their squares, summed over billions of records, would
    // overflow a double.
    static constexpr double kLargeDeviation = 1e140;

    // The first sample (callers count samples themselves; m2 keeps its value).
    void Start(double v)
    {
        min = max = sum = mean = v;
        sumOfSquares = v * v;
    }
    // Sample number index (from 0, index > 0) into sum, sum of squares, mean
    // and m2; inverseCount is 1 / (index + 1). Bounds are the caller's.
    inline void Accumulate(double v, long long index, double inverseCount);
    void AccumulateLargeDeviation(double v, long long index);
    // Population standard deviation over n samples from the running m2,
    // which stays exact where a sum of squares loses everything to
    // cancellation (values far from 0 with a small spread). 0 for a constant
    // signal or no sample.
    double GetStdDev(double n) const;
    // min for a constant signal; otherwise sum / n (the plain sum for n 0).
    double GetAverage(double n) const
    {
        if (min == max)
            return min;
        return n == 0.0 ? sum : sum / n;
    }

    double min = DBL_MAX;
    double max = -DBL_MAX;
    double sum = 0.0;
    double mean = 0.0;
    double m2 = 0.0;
    double sumOfSquares = 0.0;
    // The part of m2 from deviations too large to square in a double (values
    // near the limits of the double range).
    long double m2Wide = 0.0L;
};

inline void SignalStatistics::Accumulate(double v, long long index, double inverseCount)
{
    sumOfSquares += v * v;
    sum += v;
    const double d = v - mean;
    if (std::fabs(d) < kLargeDeviation) {
        mean += d * inverseCount;
        m2 += d * d * (static_cast<double>(index) * inverseCount);
    } else {
        AccumulateLargeDeviation(v, index);
    }
}
