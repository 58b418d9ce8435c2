#include "export/ChannelNames.h"

#include "support/LibUtils.h"
#include "support/MatNames.h"

namespace {

// The name as the output writes it: its Latin-1 text, for MAT a usable name.
std::string Written(std::wstring const& name, bool matlab)
{
    return matlab ? MatlabNameFromWide(name) : Latin1FromWide(name);
}

}  // namespace

ChannelNameMap BuildChannelNameMap(std::vector<CDbChannel>& channels, bool matlab, char const* separator)
{
    const std::wstring joint = widestring(separator ? separator : "");
    std::map<std::string, int> counts;
    for (CDbChannel const& channel : channels)
        if (channel.GetChannelIndex(channel.GetArb()) > 0)
            ++counts[Written(channel.Signal().Name, matlab)];

    std::vector<std::pair<CArbitration*, int>> keys;
    std::vector<std::string> names;
    for (CDbChannel const& channel : channels) {
        const int index = channel.GetChannelIndex(channel.GetArb());
        if (index <= 0)
            continue;
        CArbitration& message = *channel.GetArb();
        std::wstring const& own = channel.Signal().Name;
        std::string name = Written(own, matlab);
        if (counts[name] > 1)
            name = Written(own + joint + message.m_signals[0].Name + joint + message.Network, matlab);
        keys.emplace_back(&message, index);
        names.push_back(std::move(name));
    }
    if (matlab)
        MakeMatlabNamesUnique(names);
    ChannelNameMap map;
    for (size_t i = 0; i < keys.size(); ++i)
        map.emplace(keys[i], std::move(names[i]));
    return map;
}

std::string const& NameOf(ChannelNameMap const& names, CDbChannel const& channel)
{
    static std::string const none;
    auto it = names.find({channel.GetArb(), channel.GetChannelIndex(channel.GetArb())});
    return it == names.end() ? none : it->second;
}
