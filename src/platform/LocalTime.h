#pragma once

#include "Result.h"

#include <ctime>
#include <string>
#include <vector>

namespace zenta {

// This computer's local time, read and written without the traps of a daylight-saving change:
// a time the clocks go back over names two instants, one they jump over names none, and a day
// that is not in the calendar is not quietly taken for another.

// Every instant a local date and time names on this computer, earliest first: one as a rule,
// two for a time the clocks go back over, none for a time they jump over or one that is not
// in the calendar (31 February, 24:00:00).
std::vector<std::time_t> LocalInstants(int year, int month, int day, int hour, int minute,
                                       int second);

// A time a person typed: "YYYY-MM-DD HH:MM:SS" of this computer's clock, or the same with a UTC
// offset ("… +01:00", "…+0100", "… -05", "…Z", "… UTC"). Refused, with what to type instead,
// when it is no time, not in the calendar, skipped by a daylight-saving change, or repeated by
// one without an offset to tell which.
Result<std::time_t> ParseInstant(const std::string& text);

// "YYYY-MM-DD HH:MM:SS +HH:MM" of this computer's clock: the instant without doubt.
std::string InstantText(std::time_t t);
// "YYYY-MM-DD HH:MM:SS" of this computer's clock (the stamps of the logs and records).
std::string LocalStampText(std::time_t t);
// A stamp "YYYY-MM-DD HH:MM:SS" of this computer's clock as seconds since 1970 (the earlier
// instant of a repeated hour, the moment after the change for a skipped one); 0 when empty or
// no time.
long long StampSeconds(const std::string& stamp);

} // namespace zenta
