#include "MeasurementDbBuilder.h"

#include <algorithm>
#include <cfloat>
#include <cstdio>
#include <map>
#include <memory>
#include <sqlite3.h>
#include <stdexcept>
#include <type_traits>

#include "support/LibUtils.h"
#include "support/MeasurementDb.h"

namespace testlib {

namespace {

// A bound value: a number (an INTEGER column keeps a whole one as an
// integer), a text, or NULL.
struct Value {
    Value() = default;
    Value(double v) : kind(SQLITE_FLOAT), number(v) {}
    template <typename T, typename = std::enable_if_t<std::is_integral_v<T>>>
    Value(T v) : Value(static_cast<double>(v)) {}
    Value(std::string v) : kind(SQLITE_TEXT), text(std::move(v)) {}
    Value(const char* v) : Value(std::string(v)) {}
    int kind = SQLITE_NULL;
    double number = 0;
    std::string text;
};

// Runs one statement with the values bound; throws with SQLite's text on a
// failure.
void execute(sqlite3* db, const std::string& sql, const std::vector<Value>& values = {})
{
    sqlite3_stmt* stmt = nullptr;
    int code = sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
    for (int i = 0; code == SQLITE_OK && i < static_cast<int>(values.size()); ++i) {
        const Value& v = values[i];
        if (v.kind == SQLITE_FLOAT)
            sqlite3_bind_double(stmt, i + 1, v.number);
        else if (v.kind == SQLITE_TEXT)
            sqlite3_bind_text(stmt, i + 1, v.text.data(), static_cast<int>(v.text.size()), SQLITE_STATIC);
    }
    if (code == SQLITE_OK)
        code = sqlite3_step(stmt) == SQLITE_DONE ? SQLITE_OK : SQLITE_ERROR;
    sqlite3_finalize(stmt);
    if (code != SQLITE_OK)
        throw std::runtime_error(sql.substr(0, 80) + ": " + sqlite3_errmsg(db));
}

void insert(sqlite3* db, const std::string& table, const std::vector<Value>& row)
{
    std::string sql = "INSERT INTO " + table + " VALUES (?";
    for (size_t i = 1; i < row.size(); ++i)
        sql += ", ?";
    execute(db, sql + ")", row);
}

void writeRecords(sqlite3* db, int messageId, const TestMessage& message)
{
    const int count = static_cast<int>(message.signals.size());
    for (int part = 1; part <= MeasurementDb::PartOfSignal(count); ++part) {
        const int first = (part - 1) * MeasurementDb::kSignalsPerPart + 1;
        const int last = std::min(count, part * MeasurementDb::kSignalsPerPart);
        std::vector<MeasurementDb::ColumnType> types;
        for (int k = first; k <= last; ++k)
            types.push_back(message.signals[k - 1].integer ? MeasurementDb::ColumnType::Integer
                                                           : MeasurementDb::ColumnType::Double);
        execute(db, mbstring(MeasurementDb::RecordTableCreateSql(messageId, part, first, types)));
        for (const TestRow& row : message.rows) {
            std::vector<Value> values = {row.time};
            for (int k = first; k <= last; ++k) {
                std::optional<double> v = k <= static_cast<int>(row.values.size()) ? row.values[k - 1] : std::nullopt;
                bool integer = message.signals[k - 1].integer;
                values.push_back(!v ? Value() : integer ? static_cast<double>(static_cast<long long>(*v)) : *v);
            }
            insert(db, MeasurementDb::RecordTableName(messageId, part), values);
        }
    }
}

}  // namespace

void MakeMeasurementDb(const std::string& path, const TestDatabase& database)
{
    std::remove(path.c_str());
    sqlite3* db = nullptr;
    int opened = sqlite3_open(path.c_str(), &db);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> owner(db, sqlite3_close_v2);
    if (opened != SQLITE_OK)
        throw std::runtime_error("cannot create " + path);
    execute(db, "BEGIN");
    for (const wchar_t* table : MeasurementDb::kSchemaTables)
        execute(db, mbstring(table));
    int channelId = 1;
    std::map<std::string, std::pair<double, double>> networks;  // rows, last time
    for (size_t m = 0; m < database.messages.size(); ++m) {
        const TestMessage& message = database.messages[m];
        const int id = static_cast<int>(m) + 1;
        writeRecords(db, id, message);
        double minTime = DBL_MAX, maxTime = -DBL_MAX;
        for (const TestRow& row : message.rows) {
            minTime = std::min(minTime, row.time);
            maxTime = std::max(maxTime, row.time);
        }
        double rows = static_cast<double>(message.rows.size());
        insert(db, "Messages", {id, message.name, "", message.signalCount.value_or(message.signals.size()),
                                MeasurementDb::RecordTableName(id), message.network, minTime, maxTime, 0.0, 0.0,
                                message.messageCount.value_or(message.rows.size()), 0.0, 0.0, 8});
        networks[message.network].first += rows;
        networks[message.network].second = std::max(networks[message.network].second, maxTime);

        for (size_t k = 0; k < message.signals.size(); ++k, ++channelId) {
            const TestSignal& s = message.signals[k];
            double low = DBL_MAX, high = -DBL_MAX;
            for (const TestRow& row : message.rows)
                if (k < row.values.size() && row.values[k]) {
                    low = std::min(low, *row.values[k]);
                    high = std::max(high, *row.values[k]);
                }
            if (low > high)
                low = high = 0;
            insert(db, "Channels", {channelId, id, s.messageChannel.value_or(static_cast<int>(k) + 1), s.name,
                                    s.signalType.empty() ? Value() : s.signalType, low, high, low, low, 0.0,
                                    message.network, s.units, s.daqRate, -1, 0.0, "",
                                    s.nullScaling ? Value() : s.slope, s.nullScaling ? Value() : s.offset,
                                    s.dataType.value_or(s.integer ? 1 : 4), 0.0, s.bitLength, 0.0, 1, s.muxValue,
                                    s.sequence.value_or(channelId), s.collectionMask});
            for (const auto& [value, text] : s.states)
                insert(db, "ChannelStates", {channelId, text, value});
        }
    }
    execute(db, "INSERT INTO Channels (ID, Name, CollectionMask) VALUES (0, 'Collection Key', ?)",
            {database.collectionKey});
    if (database.statisticsStart)
        for (const auto& [name, figures] : networks)
            insert(db, "Network_Statistics", {name, figures.first, figures.first, 0.0, 0.0, 0.0,
                                              *database.statisticsStart, figures.second, 0.0});
    execute(db, "COMMIT");
}

}  // namespace testlib
