// The exported database building functions, the build's target file and the
// signal selection.

#include "dbbuild/MdfKvxDb.h"

#include <memory>
#include <new>
#include <stdexcept>

#include "dbbuild/NetworkStatistics.h"
#include "jsonxx/jsonxx.h"
#include "mdfread/MDFFileOp.h"
#include "support/CppSQLite3U.h"
#include "support/LibUtils.h"
#include "support/Paths.h"
#include "support/TargetFile.h"
#include "support/Utf8.h"
#include "vantrel.h"

namespace {

// Loads everything into the open connection and closes it. Exceptions of the
// SQL layer leave here with the connection already closed.
bool FillDatabase(std::unique_ptr<CppSQLite3DB> db, CMDFFileOp& file, std::set<std::string>* selection)
{
    if (!LoadDataInDatabase(db.get(), file, selection))
        return false;
    const double start = file.GetMeasurementStartTimestamp();
    UpdateNetworkStatistics(db.get(), start == -1.0 ? 0.0 : start);
    db->close();
    return true;
}

std::string TextMember(jsonxx::Object const& entry, char const* key, bool& valid)
{
    if (entry.has<jsonxx::String>(key))
        return entry.get<jsonxx::String>(key);
    if (entry.kv_map().count(key) != 0)
        valid = false;
    return std::string();
}

// "name | message | network" of one selection entry; false for an entry
// that is no object with a "name" text.
bool EntryKey(jsonxx::Value const& value, std::string& key)
{
    if (!value.is<jsonxx::Object>())
        return false;
    jsonxx::Object const& entry = value.get<jsonxx::Object>();
    if (!entry.has<jsonxx::String>("name"))
        return false;
    bool valid = true;
    std::string message = TextMember(entry, "message_name", valid);
    const std::string network = TextMember(entry, "network_name", valid);
    // A group's default name stands for a channel whose comment names no
    // message: such a channel's key has an empty message.
    if (network.empty() && message.compare(0, 5, "Group") == 0)
        message.clear();
    key = entry.get<jsonxx::String>("name") + " | " + message + " | " + network;
    return valid;
}

int BuildDatabase(wchar_t const* mdfPath, wchar_t const* signalsPath, wchar_t const* dbPath)
{
    try {
        // The selection is a JSON argument, which may be JSON text.
        if (!CheckPaths({mdfPath, dbPath}))
            return 0;
        CMDFFileOp file;
        if (!mdfPath || !file.ReadFile(mdfPath)) {
            ReportUnopenedMdf(file, mdfPath);
            return 0;
        }
        return CreateDatabase(file, mdfPath, dbPath, signalsPath) ? 1 : 0;
    } catch (std::bad_alloc const&) {
        DebugOutput("Out of memory while building a database");
    } catch (...) {
        DebugOutput("Unexpected failure while building a database");
    }
    return 0;
}

}  // namespace

void ReportUnopenedMdf(CMDFFileOp const& file, wchar_t const* path)
{
    DebugOutput("Could not open MDF file!");
    DebugOutput(PathForMessage(path).c_str());
    // Loggers write "UnFinMF " until they close a file; one cut off before
    // that is refused like a damaged one, so the user is told which it is.
    if (file.WasUnfinalized())
        DebugOutput("The MDF file is not finalized (its identifier is \"UnFinMF \"): its writer did not finish it, "
                    "and such files are not read");
}

std::wstring DefaultDatabasePath(std::wstring const& mdfPath)
{
    const size_t nameStart = mdfPath.rfind(L'/') == std::wstring::npos ? 0 : mdfPath.rfind(L'/') + 1;
    const size_t dot = mdfPath.rfind(L'.');
    if (dot != std::wstring::npos && dot > nameStart)
        return mdfPath.substr(0, dot) + L".db";
    return mdfPath + L".db";
}

std::string SelectionKey(std::string const& key)
{
    return NameKey(key);
}

bool ReadChannels(wchar_t const* path, std::set<std::string>& keys)
{
    std::string text;
    jsonxx::Object root;
    if (!ReadFileToString(path, text) || !root.parse(text) || !root.has<jsonxx::Array>("Channels")) {
        DebugOutput1("Invalid JSON file %s", PathForMessage(path).c_str());
        return false;
    }
    for (auto const& element : root.get<jsonxx::Array>("Channels").values()) {
        std::string key;
        if (!EntryKey(*element, key)) {
            DebugOutput1("Invalid signal selection %s: every entry of \"Channels\" needs a \"name\" text",
                         PathForMessage(path).c_str());
            return false;
        }
        keys.insert(SelectionKey(key));
    }
    return true;
}

bool CreateDatabase(CMDFFileOp& file, wchar_t const* mdfPath, wchar_t const* dbPath, wchar_t const* selectionPath)
{
    const std::wstring source = mdfPath ? mdfPath : L"";
    const std::wstring target = dbPath && *dbPath ? std::wstring(dbPath) : DefaultDatabasePath(source);
    std::set<std::string> keys;
    if (selectionPath && !ReadChannels(selectionPath, keys))
        return false;
    if (SameFile(target, source)) {
        DebugOutput1("The database %s would replace the MDF file it is built from", PathForMessage(target).c_str());
        return false;
    }
    if (selectionPath && SameFile(target, selectionPath)) {
        DebugOutput1("The database %s would replace the signal selection", PathForMessage(target).c_str());
        return false;
    }
    if (!MayReplaceDatabase(target))
        return false;

    PendingFile building(target);
    bool rejected = false;
    std::unique_ptr<CppSQLite3DB> db(OpenDbIfValid(building.path().c_str(), false, rejected));
    if (!db) {
        DebugOutput1("Could not create the database %s", PathForMessage(target).c_str());
        return false;
    }
    bool built = false;
    try {
        built = FillDatabase(std::move(db), file, keys.empty() ? nullptr : &keys);
    } catch (CppSQLite3Exception const& e) {
        DebugOutput(mbstring(e.errorMessage()).c_str());
    } catch (std::bad_alloc const&) {
        DebugOutput("Out of memory while building a database");
    } catch (std::exception const& e) {
        DebugOutput(e.what());
    } catch (...) {
        DebugOutput("Unexpected failure while building a database");
    }
    built = built && building.Commit();
    if (!built)
        DebugOutput1("The database %s was not built", PathForMessage(target).c_str());
    return built;
}

// ---- Exported functions ------------------------------------------------------

extern "C" {

VANTREL_API int CreateDatabaseW(wchar_t const* mdfPath, wchar_t const* dbPath)
{
    return BuildDatabase(mdfPath, nullptr, dbPath);
}

VANTREL_API int CreateDatabaseForSignalsW(wchar_t const* mdfPath, wchar_t const* signalsPath, wchar_t const* dbPath)
{
    return BuildDatabase(mdfPath, signalsPath, dbPath);
}

VANTREL_API int CreateDatabase(char const* mdfPath, char const* dbPath)
{
    try {
        const std::wstring mdf = WidePath(mdfPath), db = WidePath(dbPath);
        return BuildDatabase(mdfPath ? mdf.c_str() : nullptr, nullptr, dbPath ? db.c_str() : nullptr);
    } catch (...) {
        DebugOutput("Unexpected failure while building a database");
        return 0;
    }
}

VANTREL_API int CreateDatabaseForSignals(char const* mdfPath, char const* signalsPath, char const* dbPath)
{
    try {
        const std::wstring mdf = WidePath(mdfPath), signals = WidePath(signalsPath), db = WidePath(dbPath);
        return BuildDatabase(mdfPath ? mdf.c_str() : nullptr, signalsPath ? signals.c_str() : nullptr,
                             dbPath ? db.c_str() : nullptr);
    } catch (...) {
        DebugOutput("Unexpected failure while building a database");
        return 0;
    }
}

}  // extern "C"
