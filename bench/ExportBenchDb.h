// The measurement database the export benchmarks run on, written with plain
// SQL in the builder's format.
#pragma once

#include "support/MeasurementDb.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sqlite3.h>
#include <string>
#include <vector>

inline void Exec(sqlite3* db, std::string const& sql)
{
    char* error = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        std::fprintf(stderr, "%s: %s\n", sql.substr(0, 80).c_str(), error ? error : "");
        std::exit(1);
    }
}

inline std::string Narrow(std::wstring const& wide)
{
    return std::string(wide.begin(), wide.end());
}

// One message of `signals` double channels and `records` rows spread evenly
// over `span` seconds; values repeat every 1000 records, or with
// distinctIntegers every value is an integer of its own.
inline void MakeDatabase(std::string const& path, int signals, long long records, double span,
                         bool distinctIntegers = false)
{
    std::remove(path.c_str());
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    Exec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF");
    for (wchar_t const* table : MeasurementDb::kSchemaTables)
        Exec(db, Narrow(table));
    Exec(db, "BEGIN");
    const double step = span / static_cast<double>(records);
    Exec(db, "INSERT INTO Messages (ID, Name, ArbId, SignalCount, Network, MinTime, MaxTime, MessageCount) VALUES "
             "(1, 'Bench', '1', " + std::to_string(signals) + ", 'CAN', 500000000.0, " +
                 std::to_string(500000000.0 + (records - 1) * step) + ", " + std::to_string(records) + ")");
    Exec(db, "INSERT INTO Channels (ID, Name, CollectionMask) VALUES (0, 'Collection Key', 1)");
    for (int k = 1; k <= signals; ++k)
        Exec(db, "INSERT INTO Channels (ID, MessageId, MessageChannel, Name, SignalType, Slope, Offset, DataType, "
                 "BitLength, MUXValue, Sequence, CollectionMask) VALUES (" + std::to_string(k) + ", 1, " +
                     std::to_string(k) + ", 's" + std::to_string(k) + "', 'RawValue', 1.0, 0.0, 4, 64, -1, " +
                     std::to_string(k) + ", 1)");
    const int parts = MeasurementDb::PartOfSignal(signals);
    std::vector<sqlite3_stmt*> inserts;
    for (int part = 1; part <= parts; ++part) {
        const int first = (part - 1) * MeasurementDb::kSignalsPerPart + 1;
        const int count = std::min(signals, part * MeasurementDb::kSignalsPerPart) - first + 1;
        std::vector<MeasurementDb::ColumnType> types(static_cast<size_t>(count), MeasurementDb::ColumnType::Double);
        Exec(db, Narrow(MeasurementDb::RecordTableCreateSql(1, part, first, types)));
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(db, Narrow(MeasurementDb::RecordTableInsertSql(1, part, count)).c_str(), -1, &insert,
                           nullptr);
        inserts.push_back(insert);
    }
    for (long long r = 0; r < records; ++r)
        for (int part = 1; part <= parts; ++part) {
            sqlite3_stmt* insert = inserts[static_cast<size_t>(part - 1)];
            sqlite3_bind_double(insert, 1, 500000000.0 + r * step);
            const int columns = sqlite3_bind_parameter_count(insert);
            for (int c = 2; c <= columns; ++c)
                sqlite3_bind_double(insert, c, distinctIntegers ? static_cast<double>(r * 16 + c)
                                                                : static_cast<double>(r % 1000) * 0.5 + c);
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
    for (sqlite3_stmt* insert : inserts)
        sqlite3_finalize(insert);
    Exec(db, "COMMIT");
    sqlite3_close(db);
}

