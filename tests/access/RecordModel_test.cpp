// The library against a brute-force model over randomised databases: the
// model holds every row in memory and computes, for each operation, the
// result and both arrays the way the record interface defines them; the two
// must agree bit for bit after every operation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <set>

#include "access/ChannelInfo.h"
#include "access/FileInfo.h"
#include "support/LibUtils.h"
#include "testlib/MeasurementDbBuilder.h"
#include "testlib/TestSupport.h"
#include "vantrel.h"

namespace {

using testlib::TestDatabase;
using testlib::TestMessage;
using testlib::TestRow;
using testlib::TestSignal;

// One listed channel: the signal it names in the database, if any.
struct ListEntry {
    std::string name;
    std::string message;  // filter
    bool required = true;
    int messageIndex = -1;  // resolved signal, -1 when absent
    int signal = -1;        // 0-based
};

// The model's view of one record table part.
struct ModelTable {
    int messageIndex;
    int part;
    std::vector<size_t> listPositions;
    // Position: the rows still to come are seq[pos...]; ended = past the end.
    std::vector<size_t> seq;
    size_t pos = 0;
    bool ended = true;
    std::vector<double> endedValues;  // per list position in listPositions
};

class Model {
public:
    Model(TestDatabase const& db, std::vector<ListEntry> const& list, double startTime)
        : db_(db), list_(list), startTime_(startTime), active_(list.size(), true)
    {
        for (size_t i = 0; i < list.size(); ++i) {
            if (list[i].messageIndex < 0)
                continue;
            int part = testlib::recordTablePart(list[i].signal + 1);
            auto key = std::make_pair(list[i].messageIndex, part);
            if (!tableOf_.count(key)) {
                tableOf_[key] = tables_.size();
                tables_.push_back({list[i].messageIndex, part, {}, {}, 0, true, {}});
            }
            ModelTable& table = tables_[tableOf_[key]];
            table.listPositions.push_back(i);
            table.endedValues.push_back(DBL_MAX);
        }
        data_.assign(list.size(), DBL_MAX);
        times_.assign(list.size(), DBL_MAX);
    }

    std::vector<double> const& data() const { return data_; }
    std::vector<double> const& times() const { return times_; }

    double start()
    {
        double t = DBL_MAX;
        for (auto& table : tables_) {
            table.seq.clear();
            for (size_t r = 0; r < rows(table).size(); ++r)
                table.seq.push_back(r);
            standOnFirst(table);
            if (!table.ended)
                t = std::min(t, curTime(table));
        }
        finish(t);
        return t;
    }

    double step()
    {
        double next = DBL_MAX;
        for (size_t m = 0; m < db_.messages.size(); ++m) {
            ModelTable const* proposer = proposingTable(static_cast<int>(m));
            if (proposer && hasNext(*proposer) && nextTime(*proposer) > current_)
                next = std::min(next, nextTime(*proposer));
        }
        current_ = next;  // DBL_MAX ends the stepping for good
        if (next == DBL_MAX)
            return DBL_MAX;
        for (auto& table : tables_)
            while (!table.ended && (!hasNext(table) || nextTime(table) <= next))
                advance(table);
        fill();
        return rel(current_);
    }

    double changed()
    {
        std::vector<double> before = data_;
        double t = step();
        while (t != DBL_MAX && resolvedEqual(before))
            t = step();
        return t;
    }

    double valid()
    {
        double t = step();
        while (t != DBL_MAX && resolvedMissing())
            t = step();
        return t;
    }

    double jumpTo(double t)
    {
        std::optional<double> best;
        for (auto& table : tables_) {
            std::optional<double> at = firstAtOrAfter(table, t);
            if (!at)
                continue;
            best = best ? std::min(*best, *at) : *at;
            seek(table, *at);
        }
        if (!best) {
            fill();
            return DBL_MAX;
        }
        finish(*best);
        return *best;
    }

    double jumpBefore(double t)
    {
        std::optional<double> best = positionAtOrBefore(t);
        if (best && *best > t)
            best = positionAtOrBefore(*best);
        finish(best ? *best : -DBL_MAX);
        return current_;
    }

    double jumpAfter(double t)
    {
        std::optional<double> best;
        for (size_t m = 0; m < db_.messages.size(); ++m) {
            ModelTable const* proposer = proposingTable(static_cast<int>(m));
            if (!proposer)
                continue;
            std::optional<double> at = firstAtOrAfter(*proposer, t);
            if (at)
                best = best ? std::min(*best, *at) : *at;
        }
        if (!best) {
            fill();
            return DBL_MAX;
        }
        positionAtOrBefore(*best);
        finish(*best);
        return *best;
    }

    // The exported jumps: absolute from the start on, relative below it.
    template <typename Jump>
    double exportedJump(double t, Jump jump)
    {
        if (t >= startTime_) {
            absolute_ = true;
            return jump(t);
        }
        absolute_ = false;
        double found = jump(startTime_ + t);
        return found == DBL_MAX ? DBL_MAX - startTime_ : found - startTime_;
    }

    bool setMask(std::string const& mask)
    {
        if (mask.size() != list_.size() || mask.find_first_not_of("01") != std::string::npos)
            return false;
        for (size_t i = 0; i < mask.size(); ++i)
            active_[i] = mask[i] == '1';
        return true;
    }

    void setAbsolute(bool absolute) { absolute_ = absolute; }

private:
    std::vector<TestRow> const& rows(ModelTable const& table) const { return db_.messages[table.messageIndex].rows; }
    double rowTime(ModelTable const& table, size_t r) const { return rows(table)[r].time; }
    double curTime(ModelTable const& table) const { return table.ended ? DBL_MAX : rowTime(table, table.seq[table.pos]); }
    bool hasNext(ModelTable const& table) const { return !table.ended && table.pos + 1 < table.seq.size(); }
    double nextTime(ModelTable const& table) const { return rowTime(table, table.seq[table.pos + 1]); }

    double value(ModelTable const& table, size_t k, size_t r) const
    {
        ListEntry const& entry = list_[table.listPositions[k]];
        TestMessage const& message = db_.messages[table.messageIndex];
        std::optional<double> stored = message.rows[r].values[entry.signal];
        if (!stored)
            return DBL_MAX;
        TestSignal const& signal = message.signals[entry.signal];
        return signal.signalType == "Double" ? *stored : *stored * signal.slope + signal.offset;
    }

    double curValue(ModelTable const& table, size_t k) const
    {
        return table.ended ? table.endedValues[k] : value(table, k, table.seq[table.pos]);
    }

    void standOnFirst(ModelTable& table)
    {
        if (table.seq.empty()) {
            for (size_t k = 0; k < table.listPositions.size(); ++k)
                table.endedValues[k] = curValue(table, k);
            table.ended = true;
        } else {
            table.pos = 0;
            table.ended = false;
        }
    }

    void seek(ModelTable& table, double t)
    {
        for (size_t k = 0; k < table.listPositions.size(); ++k)
            table.endedValues[k] = curValue(table, k);
        table.seq.clear();
        for (size_t r = 0; r < rows(table).size(); ++r)
            if (rowTime(table, r) >= t)
                table.seq.push_back(r);
        standOnFirst(table);
    }

    void advance(ModelTable& table)
    {
        if (hasNext(table)) {
            ++table.pos;
            return;
        }
        for (size_t k = 0; k < table.listPositions.size(); ++k)
            table.endedValues[k] = curValue(table, k);
        table.ended = true;
    }

    std::optional<double> firstAtOrAfter(ModelTable const& table, double t) const
    {
        std::optional<double> found;
        for (auto const& row : rows(table))
            if (row.time >= t)
                found = found ? std::min(*found, row.time) : row.time;
        return found;
    }

    std::optional<double> lastAtOrBefore(ModelTable const& table, double t) const
    {
        std::optional<double> found;
        for (auto const& row : rows(table))
            if (row.time <= t)
                found = found ? std::max(*found, row.time) : row.time;
        return found;
    }

    bool tableActive(ModelTable const& table) const
    {
        for (size_t position : table.listPositions)
            if (active_[position])
                return true;
        return false;
    }

    std::optional<double> positionAtOrBefore(double t)
    {
        std::optional<double> best;
        for (auto& table : tables_) {
            std::optional<double> at = lastAtOrBefore(table, t);
            if (!at)
                at = firstAtOrAfter(table, t);
            if (!at)
                continue;
            seek(table, *at);
            if (tableActive(table) && (!best || *at > *best))
                best = at;
        }
        return best;
    }

    // The table of the message's first active listed channel.
    ModelTable const* proposingTable(int messageIndex) const
    {
        for (size_t i = 0; i < list_.size(); ++i)
            if (list_[i].messageIndex == messageIndex && active_[i])
                return &tables_[tableOf_.at({messageIndex, testlib::recordTablePart(list_[i].signal + 1)})];
        return nullptr;
    }

    void finish(double t)
    {
        current_ = t;
        if (t != DBL_MAX)
            for (auto& table : tables_)
                while (!table.ended && hasNext(table) && nextTime(table) <= t)
                    advance(table);
        fill();
    }

    double rel(double t) const { return absolute_ || t == DBL_MAX ? t : t - startTime_; }

    void fill()
    {
        for (auto const& table : tables_)
            for (size_t k = 0; k < table.listPositions.size(); ++k) {
                data_[table.listPositions[k]] = curValue(table, k);
                times_[table.listPositions[k]] = rel(curTime(table));
            }
    }

    bool resolvedEqual(std::vector<double> const& before) const
    {
        for (size_t i = 0; i < list_.size(); ++i)
            if (list_[i].messageIndex >= 0 && std::memcmp(&before[i], &data_[i], sizeof(double)) != 0)
                return false;
        return true;
    }

    bool resolvedMissing() const
    {
        for (size_t i = 0; i < list_.size(); ++i)
            if (list_[i].messageIndex >= 0 && data_[i] == DBL_MAX)
                return true;
        return false;
    }

    TestDatabase const& db_;
    std::vector<ListEntry> const& list_;
    double startTime_;
    std::vector<bool> active_;
    bool absolute_ = true;
    double current_ = DBL_MAX;
    std::vector<ModelTable> tables_;
    std::map<std::pair<int, int>, size_t> tableOf_;
    std::vector<double> data_;
    std::vector<double> times_;
};

// ---- Random databases and lists ---------------------------------------------

constexpr double kStart = 100.0;

struct Scenario {
    TestDatabase db;
    std::vector<ListEntry> list;
    std::string listJson;
};

double randomTime(std::mt19937& rng, double last)
{
    std::uniform_int_distribution<int> pick(0, 99);
    int p = pick(rng);
    if (p < 4)
        return 0.0;  // a NaN time as the builder stores it
    if (p < 8)
        return kStart + std::uniform_int_distribution<int>(0, 400)(rng) * 0.25;  // out of order
    if (p < 30)
        return last;  // equal to the previous row
    return last + std::uniform_int_distribution<int>(1, 8)(rng) * 0.25;
}

TestMessage randomMessage(std::mt19937& rng, int index, std::vector<std::string> const& sharedNames)
{
    TestMessage message;
    message.name = "Msg" + std::to_string(index);
    message.network = index % 3 == 0 ? "Body CAN" : "HS CAN";
    std::uniform_int_distribution<int> pick(0, 99);
    int signals = pick(rng) < 10 ? 503 + pick(rng) % 20 : 1 + pick(rng) % 4;
    for (int k = 0; k < signals; ++k) {
        TestSignal signal;
        signal.name = k < 2 && pick(rng) < 40 ? sharedNames[pick(rng) % sharedNames.size()]
                                              : message.name + "_S" + std::to_string(k + 1);
        int kind = pick(rng) % 4;
        signal.signalType = kind == 0 ? "Double" : kind == 1 ? "RawValue" : kind == 2 ? "State Encoded" : "";
        signal.slope = pick(rng) % 2 ? 0.5 : 1.0;
        signal.offset = pick(rng) % 2 ? 10.0 : 0.0;
        signal.integer = kind == 1 || kind == 2;
        message.signals.push_back(signal);
    }
    int rows = pick(rng) < 15 ? 0 : pick(rng) % 40;
    double last = kStart + (pick(rng) % 20) * 0.25;
    for (int r = 0; r < rows; ++r) {
        TestRow row;
        double t = randomTime(rng, last);
        if (t >= kStart)
            last = std::max(last, t);
        row.time = t;
        for (int k = 0; k < signals; ++k) {
            if (pick(rng) < 10)
                row.values.push_back(std::nullopt);
            else if (message.signals[k].integer)
                row.values.push_back(static_cast<double>(pick(rng) % 4 - 1));
            else
                row.values.push_back((pick(rng) % 5) * 0.75);
        }
        message.rows.push_back(row);
    }
    return message;
}

Scenario randomScenario(unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> pick(0, 99);
    Scenario s;
    std::vector<std::string> shared = {"Speed", "Temp's \"quoted\""};
    int messages = 1 + pick(rng) % 5;
    for (int m = 0; m < messages; ++m)
        s.db.messages.push_back(randomMessage(rng, m + 1, shared));
    s.db.statisticsStart = kStart;

    // The list: signals of the database (some through a message filter),
    // duplicated names, and absent optional channels.
    int entries = 1 + pick(rng) % 8;
    for (int e = 0; e < entries; ++e) {
        ListEntry entry;
        if (pick(rng) < 12) {
            entry.name = "Absent" + std::to_string(e);
            entry.required = false;
        } else {
            int m = pick(rng) % messages;
            TestMessage const& message = s.db.messages[m];
            int k = static_cast<int>(pick(rng) * 7919u % message.signals.size());
            if (message.signals.size() > 500 && pick(rng) < 50)
                k = 500 + pick(rng) % static_cast<int>(message.signals.size() - 500);
            entry.name = message.signals[k].name;
            if (pick(rng) < 50)
                entry.message = message.name;
            // The first match in Channels.ID order resolves the entry.
            for (int mm = 0; mm < messages && entry.messageIndex < 0; ++mm) {
                if (!entry.message.empty() && s.db.messages[mm].name != entry.message)
                    continue;
                auto const& signals = s.db.messages[mm].signals;
                for (size_t kk = 0; kk < signals.size(); ++kk)
                    if (signals[kk].name == entry.name) {
                        entry.messageIndex = mm;
                        entry.signal = static_cast<int>(kk);
                        break;
                    }
            }
            entry.required = pick(rng) < 80;
        }
        s.list.push_back(entry);
    }
    jsonxx::Array channels;
    for (auto const& entry : s.list) {
        jsonxx::Object item;
        item << "name" << entry.name;
        if (!entry.message.empty())
            item << "message_name" << entry.message;
        item << "required" << entry.required;
        channels << item;
    }
    s.listJson = jsonxx::Object("Channels", channels).json();
    return s;
}

bool anyResolved(std::vector<ListEntry> const& list)
{
    return std::any_of(list.begin(), list.end(), [](ListEntry const& e) { return e.messageIndex >= 0; });
}

std::string describeBits(std::vector<double> const& v)
{
    std::string text;
    for (double d : v)
        text += (d == DBL_MAX ? std::string("MAX") : std::to_string(d)) + " ";
    return text;
}

void expectArrays(Model const& model, double const* values, double const* times, size_t n, std::string const& where)
{
    std::vector<double> gotValues(values, values + n), gotTimes(times, times + n);
    ASSERT_EQ(0, std::memcmp(gotValues.data(), model.data().data(), n * sizeof(double)))
        << where << "\n values: " << describeBits(gotValues) << "\n model:  " << describeBits(model.data());
    ASSERT_EQ(0, std::memcmp(gotTimes.data(), model.times().data(), n * sizeof(double)))
        << where << "\n times: " << describeBits(gotTimes) << "\n model: " << describeBits(model.times());
}

// Builds the scenario's database at path and opens it in file for the
// scenario's list, with room for every listed channel.
void openScenario(Scenario const& s, std::string const& path, FileInfo& file)
{
    testlib::MakeMeasurementDb(path, s.db);
    ASSERT_TRUE(ReadChannelsFromJson(widestring(s.listJson).c_str(), file.channels));
    testlib::StdoutCapture quiet;
    ASSERT_GT(file.LoadDbChannels(widestring(path).c_str()), 0);
    quiet.text();
    file.AllocPointers(s.list.size());
}

double randomJumpTime(std::mt19937& rng)
{
    std::uniform_int_distribution<int> pick(0, 99);
    int p = pick(rng);
    if (p < 30)
        return (pick(rng) % 60) * 0.25;  // relative to the start
    if (p < 35)
        return 1e6;  // after every row
    return kStart + (pick(rng) % 80) * 0.25 - 0.125 * (pick(rng) % 2);
}

}  // namespace

TEST(RecordModel, ExportedFunctionsAgreeWithTheModelOnRandomDatabases)
{
    testlib::TempDir dir;
    int opened = 0;
    for (unsigned seed = 1; seed <= 60; ++seed) {
        Scenario s = randomScenario(seed);
        std::string path = dir.file("random" + std::to_string(seed) + ".db");
        testlib::MakeMeasurementDb(path, s.db);

        double* values = nullptr;
        double* times = nullptr;
        int count = -1;
        bool requiredMissing = std::any_of(s.list.begin(), s.list.end(),
                                           [](ListEntry const& e) { return e.required && e.messageIndex < 0; });
        testlib::StdoutCapture quiet;
        double start = OpenDataFile(path.c_str(), s.listJson.c_str(), &values, &times, &count);
        if (requiredMissing || !anyResolved(s.list)) {
            quiet.text();
            EXPECT_EQ(start, 0.0) << seed;
            EXPECT_EQ(values, nullptr);
            EXPECT_EQ(count, 0);
            continue;
        }
        ASSERT_EQ(start, kStart) << seed;
        ASSERT_EQ(count, static_cast<int>(s.list.size()));
        ++opened;

        Model model(s.db, s.list, kStart);
        model.start();
        size_t n = s.list.size();
        expectArrays(model, values, times, n, "open, seed " + std::to_string(seed));

        std::mt19937 rng(seed * 7 + 3);
        std::uniform_int_distribution<int> pick(0, 99);
        for (int op = 0; op < 250; ++op) {
            double got = 0, expected = 0;
            std::string what;
            int p = pick(rng);
            if (p < 45) {
                what = "GetNextRecord";
                got = GetNextRecord(values, 0);
                expected = model.step();
            } else if (p < 55) {
                what = "GetNextChangedRecord";
                got = GetNextChangedRecord(values, 0);
                expected = model.changed();
            } else if (p < 63) {
                what = "GetNextValidRecord";
                got = GetNextValidRecord(values, 0);
                expected = model.valid();
            } else if (p < 72) {
                double t = randomJumpTime(rng);
                what = "JumpAfterTimestamp " + std::to_string(t);
                got = JumpAfterTimestamp(values, 0, t);
                expected = model.exportedJump(t, [&](double at) { return model.jumpAfter(at); });
            } else if (p < 81) {
                double t = randomJumpTime(rng);
                what = "JumpBeforeTimestamp " + std::to_string(t);
                got = JumpBeforeTimestamp(values, 0, t);
                expected = model.exportedJump(t, [&](double at) { return model.jumpBefore(at); });
            } else if (p < 92) {
                std::string mask;
                for (size_t i = 0; i < n; ++i)
                    mask += pick(rng) < 70 ? '1' : '0';
                if (pick(rng) < 10)
                    mask.pop_back();
                what = "SetActiveMask " + mask;
                got = SetActiveMask(values, 0, mask.c_str());
                expected = model.setMask(mask) ? 1 : 0;
            } else {
                what = "SetCursorsToStart";
                got = SetCursorsToStart(values, 0);
                expected = model.start();
            }
            what += ", seed " + std::to_string(seed) + ", op " + std::to_string(op);
            ASSERT_EQ(0, std::memcmp(&got, &expected, sizeof got)) << what << ": " << got << " vs " << expected;
            expectArrays(model, values, times, n, what);
        }
        EXPECT_EQ(CloseDataFile(values, 0), 1);
        quiet.text();
    }
    EXPECT_GE(opened, 20);  // enough databases were actually stepped
}

// Hit extraction's road: JumpToTimeStamp and stepping in relative mode on a
// FileInfo of its own.
TEST(RecordModel, FileInfoJumpsAgreeWithTheModel)
{
    testlib::TempDir dir;
    int used = 0;
    for (unsigned seed = 100; seed <= 140; ++seed) {
        Scenario s = randomScenario(seed);
        if (!anyResolved(s.list))
            continue;
        FileInfo file;
        ASSERT_NO_FATAL_FAILURE(openScenario(s, dir.file("jumps" + std::to_string(seed) + ".db"), file));
        ++used;
        Model model(s.db, s.list, kStart);
        file.SetAbsoluteTimeStamps(false);
        model.setAbsolute(false);
        std::mt19937 rng(seed);
        std::uniform_int_distribution<int> pick(0, 99);
        for (int op = 0; op < 200; ++op) {
            double got, expected;
            std::string what;
            int p = pick(rng);
            if (p < 8) {
                bool absolute = pick(rng) < 50;
                file.SetAbsoluteTimeStamps(absolute);
                model.setAbsolute(absolute);
                continue;  // the arrays change at the next step or jump
            }
            if (p < 33) {
                double t = randomJumpTime(rng);
                what = "JumpToTimeStamp " + std::to_string(t);
                got = file.JumpToTimeStamp(t);
                expected = model.jumpTo(t);
            } else {
                what = "GetNextRecord";
                got = file.GetNextRecord();
                expected = model.step();
            }
            what += ", seed " + std::to_string(seed) + ", op " + std::to_string(op);
            ASSERT_EQ(0, std::memcmp(&got, &expected, sizeof got)) << what << ": " << got << " vs " << expected;
            expectArrays(model, file.GetDataPtr(), file.GetTsPtr(), s.list.size(), what);
        }
    }
    EXPECT_GE(used, 15);
}

// Stepping from the start to the end reaches every row of every listed
// table: nothing is dropped, whatever the order of the stored times.
TEST(RecordModel, SteppingConsumesEveryRow)
{
    testlib::TempDir dir;
    for (unsigned seed = 200; seed <= 230; ++seed) {
        Scenario s = randomScenario(seed);
        for (auto& entry : s.list)
            entry.required = false;
        if (!anyResolved(s.list))
            continue;
        FileInfo file;
        ASSERT_NO_FATAL_FAILURE(openScenario(s, dir.file("all" + std::to_string(seed) + ".db"), file));
        file.SetCursorsToStart();
        int steps = 0;
        while (file.GetNextRecord() != DBL_MAX)
            ASSERT_LT(++steps, 100000);
        // Every table has used up its rows: it stands past its end, or on
        // its last row when no step was ever made.
        for (auto const& entry : file.tableSignals)
            for (CChannelInfo const* channel : entry.second.channels) {
                EXPECT_EQ(channel->nextTime, DBL_MAX) << seed << " " << entry.first;
                if (steps > 0) {
                    EXPECT_EQ(channel->curTime, DBL_MAX) << seed << " " << entry.first;
                }
            }
    }
}
