#include "Variant.h"
#include "Text.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace zenta {

namespace {

long DaysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long>(doe) - 719468;
}

void CivilFromDays(long z, int& y, int& m, int& d) {
    z += 719468;
    const long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yoe) + static_cast<int>(era) * 400 + (m <= 2);
}

bool ReadInt(const std::string& s, size_t pos, size_t len, int& out) {
    if (pos + len > s.size())
        return false;
    int v = 0;
    for (size_t i = pos; i < pos + len; ++i) {
        if (s[i] < '0' || s[i] > '9')
            return false;
        v = v * 10 + (s[i] - '0');
    }
    out = v;
    return true;
}

} // namespace

DateTime DateTime::Now() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    DateTime r;
    r.year = tm.tm_year + 1900;
    r.month = tm.tm_mon + 1;
    r.day = tm.tm_mday;
    r.hour = tm.tm_hour;
    r.minute = tm.tm_min;
    r.second = tm.tm_sec;
    return r;
}

DateTime DateTime::Today() {
    DateTime r = Now();
    r.hour = r.minute = r.second = 0;
    r.kind = Kind::Date;
    return r;
}

std::optional<DateTime> DateTime::Parse(const std::string& raw) {
    const std::string s = TrimWhitespace(raw);
    DateTime r;
    if (s.size() >= 10 && s[4] == '-' && s[7] == '-') {
        if (!ReadInt(s, 0, 4, r.year) || !ReadInt(s, 5, 2, r.month) || !ReadInt(s, 8, 2, r.day))
            return std::nullopt;
        if (s.size() == 10) {
            r.kind = Kind::Date;
            return r;
        }
        if (s.size() >= 19 && (s[10] == ' ' || s[10] == 'T') && ReadInt(s, 11, 2, r.hour) &&
            s[13] == ':' && ReadInt(s, 14, 2, r.minute) && s[16] == ':' &&
            ReadInt(s, 17, 2, r.second)) {
            r.kind = Kind::Timestamp;
            return r;
        }
        return std::nullopt;
    }
    if (s.size() >= 8 && s[2] == ':' && s[5] == ':' && ReadInt(s, 0, 2, r.hour) &&
        ReadInt(s, 3, 2, r.minute) && ReadInt(s, 6, 2, r.second)) {
        r.kind = Kind::Time;
        return r;
    }
    return std::nullopt;
}

std::string DateTime::DateText() const {
    char b[32];
    std::snprintf(b, sizeof b, "%04d-%02d-%02d", year, month, day);
    return b;
}

std::string DateTime::TimeText() const {
    char b[32];
    std::snprintf(b, sizeof b, "%02d:%02d:%02d", hour, minute, second);
    return b;
}

std::string DateTime::StampText() const {
    return DateText() + " " + TimeText();
}

std::string DateTime::Format() const {
    switch (kind) {
    case Kind::Date:
        return DateText();
    case Kind::Time:
        return TimeText();
    default:
        return StampText();
    }
}

long DateTime::DayNumber() const {
    return DaysFromCivil(year, month, day);
}

DateTime DateTime::FromDayNumber(long days) {
    DateTime r;
    CivilFromDays(days, r.year, r.month, r.day);
    r.kind = Kind::Date;
    return r;
}

int DateTime::WeekdayMondayZero() const {
    // 1970-01-01 was a Thursday (3 when Monday is 0).
    long w = (DayNumber() + 3) % 7;
    return static_cast<int>(w < 0 ? w + 7 : w);
}

DateTime DateTime::AddDays(long n) const {
    DateTime r = FromDayNumber(DayNumber() + n);
    r.hour = hour;
    r.minute = minute;
    r.second = second;
    r.kind = kind;
    return r;
}

int DateTime::DaysInMonth(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0))
        return 29;
    return days[(m - 1) % 12];
}

DateTime DateTime::AddMonths(int n) const {
    DateTime r = *this;
    int total = year * 12 + (month - 1) + n;
    r.year = total / 12;
    r.month = total % 12 + 1;
    r.day = std::min(day, DaysInMonth(r.year, r.month));
    return r;
}

double Val(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    size_t start = i;
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        ++i;
    size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
        ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9')
            ++i, ++digits;
    }
    if (digits == 0)
        return 0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        size_t j = i + 1;
        if (j < text.size() && (text[j] == '-' || text[j] == '+'))
            ++j;
        if (j < text.size() && text[j] >= '0' && text[j] <= '9') {
            while (j < text.size() && text[j] >= '0' && text[j] <= '9')
                ++j;
            i = j;
        }
    }
    std::string number = text.substr(start, i - start);
    if (!number.empty() && number[0] == '+')
        number.erase(0, 1);
    double v = 0;
    std::from_chars(number.data(), number.data() + number.size(), v);
    return v;
}

namespace {
bool WholeNumber(const std::string& raw, double& out) {
    const std::string s = TrimWhitespace(raw);
    if (s.empty())
        return false;
    const char* b = s.data();
    const char* e = s.data() + s.size();
    if (*b == '+')
        ++b;
    auto [p, ec] = std::from_chars(b, e, out);
    return ec == std::errc() && p == e;
}
} // namespace

std::optional<bool> TextToBool(const std::string& text) {
    double d = 0;
    if (WholeNumber(text, d))
        return d != 0;
    std::string t = TrimWhitespace(text);
    for (auto& c : t)
        c = AsciiLower(c);
    if (t == "true")
        return true;
    if (t == "false")
        return false;
    return std::nullopt;
}

std::string DoubleToText(double d) {
    if (std::isnan(d) || std::isinf(d))
        return "0";
    if (d == std::floor(d) && std::fabs(d) < 1e18) {
        char b[32];
        std::snprintf(b, sizeof b, "%.0f", d);
        return b;
    }
    char b[64];
    auto [p, ec] = std::to_chars(b, b + sizeof b, d, std::chars_format::fixed);
    return ec == std::errc() ? std::string(b, p) : std::string("0");
}

std::string FormatFixed2(double d) {
    char b[64];
    std::snprintf(b, sizeof b, "%.2f", d);
    std::string s = b;
    if (s == "-0.00")
        s = "0.00";
    return s;
}

bool Variant::IsNumeric() const {
    if (std::holds_alternative<std::int64_t>(v_) || std::holds_alternative<double>(v_) ||
        std::holds_alternative<Decimal>(v_))
        return true;
    if (auto s = get<std::string>()) {
        double d;
        return WholeNumber(*s, d);
    }
    return false;
}

std::string Variant::ToString() const {
    struct V {
        std::string operator()(std::monostate) const { return {}; }
        std::string operator()(Null) const { return {}; }
        std::string operator()(std::int64_t i) const { return std::to_string(i); }
        std::string operator()(double d) const { return DoubleToText(d); }
        std::string operator()(const Decimal& d) const { return d.text; }
        std::string operator()(const std::string& s) const { return s; }
        std::string operator()(const DateTime& t) const { return t.Format(); }
        std::string operator()(const Bytes& b) const { return std::string(b.begin(), b.end()); }
    };
    return std::visit(V{}, v_);
}

double Variant::ToDouble() const {
    if (auto i = get<std::int64_t>())
        return static_cast<double>(*i);
    if (auto d = get<double>())
        return *d;
    if (auto d = get<Decimal>())
        return Val(d->text);
    if (auto s = get<std::string>())
        return Val(*s);
    if (auto t = get<DateTime>())
        return static_cast<double>(t->DayNumber());
    return 0;
}

std::int64_t Variant::ToInt64() const {
    if (auto i = get<std::int64_t>())
        return *i;
    return static_cast<std::int64_t>(std::nearbyint(ToDouble()));
}

std::optional<bool> Variant::ToBool() const {
    if (IsEmpty() || IsNull())
        return std::nullopt;
    if (auto s = get<std::string>())
        return TextToBool(*s);
    return ToDouble() != 0;
}

std::optional<DateTime> Variant::ToDate() const {
    if (auto t = get<DateTime>())
        return *t;
    if (auto s = get<std::string>())
        return DateTime::Parse(*s);
    return std::nullopt;
}

} // namespace zenta
