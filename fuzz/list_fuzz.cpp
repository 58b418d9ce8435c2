// Channel lists and alias lists. The input is a JSON argument given as text
// (inputs without a '{' are passed over, so that none names a file); it is
// read as a channel list, as an alias list and through the parsed document,
// and every name read is matched against a few database names. Checks: the
// alias readers agree with each other, the channel list reader with
// GetNumChannels, and every name is in its one compared form (NameKey of it
// is itself).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "access/ChannelInfo.h"
#include "support/LibUtils.h"
#include "support/Paths.h"
#include "vantrel.h"

namespace {

volatile bool g_sink;

void Require(bool condition, const char* what, const std::string& input)
{
    if (condition)
        return;
    std::fprintf(stderr, "%s\ninput: %s\n", what, input.c_str());
    std::abort();
}

void CheckName(const std::string& name, const std::string& input)
{
    Require(NameKey(name) == name, "a name is not in its compared form", input);
}

void Match(const CChannelInfo& channel)
{
    static const char* const kMessages[] = {"Engine", "Group0001", "\xC3\x9C" "bersetzung", ""};
    for (const char* message : kMessages)
        g_sink = channel.DoesChannelMatch("HS CAN", message);
    for (const CChannelDefinition& definition : channel.definitions)
        g_sink = MatchField(definition.message_name, "Engine") && MatchField(definition.network_name, "HS CAN");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The exported functions take NUL-terminated text.
    std::string input(reinterpret_cast<const char*>(data), size);
    input.resize(input.find('\0') == std::string::npos ? input.size() : input.find('\0'));
    if (input.find('{') == std::string::npos)
        return 0;
    // The wide form the narrow functions pass on: every byte kept, so the
    // JSON text read from it is the input itself, as a file holding it.
    const std::wstring wide = WidePath(input);

    std::vector<CChannelInfo> channels;
    ReadChannelsFromJson(wide.c_str(), channels);
    Require(GetNumChannels(input.c_str()) == int(channels.size()), "GetNumChannels disagrees", input);
    for (const CChannelInfo& channel : channels) {
        CheckName(channel.name, input);
        CheckName(channel.message_name, input);
        CheckName(channel.network_name, input);
        Match(channel);
    }

    std::vector<CChannelInfo> aliases;
    ReadAliasesFromJson(wide.c_str(), aliases);
    std::string text;
    Require(ReadFileToString(wide.c_str(), text), "the JSON text is not read", input);
    jsonxx::Object document;
    document.parse(text);
    std::vector<CChannelInfo> fromDocument;
    ReadAliasesFromObject(document, fromDocument);
    Require(aliases.size() == fromDocument.size(), "the alias readers disagree", input);
    for (const CChannelInfo& alias : aliases) {
        CheckName(alias.name_in_script, input);
        for (const CChannelDefinition& definition : alias.definitions)
            CheckName(definition.channel_name, input);
        Match(alias);
    }
    return 0;
}
