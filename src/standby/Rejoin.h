#pragma once

// The old primary back after a promotion: the new primary's standby, when nothing it holds would
// be lost.
#include "StandbyReport.h"

namespace zenta {

// On the old primary after a promotion: it follows the new primary when its own log ends at
// the promotion point or before; a server holding transactions written after it is refused, and
// they are listed in a file of Log/ for a person.
StandbyReport RejoinOldPrimary(const Say& say);

} // namespace zenta
