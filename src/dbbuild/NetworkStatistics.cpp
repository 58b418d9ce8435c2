#include "dbbuild/NetworkStatistics.h"

#include <memory>
#include <string>
#include <vector>

#include "support/CppSQLite3U.h"
#include "support/LibUtils.h"
#include "support/Paths.h"

void UpdateNetworkStatistics(CppSQLite3DB* db, double startTime)
{
    std::vector<std::wstring> networks;
    {
        CppSQLite3Query rows = db->execQuery(L"SELECT DISTINCT Network FROM Messages");
        for (; !rows.eof(); rows.nextRow()) {
            std::wstring network;
            if (rows.getStringField(0, network) && !network.empty())
                networks.push_back(network);
        }
    }
    // Names come from MDF comments: they are bound, never written into SQL.
    CppSQLite3Statement sumQuery = db->compileStatement(L"SELECT SUM(MessageCount) FROM Messages WHERE Network = ?");
    CppSQLite3Statement boundsQuery =
        db->compileStatement(L"SELECT MIN(MinTime), MAX(MaxTime) FROM Messages WHERE Network = ?");
    CppSQLite3Statement insert =
        db->compileStatement(L"INSERT INTO Network_Statistics VALUES (?, ?, ?, 0, 0, 0, ?, ?, ?)");
    for (std::wstring const& network : networks) {
        long long total = 0;
        double maxTime = 0.0;
        {
            sumQuery.bind(1, network.c_str());
            CppSQLite3Query sum = sumQuery.execQuery();
            if (!sum.eof())
                total = sum.getInt64Field(0, 0);
        }
        sumQuery.reset();
        {
            boundsQuery.bind(1, network.c_str());
            CppSQLite3Query bounds = boundsQuery.execQuery();
            if (!bounds.eof())
                maxTime = bounds.getFloatField(1, 0.0);
        }
        boundsQuery.reset();
        const double minTime = startTime;
        const double span = maxTime - minTime;
        const double rate = span != 0.0 && total != 0 ? static_cast<double>(total) / span : 0.0;
        insert.bind(1, network.c_str());
        insert.bind(2, total);
        insert.bind(3, total);
        insert.bind(4, minTime);
        insert.bind(5, maxTime);
        insert.bind(6, rate);
        insert.execDML();
    }
}

namespace {

// Rows of Network_Statistics, and 0 unless some schema text mentions
// CollectionMask; any failure leaves the count where it stood.
long long CompletenessCount(CppSQLite3DB& db)
{
    long long count = 0;
    try {
        // A view in its place may recurse without end.
        CppSQLite3Query table = db.execQuery(
            L"SELECT 1 FROM sqlite_master WHERE type = 'table' AND rootpage > 0 AND name = 'Network_Statistics'");
        if (table.eof())
            return 0;
        CppSQLite3Query rows = db.execQuery(L"SELECT COUNT(*) FROM Network_Statistics");
        if (!rows.eof())
            count = rows.getInt64Field(0, 0);
        if (count != 0) {
            CppSQLite3Query schema = db.execQuery(L"SELECT * FROM sqlite_master where sql like('%CollectionMask%')");
            if (schema.eof())
                count = 0;
        }
    } catch (...) {
    }
    return count;
}

}  // namespace

CppSQLite3DB* OpenDbIfValid(wchar_t const* path, bool check, bool& rejected)
{
    rejected = false;
    std::unique_ptr<CppSQLite3DB> db;
    try {
        db = std::make_unique<CppSQLite3DB>();
        db->open(path ? path : L"");
    } catch (CppSQLite3Exception const& e) {
        std::string line = mbstring(CppSQLite3Exception::errorCodeAsString(e.errorCode()));
        line += " error from: ";
        line += PathForMessage(path);
        DebugOutput(line.c_str());
        return nullptr;
    } catch (...) {
        DebugOutput("Out of memory while opening a database");
        return nullptr;
    }
    if (check && CompletenessCount(*db) == 0) {
        rejected = true;
        return nullptr;
    }
    return db.release();
}
