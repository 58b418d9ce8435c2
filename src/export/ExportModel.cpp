// The export model: messages, their signals and the signals' value caches.
#include "export/ExportModel.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "support/MeasurementDb.h"

bool Exp_ShowProgress = false;
bool CArbitration::m_bUseMessageBytes = false;

namespace {

uint64_t BitsOf(double value)
{
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

double DoubleOf(uint64_t bits)
{
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

const uint64_t kEmptySlot = BitsOf(DBL_MAX);

}  // namespace

// ---- CArbitration::SignalList -------------------------------------------------

CArbitration::SignalList::SignalList()
{
    ResetCache();
}

bool CArbitration::SignalList::IsInCollection(unsigned mask) const
{
    if (Sequence == 0)
        return false;
    return mask == 0xFFFFFFFFu || (CollectionMask & mask) != 0;
}

bool CArbitration::SignalList::IsFloatingPoint() const
{
    return m_kind == kKindPhysical || DataType == 3 || DataType == 4;
}

bool CArbitration::SignalList::IsBigInt() const
{
    return !IsFloatingPoint() && DataType < 3 && BitLength > 32;
}

bool CArbitration::SignalList::HasText() const
{
    return m_kind == kKindText || m_kind == kKindStateEncoded;
}

bool CArbitration::SignalList::IsStateEncodedHybrid() const
{
    // A NaN factor or offset compares unequal, so it counts as a scaling.
    return !m_states.empty() && (!(Slope == 1.0) || !(Offset == 0.0));
}

bool CArbitration::SignalList::IsMultiplexed() const
{
    return MUXValue != -1 && MUXValue != -2;
}

int CArbitration::SignalList::GetIntSize() const
{
    return DataType >= 3 ? 0 : MeasurementDb::IntegerWidth(BitLength);
}

int CArbitration::SignalList::GetTypeCode() const
{
    // Physical values and values that only make sense scaled are written as
    // doubles; everything else keeps its stored width.
    if (m_kind == kKindPhysical || IsStateEncodedHybrid() || IsMultiplexed())
        return -64;
    if (DataType == 3)
        return -32;
    if (DataType >= 4)
        return -64;
    return GetIntSize();
}

bool CArbitration::SignalList::WritesScaledValue() const
{
    return m_kind != kKindPhysical && (IsStateEncodedHybrid() || IsMultiplexed());
}

int CArbitration::SignalList::GetSignalBytes() const
{
    const int code = GetTypeCode();
    return (code < 0 ? -code : code) / 8;
}

void CArbitration::SignalList::ResetCache()
{
    for (uint64_t& slot : m_cache)
        slot = kEmptySlot;
    m_changed = false;
}

void CArbitration::SignalList::SetExportValue(int slot, double value)
{
    SetExportValue(slot, static_cast<unsigned long long>(BitsOf(value)));
}

void CArbitration::SignalList::SetExportValue(int slot, unsigned long long value)
{
    if (slot < 0 || slot >= kCacheSlots)
        return;
    if (slot == 0)
        m_changed = m_cache[0] != value;
    m_cache[slot] = value;
}

void CArbitration::SignalList::SetExportValue(double value)
{
    SetExportValue(static_cast<unsigned long long>(BitsOf(value)));
}

void CArbitration::SignalList::SetExportValue(unsigned long long value)
{
    if (m_cache[0] != kEmptySlot)
        m_changed = m_cache[0] != value;
    m_cache[0] = value;
}

bool CArbitration::SignalList::IsEmpty(int slot) const
{
    return slot < 0 || slot >= kCacheSlots || m_cache[slot] == kEmptySlot;
}

double CArbitration::SignalList::GetRawValue(int slot) const
{
    if (slot < 0 || slot >= kCacheSlots)
        return DBL_MAX;
    const uint64_t bits = m_cache[slot];
    if (bits == kEmptySlot)
        return DBL_MAX;
    if (IsFloatingPoint())
        return DoubleOf(bits);
    if (DataType == 0)
        return static_cast<double>(bits);
    return static_cast<double>(static_cast<int64_t>(bits));
}

double CArbitration::SignalList::ExportValueOfBits(uint64_t bits) const
{
    // A missing value stays the marker of a missing value, never scaled.
    if (bits == kEmptySlot)
        return DBL_MAX;
    double raw;
    if (IsFloatingPoint())
        raw = DoubleOf(bits);
    else if (DataType == 0)
        raw = static_cast<double>(bits);
    else
        raw = static_cast<double>(static_cast<int64_t>(bits));
    if (m_kind == kKindPhysical || (Slope == 1.0 && Offset == 0.0))
        return raw;
    return raw * Slope + Offset;
}

double CArbitration::SignalList::GetExportValue(int slot) const
{
    return slot < 0 || slot >= kCacheSlots ? DBL_MAX : ExportValueOfBits(m_cache[slot]);
}

unsigned long long CArbitration::SignalList::GetBigIntExportValue(int slot) const
{
    if (slot < 0 || slot >= kCacheSlots)
        return 0;
    if (IsBigInt())
        return m_cache[slot];
    const double value = DoubleOf(m_cache[slot]);
    // Outside the unsigned range the conversion would be undefined.
    if (!(value >= 0.0) || value >= 18446744073709551616.0)
        return 0;
    return static_cast<unsigned long long>(value);
}

int CArbitration::SignalList::FormatValue(char* buffer, size_t size, double value) const
{
    if (!buffer || size == 0)
        return 0;
    const uint32_t word = std::isfinite(value) && value > -4294967296.0 && value < 4294967296.0
                              ? static_cast<uint32_t>(static_cast<int64_t>(value))
                              : 0;
    if (!Formula.empty() && Formula[0] == L'X') {
        if (Formula.compare(0, 8, L"XXXXXXXX") == 0)
            return std::snprintf(buffer, size, "$%08X", word);
        if (Formula.compare(0, 4, L"XXXX") == 0)
            return std::snprintf(buffer, size, "$%04X", word);
        if (Formula.compare(0, 2, L"XX") == 0)
            return std::snprintf(buffer, size, "$%02X", word & 0xFFu);
        return std::snprintf(buffer, size, "$%X", word);
    }
    int length = std::snprintf(buffer, size, "%.6f", value);
    char* point = std::strchr(buffer, '.');
    if (!point)
        return length;
    char* end = buffer + std::strlen(buffer);
    while (end > point + 2 && end[-1] == '0')
        --end;
    *end = '\0';
    return static_cast<int>(end - buffer);
}

void CArbitration::SignalList::UpdateStats(unsigned long long count, double value)
{
    if (count <= 1) {
        MinVal = MaxVal = m_sum = m_mean = value;
        m_sumSquares = value * value;
        m_M2 = 0.0;
        return;
    }
    if (value < MinVal)
        MinVal = value;
    if (value > MaxVal)
        MaxVal = value;
    m_sum += value;
    m_sumSquares += value * value;
    const double delta = value - m_mean;
    m_mean += delta / static_cast<double>(count);
    m_M2 += delta * (value - m_mean);
}

void CArbitration::SignalList::SetValue(unsigned long long count, double value)
{
    if (count < 2)
        SetExportValue(0, value);
    UpdateStats(count, value);
}

double CArbitration::SignalList::GetStdDev(double count) const
{
    if (MinVal >= MaxVal || !(count > 0.0))
        return 0.0;
    const double mean = m_sum / count;
    double variance = (m_sumSquares - 2.0 * mean * m_sum + count * mean * mean) / count;
    if (!(variance > 0.0) && count > 1.0)
        variance = m_M2 / (count - 1.0);
    return variance > 0.0 ? std::sqrt(variance) : 0.0;
}

// ---- CArbitration ---------------------------------------------------------------

void CArbitration::SetCacheIndex(int index)
{
    if (index == SignalList::kCacheSlots) {
        m_exhausted = true;
        return;
    }
    m_cacheIndex = static_cast<uint16_t>(index);
    m_exhausted = false;
}

void CArbitration::IncrementCachePointer()
{
    if (!m_exhausted)
        ++m_cacheIndex;
}

void CArbitration::ResetCache()
{
    for (SignalList& signal : m_signals)
        signal.ResetCache();
    m_cacheIndex = 0;
}

double CArbitration::GetTimeStamp() const
{
    if (m_signals.empty() || m_cacheIndex >= SignalList::kCacheSlots)
        return DBL_MAX;
    return m_signals[0].GetExportValue(m_cacheIndex);
}

double CArbitration::GetExportValue(int signal) const
{
    if (signal < 0 || signal >= static_cast<int>(m_signals.size()) || m_cacheIndex >= SignalList::kCacheSlots)
        return DBL_MAX;
    return m_signals[signal].GetExportValue(m_cacheIndex);
}

unsigned long long CArbitration::GetBigIntExportValue(int signal) const
{
    if (signal < 0 || signal >= static_cast<int>(m_signals.size()) || m_cacheIndex >= SignalList::kCacheSlots)
        return 0;
    return m_signals[signal].GetBigIntExportValue(m_cacheIndex);
}

void CArbitration::SetValue(int slot, int signal, double value)
{
    if (signal >= 0 && signal < static_cast<int>(m_signals.size()))
        m_signals[signal].SetExportValue(slot, value);
}

void CArbitration::SetValue(int slot, int signal, unsigned long long value)
{
    if (signal >= 0 && signal < static_cast<int>(m_signals.size()))
        m_signals[signal].SetExportValue(slot, value);
}

wchar_t const* CArbitration::FindState(int signal) const
{
    if (signal < 0 || signal >= static_cast<int>(m_signals.size()) || m_cacheIndex >= SignalList::kCacheSlots)
        return nullptr;
    SignalList const& s = m_signals[signal];
    if (s.m_states.empty() || s.IsEmpty(m_cacheIndex))
        return nullptr;
    auto it = s.m_states.find(s.GetRawValue(m_cacheIndex));
    return it == s.m_states.end() ? nullptr : it->second.c_str();
}

void CArbitration::AddState(int signal, double value, wchar_t const* text)
{
    if (signal >= 0 && signal < static_cast<int>(m_signals.size()))
        m_signals[signal].m_states[value] = text ? text : L"";
}

int CArbitration::GetFirstSequence() const
{
    int first = 0;
    for (size_t k = 1; k < m_signals.size(); ++k) {
        const int sequence = m_signals[k].Sequence;
        if (sequence > 0 && (first == 0 || sequence < first))
            first = sequence;
    }
    return first;
}

int CArbitration::GetRecordSize(int defaultBits, unsigned mask) const
{
    long long size = 8;
    for (size_t k = 1; k < m_signals.size(); ++k) {
        if (!m_signals[k].IsInCollection(mask))
            continue;
        const int bytes = m_signals[k].GetSignalBytes();
        size += bytes ? bytes : defaultBits / 8;
    }
    return size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size);
}

// ---- COrbkBin -----------------------------------------------------------------------

COrbkBin::COrbkBin() : maxTime(-DBL_MAX), minTime(DBL_MAX) {}

COrbkBin::~COrbkBin()
{
    for (auto& entry : messages)
        delete entry.second;
}

