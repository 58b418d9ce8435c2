// Readers of the JSON channel list and alias list.
#include "access/ChannelInfo.h"

#include "support/LibUtils.h"

namespace {

// Every name is compared in its NameKey form.
std::string stringMember(jsonxx::Object const& object, char const* key)
{
    return object.has<jsonxx::String>(key) ? NameKey(object.get<jsonxx::String>(key)) : std::string();
}

bool requiredMember(jsonxx::Object const& object)
{
    return object.has<jsonxx::Boolean>("required") ? object.get<jsonxx::Boolean>("required") : true;
}

// The object entries of the document's "Channels" array, none when there is
// no such array; entries of other kinds name no channel.
std::vector<jsonxx::Object const*> channelEntries(jsonxx::Object const& document)
{
    std::vector<jsonxx::Object const*> entries;
    if (document.empty() || !document.has<jsonxx::Array>("Channels"))
        return entries;
    for (auto const& element : document.get<jsonxx::Array>("Channels").values())
        if (element->is<jsonxx::Object>())
            entries.push_back(&element->get<jsonxx::Object>());
    return entries;
}

bool parseArgument(wchar_t const* argument, jsonxx::Object& document)
{
    std::string text;
    if (!ReadFileToString(argument, text))
        return false;
    // Only a usable "Channels" array counts, so the parse result is not.
    document.parse(text);
    return true;
}

CChannelInfo plainChannel(jsonxx::Object const& entry)
{
    CChannelInfo channel("", "", "");
    // Assigned whole: a name holding a NUL is not the name before it.
    channel.name = stringMember(entry, "name");
    channel.message_name = stringMember(entry, "message_name");
    channel.network_name = stringMember(entry, "network_name");
    channel.required = requiredMember(entry);
    return channel;
}

CChannelInfo aliasChannel(jsonxx::Object const& entry)
{
    CChannelInfo channel("", "", "");
    channel.name_in_script = stringMember(entry, "name_in_script");
    channel.required = requiredMember(entry);
    for (auto const& element : entry.get<jsonxx::Array>("OptionalList").values()) {
        // Elements that are no objects offer no alternative.
        if (!element->is<jsonxx::Object>())
            continue;
        auto const& option = element->get<jsonxx::Object>();
        CChannelDefinition definition;
        definition.channel_name = stringMember(option, "channel_name");
        definition.message_name = stringMember(option, "message_name");
        definition.network_name = stringMember(option, "network_name");
        channel.definitions.push_back(std::move(definition));
    }
    return channel;
}

}  // namespace

bool ReadChannelsFromJson(wchar_t const* argument, std::vector<CChannelInfo>& out)
{
    jsonxx::Object document;
    if (!parseArgument(argument, document))
        return false;
    for (jsonxx::Object const* entry : channelEntries(document))
        if (entry->has<jsonxx::String>("name"))
            out.push_back(plainChannel(*entry));
    return !out.empty();
}

bool ReadAliasesFromJson(wchar_t const* argument, std::vector<CChannelInfo>& out)
{
    jsonxx::Object document;
    if (!parseArgument(argument, document))
        return false;
    return ReadAliasesFromObject(document, out);
}

bool ReadAliasesFromObject(jsonxx::Object const& document, std::vector<CChannelInfo>& out)
{
    for (jsonxx::Object const* entry : channelEntries(document)) {
        if (entry->has<jsonxx::String>("name_in_script") && entry->has<jsonxx::Array>("OptionalList")) {
            out.push_back(aliasChannel(*entry));
        } else if (entry->has<jsonxx::String>("name")) {
            CChannelInfo channel = plainChannel(*entry);
            channel.name_in_script = channel.name;
            channel.definitions.push_back({channel.name, channel.network_name, channel.message_name, true});
            out.push_back(std::move(channel));
        }
    }
    return !out.empty();
}
