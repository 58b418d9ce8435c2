#include "dbbuild/DbSignal.h"

#include "mdfread/CCBlock.h"
#include "mdfread/CNBlock.h"
#include "support/LibUtils.h"

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

void DbSignal::AccumulateLargeDeviation(double v, long long index)
{
    const long double count = static_cast<long double>(index) + 1.0L;
    const long double d = static_cast<long double>(v) - static_cast<long double>(mean);
    mean = static_cast<double>(mean + d / count);
    m2Wide += d * static_cast<long double>(index) * d / count;
}

double DbSignal::GetStdDev(double n) const
{
    if (max <= min || n <= 0.0)
        return 0.0;
    const long double variance = (static_cast<long double>(m2) + m2Wide) / static_cast<long double>(n);
    return variance > 0.0L ? static_cast<double>(std::sqrt(variance)) : 0.0;
}

int GetOrbkDataType(CCNBlockOp* channel)
{
    if (channel->IsFloat())
        return channel->GetBitCount() == 32 ? 3 : 4;
    return channel->IsSigned() ? 1 : 0;
}

std::string GetUniqueChannelName(CCNBlockOp* channel)
{
    const std::string& comment = channel->GetComment();
    if (comment.find(" | ") != std::string::npos)
        return channel->GetName() + " | " + comment;
    return channel->GetName() + " |  | ";
}
