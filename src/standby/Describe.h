#pragma once

// `standby status`: both servers as they stand.
#include "StandbyReport.h"

namespace zenta {

StandbyReport DescribePair(const Say& say);

} // namespace zenta
