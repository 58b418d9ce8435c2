// The export model (COrbkBin, CArbitration and its signals, the message
// cursors CArbDbInfo) is part of the C++ interface hosts use to drive an
// export, so it is declared in the public header; this header adds what only
// the library uses.
#pragma once

#include "vantrel_export.h"
#include "support/MatNames.h"

#include <string>

// The signal kind a Channels row's SignalType gives (NULL: absent).
uint32_t SignalKindOf(std::wstring const* signalType);
