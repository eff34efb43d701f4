#pragma once

#include "Result.h"

#include <string>
#include <vector>

namespace zenta {

// Which archives a rotation keeps: the newest `newest` ones, and besides them the newest archive
// of each of the last `weekly` weeks and of the last `monthly` months that have one (weeks run
// Monday to Sunday; the time is the one in the archive's name). Weeks and months without an
// archive are not counted, so a pause in the backups (a closed shop, a broken server) never
// costs an older weekly or monthly archive.
struct RetentionRules {
    long newest = 1;
    long weekly = 0;
    long monthly = 0;
};

struct RetentionDecision {
    std::string name; // "ZentaMarket<yyyymmddhhnnss>.ZTB"
    bool keep = false;
    std::string why;      // "one of the 5 newest; newest of week 2026-W49", or why it goes
    bool damaged = false; // not a whole archive: never counted, never deleted
};

// The decision for every archive named, newest first. Only whole archives may be passed: the
// caller leaves the others alone. Names without a readable time are kept.
[[nodiscard]] std::vector<RetentionDecision> PlanRetention(std::vector<std::string> names,
                                                           const RetentionRules& rules);

// "2026-W49": the ISO week of a date (its year is the year of the week's Thursday).
[[nodiscard]] std::string IsoWeekText(int year, int month, int day);

// The [Monitor] keys KeepWeekly and KeepMonthly of zentamarket.ini (0 when missing). A failure
// that says why when one is set to anything but a whole number of at least 0: a rotation must
// then delete nothing rather than guess.
Result<RetentionRules> ReadLongerRetention(long newest);

} // namespace zenta
