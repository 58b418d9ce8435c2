// The record access functions against a brute-force model over random
// databases: the model holds every row in memory and computes each
// operation's result and both arrays as the record interface defines them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <map>
#include <optional>
#include <random>
#include <tuple>

#include "access/FileInfo.h"
#include "support/LibUtils.h"
#include "support/MeasurementDb.h"
#include "testlib/MeasurementDbBuilder.h"
#include "testlib/TestSupport.h"
#include "vantrel.h"

namespace {

using std::optional;
constexpr double kStart = 100.0;

// A listed channel and the signal it resolves to (message -1: absent).
struct Entry {
    std::string name;
    std::string filter;  // of the message name
    bool required = true;
    int message = -1;
    int signal = -1;
};

// A record table part: the rows its cursor delivers (in stored order) and the
// current one; past the end (pos == rows.size()) it keeps the last row's values.
struct Table {
    std::vector<testlib::TestRow> const* source = nullptr;
    std::vector<size_t> positions;  // list positions read from it
    std::vector<size_t> rows;       // into source
    size_t pos = 0;

    double time(size_t k) const { return k < rows.size() ? (*source)[rows[k]].time : DBL_MAX; }
    double now() const { return time(pos); }
    double next() const { return time(pos + 1); }
    long row() const { return rows.empty() ? -1 : static_cast<long>(rows[std::min(pos, rows.size() - 1)]); }
    optional<double> value(int signal) const { return row() < 0 ? std::nullopt : (*source)[row()].values[signal]; }
    void seek(double t)  // to the rows at or after t
    {
        rows.clear();
        for (size_t r = 0; r < source->size(); ++r)
            if ((*source)[r].time >= t)
                rows.push_back(r);
        pos = 0;
    }
    optional<double> bound(double t, bool after) const  // first at or after t, or last at or before
    {
        optional<double> found;
        for (auto const& row : *source)
            if (after ? row.time >= t : row.time <= t)
                found = found && (after ? *found < row.time : *found > row.time) ? *found : row.time;
        return found;
    }
};

struct Model {
    Model(testlib::TestDatabase const& db, std::vector<Entry> const& list)
        : db(db), list(list), active(list.size(), true), values(list.size(), DBL_MAX), times(values)
    {
        for (size_t i = 0; i < list.size(); ++i)
            if (list[i].message >= 0)
                tableOf(i).positions.push_back(i);
    }

    Table& tableOf(size_t i)
    {
        Table& table = tables[{list[i].message, MeasurementDb::PartOfSignal(list[i].signal + 1)}];
        table.source = &db.messages[list[i].message].rows;
        return table;
    }

    // The table of the message's first active listed channel.
    Table* proposer(int message)
    {
        for (size_t i = 0; i < list.size(); ++i)
            if (list[i].message == message && active[i])
                return &tableOf(i);
        return nullptr;
    }

    double start()
    {
        double t = DBL_MAX;
        for (auto& [key, table] : tables) {
            table.seek(-DBL_MAX);
            t = std::min(t, table.now());
        }
        return settle(t);
    }

    double step()
    {
        double next = DBL_MAX;
        for (int m = 0; m < static_cast<int>(db.messages.size()); ++m)
            if (Table* table = proposer(m); table && table->next() > current)
                next = std::min(next, table->next());
        current = next;  // DBL_MAX ends the stepping for good
        if (next == DBL_MAX)
            return DBL_MAX;
        // A table on its last row moves past its end at any step.
        for (auto& [key, table] : tables)
            while (table.now() != DBL_MAX && (table.next() <= next || table.next() == DBL_MAX))
                ++table.pos;
        fill();
        return relative(next);
    }

    // GetNextChangedRecord (until a resolved entry differs from the values at
    // the call) and GetNextValidRecord (until no resolved entry is missing).
    double stepUntil(bool changed)
    {
        std::vector<double> before = values;
        for (double t = step();; t = step()) {
            bool done = !changed;
            for (size_t i = 0; i < list.size(); ++i)
                if (list[i].message >= 0)
                    done = changed ? done || values[i] != before[i] : done && values[i] != DBL_MAX;
            if (t == DBL_MAX || done)
                return t;
        }
    }

    double jumpTo(double t)
    {
        optional<double> best;
        for (auto& [key, table] : tables)
            if (optional<double> at = table.bound(t, true)) {
                best = std::min(best.value_or(DBL_MAX), *at);
                table.seek(*at);
            }
        return settle(best);
    }

    double jumpBefore(double t)
    {
        optional<double> best = positionAtOrBefore(t);
        if (best && *best > t)
            best = positionAtOrBefore(*best);
        return settle(best.value_or(-DBL_MAX));
    }

    double jumpAfter(double t)
    {
        optional<double> best;
        for (int m = 0; m < static_cast<int>(db.messages.size()); ++m)
            if (Table* table = proposer(m); table && table->bound(t, true))
                best = std::min(best.value_or(DBL_MAX), *table->bound(t, true));
        if (best)
            positionAtOrBefore(*best);
        return settle(best);
    }

    // The exported jumps: t is absolute from the start on, relative below it.
    double exportedJump(double t, double (Model::*jump)(double))
    {
        absolute = t >= kStart;
        if (absolute)
            return (this->*jump)(t);
        double found = (this->*jump)(kStart + t);
        return found == DBL_MAX ? DBL_MAX - kStart : found - kStart;
    }

    bool setMask(std::string const& mask)
    {
        if (mask.size() != list.size() || mask.find_first_not_of("01") != std::string::npos)
            return false;
        for (size_t i = 0; i < mask.size(); ++i)
            active[i] = mask[i] == '1';
        return true;
    }

    // Every table on its last row at or before t, or on its first row after;
    // the latest such time of the tables with an active channel.
    optional<double> positionAtOrBefore(double t)
    {
        optional<double> best;
        for (auto& [key, table] : tables) {
            optional<double> at = table.bound(t, false) ? table.bound(t, false) : table.bound(t, true);
            if (!at)
                continue;
            table.seek(*at);
            if (*at > best.value_or(-DBL_MAX) &&
                std::any_of(table.positions.begin(), table.positions.end(), [&](size_t i) { return active[i]; }))
                best = at;
        }
        return best;
    }

    // Positioned at t, every table consumes its rows up to t, keeping its last.
    double settle(optional<double> t)
    {
        if (t) {
            current = *t;
            for (auto& [key, table] : tables)
                while (current != DBL_MAX && table.next() <= current)
                    ++table.pos;
        }
        fill();
        return t.value_or(DBL_MAX);
    }

    void fill()
    {
        for (auto const& [key, table] : tables)
            for (size_t i : table.positions) {
                testlib::TestSignal const& signal = db.messages[list[i].message].signals[list[i].signal];
                optional<double> stored = table.value(list[i].signal);
                bool raw = signal.signalType != "Double" && !signal.nullScaling;  // read through Slope and Offset
                values[i] = !stored ? DBL_MAX : raw ? *stored * signal.slope + signal.offset : *stored;
                times[i] = relative(table.now());
            }
    }

    double relative(double t) const { return absolute || t == DBL_MAX ? t : t - kStart; }

    testlib::TestDatabase const& db;
    std::vector<Entry> const& list;
    std::vector<bool> active;
    std::vector<double> values;
    std::vector<double> times;
    std::map<std::pair<int, int>, Table> tables;  // by message and part
    double current = DBL_MAX;
    bool absolute = true;
};

struct Scenario {
    testlib::TestDatabase db;
    std::vector<Entry> list;
    std::string json;
    int resolved = 0;
    bool opens = true;  // no required entry is missing, and one entry resolves
};

// Messages with interleaved, equal, out-of-order and zero (NaN) times, NULLs,
// empty tables, over 500 signals, all scalings, shared names; lists of their
// signals (some with a message filter, some 2000 times) and absent channels.
Scenario randomScenario(unsigned seed)
{
    std::mt19937 rng(seed);
    auto pick = [&rng](size_t n) { return static_cast<int>(rng() % n); };
    std::string const shared[] = {"Speed", "Temp's \"quoted\"", std::string(2000, 'x') + "end"};
    Scenario s;
    s.db.statisticsStart = kStart;
    s.db.messages.resize(1 + pick(5));
    for (size_t m = 0; m < s.db.messages.size(); ++m) {
        testlib::TestMessage& message = s.db.messages[m];
        message.name = "Msg" + std::to_string(m + 1);
        message.signals.resize(pick(10) == 0 ? 503 + pick(20) : 1 + pick(4));
        for (size_t k = 0; k < message.signals.size(); ++k) {
            testlib::TestSignal& signal = message.signals[k];
            signal.name = k < 2 && pick(5) < 2 ? shared[pick(3)] : message.name + "_S" + std::to_string(k + 1);
            int kind = pick(4);  // physical, raw, state encoded, untyped (raw)
            signal.signalType = std::vector<std::string>{"Double", "RawValue", "State Encoded", ""}[kind];
            signal.integer = kind == 1 || kind == 2;
            signal.slope = pick(2) ? 0.5 : 1.0;
            signal.offset = pick(2) ? 10.0 : 0.0;
            signal.nullScaling = pick(8) == 0;
        }
        double last = kStart + pick(20) * 0.25;
        for (int r = pick(7) == 0 ? 0 : pick(40); r > 0; --r) {
            int p = pick(100);
            double t = p < 4 ? 0.0 : p < 8 ? kStart + pick(401) * 0.25 : p < 30 ? last : last + (1 + pick(8)) * 0.25;
            last = t >= kStart ? std::max(last, t) : last;
            message.rows.push_back({t, {}});
            for (auto const& signal : message.signals)
                message.rows.back().values.push_back(pick(10) == 0 ? optional<double>()
                                                     : signal.integer ? pick(4) - 1 : pick(5) * 0.75);
        }
    }

    jsonxx::Array channels;
    for (int e = 1 + pick(8); e > 0; --e) {
        Entry entry{"Absent" + std::to_string(e), "", false};
        if (pick(8) != 0) {
            auto const& message = s.db.messages[pick(s.db.messages.size())];
            int n = static_cast<int>(message.signals.size());
            entry = {message.signals[n > 500 && pick(2) ? 500 + pick(n - 500) : pick(n)].name,
                     pick(2) ? message.name : "", pick(5) != 0};
        }
        // The first match in Channels.ID order resolves the entry.
        for (size_t m = 0; m < s.db.messages.size() && entry.message < 0; ++m)
            for (size_t k = 0; k < s.db.messages[m].signals.size() && entry.message < 0; ++k)
                if (s.db.messages[m].signals[k].name == entry.name &&
                    (entry.filter.empty() || entry.filter == s.db.messages[m].name)) {
                    entry.message = static_cast<int>(m);
                    entry.signal = static_cast<int>(k);
                }
        s.opens &= !entry.required || entry.message >= 0;
        jsonxx::Object item("name", entry.name);
        if (!entry.filter.empty())
            item << "message_name" << entry.filter;
        item << "required" << entry.required;
        for (int copies = pick(60) == 0 ? 2000 : 1; copies > 0; --copies) {
            s.resolved += entry.message >= 0;
            s.list.push_back(entry);
            channels << item;
        }
    }
    s.json = jsonxx::Object("Channels", channels).json();
    s.opens &= s.resolved > 0;
    return s;
}

double randomJumpTime(std::mt19937& rng)  // relative (below the start), after every row, or absolute
{
    int p = static_cast<int>(rng() % 100);
    return p < 30 ? (rng() % 60) * 0.25 : p < 35 ? 1e6 : kStart + (rng() % 80) * 0.25 - 0.125 * (rng() % 2);
}

// The library's diagnostic lines kept out of the test's output.
template <typename Call>
auto quietly(Call call)
{
    testlib::StdoutCapture capture;
    return call();
}

void expectAgreement(double got, double expected, Model const& model, double const* values, double const* times,
                     unsigned seed, int op)
{
    size_t n = model.values.size();
    ASSERT_EQ(std::make_tuple(got, std::vector<double>(values, values + n), std::vector<double>(times, times + n)),
              std::make_tuple(expected, model.values, model.times)) << "seed " << seed << ", operation " << op;
}

}  // namespace

TEST(RecordModel, LibraryAgreesWithTheModel)
{
    testlib::TempDir dir;
    int stepped = 0;
    for (unsigned seed = 1; seed <= 60; ++seed) {
        Scenario s = randomScenario(seed);
        std::string path = dir.file(std::to_string(seed) + ".db");
        testlib::MakeMeasurementDb(path, s.db);
        double *values = nullptr, *times = nullptr;
        int count = -1;
        double start = quietly([&] { return OpenDataFile(path.c_str(), s.json.c_str(), &values, &times, &count); });
        if (!s.opens) {
            EXPECT_TRUE(start == 0.0 && values == nullptr && times == nullptr && count == 0) << seed;
            continue;
        }
        ++stepped;
        ASSERT_EQ(count, static_cast<int>(s.list.size()));
        Model model(s.db, s.list);
        model.start();  // the arrays as a start leaves them; the result is the measurement start
        ASSERT_NO_FATAL_FAILURE(expectAgreement(start, kStart, model, values, times, seed, -1));
        std::mt19937 rng(seed);
        for (int op = 0; op < 250; ++op) {
            int p = static_cast<int>(rng() % 100);
            double t = randomJumpTime(rng);
            // Now and then a mask of the wrong length or with a foreign character.
            std::string mask(s.list.size() - (rng() % 10 == 0), '0');
            for (char& c : mask)
                c = rng() % 10 < 7 ? '1' : rng() % 30 ? '0' : 'x';
            std::pair<double, double> r;  // the library's result and the model's
            if (p < 45)
                r = {GetNextRecord(values, 0), model.step()};
            else if (p < 55)
                r = {GetNextChangedRecord(values, 0), model.stepUntil(true)};
            else if (p < 63)
                r = {GetNextValidRecord(values, 0), model.stepUntil(false)};
            else if (p < 72)
                r = {JumpAfterTimestamp(values, 0, t), model.exportedJump(t, &Model::jumpAfter)};
            else if (p < 81)
                r = {JumpBeforeTimestamp(values, 0, t), model.exportedJump(t, &Model::jumpBefore)};
            else if (p < 92)
                r = {SetActiveMask(values, 0, mask.c_str()), model.setMask(mask)};
            else
                r = {SetCursorsToStart(values, 0), model.start()};
            ASSERT_NO_FATAL_FAILURE(expectAgreement(r.first, r.second, model, values, times, seed, op));
        }
        EXPECT_EQ(CloseDataFile(values, 0), 1);

        // Hit extraction's road on a FileInfo of its own: jumps to a time, steps in
        // either time mode; the list loaded again, cursors open, starts over.
        FileInfo file;
        ASSERT_TRUE(ReadChannelsFromJson(widestring(s.json).c_str(), file.channels));
        Model direct(s.db, s.list);
        EXPECT_EQ(file.GetNextRecord(), DBL_MAX);  // nothing positioned yet
        for (int op = 0; op < 100; ++op) {
            int p = op == 0 ? 0 : static_cast<int>(rng() % 100);
            double t = randomJumpTime(rng);
            std::pair<double, double> r;
            if (p < 5) {
                ASSERT_EQ(quietly([&] { return file.LoadDbChannels(widestring(path).c_str()); }), s.resolved);
                if (op == 0)
                    file.AllocPointers(s.list.size());
                r = {file.SetCursorsToStart(), direct.start()};
            } else if (p < 12) {
                file.SetAbsoluteTimeStamps(p % 2);
                direct.absolute = p % 2;
                continue;  // the arrays change at the next step or jump
            } else if (p < 35) {
                r = {file.JumpToTimeStamp(t), direct.jumpTo(t)};
            } else {
                r = {file.GetNextRecord(), direct.step()};
            }
            ASSERT_NO_FATAL_FAILURE(
                expectAgreement(r.first, r.second, direct, file.GetDataPtr(), file.GetTsPtr(), seed, 1000 + op));
        }
    }
    EXPECT_GE(stepped, 40);  // enough databases were actually stepped
}
