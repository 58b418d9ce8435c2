#include "dbbuild/SignalStatistics.h"

void SignalStatistics::AccumulateLargeDeviation(double v, long long index)
{
    const long double count = static_cast<long double>(index) + 1.0L;
    const long double d = static_cast<long double>(v) - static_cast<long double>(mean);
    mean = static_cast<double>(mean + d / count);
    m2Wide += d * static_cast<long double>(index) * d / count;
}

double SignalStatistics::GetStdDev(double n) const
{
    if (max <= min || n <= 0.0)
        return 0.0;
    const long double variance = (static_cast<long double>(m2) + m2Wide) / static_cast<long double>(n);
    return variance > 0.0L ? static_cast<double>(std::sqrt(variance)) : 0.0;
}
