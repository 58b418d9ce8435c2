// The measurement database builder: turns an MDF file into a measurement
// database, for all channels or for those a JSON signal selection names, and
// writes the channel lists of an MDF file.
// The exported entry points are declared in vantrel.h; these are the
// operations behind them.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "dbbuild/DbSignal.h"

class CMDFFileOp;
class CCNBlockOp;
class CppSQLite3DB;

// Builds the database of the open MDF file at dbPath, or (null or empty
// dbPath) beside the MDF file with its extension replaced by ".db". The
// database is written under a temporary name and takes the target's name
// only when complete, so a failed build leaves whatever was there before.
bool CreateDatabase(CMDFFileOp& file, wchar_t const* mdfPath, wchar_t const* dbPath, wchar_t const* selectionPath);

// The lines of an MDF file that file.ReadFile could not open: "Could not
// open MDF file!", the path, and then why, when the file is not finalized.
void ReportUnopenedMdf(CMDFFileOp const& file, wchar_t const* path);

// The default target: the file name's extension (from its last '.', when
// that is not its first character) replaced by ".db", or ".db" appended.
std::wstring DefaultDatabasePath(std::wstring const& mdfPath);

// Reads a signal selection (a file name or the JSON text itself) into keys
// in the form SelectionKey gives them. False, with a diagnostic line, for
// unreadable text, text without a "Channels" array, or an entry that is no
// object with a "name" text.
bool ReadChannels(wchar_t const* path, std::set<std::string>& keys);

// Keys are compared as the characters they stand for: an MDF 3 name in
// Latin-1 and the same name in a UTF-8 JSON file give the same key.
std::string SelectionKey(std::string const& key);

// The whole load: schema, one message per channel group (with a selection:
// per group holding a selected channel), records, Messages and Channels rows.
// Null selection: all channels. False when nothing could be loaded.
bool LoadDataInDatabase(CppSQLite3DB* db, CMDFFileOp& file, std::set<std::string>* selection);

// Creates the message of first's channel group (tables, signals, text
// states) and appends it to messages. False, with a diagnostic line, when the
// group cannot become a message: no time channel, or records that cannot be
// read.
bool CreateNewMessage(CppSQLite3DB* db, CCNBlockOp* first, std::vector<DbMessage>& messages,
                      std::set<std::string>* selection, int groupNumber);

// The Messages row of the message and the Channels rows of its signals.
bool AddMessageInfo(CppSQLite3DB* db, DbMessage& message);

// Writes the channels of the open MDF file, time channels left out, to
// jsonPath as {"Channels": [...]}: mode 0 names, messages and networks;
// mode 1 also every channel's statistics over its group's records, the
// values the builder stores for it. Nothing is written before every record
// has been read; false, with diagnostic lines, when the document could not
// be written whole.
bool DumpSignals(CMDFFileOp& file, wchar_t const* jsonPath, int mode);
