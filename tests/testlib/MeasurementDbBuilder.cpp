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

class Database {
public:
    explicit Database(const std::string& path)
    {
        std::remove(path.c_str());
        check(sqlite3_open(path.c_str(), &db_));
    }
    ~Database() { sqlite3_close_v2(db_); }

    void exec(const std::string& sql) { check(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr)); }

    void insert(const std::string& table, const std::vector<Value>& row)
    {
        std::string sql = "INSERT INTO " + table + " VALUES (?";
        for (size_t i = 1; i < row.size(); ++i)
            sql += ", ?";
        sqlite3_stmt* stmt = nullptr;
        check(sqlite3_prepare_v2(db_, (sql + ")").c_str(), -1, &stmt, nullptr));
        std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> owner(stmt, sqlite3_finalize);
        for (int i = 0; i < static_cast<int>(row.size()); ++i) {
            if (row[i].kind == SQLITE_FLOAT)
                sqlite3_bind_double(stmt, i + 1, row[i].number);
            else if (row[i].kind == SQLITE_TEXT)
                sqlite3_bind_text(stmt, i + 1, row[i].text.data(), static_cast<int>(row[i].text.size()), SQLITE_STATIC);
        }
        check(sqlite3_step(stmt) == SQLITE_DONE ? SQLITE_OK : SQLITE_ERROR);
    }

private:
    void check(int code)
    {
        if (code != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(db_));
    }

    sqlite3* db_ = nullptr;
};

void writeRecords(Database& db, int messageId, const TestMessage& message)
{
    const int count = static_cast<int>(message.signals.size());
    for (int part = 1; part <= MeasurementDb::PartOfSignal(count); ++part) {
        const int first = (part - 1) * MeasurementDb::kSignalsPerPart + 1;
        const int last = std::min(count, part * MeasurementDb::kSignalsPerPart);
        std::vector<MeasurementDb::ColumnType> types;
        for (int k = first; k <= last; ++k)
            types.push_back(message.signals[k - 1].integer ? MeasurementDb::ColumnType::Integer
                                                           : MeasurementDb::ColumnType::Double);
        db.exec(mbstring(MeasurementDb::RecordTableCreateSql(messageId, part, first, types)));
        for (const TestRow& row : message.rows) {
            std::vector<Value> values = {row.time};
            for (int k = first; k <= last; ++k) {
                std::optional<double> v = k <= static_cast<int>(row.values.size()) ? row.values[k - 1] : std::nullopt;
                bool integer = message.signals[k - 1].integer;
                values.push_back(!v ? Value() : integer ? static_cast<double>(static_cast<long long>(*v)) : *v);
            }
            db.insert(MeasurementDb::RecordTableName(messageId, part), values);
        }
    }
}

}  // namespace

void MakeMeasurementDb(const std::string& path, const TestDatabase& database)
{
    Database db(path);
    db.exec("BEGIN");
    for (const wchar_t* table : MeasurementDb::kSchemaTables)
        db.exec(mbstring(table));
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
        db.insert("Messages", {id, message.name, "", message.signalCount.value_or(message.signals.size()),
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
            db.insert("Channels", {channelId, id, s.messageChannel.value_or(static_cast<int>(k) + 1), s.name,
                                   s.signalType.empty() ? Value() : s.signalType, low, high, low, low, 0.0,
                                   message.network, s.units, s.daqRate, -1, 0.0, "",
                                   s.nullScaling ? Value() : s.slope, s.nullScaling ? Value() : s.offset,
                                   s.dataType.value_or(s.integer ? 1 : 4), 0.0, s.bitLength, 0.0, 1, s.muxValue,
                                   s.sequence.value_or(channelId), s.collectionMask});
            for (const auto& [value, text] : s.states)
                db.insert("ChannelStates", {channelId, text, value});
        }
    }
    db.exec("INSERT INTO Channels (ID, Name, CollectionMask) VALUES (0, 'Collection Key', " +
            std::to_string(database.collectionKey) + ")");
    if (database.statisticsStart)
        for (const auto& [name, figures] : networks)
            db.insert("Network_Statistics", {name, figures.first, figures.first, 0.0, 0.0, 0.0,
                                             *database.statisticsStart, figures.second, 0.0});
    db.exec("COMMIT");
}

}  // namespace testlib
