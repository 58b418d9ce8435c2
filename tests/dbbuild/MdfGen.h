// Writes small MDF 4.00 files for the builder's tests with the project's own
// MDF writer: groups of channels whose raw values are given per record, laid
// out back to back after an 8-byte time channel.
#pragma once

#include <ctime>
#include <map>
#include <string>
#include <vector>

namespace dbtest {

struct GenChannel {
    std::string name;
    std::string description;  // the MDF comment: "message | network" names the message
    std::string unit;
    int dataType = 4;  // MdfChannelInfo codes: 0 unsigned, 1 signed, 3 float32, 4 float64
    int bits = 64;
    double factor = 1.0;
    double offset = 0.0;
    std::map<double, std::string> states;
    std::vector<double> values;  // raw value of each record
};

struct GenGroup {
    std::string name;
    bool withTime = true;
    std::string timeDescription;  // the time channel's comment
    std::vector<double> times;  // one per record
    std::vector<GenChannel> channels;
};

// A channel of 8-bit unsigned values (k + record) % 256.
GenChannel CounterChannel(std::string const& name, int k, size_t records);

// Writes the file; false when the writer reports a failure. Start time
// 2024-03-15 12:30:45 UTC.
bool WriteMdf4(std::string const& path, std::vector<GenGroup> const& groups);

// Seconds from 2007-01-01 UTC of that start time.
constexpr double kGenStartTime = 1710505845.0 - 1167609600.0;

}  // namespace dbtest
