#pragma once

namespace zenta {

// Removes half-filled master records and repairs values that break calculations: six
// statements, each standing alone.
void CleanMasterData();

} // namespace zenta
