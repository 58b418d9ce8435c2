#include "MeasurementDbBuilder.h"

#include <algorithm>
#include <cfloat>
#include <cstdio>
#include <map>
#include <sqlite3.h>
#include <stdexcept>

namespace testlib {

namespace {

constexpr int kSignalsPerPart = 500;

class Connection {
public:
    explicit Connection(const std::string& path)
    {
        std::remove(path.c_str());
        if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK)
            fail("open");
    }
    ~Connection() { sqlite3_close_v2(db_); }

    void exec(const std::string& sql)
    {
        char* message = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
            std::string text = message ? message : "";
            sqlite3_free(message);
            throw std::runtime_error(text + " in: " + sql.substr(0, 200));
        }
    }

    sqlite3_stmt* prepare(const std::string& sql)
    {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK)
            fail(sql.substr(0, 200));
        return stmt;
    }

    void run(sqlite3_stmt* stmt)
    {
        if (sqlite3_step(stmt) != SQLITE_DONE)
            fail("step");
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
    }

    [[noreturn]] void fail(const std::string& what)
    {
        throw std::runtime_error(what + ": " + sqlite3_errmsg(db_));
    }

private:
    sqlite3* db_ = nullptr;
};

std::string tableName(int messageId, int part)
{
    char name[64];
    if (part == 1)
        std::snprintf(name, sizeof name, "MessageData%04d", messageId);
    else
        std::snprintf(name, sizeof name, "MessageData%04d_%04d", messageId, part);
    return name;
}

void bindText(sqlite3_stmt* stmt, int index, const std::string& text)
{
    sqlite3_bind_text(stmt, index, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void writeRecords(Connection& db, int messageId, const TestMessage& message)
{
    int count = static_cast<int>(message.signals.size());
    int parts = count == 0 ? 1 : recordTablePart(count);
    for (int part = 1; part <= parts; ++part) {
        int first = (part - 1) * kSignalsPerPart + 1;
        int last = std::min(count, part * kSignalsPerPart);
        std::string create = "CREATE TABLE " + tableName(messageId, part) + " (TIME_VAL DOUBLE ";
        std::string insert = "INSERT INTO " + tableName(messageId, part) + " VALUES (?";
        for (int k = first; k <= last; ++k) {
            create += ", Signal" + std::to_string(k) + (message.signals[k - 1].integer ? " INTEGER" : " DOUBLE");
            insert += ", ?";
        }
        db.exec(create + ")");
        sqlite3_stmt* stmt = db.prepare(insert + ")");
        for (const TestRow& row : message.rows) {
            sqlite3_bind_double(stmt, 1, row.time);
            for (int k = first; k <= last; ++k) {
                int index = k - first + 2;
                std::optional<double> value = k - 1 < static_cast<int>(row.values.size()) ? row.values[k - 1] : std::nullopt;
                if (!value)
                    sqlite3_bind_null(stmt, index);
                else if (message.signals[k - 1].integer)
                    sqlite3_bind_int64(stmt, index, static_cast<sqlite3_int64>(*value));
                else
                    sqlite3_bind_double(stmt, index, *value);
            }
            db.run(stmt);
        }
        sqlite3_finalize(stmt);
    }
}

}  // namespace

int recordTablePart(int signalNumber)
{
    return (signalNumber - 1) / kSignalsPerPart + 1;
}

void MakeMeasurementDb(const std::string& path, const TestDatabase& database)
{
    Connection db(path);
    db.exec(
        "CREATE TABLE Messages (ID INTEGER PRIMARY KEY, Name TEXT, ArbId TEXT, SignalCount INTEGER, DataTableName "
        "TEXT, Network TEXT, MinTime DOUBLE, MaxTime DOUBLE, MinDelta DOUBLE, MaxDelta DOUBLE, MessageCount INTEGER, "
        "Rate DOUBLE, MessageChanges INTEGER, DataBytes INTEGER);"
        "CREATE TABLE UnmatchedMessages (ID INTEGER PRIMARY KEY, Name TEXT, ArbId TEXT, Network TEXT, MinTime DOUBLE, "
        "MaxTime DOUBLE, MinDelta DOUBLE, MaxDelta DOUBLE, MessageCount INTEGER, Rate DOUBLE);"
        "CREATE TABLE Channels (ID INTEGER PRIMARY KEY, MessageId INTEGER, MessageChannel INTEGER, Name TEXT, "
        "SignalType TEXT, MinVal DOUBLE, MaxVal DOUBLE, AvgVal DOUBLE, Median DOUBLE, StdDev DOUBLE, Network TEXT, "
        "Units TEXT, DAQRate TEXT, Decimals INTEGER, NumChanges INTEGER, Formula TEXT, Slope DOUBLE, Offset DOUBLE, "
        "DataType INTEGER, StartByte INTEGER, BitLength INTEGER, StartBit INTEGER, BigEndian INTEGER, MUXValue "
        "INTEGER, Sequence INTEGER, CollectionMask INTEGER);"
        "CREATE TABLE ErrorMessages (TIME_VAL DOUBLE, ArbId TEXT, Description TEXT, ByteData TEXT, Network TEXT);"
        "CREATE TABLE ChannelStates (ChannelId INTEGER, StateText TEXT, NumVal DOUBLE);"
        "CREATE TABLE Network_Statistics (Network TEXT, TotalMessages INTEGER, MatchedMessages INTEGER, "
        "UnmatchedMessages INTEGER, ErrorMessages INTEGER, LongMessageParts INTEGER, MinTime DOUBLE, MaxTime DOUBLE, "
        "Rate DOUBLE);"
        "BEGIN;");

    sqlite3_stmt* messageRow = db.prepare(
        "INSERT INTO Messages VALUES (?, ?, '', ?, ?, ?, ?, ?, 0, 0, ?, 0, 0, 8)");
    sqlite3_stmt* channelRow = db.prepare(
        "INSERT INTO Channels VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, 0, ?, ?, ?, -1, 0, '', ?, ?, ?, 0, ?, 0, 1, ?, ?, ?)");
    sqlite3_stmt* stateRow = db.prepare("INSERT INTO ChannelStates VALUES (?, ?, ?)");
    int channelId = 1;
    std::map<std::string, std::pair<long long, double>> networks;  // count, max time
    for (size_t m = 0; m < database.messages.size(); ++m) {
        const TestMessage& message = database.messages[m];
        int messageId = static_cast<int>(m) + 1;
        writeRecords(db, messageId, message);
        double minTime = DBL_MAX, maxTime = -DBL_MAX;
        for (const TestRow& row : message.rows) {
            minTime = std::min(minTime, row.time);
            maxTime = std::max(maxTime, row.time);
        }
        sqlite3_bind_int(messageRow, 1, messageId);
        bindText(messageRow, 2, message.name);
        sqlite3_bind_int64(messageRow, 3, message.signalCount.value_or(static_cast<long long>(message.signals.size())));
        bindText(messageRow, 4, tableName(messageId, 1));
        bindText(messageRow, 5, message.network);
        sqlite3_bind_double(messageRow, 6, minTime);
        sqlite3_bind_double(messageRow, 7, maxTime);
        sqlite3_bind_int64(messageRow, 8, message.messageCount.value_or(static_cast<long long>(message.rows.size())));
        db.run(messageRow);
        auto& network = networks[message.network];
        network.first += static_cast<long long>(message.rows.size());
        network.second = std::max(network.second, maxTime);

        for (size_t k = 0; k < message.signals.size(); ++k) {
            const TestSignal& signal = message.signals[k];
            double low = DBL_MAX, high = -DBL_MAX;
            for (const TestRow& row : message.rows)
                if (k < row.values.size() && row.values[k]) {
                    low = std::min(low, *row.values[k]);
                    high = std::max(high, *row.values[k]);
                }
            if (low > high)
                low = high = 0;
            sqlite3_bind_int(channelRow, 1, channelId);
            sqlite3_bind_int(channelRow, 2, messageId);
            sqlite3_bind_int(channelRow, 3, signal.messageChannel.value_or(static_cast<int>(k) + 1));
            bindText(channelRow, 4, signal.name);
            if (!signal.signalType.empty())
                bindText(channelRow, 5, signal.signalType);
            sqlite3_bind_double(channelRow, 6, low);
            sqlite3_bind_double(channelRow, 7, high);
            sqlite3_bind_double(channelRow, 8, low);
            sqlite3_bind_double(channelRow, 9, low);
            bindText(channelRow, 10, message.network);
            bindText(channelRow, 11, signal.units);
            bindText(channelRow, 12, signal.daqRate);
            if (!signal.nullScaling) {
                sqlite3_bind_double(channelRow, 13, signal.slope);
                sqlite3_bind_double(channelRow, 14, signal.offset);
            }
            sqlite3_bind_int(channelRow, 15, signal.dataType.value_or(signal.integer ? 1 : 4));
            sqlite3_bind_int(channelRow, 16, signal.bitLength);
            sqlite3_bind_int(channelRow, 17, signal.muxValue);
            sqlite3_bind_int(channelRow, 18, signal.sequence.value_or(channelId));
            sqlite3_bind_int(channelRow, 19, signal.collectionMask);
            for (auto const& [value, text] : signal.states) {
                sqlite3_bind_int(stateRow, 1, channelId);
                bindText(stateRow, 2, text);
                sqlite3_bind_double(stateRow, 3, value);
                db.run(stateRow);
            }
            db.run(channelRow);
            ++channelId;
        }
    }
    sqlite3_finalize(messageRow);
    sqlite3_finalize(channelRow);
    sqlite3_finalize(stateRow);
    db.exec("INSERT INTO Channels (ID, Name, CollectionMask) VALUES (0, 'Collection Key', " +
            std::to_string(database.collectionKey) + ")");
    if (database.statisticsStart) {
        sqlite3_stmt* statistics = db.prepare("INSERT INTO Network_Statistics VALUES (?, ?, ?, 0, 0, 0, ?, ?, 0)");
        for (const auto& [name, figures] : networks) {
            bindText(statistics, 1, name);
            sqlite3_bind_int64(statistics, 2, figures.first);
            sqlite3_bind_int64(statistics, 3, figures.first);
            sqlite3_bind_double(statistics, 4, *database.statisticsStart);
            sqlite3_bind_double(statistics, 5, figures.second);
            db.run(statistics);
        }
        sqlite3_finalize(statistics);
    }
    db.exec("COMMIT");
}

}  // namespace testlib
