#pragma once

namespace zenta {

// Cancels every job of every print queue (CUPS). The number of queues cleared.
int CancelAllPrinterJobs();

} // namespace zenta
