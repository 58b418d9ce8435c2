#include "vantrel.h"

// Dates are broken down in UTC unless the host asks for local time.
bool g_bUseLocalTime = false;
