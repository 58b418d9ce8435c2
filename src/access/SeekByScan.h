// The reference way of seeking by time: every record table searched by the
// range queries over TIME_VAL, as a table not stored in time order always is.
// Tests and benchmarks compare seeking by rowid with it. Free of SQLite's
// header so that any test can include it.
#pragma once

// Each FileInfo takes the setting current when it is made.
void SetSeekByScanDefault(bool scan);
bool SeekByScanDefault();
