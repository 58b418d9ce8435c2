// The record access functions against a brute-force model over random
// databases: the model holds every row in memory and computes each
// operation's result and both arrays as the record interface defines them.
// Every operation runs twice, seeking by rowid where a table allows it and
// seeking by the range queries only: both must give the model's answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <map>
#include <optional>
#include <random>
#include <sqlite3.h>
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
// A NaN time stands for NULL: no query finds it, a cursor reads it as 0.
struct Table {
    std::vector<testlib::TestRow> const* source = nullptr;
    std::vector<size_t> positions;  // list positions read from it
    std::vector<size_t> rows;       // into source
    size_t pos = 0;
    bool indexed = false;  // an index on TIME_VAL, which a query at or after t reads in time order

    double time(size_t k) const
    {
        return k >= rows.size() ? DBL_MAX : std::isnan((*source)[rows[k]].time) ? 0.0 : (*source)[rows[k]].time;
    }
    double now() const { return time(pos); }
    double next() const { return time(pos + 1); }
    long row() const { return rows.empty() ? -1 : static_cast<long>(rows[std::min(pos, rows.size() - 1)]); }
    optional<double> value(int signal) const { return row() < 0 ? std::nullopt : (*source)[row()].values[signal]; }
    void seek(optional<double> t)  // to the rows at or after t; every row without t
    {
        rows.clear();
        for (size_t r = 0; r < source->size(); ++r)
            if (!t || (*source)[r].time >= *t)
                rows.push_back(r);
        if (t && indexed)
            std::stable_sort(rows.begin(), rows.end(),
                             [this](size_t a, size_t b) { return (*source)[a].time < (*source)[b].time; });
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
    Model(testlib::TestDatabase const& db, std::vector<Entry> const& list, std::vector<bool> const& indexed)
        : db(db), list(list), indexed(indexed), active(list.size(), true), values(list.size(), DBL_MAX), times(values)
    {
        for (size_t i = 0; i < list.size(); ++i)
            if (list[i].message >= 0)
                tableOf(i).positions.push_back(i);
    }

    Table& tableOf(size_t i)
    {
        int part = MeasurementDb::PartOfSignal(list[i].signal + 1);
        Table& table = tables[{list[i].message, part}];
        table.source = &db.messages[list[i].message].rows;
        table.indexed = part == 1 && indexed[list[i].message];
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
            table.seek(std::nullopt);
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
    std::vector<bool> const& indexed;  // per message: its first part has an index on TIME_VAL
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
    // Per message: rows deleted once written (rowid gaps), and how the other
    // rowids are then renumbered (0: kept; 1: spread out, all negative; 2:
    // the first and the last moved to the extremes of the rowid range).
    std::vector<std::vector<size_t>> deleted;
    std::vector<int> renumbering;
    // The index a fixed-rate export adds to the first part.
    std::vector<bool> indexed;
};

// Whether the message's rows are stored in time order: no NULL (NaN) time
// and none smaller than the one before.
bool inTimeOrder(testlib::TestMessage const& message)
{
    for (size_t r = 0; r < message.rows.size(); ++r)
        if (std::isnan(message.rows[r].time) || (r > 0 && message.rows[r].time < message.rows[r - 1].time))
            return false;
    return true;
}

// Messages with interleaved and equal times, in time order or with
// out-of-order, zero (NaN stored as 0) or NULL times, NULL cells, empty
// tables, over 500 signals, all scalings, shared names, rowid gaps and
// renumbered rowids; lists of their signals (some with a message filter,
// some 2000 times) and absent channels.
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
        int order = pick(4);  // 0, 1: in time order; 2: with NULL times; 3: any order
        int rows = pick(7) == 0 ? 0 : pick(8) == 0 ? 100 + pick(300) : pick(40);
        s.deleted.emplace_back();
        s.renumbering.push_back(pick(4) == 0 ? 1 : pick(4) == 0 ? 2 : 0);
        s.indexed.push_back(pick(5) == 0);
        for (int r = 0; r < rows; ++r) {
            int p = order == 3 ? pick(100) : 8 + pick(92);
            double t = p < 4 ? 0.0 : p < 8 ? kStart + pick(401) * 0.25 : p < 30 ? last : last + (1 + pick(8)) * 0.25;
            if (order == 2 && pick(12) == 0)
                t = std::nan("");
            last = t >= kStart ? std::max(last, t) : last;
            if (pick(6) == 0)
                s.deleted.back().push_back(static_cast<size_t>(r));
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

// Deletes the scenario's doomed rows from every part of their message, from
// the database and from the model's rows, and renumbers the rest; rowids stay
// in stored order. Adds the indexes.
void cutRowids(std::string const& path, Scenario& s)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    for (size_t m = 0; m < s.db.messages.size(); ++m) {
        testlib::TestMessage& message = s.db.messages[m];
        std::string doomed = "-1";
        for (size_t r : s.deleted[m])
            doomed += ", " + std::to_string(r + 1);
        char const* renumber[] = {"", "UPDATE %1 SET rowid = rowid * 1000003 - 4611686018427387904;",
                                  "UPDATE %1 SET rowid = 9223372036854775807 WHERE rowid = (SELECT MAX(rowid) FROM %1);"
                                  "UPDATE %1 SET rowid = -9223372036854775808 WHERE rowid = (SELECT MIN(rowid) FROM %1);"};
        for (int part = 1; part <= MeasurementDb::PartOfSignal(static_cast<int>(message.signals.size())); ++part) {
            std::string table = MeasurementDb::RecordTableName(static_cast<int>(m) + 1, part);
            std::string sql = "DELETE FROM %1 WHERE rowid IN (" + doomed + ");" + renumber[s.renumbering[m]];
            for (size_t at; (at = sql.find("%1")) != std::string::npos;)
                sql.replace(at, 2, table);
            ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        }
        std::string table = MeasurementDb::RecordTableName(static_cast<int>(m) + 1);
        std::string index = "CREATE INDEX Index" + table + " ON " + table + " (TIME_VAL)";
        if (s.indexed[m]) {
            ASSERT_EQ(sqlite3_exec(db, index.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        }
        for (auto r = s.deleted[m].rbegin(); r != s.deleted[m].rend(); ++r)
            message.rows.erase(message.rows.begin() + static_cast<long>(*r));
    }
    sqlite3_close(db);
}

// Relative (below the start), after every row, absolute, or not a number.
double randomJumpTime(std::mt19937& rng)
{
    int p = static_cast<int>(rng() % 100);
    if (p < 3)
        return std::vector<double>{std::nan(""), INFINITY, -INFINITY}[p];
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

// The message and part of a record table's name: "MessageData0003_0002".
std::pair<int, int> messageAndPart(std::string const& table)
{
    return {std::stoi(table.substr(11, 4)) - 1, table.size() > 15 ? std::stoi(table.substr(16)) : 1};
}

TEST(RecordModel, LibraryAgreesWithTheModel)
{
    testlib::TempDir dir;
    int stepped = 0;
    std::map<CMessageSignals::TimeOrder, int> checked;  // tables by the order found
    for (unsigned seed = 1; seed <= 60; ++seed) {
        Scenario s = randomScenario(seed);
        std::string path = dir.file(std::to_string(seed) + ".db");
        testlib::MakeMeasurementDb(path, s.db);
        ASSERT_NO_FATAL_FAILURE(cutRowids(path, s));
        // Handle 0 seeks by rowid where a table allows it, handle 1 by the
        // range queries only.
        double *values[2] = {}, *times[2] = {}, start[2] = {};
        int count[2] = {-1, -1};
        for (int h = 0; h < 2; ++h) {
            SetSeekByScanDefault(h == 1);
            start[h] = quietly([&] { return OpenDataFile(path.c_str(), s.json.c_str(), &values[h], &times[h], &count[h]); });
        }
        SetSeekByScanDefault(false);
        if (!s.opens) {
            for (int h = 0; h < 2; ++h)
                EXPECT_TRUE(start[h] == 0.0 && values[h] == nullptr && times[h] == nullptr && count[h] == 0) << seed;
            continue;
        }
        ++stepped;
        Model model(s.db, s.list, s.indexed);
        model.start();  // the arrays as a start leaves them; the result is the measurement start
        for (int h = 0; h < 2; ++h) {
            ASSERT_EQ(count[h], static_cast<int>(s.list.size()));
            ASSERT_NO_FATAL_FAILURE(expectAgreement(start[h], kStart, model, values[h], times[h], seed, -1 - h));
        }
        std::mt19937 rng(seed);
        for (int op = 0; op < 250; ++op) {
            int p = static_cast<int>(rng() % 100);
            double t = randomJumpTime(rng);
            // Now and then a mask of the wrong length or with a foreign character.
            std::string mask(s.list.size() - (rng() % 10 == 0), '0');
            for (char& c : mask)
                c = rng() % 10 < 7 ? '1' : rng() % 30 ? '0' : 'x';
            double got[2];
            for (int h = 0; h < 2; ++h) {
                double* handle = values[h];
                got[h] = p < 45   ? GetNextRecord(handle, 0)
                         : p < 55 ? GetNextChangedRecord(handle, 0)
                         : p < 63 ? GetNextValidRecord(handle, 0)
                         : p < 72 ? JumpAfterTimestamp(handle, 0, t)
                         : p < 81 ? JumpBeforeTimestamp(handle, 0, t)
                         : p < 92 ? SetActiveMask(handle, 0, mask.c_str())
                                  : SetCursorsToStart(handle, 0);
            }
            double expected = p < 45   ? model.step()
                              : p < 55 ? model.stepUntil(true)
                              : p < 63 ? model.stepUntil(false)
                              : p < 72 ? model.exportedJump(t, &Model::jumpAfter)
                              : p < 81 ? model.exportedJump(t, &Model::jumpBefore)
                              : p < 92 ? model.setMask(mask)
                                       : model.start();
            for (int h = 0; h < 2; ++h)
                ASSERT_NO_FATAL_FAILURE(expectAgreement(got[h], expected, model, values[h], times[h], seed, op + h * 10000));
        }
        for (int h = 0; h < 2; ++h)
            EXPECT_EQ(CloseDataFile(values[h], 0), 1);

        // Hit extraction's road on a FileInfo of its own: jumps to a time, steps in
        // either time mode; the list loaded again, cursors open, starts over.
        FileInfo files[2];
        files[1].seekByScan = true;
        Model direct(s.db, s.list, s.indexed);
        for (FileInfo& file : files) {
            ASSERT_TRUE(ReadChannelsFromJson(widestring(s.json).c_str(), file.channels));
            EXPECT_EQ(file.GetNextRecord(), DBL_MAX);  // nothing positioned yet
        }
        for (int op = 0; op < 100; ++op) {
            int p = op == 0 ? 0 : static_cast<int>(rng() % 100);
            double t = randomJumpTime(rng);
            if (p >= 5 && p < 12) {
                for (FileInfo& file : files)
                    file.SetAbsoluteTimeStamps(p % 2);
                direct.absolute = p % 2;
                continue;  // the arrays change at the next step or jump
            }
            double got[2];
            for (FileInfo& file : files) {
                if (p < 5) {
                    ASSERT_EQ(quietly([&] { return file.LoadDbChannels(widestring(path).c_str()); }), s.resolved);
                    if (op == 0)
                        file.AllocPointers(s.list.size());
                }
                got[&file - files] = p < 5 ? file.SetCursorsToStart() : p < 35 ? file.JumpToTimeStamp(t) : file.GetNextRecord();
            }
            double expected = p < 5 ? direct.start() : p < 35 ? direct.jumpTo(t) : direct.step();
            for (FileInfo const& file : files)
                ASSERT_NO_FATAL_FAILURE(expectAgreement(got[&file - files], expected, direct, file.GetDataPtr(),
                                                        file.GetTsPtr(), seed, 1000 + op + (&file - files) * 10000));
        }

        // Every table in time order, and no other, is searched by rowid; the
        // forced range queries check no order at all.
        int sorted = 0;
        for (auto const& [name, table] : files[0].tableSignals)
            sorted += inTimeOrder(s.db.messages[messageAndPart(name).first]);
        EXPECT_EQ(files[0].CheckTimeOrder(), sorted) << seed;
        for (auto const& [name, table] : files[0].tableSignals) {
            bool expected = inTimeOrder(s.db.messages[messageAndPart(name).first]);
            EXPECT_EQ(table.GetTimeOrder(), expected ? CMessageSignals::TimeOrder::Sorted : CMessageSignals::TimeOrder::Unsorted)
                << seed << " " << name;
            ++checked[table.GetTimeOrder()];
        }
        EXPECT_EQ(files[1].CheckTimeOrder(), 0);
        for (auto const& [name, table] : files[1].tableSignals)
            EXPECT_EQ(table.GetTimeOrder(), CMessageSignals::TimeOrder::Unchecked) << seed << " " << name;
    }
    EXPECT_GE(stepped, 40);  // enough databases were actually stepped
    // Both ways of seeking were taken often enough.
    EXPECT_GE(checked[CMessageSignals::TimeOrder::Sorted], 40);
    EXPECT_GE(checked[CMessageSignals::TimeOrder::Unsorted], 20);
}

// Record tables as a host may shape them: searched by rowid only where that
// gives the range queries' answers, and then giving them, at every kind of
// jump and the steps after it.
TEST(RecordModel, HostTablesSeekAsTheRangeQueriesDo)
{
    auto recreate = [](std::string const& create, std::string const& time) {
        return create + "; INSERT INTO t SELECT " + time +
               ", Signal1, Signal2 FROM MessageData0001 ORDER BY rowid; DROP TABLE MessageData0001; "
               "ALTER TABLE t RENAME TO MessageData0001";
    };
    std::string const untyped = "CREATE TABLE t (TIME_VAL, Signal1 DOUBLE, Signal2 DOUBLE)";
    struct Case {
        char const* what;
        std::string sql;  // run on MessageData0001 holding the times 1, 2, 2, 3, 4, 4, 4, 5, ..., 9 at rowids 1 to 12
        bool searched;
    };
    Case const cases[] = {
        {"as built", "", true},
        {"a column named rowid",
         "ALTER TABLE MessageData0001 ADD COLUMN rowid INTEGER; UPDATE MessageData0001 SET rowid = 100 - _rowid_", true},
        // A generated column is left out of table_info: the name the seek
        // takes must be free of those too.
        {"a generated column named rowid",
         "ALTER TABLE MessageData0001 ADD COLUMN rowid INTEGER AS (CAST(TIME_VAL AS INTEGER) / 2) VIRTUAL", true},
        {"a generated column named rowid, NULL in the first row",
         "ALTER TABLE MessageData0001 ADD COLUMN ROWID INTEGER AS (CASE WHEN Signal1 > 1 THEN Signal1 * 3 END) "
         "VIRTUAL",
         true},
        {"columns named like every name of the rowid",
         "ALTER TABLE MessageData0001 ADD COLUMN rowid INTEGER; ALTER TABLE MessageData0001 ADD COLUMN _rowid_ "
         "INTEGER; ALTER TABLE MessageData0001 ADD COLUMN OID INTEGER",
         false},
        {"without rowid",
         recreate("CREATE TABLE t (TIME_VAL DOUBLE, Signal1 DOUBLE, Signal2 DOUBLE, PRIMARY KEY (TIME_VAL, Signal1)) "
                  "WITHOUT ROWID",
                  "TIME_VAL"),
         false},
        {"integer times", recreate(untyped, "CAST(TIME_VAL AS INTEGER)"), true},
        {"integer times a double does not hold", recreate(untyped, "CAST(TIME_VAL AS INTEGER) + 9007199254740992"),
         false},
        {"a text time", "UPDATE MessageData0001 SET TIME_VAL = 'late' WHERE rowid = 5", false},
        {"a blob time", "UPDATE MessageData0001 SET TIME_VAL = x'00' WHERE rowid = 12", false},
        {"a NULL time", "UPDATE MessageData0001 SET TIME_VAL = NULL WHERE rowid = 1", false},
        {"a time smaller than the one before", "UPDATE MessageData0001 SET TIME_VAL = 1 WHERE rowid = 7", false},
        {"infinite times at both ends",
         "UPDATE MessageData0001 SET TIME_VAL = -9e999 WHERE rowid = 1; UPDATE MessageData0001 SET TIME_VAL = 9e999 "
         "WHERE rowid = 12",
         true},
        {"rowid gaps", "DELETE FROM MessageData0001 WHERE rowid IN (1, 3, 4, 9, 12)", true},
        {"no rows", "DELETE FROM MessageData0001", true},
    };
    std::vector<double> const jumps = {-INFINITY, 0, 1, 1.5, 2, 2.5, 4, 4.25, 9, 9.5, 1e6,
                                       9007199254740992.0, 9007199254740994.0, 9007199254740998.0, INFINITY,
                                       std::nan("")};
    testlib::TempDir dir;
    std::string const path = dir.file("host.db");
    // The database, changed by sql, and a FileInfo seeking by rowid where it
    // can and one seeking by the range queries.
    auto make = [](std::string const& at, std::string const& sql) {
        testlib::TestMessage message{"M", "HS CAN", {}, {}, {}, {}};
        for (char const* name : {"x", "y"}) {
            message.signals.emplace_back();
            message.signals.back().name = name;
            message.signals.back().signalType = "Double";
        }
        int k = 0;
        for (double t : {1, 2, 2, 3, 4, 4, 4, 5, 6, 7, 8, 9})
            message.rows.push_back({t, {++k, 100 - k}});
        testlib::MakeMeasurementDb(at, {{message}, 0.0});
        ASSERT_EQ(testlib::sqlite3(at, sql).output, "");
    };
    auto load = [](std::string const& at, FileInfo (&files)[2]) {
        files[1].seekByScan = true;
        for (FileInfo& file : files) {
            ASSERT_TRUE(ReadChannelsFromJson(widestring(R"({"Channels": [{"name": "x"}, {"name": "y"}]})").c_str(),
                                             file.channels));
            ASSERT_EQ(file.LoadDbChannels(widestring(at).c_str()), 2);
            file.AllocPointers(2);
        }
    };
    auto open = [&](std::string const& sql, FileInfo (&files)[2]) {
        ASSERT_NO_FATAL_FAILURE(make(path, sql));
        ASSERT_NO_FATAL_FAILURE(load(path, files));
    };
    auto agree = [&jumps](FileInfo (&files)[2]) {
        for (double t : jumps)
            for (int kind = 0; kind < 3; ++kind)
                for (int step = 0; step < 4; ++step) {
                    std::vector<double> seen[2];
                    for (FileInfo& file : files) {
                        double result = step > 0    ? file.GetNextRecord()
                                        : kind == 0 ? file.JumpToTimeStamp(t)
                                        : kind == 1 ? file.JumpBeforeTimeStamp(t)
                                                    : file.JumpAfterTimeStamp(t);
                        seen[&file - files] = {result, file.data[0], file.data[1], file.timeStamps[0], file.timeStamps[1]};
                    }
                    ASSERT_EQ(seen[0], seen[1]) << "jump " << kind << " to " << t << ", step " << step;
                }
    };
    auto order = [](FileInfo const& file) { return file.tableSignals.at("MessageData0001").GetTimeOrder(); };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.what);
        FileInfo files[2];
        ASSERT_NO_FATAL_FAILURE(open(c.sql, files));
        ASSERT_NO_FATAL_FAILURE(agree(files));
        EXPECT_EQ(order(files[0]), c.searched ? CMessageSignals::TimeOrder::Sorted : CMessageSignals::TimeOrder::Unsorted);
    }

    // Another connection puts a row out of order while the database is open
    // (between two jumps, when no cursor holds a read transaction): the
    // order is checked again.
    FileInfo files[2];
    ASSERT_NO_FATAL_FAILURE(open("", files));
    for (FileInfo& file : files)
        ASSERT_EQ(file.JumpToTimeStamp(9), 9);  // the last row: every cursor is done
    EXPECT_EQ(order(files[0]), CMessageSignals::TimeOrder::Sorted);
    ASSERT_EQ(testlib::sqlite3(path, "UPDATE MessageData0001 SET TIME_VAL = 1 WHERE rowid = 7").output, "");
    ASSERT_NO_FATAL_FAILURE(agree(files));
    EXPECT_EQ(order(files[0]), CMessageSignals::TimeOrder::Unsorted);

    // A table changed behind its order check (where the check of the data
    // version cannot see it) is not answered from the stale check: its last
    // row moved before the jump time, the rows before it gone.
    FileInfo stale[2];
    ASSERT_NO_FATAL_FAILURE(open("", stale));
    ASSERT_EQ(stale[0].CheckTimeOrder(), 1);
    ASSERT_EQ(testlib::sqlite3(path, "DELETE FROM MessageData0001 WHERE rowid BETWEEN 7 AND 11; "
                                     "UPDATE MessageData0001 SET TIME_VAL = 0 WHERE rowid = 12").output, "");
    EXPECT_EQ(stale[0].tableSignals.at("MessageData0001").TimeAtOrAfter(8.5, stale[0].db), std::nullopt);

    // Another connection commits between two jumps while the database is in
    // WAL mode (read through its log) and a cursor is open: every call reads
    // one snapshot, so a jump's time is that of the rows it places and the
    // steps go on from them, all as before the commit or all as after it.
    // A load's reads begin the snapshot its first call goes on with: a commit
    // right after the load (the first one, a second one as hit extraction
    // makes, or one after a close) is seen neither by that call nor the steps.
    std::string const later = "UPDATE MessageData0001 SET TIME_VAL = TIME_VAL - 0.125, Signal1 = Signal1 + 1000";
    FileInfo before[2], after[2];
    ASSERT_NO_FATAL_FAILURE(make(dir.file("before.db"), ""));
    ASSERT_NO_FATAL_FAILURE(load(dir.file("before.db"), before));
    ASSERT_NO_FATAL_FAILURE(make(dir.file("after.db"), later));
    ASSERT_NO_FATAL_FAILURE(load(dir.file("after.db"), after));
    auto run = [](FileInfo& file, int kind, double t) {
        std::vector<double> seen;
        for (int step = 0; step < 4; ++step) {
            double result = step > 0    ? file.GetNextRecord()
                            : kind == 0 ? file.JumpToTimeStamp(t)
                            : kind == 1 ? file.JumpBeforeTimeStamp(t)
                                        : file.JumpAfterTimeStamp(t);
            seen.insert(seen.end(), {result, file.data[0], file.data[1], file.timeStamps[0], file.timeStamps[1]});
        }
        return seen;
    };
    // The writer commits after: a jump into the table (0), the load (1), a
    // second load (2), a close and a new load (3).
    for (int c = 0; c < 12; ++c) {
        int const kind = c % 3, when = c / 3;
        std::string const logged = dir.file("wal" + std::to_string(kind) + std::to_string(when) + ".db");
        ASSERT_NO_FATAL_FAILURE(make(logged, ""));
        sqlite3* writer = nullptr;
        ASSERT_EQ(sqlite3_open(logged.c_str(), &writer), SQLITE_OK);
        // The log keeps its content: the handles read it, not the file alone.
        ASSERT_EQ(sqlite3_exec(writer, "PRAGMA journal_mode = WAL; PRAGMA wal_autocheckpoint = 0; "
                               "UPDATE MessageData0001 SET Signal2 = Signal2", nullptr, nullptr, nullptr), SQLITE_OK);
        FileInfo reading[2];
        ASSERT_NO_FATAL_FAILURE(load(logged, reading));
        for (FileInfo& file : reading) {
            if (when == 0) {
                ASSERT_EQ(file.JumpToTimeStamp(3), 3);  // a cursor in the middle of the table
            }
            if (when == 3)
                file.Close();
            if (when >= 2) {
                ASSERT_EQ(file.LoadDbChannels(widestring(logged).c_str()), 2);
            }
        }
        ASSERT_EQ(sqlite3_exec(writer, later.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        for (FileInfo& file : reading) {
            std::vector<double> seen = run(file, kind, 6.5);
            size_t const h = static_cast<size_t>(&file - reading);
            EXPECT_TRUE(seen == run(before[h], kind, 6.5) || (when == 0 && seen == run(after[h], kind, 6.5)))
                << "jump " << kind << " after " << when << ", seeking by "
                << (file.seekByScan ? "range queries" : "rowid");
            file.Close();
        }
        sqlite3_close(writer);
    }
}
