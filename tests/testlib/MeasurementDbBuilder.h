// Small measurement databases written with plain SQL in the builder's format,
// for tests of the readers: record access, hit extraction, export.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace testlib {

struct TestSignal {
    std::string name;
    std::string signalType = "RawValue";  // "" writes NULL
    double slope = 1.0;
    double offset = 0.0;
    bool integer = false;  // INTEGER column instead of DOUBLE
    std::string units;
    std::optional<int> dataType;  // unset: 1 for integer columns, 4 else
    int bitLength = 32;
    std::optional<int> messageChannel;  // unset: the signal's position
    std::optional<int> sequence;        // unset: the channel ID
    int collectionMask = 1;
    std::string daqRate;
    int muxValue = -1;
    bool nullScaling = false;                            // NULL Slope and Offset
    std::vector<std::pair<double, std::string>> states;  // ChannelStates rows (value, text)
};

struct TestRow {
    double time = 0.0;
    std::vector<std::optional<double>> values;  // one per signal; nullopt writes NULL
};

struct TestMessage {
    std::string name;
    std::string network = "HS CAN";
    std::vector<TestSignal> signals;
    std::vector<TestRow> rows;  // in stored order
    // Messages columns as stored, when they must disagree with the data.
    std::optional<long long> signalCount;
    std::optional<long long> messageCount;
};

struct TestDatabase {
    std::vector<TestMessage> messages;  // message IDs 1, 2, ... in this order
    // MinTime of every Network_Statistics row; no rows without it.
    std::optional<double> statisticsStart;
    unsigned collectionKey = 1;  // CollectionMask of the Channels row with ID 0
};

// Writes the database new (an existing file is replaced); throws
// std::runtime_error with SQLite's text when a statement fails.
void MakeMeasurementDb(const std::string& path, const TestDatabase& database);

}  // namespace testlib
