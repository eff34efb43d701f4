#include "Retention.h"

#include "ArchiveNames.h"
#include "Common.h"
#include "Settings.h"
#include "Text.h"
#include "Variant.h"

#include <algorithm>
#include <cstdio>
#include <functional>

namespace zenta {

namespace {

// The date in "ZentaMarket<yyyymmddhhnnss>.ZTB", when it is one.
std::optional<DateTime> ArchiveDate(const std::string& name) {
    const auto parsed = ParseArchiveName(name);
    if (!parsed)
        return std::nullopt;
    DateTime d = parsed->time;
    d.kind = DateTime::Kind::Date;
    d.hour = d.minute = d.second = 0;
    return d;
}

std::string MonthText(const DateTime& d) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d", d.year, d.month);
    return text;
}

} // namespace

std::string IsoWeekText(int year, int month, int day) {
    DateTime d;
    d.year = year;
    d.month = month;
    d.day = day;
    const long thursday = d.DayNumber() - d.WeekdayMondayZero() + 3;
    const DateTime t = DateTime::FromDayNumber(thursday);
    DateTime first;
    first.year = t.year;
    first.month = 1;
    first.day = 1;
    const int week = static_cast<int>((thursday - first.DayNumber()) / 7 + 1);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-W%02d", t.year, week);
    return text;
}

std::vector<RetentionDecision> PlanRetention(std::vector<std::string> names,
                                             const RetentionRules& rules) {
    std::sort(names.begin(), names.end(), std::greater<>());
    const long newest = std::max(rules.newest, 1L);
    std::vector<RetentionDecision> plan;
    std::string lastWeek, lastMonth;
    long weeks = 0, months = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        RetentionDecision decision;
        decision.name = names[i];
        std::vector<std::string> reasons;
        if (static_cast<long>(i) < newest)
            reasons.push_back("one of the " + std::to_string(newest) + " newest");
        if (const auto date = ArchiveDate(names[i])) {
            const std::string week = IsoWeekText(date->year, date->month, date->day);
            if (week != lastWeek && weeks < rules.weekly) {
                reasons.push_back("the newest of week " + week);
                ++weeks;
                lastWeek = week;
            }
            const std::string month = MonthText(*date);
            if (month != lastMonth && months < rules.monthly) {
                reasons.push_back("the newest of month " + month);
                ++months;
                lastMonth = month;
            }
        }
        decision.keep = !reasons.empty();
        for (const auto& r : reasons)
            decision.why += (decision.why.empty() ? "" : "; ") + r;
        if (!decision.keep) {
            decision.why = "beyond the " + std::to_string(newest) + " newest";
            if (rules.weekly > 0 || rules.monthly > 0)
                decision.why += ", and not the newest of one of the last " +
                                std::to_string(rules.weekly) + " weeks or " +
                                std::to_string(rules.monthly) + " months that have archives";
        }
        plan.push_back(decision);
    }
    return plan;
}

Result<RetentionRules> ReadLongerRetention(long newest) {
    RetentionRules rules;
    rules.newest = newest;
    struct Key {
        const char* name;
        long* field;
        const char* unit;
    };
    for (const Key& key : {Key{"KeepWeekly", &rules.weekly, "weeks"},
                           Key{"KeepMonthly", &rules.monthly, "months"}}) {
        const auto value = SettingWholeNumber("Monitor", key.name, 0, 0, key.unit);
        if (!value)
            return Result<RetentionRules>::Failure(value.error());
        *key.field = *value;
    }
    return rules;
}

} // namespace zenta
