// The export model (COrbkBin, CArbitration and its signals, the message
// cursors CArbDbInfo) is part of the C++ interface hosts use to drive an
// export, so it is declared in the public header; this header adds what only
// the library uses.
#pragma once

#include "vantrel_export.h"

#include <string>

// The signal kind a Channels row's SignalType gives (NULL: absent).
uint32_t SignalKindOf(std::wstring const* signalType);

// Text of a wide string for MDF 3.30 and CSV/MAT texts: Latin-1, with '?' for
// every character beyond U+00FF (never just its low byte).
std::string Latin1FromWide(std::wstring const& text);
