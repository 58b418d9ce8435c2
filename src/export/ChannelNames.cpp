#include "export/ChannelNames.h"

#include "support/LibUtils.h"

namespace {

std::string Scrubbed(std::string name, bool matlab)
{
    if (!matlab)
        return name;
    // MAT variable and field names are ASCII.
    for (char& c : name)
        if (static_cast<unsigned char>(c) >= 0x80)
            c = '_';
    ScrubMatlabName(name);
    return name;
}

}  // namespace

ChannelNameMap BuildChannelNameMap(std::vector<CDbChannel>& channels, bool matlab, char const* separator)
{
    const std::string joint = separator ? separator : "";
    std::map<std::string, int> counts;
    for (CDbChannel const& channel : channels)
        if (channel.GetChannelIndex(channel.GetArb()) > 0)
            ++counts[Scrubbed(Latin1FromWide(channel.Signal().Name), matlab)];

    std::vector<std::pair<CArbitration*, int>> keys;
    std::vector<std::string> names;
    for (CDbChannel const& channel : channels) {
        const int index = channel.GetChannelIndex(channel.GetArb());
        if (index <= 0)
            continue;
        CArbitration& message = *channel.GetArb();
        const std::string own = Latin1FromWide(channel.Signal().Name);
        std::string name = Scrubbed(own, matlab);
        if (counts[name] > 1)
            name = Scrubbed(own + joint + Latin1FromWide(message.m_signals[0].Name) + joint +
                                Latin1FromWide(message.Network),
                            matlab);
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
