#include "support/LibUtils.h"
#include "support/CFormat.h"
#include "vantrel.h"

#include <cmath>
#include <cstring>

// Dates are broken down in UTC unless the host asks for local time.
bool g_bUseLocalTime = false;

namespace {

constexpr long long kSecondsFrom1601To1970 = 11644473600LL;
constexpr long long kSecondsFrom1601To2007 = 12812083200LL;
constexpr long long kTicksPerSecond = 10000000LL;
// 9999-12-31 23:59:59 UTC: the last second every C library breaks down.
constexpr long long kLastSecondSince1970 = 253402300799LL;

}  // namespace

unsigned long long TicksFromTime(double secondsSince2007)
{
    double ticks = (secondsSince2007 + static_cast<double>(kSecondsFrom1601To2007)) * kTicksPerSecond;
    if (!(ticks > 0))
        return 0;
    if (ticks >= 18446744073709551615.0)
        return ~0ULL;
    return static_cast<unsigned long long>(ticks);
}

void FormatDateAndTime(unsigned long long ticks, tm* out)
{
    if (!out)
        return;
    long long seconds = static_cast<long long>(ticks / kTicksPerSecond) - kSecondsFrom1601To1970;
    if (seconds > kLastSecondSince1970)
        seconds = kLastSecondSince1970;
    time_t when = static_cast<time_t>(seconds);
    tm broken{};
    tm* ok = g_bUseLocalTime ? localtime_r(&when, &broken) : gmtime_r(&when, &broken);
    if (!ok)
        std::memset(&broken, 0, sizeof broken);
    *out = broken;
}

void FormatDateAndTime(unsigned long long ticks, bool twelveHour, std::string& date, std::string& time)
{
    tm t;
    FormatDateAndTime(ticks, &t);
    date = FormatC("%d/%d/%d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    if (!twelveHour) {
        time = FormatC("%d:%d:%d", t.tm_hour, t.tm_min, t.tm_sec);
    } else if (t.tm_hour == 0) {
        time = FormatC("12:%d:%d AM", t.tm_min, t.tm_sec);
    } else if (t.tm_hour < 12) {
        time = FormatC("%d:%d:%d AM", t.tm_hour, t.tm_min, t.tm_sec);
    } else {
        time = FormatC("%d:%d:%d PM", t.tm_hour == 12 ? 12 : t.tm_hour - 12, t.tm_min, t.tm_sec);
    }
}

void FormatDateAndTime02(unsigned long long ticks, std::string& date, std::string& time)
{
    tm t;
    FormatDateAndTime(ticks, &t);
    int year = t.tm_year + 1900;
    int twoDigits = year >= 2000 ? year - 2000 : year - 1900;
    date = FormatC("%02d-%02d-%02d", t.tm_mon + 1, t.tm_mday, twoDigits);
    time = FormatC("%02d:%02d:%02d", t.tm_hour, t.tm_min, t.tm_sec);
}
