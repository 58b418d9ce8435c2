// The names exported channels go by in CSV headings and MAT variables: a
// channel's own name, or joined with its message's and network's names when
// another exported channel has the same name.
#pragma once

#include "export/MessageCursors.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

using ChannelNameMap = std::map<std::pair<CArbitration*, int>, std::string>;

// matlab: names scrubbed for MAT, and made unique (a clash left after
// joining, or the reserved name "header", gets "_2", "_3", ...), so that no
// variable replaces another.
ChannelNameMap BuildChannelNameMap(std::vector<CDbChannel>& channels, bool matlab, char const* separator);

// The name of a channel in a map; empty when it has none.
std::string const& NameOf(ChannelNameMap const& names, CDbChannel const& channel);
