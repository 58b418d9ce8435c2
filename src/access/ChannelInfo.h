// The channels a caller asks for: their sample state while records are
// stepped, their description once resolved in a measurement database, and
// the readers of the two JSON documents that name them (channel lists for the
// record access functions, alias lists for validation and hit extraction).
#pragma once

#include <cfloat>
#include <optional>
#include <string>
#include <vector>

#include "jsonxx/jsonxx.h"

struct sqlite3;

// The current and the prefetched next sample of one channel. DBL_MAX stands
// for "no time" and "no value".
class CChannelState {
public:
    CChannelState() = default;

    double GetNextTimeStamp() const { return nextTime; }
    // Whether a table standing on this channel's sample must move on to reach
    // time t: never once its rows are used up; always when the current row is
    // its last; otherwise when t has reached the next row.
    bool ShouldGetNextRecord(double t) const
    {
        if (curTime == DBL_MAX)
            return false;
        return nextTime == DBL_MAX || t >= nextTime;
    }

    double curTime = DBL_MAX;
    double curValue = DBL_MAX;
    double nextTime = DBL_MAX;
    double nextValue = DBL_MAX;
    bool active = true;
};

// One alternative of an alias: an exact channel name and wildcard filters on
// the network and the message.
struct CChannelDefinition {
    std::string channel_name;
    std::string network_name;
    std::string message_name;
    // The one alternative of a plain entry ({"name": ...}) of an alias list:
    // a database checks it as record access checks a channel list's entry
    // (ChannelFiltersMatch).
    bool plainEntry = false;
};

// Record access's rule for a channel's filters against a database row's
// network and message. A message filter "Group..." without a network filter
// names the builder's placeholder for an unnamed message and so selects any
// message.
bool ChannelFiltersMatch(std::string const& networkFilter, std::string const& messageFilter,
                         std::string const& network, std::string const& message);

// What a measurement database's Channels row, with its message, says about a
// channel.
struct CChannelDescription {
    std::string name;
    std::string units;
    std::string arbId;
    std::string signalType;
    std::string daqRate;
    int channelId = 0;
    int decimals = -1;
    int messageId = 0;
    int messageChannel = 0;
    int bitLength = 0;
    int messageCount = 0;
    double slope = 1.0;
    double offset = 0.0;
    double minTime = 0.0;
    double maxTime = 0.0;
    double minVal = 0.0;
    double maxVal = 0.0;
};

class CChannelInfo : public CChannelState, public CChannelDescription {
public:
    // Note the order: message before network.
    CChannelInfo(char const* name, char const* message_name, char const* network_name);

    double Scale(double v) const { return v * slope + offset; }
    // The value a row's stored number stands for: "Double" channels are
    // stored physical, every other kind raw and read through slope/offset.
    double ValueOfStored(double stored) const { return storesPhysical ? stored : Scale(stored); }
    // The channel's filters against a database row's network and message
    // (ChannelFiltersMatch). Names set by alias resolution (exactNames) must
    // equal the row's.
    bool DoesChannelMatch(std::string const& network, std::string const& message) const;
    bool IsResolved() const { return channelId > 0; }
    // The first time at or after t, and the last time at or before t, among
    // the rows of the channel's record table, by a range query that scans it;
    // nothing when no row qualifies (an empty table, a table ending before or
    // starting after t) or the query fails.
    std::optional<double> GetTimeStampJustAfterOrAt(double t, sqlite3* db) const;
    std::optional<double> GetTimeStampJustBeforeOrAt(double t, sqlite3* db) const;

    std::string network_name;
    std::string message_name;
    std::string tableName;
    std::string columnName;
    std::string name_in_script;
    bool required = true;
    std::vector<CChannelDefinition> definitions;
    // Derived from signalType when the channel is resolved.
    bool storesPhysical = false;
    // Alias resolution put the database's own network and message names
    // into the filters: they are matched as they are, not as patterns, so a
    // name holding '*', '?', '[' or a backslash finds its own row.
    bool exactNames = false;
};

// The readers append to out (callers pass an empty vector) and return whether
// out holds at least one channel. They print nothing themselves beyond the
// JSON argument rule's "Could not open file %s".
bool ReadChannelsFromJson(wchar_t const* argument, std::vector<CChannelInfo>& out);
bool ReadAliasesFromJson(wchar_t const* argument, std::vector<CChannelInfo>& out);
bool ReadAliasesFromObject(jsonxx::Object const& document, std::vector<CChannelInfo>& out);
