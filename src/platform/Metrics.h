#pragma once

#include "Result.h"

#include <string>

namespace zenta {

// The job outcomes as a metrics file in the Prometheus text format, for node_exporter's
// textfile collector: <folder>/zentamarket.prom, replaced whole (written beside it and renamed).
// The folder is the setting [Monitor] MetricsFolder of zentamarket.ini; nothing is written
// while it is empty. Written after every job (each RecordOutcome).
// Why not, when it cannot be written.
Result<Done> WriteMetricsFile();
// The text itself, from the job record.
std::string MetricsText();

} // namespace zenta
