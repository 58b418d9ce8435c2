#include "dbbuild/DbSignal.h"

#include <algorithm>

#ifdef __x86_64__
#include <immintrin.h>
#endif

#include "mdfread/CCBlock.h"
#include "mdfread/CNBlock.h"
#include "support/LibUtils.h"
#include "support/MeasurementDb.h"

DbSignal::DbSignal(CCNBlockOp* cn) : channel(cn)
{
    if (!cn)
        return;
    name = widestring(cn->GetName());
    unit = widestring(cn->GetUnit());
    bitCount = static_cast<int>(cn->GetBitCount());
    byteOffset = static_cast<int>(cn->GetByteOffset());

    CCCBlockOp* conversion = cn->GetConversion();
    if (!conversion) {
        scalingKind = Raw;
        return;
    }
    scalingKind = Physical;
    const bool hasStates = !conversion->GetStates().empty();
    const bool linear = conversion->GetLinearFormula(slope, offset);
    if (hasStates)
        scalingKind = linear ? LinearWithStates : StateEncoded;
}

bool DbSignal::GetStates(std::map<double, std::string>& states) const
{
    CCCBlockOp* conversion = channel ? channel->GetConversion() : nullptr;
    if (!conversion)
        return false;
    states = conversion->GetStates();
    return true;
}

void SignalBatch::Load(std::vector<DbSignal*> const& signals)
{
    m_signals = signals;
    for (std::vector<double>* field :
         {&m_min, &m_max, &m_timeAtMin, &m_timeAtMax, &m_sum, &m_sumOfSquares, &m_mean, &m_m2})
        field->clear();
    for (DbSignal const* s : signals) {
        m_min.push_back(s->min);
        m_max.push_back(s->max);
        m_timeAtMin.push_back(s->timeAtMin);
        m_timeAtMax.push_back(s->timeAtMax);
        m_sum.push_back(s->sum);
        m_sumOfSquares.push_back(s->sumOfSquares);
        m_mean.push_back(s->mean);
        m_m2.push_back(s->m2);
    }
}

void SignalBatch::Store() const
{
    for (size_t k = 0; k < m_signals.size(); ++k) {
        DbSignal& s = *m_signals[k];
        s.min = m_min[k];
        s.max = m_max[k];
        s.timeAtMin = m_timeAtMin[k];
        s.timeAtMax = m_timeAtMax[k];
        s.sum = m_sum[k];
        s.sumOfSquares = m_sumOfSquares[k];
        s.mean = m_mean[k];
        s.m2 = m_m2[k];
    }
}

namespace {

// The statistics of a batch, signal k at index k of each array.
struct BatchArrays {
    double* __restrict min;
    double* __restrict max;
    double* __restrict timeAtMin;
    double* __restrict timeAtMax;
    double* __restrict sum;
    double* __restrict sumOfSquares;
    double* __restrict mean;
    double* __restrict m2;
};

// The value the statistics see: infinity and NaN count as 0.
inline double Counted(double v)
{
    return std::isfinite(v) ? v : 0.0;
}

#ifdef __SSE2__
inline __m128d Select(__m128d mask, __m128d yes, __m128d no)
{
    return _mm_or_pd(_mm_and_pd(mask, yes), _mm_andnot_pd(mask, no));
}

// ProcessSample for signals k and k + 1 (values v); returns false when a
// deviation was too large for the double path and was left with its mean
// and m2 as they were. New bounds and large deviations are rare: the common
// record takes neither branch.
inline bool FeedPair(BatchArrays const& a, size_t k, __m128d v, double time, DbSignal::SampleWeights const& weights)
{
    const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffLL));
    v = _mm_and_pd(v, _mm_cmple_pd(_mm_and_pd(v, magnitude), _mm_set1_pd(DBL_MAX)));
    const __m128d max = _mm_loadu_pd(a.max + k), above = _mm_cmpgt_pd(v, max);
    const __m128d min = _mm_loadu_pd(a.min + k), below = _mm_cmplt_pd(v, min);
    if (_mm_movemask_pd(_mm_or_pd(above, below)) != 0) {
        const __m128d t = _mm_set1_pd(time);
        _mm_storeu_pd(a.max + k, Select(above, v, max));
        _mm_storeu_pd(a.timeAtMax + k, Select(above, t, _mm_loadu_pd(a.timeAtMax + k)));
        _mm_storeu_pd(a.min + k, Select(below, v, min));
        _mm_storeu_pd(a.timeAtMin + k, Select(below, t, _mm_loadu_pd(a.timeAtMin + k)));
    }
    _mm_storeu_pd(a.sumOfSquares + k, _mm_add_pd(_mm_loadu_pd(a.sumOfSquares + k), _mm_mul_pd(v, v)));
    _mm_storeu_pd(a.sum + k, _mm_add_pd(_mm_loadu_pd(a.sum + k), v));
    const __m128d mean = _mm_loadu_pd(a.mean + k), d = _mm_sub_pd(v, mean);
    const __m128d m2 = _mm_loadu_pd(a.m2 + k);
    const __m128d newMean = _mm_add_pd(mean, _mm_mul_pd(d, _mm_set1_pd(weights.inverseCount)));
    const __m128d newM2 = _mm_add_pd(m2, _mm_mul_pd(_mm_mul_pd(d, d), _mm_set1_pd(weights.spreadWeight)));
    const __m128d ordinary = _mm_cmplt_pd(_mm_and_pd(d, magnitude), _mm_set1_pd(DbSignal::kLargeDeviation));
    if (_mm_movemask_pd(ordinary) == 3) {
        _mm_storeu_pd(a.mean + k, newMean);
        _mm_storeu_pd(a.m2 + k, newM2);
        return true;
    }
    _mm_storeu_pd(a.mean + k, Select(ordinary, newMean, mean));
    _mm_storeu_pd(a.m2 + k, Select(ordinary, newM2, m2));
    return false;
}
#endif

// ProcessSample for signal k, with FeedPair's result.
inline bool FeedOne(BatchArrays const& a, size_t k, double value, double time, DbSignal::SampleWeights const& weights)
{
    const double v = Counted(value);
    if (v > a.max[k]) {
        a.max[k] = v;
        a.timeAtMax[k] = time;
    }
    if (v < a.min[k]) {
        a.min[k] = v;
        a.timeAtMin[k] = time;
    }
    a.sumOfSquares[k] += v * v;
    a.sum[k] += v;
    const double d = v - a.mean[k];
    if (!(std::fabs(d) < DbSignal::kLargeDeviation))
        return false;
    a.mean[k] += d * weights.inverseCount;
    a.m2[k] += d * d * weights.spreadWeight;
    return true;
}

#ifdef __x86_64__
inline __m256d Select(__m256d mask, __m256d yes, __m256d no) __attribute__((target("avx2")));
inline __m256d Select(__m256d mask, __m256d yes, __m256d no)
{
    return _mm256_blendv_pd(no, yes, mask);
}

// FeedPair for signals k to k + 3, where the processor has AVX2.
__attribute__((target("avx2"))) inline bool FeedQuad(BatchArrays const& a, size_t k, __m256d v, double time,
                                                      DbSignal::SampleWeights const& weights)
{
    const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffffLL));
    v = _mm256_and_pd(v, _mm256_cmp_pd(_mm256_and_pd(v, magnitude), _mm256_set1_pd(DBL_MAX), _CMP_LE_OQ));
    const __m256d max = _mm256_loadu_pd(a.max + k), above = _mm256_cmp_pd(v, max, _CMP_GT_OQ);
    const __m256d min = _mm256_loadu_pd(a.min + k), below = _mm256_cmp_pd(v, min, _CMP_LT_OQ);
    if (_mm256_movemask_pd(_mm256_or_pd(above, below)) != 0) {
        const __m256d t = _mm256_set1_pd(time);
        _mm256_storeu_pd(a.max + k, Select(above, v, max));
        _mm256_storeu_pd(a.timeAtMax + k, Select(above, t, _mm256_loadu_pd(a.timeAtMax + k)));
        _mm256_storeu_pd(a.min + k, Select(below, v, min));
        _mm256_storeu_pd(a.timeAtMin + k, Select(below, t, _mm256_loadu_pd(a.timeAtMin + k)));
    }
    _mm256_storeu_pd(a.sumOfSquares + k, _mm256_add_pd(_mm256_loadu_pd(a.sumOfSquares + k), _mm256_mul_pd(v, v)));
    _mm256_storeu_pd(a.sum + k, _mm256_add_pd(_mm256_loadu_pd(a.sum + k), v));
    const __m256d mean = _mm256_loadu_pd(a.mean + k), d = _mm256_sub_pd(v, mean);
    const __m256d m2 = _mm256_loadu_pd(a.m2 + k);
    const __m256d newMean = _mm256_add_pd(mean, _mm256_mul_pd(d, _mm256_set1_pd(weights.inverseCount)));
    const __m256d newM2 =
        _mm256_add_pd(m2, _mm256_mul_pd(_mm256_mul_pd(d, d), _mm256_set1_pd(weights.spreadWeight)));
    const __m256d ordinary =
        _mm256_cmp_pd(_mm256_and_pd(d, magnitude), _mm256_set1_pd(DbSignal::kLargeDeviation), _CMP_LT_OQ);
    if (_mm256_movemask_pd(ordinary) == 15) {
        _mm256_storeu_pd(a.mean + k, newMean);
        _mm256_storeu_pd(a.m2 + k, newM2);
        return true;
    }
    _mm256_storeu_pd(a.mean + k, Select(ordinary, newMean, mean));
    _mm256_storeu_pd(a.m2 + k, Select(ordinary, newM2, m2));
    return false;
}
#endif

// A deviation too large to square in a double was left with the mean as it
// was; every other mean has moved closer to its value.
void FeedLargeDeviations(BatchArrays const& a, std::vector<DbSignal*> const& signals, double const* value,
                         size_t stride, long long index)
{
    for (size_t k = 0; k < signals.size(); ++k) {
        const double v = Counted(value[k * stride]);
        if (std::fabs(v - a.mean[k]) < DbSignal::kLargeDeviation)
            continue;
        DbSignal& s = *signals[k];
        s.mean = a.mean[k];
        s.AccumulateLargeDeviation(v, index);
        a.mean[k] = s.mean;
    }
}

// Signals from k on of one record, two at a time and then one.
inline bool FeedRest(BatchArrays const& a, size_t k, size_t signals, double const* value, size_t stride, double time,
                     DbSignal::SampleWeights const& weights)
{
    bool ordinary = true;
#ifdef __SSE2__
    for (; k + 2 <= signals; k += 2) {
        const __m128d v = _mm_loadh_pd(_mm_load_sd(value + k * stride), value + (k + 1) * stride);
        ordinary = FeedPair(a, k, v, time, weights) && ordinary;
    }
#endif
    for (; k < signals; ++k)
        ordinary = FeedOne(a, k, value[k * stride], time, weights) && ordinary;
    return ordinary;
}

#ifdef __x86_64__
__attribute__((target("avx2"))) void FeedRecordsWide(BatchArrays const& a, std::vector<DbSignal*> const& signals,
                                                     double const* values, size_t stride, double const* times,
                                                     long long firstIndex, size_t count)
{
    const size_t n = signals.size();
    for (size_t j = 0; j < count; ++j) {
        const long long index = firstIndex + static_cast<long long>(j);
        const DbSignal::SampleWeights weights(index);
        double const* value = values + j;
        bool ordinary = true;
        size_t k = 0;
        for (; k + 4 <= n; k += 4) {
            const __m256d v = _mm256_set_pd(value[(k + 3) * stride], value[(k + 2) * stride],
                                            value[(k + 1) * stride], value[k * stride]);
            ordinary = FeedQuad(a, k, v, times[j], weights) && ordinary;
        }
        if (!(FeedRest(a, k, n, value, stride, times[j], weights) && ordinary))
            FeedLargeDeviations(a, signals, value, stride, index);
    }
}
#endif

}  // namespace

void SignalBatch::Feed(double const* values, size_t stride, double const* times, long long firstIndex, size_t count)
{
    const BatchArrays a{m_min.data(), m_max.data(), m_timeAtMin.data(), m_timeAtMax.data(),
                        m_sum.data(), m_sumOfSquares.data(), m_mean.data(), m_m2.data()};
#ifdef __x86_64__
    static const bool wide = __builtin_cpu_supports("avx2");
    if (wide) {
        FeedRecordsWide(a, m_signals, values, stride, times, firstIndex, count);
        return;
    }
#endif
    for (size_t j = 0; j < count; ++j) {
        const long long index = firstIndex + static_cast<long long>(j);
        if (!FeedRest(a, 0, m_signals.size(), values + j, stride, times[j], DbSignal::SampleWeights(index)))
            FeedLargeDeviations(a, m_signals, values + j, stride, index);
    }
}

int GetOrbkDataType(CCNBlockOp* channel)
{
    if (channel->IsFloat())
        return channel->GetBitCount() == 32 ? 3 : 4;
    const bool isSigned = channel->IsSigned();
    CCCBlockOp const* conversion = channel->GetConversion();
    if (conversion) {
        // Text states beside physical values (the values without a text go
        // through a nested scaling), or state numbers past the integer the
        // channel is exported as (a default one above a largest key of 255
        // on 8 bits): what is stored is then a number that integer would
        // cut, and is described as a double, which holds it.
        auto const& states = conversion->GetStates();
        if (!states.empty() &&
            (conversion->ChangesNumbers() ||
             std::any_of(states.begin(), states.end(), [&](auto const& state) {
                 return !MeasurementDb::IntegerHolds(state.first, static_cast<int>(channel->GetBitCount()), isSigned);
             })))
            return 4;
    }
    return isSigned ? 1 : 0;
}

std::string GetUniqueChannelName(CCNBlockOp* channel)
{
    const std::string& comment = channel->GetComment();
    if (comment.find(" | ") != std::string::npos)
        return channel->GetName() + " | " + comment;
    return channel->GetName() + " |  | ";
}
