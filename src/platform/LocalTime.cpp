#include "LocalTime.h"

#include "Text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>

namespace zenta {

namespace {

bool InCalendar(int year, int month, int day, int hour, int minute, int second) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1970 || year > 9999 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 ||
        minute < 0 || minute > 59 || second < 0 || second > 59)
        return false;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= days[month - 1] + (month == 2 && leap ? 1 : 0);
}

// The fields as if they were UTC: the offsets of this computer's zone are taken off it.
std::time_t AsUtc(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return ::timegm(&t);
}

std::string Offset(long seconds) {
    const char sign = seconds < 0 ? '-' : '+';
    const long a = seconds < 0 ? -seconds : seconds;
    char text[48];
    std::snprintf(text, sizeof text, "%c%02ld:%02ld", sign, a / 3600 % 100, a % 3600 / 60);
    return text;
}

// What follows the time: nothing (this computer's clock), or a UTC offset in seconds. False
// when it is something else.
bool ReadOffset(std::string rest, bool& given, long& seconds) {
    rest = TrimWhitespace(rest);
    given = !rest.empty();
    seconds = 0;
    if (rest.empty())
        return true;
    const std::string upper = AsciiUpperCase(rest);
    if (upper == "Z" || upper == "UTC" || upper == "GMT")
        return true;
    if (rest[0] != '+' && rest[0] != '-')
        return false;
    std::string digits;
    for (size_t i = 1; i < rest.size(); ++i) {
        if (rest[i] == ':' && i == 3)
            continue;
        if (!std::isdigit(static_cast<unsigned char>(rest[i])))
            return false;
        digits += rest[i];
    }
    if (digits.size() != 2 && digits.size() != 4)
        return false;
    const long hours = std::stol(digits.substr(0, 2));
    const long minutes = digits.size() == 4 ? std::stol(digits.substr(2)) : 0;
    if (hours > 14 || minutes > 59)
        return false;
    seconds = (hours * 3600 + minutes * 60) * (rest[0] == '-' ? -1 : 1);
    return true;
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

} // namespace

std::vector<std::time_t> LocalInstants(int year, int month, int day, int hour, int minute,
                                       int second) {
    if (!InCalendar(year, month, day, hour, minute, second))
        return {};
    const std::time_t utc = AsUtc(year, month, day, hour, minute, second);
    // The zone's offsets around that day (a change happens at most every few hours); each
    // instant that reads as these fields under its own offset is one the fields name.
    std::set<long> offsets;
    for (int h = -27; h <= 27; ++h) {
        const std::time_t near = utc + h * 3600;
        std::tm t{};
        if (::localtime_r(&near, &t))
            offsets.insert(t.tm_gmtoff);
    }
    std::set<std::time_t> found;
    for (const long offset : offsets) {
        const std::time_t candidate = utc - offset;
        std::tm t{};
        if (!::localtime_r(&candidate, &t))
            continue;
        if (t.tm_gmtoff == offset && t.tm_year == year - 1900 && t.tm_mon == month - 1 &&
            t.tm_mday == day && t.tm_hour == hour && t.tm_min == minute && t.tm_sec == second)
            found.insert(candidate);
    }
    return {found.begin(), found.end()};
}

Result<std::time_t> ParseInstant(const std::string& given) {
    const std::string text = TrimWhitespace(given);
    auto refuse = [](const std::string& why) { return Result<std::time_t>::Failure(why); };
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, used = 0;
    if (text.size() < 19 ||
        std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%n", &year, &month, &day, &hour, &minute,
                    &second, &used) != 6 ||
        used != 19 || text[4] != '-' || text[7] != '-' || text[10] != ' ' || text[13] != ':' ||
        text[16] != ':')
        return refuse(Quoted(text) +
                      " is no time: give \"YYYY-MM-DD HH:MM:SS\" of this computer's clock, or "
                      "with its offset from UTC (\"YYYY-MM-DD HH:MM:SS +01:00\")");
    bool withOffset = false;
    long offset = 0;
    if (!ReadOffset(text.substr(19), withOffset, offset))
        return refuse(Quoted(text) + " has an offset that cannot be read: give it as \"+01:00\", "
                                     "\"-05:00\" or \"Z\" (UTC)");
    if (!InCalendar(year, month, day, hour, minute, second))
        return refuse(Quoted(text) + " is not in the calendar (no such day or time of day)");
    if (withOffset)
        return AsUtc(year, month, day, hour, minute, second) - offset;
    const auto instants = LocalInstants(year, month, day, hour, minute, second);
    const std::string local = text.substr(0, 19);
    if (instants.empty())
        return refuse(local +
                      " does not exist on this computer's clock: the clocks jump over it at a "
                      "change to daylight-saving time; give a time before or after the change");
    if (instants.size() > 1) {
        std::string both;
        for (const auto t : instants)
            both += (both.empty() ? "" : " or ") + Quoted(InstantText(t));
        return refuse(local +
                      " happens twice on this computer's clock (the clocks go back over "
                      "it): say which with its offset, " +
                      both + " (the first, then the second)");
    }
    return instants.front();
}

std::string InstantText(std::time_t t) {
    std::tm local{};
    if (!::localtime_r(&t, &local))
        return "?";
    return LocalStampText(t) + " " + Offset(local.tm_gmtoff);
}

std::string LocalStampText(std::time_t t) {
    std::tm local{};
    if (!::localtime_r(&t, &local))
        return "?";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

long long StampSeconds(const std::string& stamp) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (stamp.size() < 19 || std::sscanf(stamp.c_str(), "%d-%d-%d %d:%d:%d", &year, &month, &day,
                                         &hour, &minute, &second) != 6)
        return 0;
    const auto instants = LocalInstants(year, month, day, hour, minute, second);
    if (!instants.empty())
        return static_cast<long long>(instants.front());
    // Skipped by a change: the clock that wrote it read the time before the jump.
    if (!InCalendar(year, month, day, hour, minute, second))
        return 0;
    const std::time_t utc = AsUtc(year, month, day, hour, minute, second);
    std::tm t{};
    const std::time_t before = utc - 12 * 3600;
    if (!::localtime_r(&before, &t))
        return 0;
    return static_cast<long long>(utc - t.tm_gmtoff);
}

} // namespace zenta
