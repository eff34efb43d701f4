#pragma once

namespace zenta {

// Brings the reference database up to date, lets the comparer compare it with the working
// database, and answers whether the structures agree: True when no difference script (or an
// empty one) was written. A comparison that could not run answers False.
bool CompareDBStructure();

} // namespace zenta
