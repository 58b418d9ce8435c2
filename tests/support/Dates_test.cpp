// Date texts checked against python3's datetime, in UTC and in local time.
#include <gtest/gtest.h>

#include "support/LibUtils.h"
#include "testlib/TestSupport.h"
#include "vantrel.h"

#include <cfloat>
#include <cmath>
#include <sstream>

namespace {

constexpr long long kSecondsFrom1601To1970 = 11644473600LL;

// "date|time|twelve-hour time|two-digit date|two-digit time" per second since
// 1970, as datetime writes them in zone ("UTC" or a tz database name).
std::vector<std::string> pythonDates(std::string const& zone, std::vector<long long> const& seconds)
{
    std::string script =
        "import datetime, sys, zoneinfo\n"
        "utc = datetime.timezone.utc\n"
        "zone = utc if sys.argv[1] == 'UTC' else zoneinfo.ZoneInfo(sys.argv[1])\n"
        "for s in map(int, sys.argv[2:]):\n"
        "    d = (datetime.datetime(1970, 1, 1, tzinfo=utc) + datetime.timedelta(seconds=s)).astimezone(zone)\n"
        "    h12, half = (d.hour % 12 or 12), ('AM' if d.hour < 12 else 'PM')\n"
        "    yy = d.year - 2000 if d.year >= 2000 else d.year - 1900\n"
        "    print(f'{d.year}/{d.month}/{d.day}|{d.hour}:{d.minute}:{d.second}|{h12}:{d.minute}:{d.second} {half}|'\n"
        "          f'{d.month:02d}-{d.day:02d}-{yy:02d}|{d.hour:02d}:{d.minute:02d}:{d.second:02d}')\n";
    std::string command = testlib::python() + " -c " + testlib::shellQuote(script) + " " + zone;
    for (long long s : seconds)
        command += " " + std::to_string(s);
    testlib::CommandResult result = testlib::run(command);
    EXPECT_EQ(result.exitCode, 0);
    std::vector<std::string> lines;
    std::istringstream in(result.output);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    EXPECT_EQ(lines.size(), seconds.size());
    lines.resize(seconds.size());
    return lines;
}

std::string ours(unsigned long long ticks)
{
    std::string date, time, date12, time12, date02, time02;
    FormatDateAndTime(ticks, false, date, time);
    FormatDateAndTime(ticks, true, date12, time12);
    FormatDateAndTime02(ticks, date02, time02);
    EXPECT_EQ(date12, date);
    return date + "|" + time + "|" + time12 + "|" + date02 + "|" + time02;
}

unsigned long long ticksOf(long long secondsSince1970)
{
    return static_cast<unsigned long long>(secondsSince1970 + kSecondsFrom1601To1970) * 10000000ULL;
}

// 2007-01-01 and its noon hours, the two-digit years either side of 2000,
// the start of 1970 and the second before it, 2038 and 2100.
std::vector<long long> const kModernSeconds = {1167609600, 1167652800, 1167654605, 1167658205, 1683450303,
                                               952146367,  946684799,  0,          -1,         2147483648,
                                               4102444800, 1679792400, 1698541200};

class ScopedLocalTime {
public:
    explicit ScopedLocalTime(bool local) : previous_(g_bUseLocalTime) { g_bUseLocalTime = local; }
    ~ScopedLocalTime() { g_bUseLocalTime = previous_; }

private:
    bool previous_;
};

}  // namespace

TEST(Dates, UtcTextsAgreeWithPython)
{
    // UTC is UTC whatever the process's zone.
    testlib::ScopedEnv tz("TZ", "America/New_York");
    ScopedLocalTime utc(false);
    std::vector<long long> seconds = kModernSeconds;
    seconds.push_back(-kSecondsFrom1601To1970);  // 1601-01-01, tick 0
    seconds.push_back(-86400LL * 365 * 100);     // 1870
    seconds.push_back(253402300799LL);           // 9999-12-31 23:59:59
    std::vector<std::string> expected = pythonDates("UTC", seconds);
    for (size_t i = 0; i < seconds.size(); ++i)
        EXPECT_EQ(ours(ticksOf(seconds[i])), expected[i]) << seconds[i];

    // 2007-01-01 is the epoch of times in seconds; beyond the range the
    // ticks saturate and the date stops at the first or last second.
    EXPECT_EQ(TicksFromTime(0.0), ticksOf(1167609600));
    EXPECT_EQ(TicksFromTime(45005.0), ticksOf(1167654605));
    std::string first = expected[seconds.size() - 3], last = expected.back();
    EXPECT_EQ(ours(TicksFromTime(-1e300)), first);
    EXPECT_EQ(ours(TicksFromTime(NAN)), first);
    EXPECT_EQ(ours(TicksFromTime(DBL_MAX)), last);
    EXPECT_EQ(ours(ticksOf(253402300800LL)), last);
    EXPECT_EQ(ours(~0ULL), last);
}

TEST(Dates, LocalTimeAgreesWithPython)
{
    for (char const* zone : {"Europe/Berlin", "America/New_York", "Asia/Kolkata"}) {
        testlib::ScopedEnv tz("TZ", zone);
        ScopedLocalTime local(true);
        std::vector<std::string> expected = pythonDates(zone, kModernSeconds);
        for (size_t i = 0; i < kModernSeconds.size(); ++i)
            EXPECT_EQ(ours(ticksOf(kModernSeconds[i])), expected[i]) << zone << " " << kModernSeconds[i];
    }
}
