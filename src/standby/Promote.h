#pragma once

// Promoting the standby when the primary's computer is dead.
#include "StandbyReport.h"

namespace zenta {

// On the standby computer when the primary's computer is dead: refused while the primary still
// answers, or while the standby's replication stopped on an error unless `force`; everything
// received is applied (waiting at most `waitSeconds`), then this server forgets its primary,
// opens for sales and records the promotion.
StandbyReport PromoteStandby(bool force, long waitSeconds, const Say& say);

} // namespace zenta
