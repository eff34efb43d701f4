#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace zenta {

using Bytes = std::vector<unsigned char>;

// The database's and the registry's null, distinct from "never assigned" (Empty).
struct Null {
    bool operator==(const Null&) const = default;
};

// An exact decimal as the server wrote it ("12.500", "-3"); kept as text so that
// quantities go back into statements without binary rounding.
struct Decimal {
    std::string text;
    bool operator==(const Decimal&) const = default;
};

struct DateTime {
    enum class Kind { Date, Time, Timestamp };
    int year = 1899, month = 12, day = 30;
    int hour = 0, minute = 0, second = 0;
    Kind kind = Kind::Timestamp;

    static DateTime Now();
    static DateTime Today();
    // "yyyy-mm-dd", "hh:nn:ss" or "yyyy-mm-dd hh:nn:ss"; nullopt when unreadable.
    static std::optional<DateTime> Parse(const std::string& text);

    std::string Format() const;    // by kind
    std::string DateText() const;  // yyyy-mm-dd
    std::string TimeText() const;  // hh:nn:ss
    std::string StampText() const; // yyyy-mm-dd hh:nn:ss
    // Days since 1970-01-01 of the date part.
    long DayNumber() const;
    static DateTime FromDayNumber(long days);
    int WeekdayMondayZero() const;
    DateTime AddDays(long n) const;
    // Calendar months; the day is clamped to the last day of the target month.
    DateTime AddMonths(int n) const;
    static int DaysInMonth(int year, int month);
    bool operator==(const DateTime&) const = default;
};

// The cell type of result arrays and registry values.
class Variant {
  public:
    using Value = std::variant<std::monostate, Null, std::int64_t, double, Decimal, std::string,
                               DateTime, Bytes>;

    Variant() = default;
    Variant(Null n) : v_(n) {}
    Variant(std::int64_t i) : v_(i) {}
    Variant(int i) : v_(static_cast<std::int64_t>(i)) {}
    Variant(long long i) : v_(static_cast<std::int64_t>(i)) {}
    Variant(double d) : v_(d) {}
    Variant(Decimal d) : v_(std::move(d)) {}
    Variant(std::string s) : v_(std::move(s)) {}
    Variant(const char* s) : v_(std::string(s)) {}
    Variant(DateTime t) : v_(t) {}
    Variant(Bytes b) : v_(std::move(b)) {}

    bool IsEmpty() const { return std::holds_alternative<std::monostate>(v_); }
    bool IsNull() const { return std::holds_alternative<Null>(v_); }
    bool IsNumeric() const; // integer, double, decimal, or text that reads whole as a number
    bool IsText() const { return std::holds_alternative<std::string>(v_); }
    bool IsBytes() const { return std::holds_alternative<Bytes>(v_); }
    bool IsDate() const { return std::holds_alternative<DateTime>(v_); }

    // Conversions in the spirit of the suite's own: nulls and empties read as "" and 0.
    std::string ToString() const;
    double ToDouble() const;
    std::int64_t ToInt64() const; // rounded half to even, like the suite's integer conversion
    std::optional<bool> ToBool() const;
    std::optional<DateTime> ToDate() const;

    const Value& value() const { return v_; }
    template <class T> const T* get() const { return std::get_if<T>(&v_); }
    bool operator==(const Variant&) const = default;

  private:
    Value v_;
};

// The number at the start of a text (leading blanks skipped): "3307abc" → 3307,
// "5.1.73" → 5.1, "x" → 0.
double Val(const std::string& text);
// The usual Boolean reading of a settings text: numbers are True when not zero, the words
// True and False in any case; anything else has no Boolean value.
std::optional<bool> TextToBool(const std::string& text);
// Plain decimal text of a double: no exponent, no grouping, a point, shortest round trip.
std::string DoubleToText(double d);
// "0.00" pattern.
std::string FormatFixed2(double d);

} // namespace zenta
