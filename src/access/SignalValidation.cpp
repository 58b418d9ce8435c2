// Signal validation: an alias list resolved against an MDF file (through the
// MDF reader) or a measurement database (through FileInfo), and the JSON
// result file.
#include "access/SignalValidation.h"

#include <new>
#include <string>

#include "access/FileInfo.h"
#include "jsonxx/jsonxx.h"
#include "mdfread/MDFFileOp.h"
#include "support/CFormat.h"
#include "support/LibUtils.h"
#include "support/Paths.h"
#include "support/TargetFile.h"
#include "support/Utf8.h"
#include "vantrel.h"

namespace {

// The names an MDF channel is matched and reported by, UTF-8 whatever the
// file holds (MDF 3 texts are Latin-1), as a database built from the file
// stores them.
struct MdfChannelNames {
    std::string name;
    std::string message;
    std::string network;
};

std::string Utf8Text(std::string const& text)
{
    return Utf8FromWide(widestring(text));
}

MdfChannelNames NamesOf(CCNBlockOp* channel, std::string const& groupLabel)
{
    std::string name, unit, comment;
    channel->GetChannelInfo(name, unit, comment);
    MdfChannelNames names;
    names.name = Utf8Text(name);
    const size_t separator = comment.find(" | ");
    if (separator == std::string::npos) {
        names.message = groupLabel;
    } else {
        names.message = Utf8Text(comment.substr(0, separator));
        names.network = Utf8Text(comment.substr(separator + 3));
    }
    return names;
}

CChannelInfo* FirstAliasAccepting(std::vector<CChannelInfo>& aliases, MdfChannelNames const& channel)
{
    for (CChannelInfo& alias : aliases)
        for (CChannelDefinition const& alternative : alias.definitions)
            if (alternative.channel_name == channel.name && MatchField(alternative.message_name, channel.message) &&
                MatchField(alternative.network_name, channel.network))
                return &alias;
    return nullptr;
}

// A path ending in ".db" in any case, or of three characters or fewer, is a
// database; anything else is tried as an MDF file first.
bool NamesDatabase(std::wstring const& path)
{
    if (path.size() <= 3)
        return true;
    wchar_t const* end = path.c_str() + path.size() - 3;
    return end[0] == L'.' && (end[1] == L'd' || end[1] == L'D') && (end[2] == L'b' || end[2] == L'B');
}

// The MDF case succeeds only when every alias was matched by exactly one
// channel: the count of matches alone would let a twice-matched alias hide
// one that is missing.
int ValidateAgainstMdf(CMDFFileOp& mdf, std::vector<CChannelInfo>& aliases, std::wstring const& path)
{
    const int matches = MatchMDFChannels(mdf, aliases);
    const std::string file = PathForMessage(path);
    bool everyAlias = true;
    for (CChannelInfo const& alias : aliases) {
        if (alias.name.empty()) {
            DebugOutput(
                FormatC("Channel %s was not found in file %s", alias.name_in_script.c_str(), file.c_str()).c_str());
            everyAlias = false;
        }
    }
    if (matches > static_cast<int>(aliases.size()))
        DebugOutput1("An alias of the script matches more than one channel in file %s", file.c_str());
    return everyAlias && matches == static_cast<int>(aliases.size()) ? matches : 0;
}

jsonxx::Object ResolvedEntry(CChannelInfo const& alias)
{
    jsonxx::Object entry;
    entry.import("name_in_script", alias.name_in_script);
    entry.import("name", alias.name);
    entry.import("message_name", alias.message_name);
    entry.import("network_name", alias.network_name);
    if (!alias.required)
        entry.import("required", "false");
    return entry;
}

jsonxx::Object MissingEntry(CChannelInfo const& alias)
{
    jsonxx::Object entry;
    entry.import("name_in_script", alias.name_in_script);
    if (!alias.required)
        entry.import("required", "false");
    return entry;
}

void ReportUnopened(char const* what, wchar_t const* path)
{
    DebugOutput(what);
    DebugOutput(PathForMessage(path).c_str());
}

int Validate(wchar_t const* dataPath, wchar_t const* aliasList, wchar_t const* resultPath)
{
    // The alias list is a JSON argument, which may be JSON text.
    if (!CheckPaths({dataPath, resultPath}))
        return -3;
    const std::string listName = PathForMessage(aliasList);
    std::vector<CChannelInfo> aliases;
    if (!aliasList || !*aliasList || !ReadAliasesFromJson(aliasList, aliases)) {
        DebugOutput1("Invalid JSON file %s", listName.c_str());
        return -3;
    }
    if (!dataPath || !*dataPath) {
        ReportUnopened("Could not open data file!", dataPath);
        return -3;
    }
    if (!resultPath || !*resultPath) {
        ReportUnopened("Could not open output Json file!", resultPath);
        return -3;
    }
    if (SameFile(resultPath, aliasList) || SameFile(resultPath, dataPath)) {
        DebugOutput1("The result file %s would replace an input of the validation",
                     PathForMessage(resultPath).c_str());
        return -3;
    }

    const std::wstring path = dataPath;
    FileInfo database;
    std::vector<CChannelInfo>* reported = &aliases;
    int result = 0;
    bool readAsMdf = false;
    if (!NamesDatabase(path)) {
        CMDFFileOp mdf;
        readAsMdf = mdf.ReadFile(path);
        if (readAsMdf && (result = ValidateAgainstMdf(mdf, aliases, path)) == 0)
            return 0;
    }
    if (!readAsMdf) {
        database.channels = std::move(aliases);
        result = database.LoadChannelsFromAliases(dataPath);
        reported = &database.channels;
    }

    jsonxx::Array resolved, missing;
    for (CChannelInfo const& alias : *reported) {
        if (alias.name.empty())
            missing.append(MissingEntry(alias));
        else
            resolved.append(ResolvedEntry(alias));
    }
    const bool enough = database.HasAllRequiredChannels();
    if (!enough)
        result = 0;
    jsonxx::Object document;
    document.import("Channels", resolved);
    if (result < static_cast<int>(reported->size()))
        document.import("MissingChannels", missing);

    const FileWrite written = WriteWholeFile(resultPath, document.json(), kJsonSignature);
    if (written == FileWrite::NotOpened) {
        ReportUnopened("Could not open output Json file!", resultPath);
        return -3;
    }
    if (!enough)
        DebugOutput1("File does not have enough signals for script %s", listName.c_str());
    return written == FileWrite::Written ? result : -3;
}

}  // namespace

int MatchMDFChannels(CMDFFileOp& mdf, std::vector<CChannelInfo>& aliases)
{
    for (CChannelInfo& alias : aliases)
        alias.name.clear();
    int matches = 0;
    int groupNumber = 0;
    CCGBlockOp* currentGroup = nullptr;
    std::string groupLabel;
    for (CCNBlockOp* channel = mdf.GetNextChannel(true); channel; channel = mdf.GetNextChannel(false)) {
        if (channel->GetChannelGroup() != currentGroup) {
            currentGroup = channel->GetChannelGroup();
            groupLabel = FormatC("Group%04d", ++groupNumber);
        }
        if (channel->IsTimeChannel())
            continue;
        const MdfChannelNames names = NamesOf(channel, groupLabel);
        if (CChannelInfo* alias = FirstAliasAccepting(aliases, names)) {
            alias->name = names.name;
            alias->message_name = names.message;
            alias->network_name = names.network;
            ++matches;
        }
    }
    return matches;
}

// ---- Exported functions ------------------------------------------------------

extern "C" {

int ValidateSignalsW(wchar_t const* dataPath, wchar_t const* aliasList, wchar_t const* resultPath)
{
    try {
        return Validate(dataPath, aliasList, resultPath);
    } catch (std::bad_alloc const&) {
        DebugOutput("Out of memory while validating signals");
    } catch (...) {
        DebugOutput("Unexpected failure while validating signals");
    }
    return -3;
}

int ValidateSignals(char const* dataPath, char const* aliasList, char const* resultPath)
{
    try {
        // The alias list may name a file: its bytes are kept like a path's.
        const std::wstring data = WidePath(dataPath), list = WidePath(aliasList), result = WidePath(resultPath);
        return ValidateSignalsW(dataPath ? data.c_str() : nullptr, aliasList ? list.c_str() : nullptr,
                                resultPath ? result.c_str() : nullptr);
    } catch (...) {
        DebugOutput("Unexpected failure while validating signals");
        return -3;
    }
}

}  // extern "C"
