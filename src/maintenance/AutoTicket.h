#pragma once

#include "Variant.h"

#include <cstdint>
#include <optional>
#include <string>

namespace zenta {

// Once per server day, when the shop switched it on, deletes the tickets and dated rows up to
// the cut-off day of the retention code.
void AutoDeleteTickets();

// The cut-off day of a retention code for today's date; nothing for codes outside 0–6.
std::optional<DateTime> TicketCutOffDay(long code, const DateTime& today);
// The highest ticket number sold on or before the day: YYMMDD followed by 9999.
std::int64_t TicketNumberBound(const DateTime& cutOff);

} // namespace zenta
