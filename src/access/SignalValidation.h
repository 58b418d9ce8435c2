// Whether a data file (an MDF file or a measurement database) can supply the
// channels of a script's alias list. The exported ValidateSignals(W) writes
// the outcome as a JSON result file.
#pragma once

#include <vector>

#include "access/ChannelInfo.h"

class CMDFFileOp;

// Matches the data channels of the MDF file against the aliases, which all
// start unresolved (empty name). A channel goes to the first alias, in list
// order, with an alternative naming it exactly whose message and network
// filters accept the channel's message and network (from a "Message |
// Network" comment; else its group's label "Group%04d", groups numbered as
// iteration meets them, and no network); the alias then takes the channel's
// names. Returns the number of matches made: an alias matched by two
// channels counts twice.
int MatchMDFChannels(CMDFFileOp& mdf, std::vector<CChannelInfo>& aliases);
