#pragma once

// Seeding a standby: a fresh consistent copy of the primary's databases loaded into it, then
// replication from the copy's position on.
#include "StandbyReport.h"

#include <string>

namespace zenta {

// On the standby computer: a fresh consistent copy of the primary's databases, loaded without
// writing this server's binary log, then replication from the copy's position on, until the
// standby holds what the primary had when replication began. Refused over a server that holds
// data unless `replace`, and on the open primary.
StandbyReport SeedStandby(bool replace, const Say& say);

// On the primary's computer, after its live database was replaced (a restore into it reaches no
// binary log, so the standby would silently keep the old data): the standby emptied and seeded
// again from this server, then waited for until in step. The refusal, "" when it can be done,
// is asked before the restore.
std::string StandbyReseedRefusal();
StandbyReport ReseedStandbyFromHere(const Say& say);

} // namespace zenta
