#include "access/ChannelInfo.h"

#include "support/LibUtils.h"

CChannelInfo::CChannelInfo(char const* name_, char const* message_name_, char const* network_name_)
    : network_name(network_name_ ? network_name_ : ""), message_name(message_name_ ? message_name_ : "")
{
    name = name_ ? name_ : "";
}

bool ChannelFiltersMatch(std::string const& networkFilter, std::string const& messageFilter,
                         std::string const& network, std::string const& message)
{
    bool placeholder = networkFilter.empty() && messageFilter.compare(0, 5, "Group") == 0;
    static std::string const anyMessage;
    return MatchField(networkFilter, network) && MatchField(placeholder ? anyMessage : messageFilter, message);
}

bool CChannelInfo::DoesChannelMatch(std::string const& network, std::string const& message) const
{
    return ChannelFiltersMatch(network_name, message_name, network, message);
}
