// Two operations on a measurement database that the builder and hit
// extraction share: the Network_Statistics rows, computed from the Messages
// rows once all records are in, and opening a database file with an optional
// check that it is complete.
#pragma once

class CppSQLite3DB;

// One Network_Statistics row per distinct non-empty Messages.Network, from
// startTime to the largest MaxTime of its messages. Failures of the SQL layer
// leave as CppSQLite3Exception.
void UpdateNetworkStatistics(CppSQLite3DB* db, double startTime);

// A connection owned by the caller, or null. Null with rejected false: the
// file did not open (a diagnostic line says why); null with rejected true:
// check was asked and the file is no complete measurement database (no
// Network_Statistics row, or no schema text mentioning CollectionMask).
// Never throws.
CppSQLite3DB* OpenDbIfValid(wchar_t const* path, bool check, bool& rejected);
