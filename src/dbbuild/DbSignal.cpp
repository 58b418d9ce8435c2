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
