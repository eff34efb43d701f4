#pragma once

// The check keepalived runs to decide which computer holds the tills' floating address.
#include "StandbyReport.h"

namespace zenta {

// Done only when this computer's server is the recorded primary and open for sales (the one
// that may hold the shop's floating address); writes nothing.
StandbyReport CheckHealthy();

} // namespace zenta
