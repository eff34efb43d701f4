#pragma once

namespace zenta {

// Folds the pending stock movements of stockcambio and stockextracambio into stock and
// stockextra and empties the change tables, in one transaction. When any read or application
// fails, the transaction is rolled back and the movements stay for the next cycle.
void RenovarStock();

} // namespace zenta
