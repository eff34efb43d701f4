#pragma once

#include "Result.h"

#include <functional>
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

// One gauge with its help line, appended to `out`; nothing for an empty value (not known).
void AddMetric(std::string& out, const std::string& name, const std::string& help,
               const std::string& value);

// A part of the metrics file, kept by the domain that keeps the record it comes from (the job
// record's own sections, the pair's, the binary log's copy's): the domain's code adds it once,
// where it is linked in (a registration of its own at start-up). Parts are written in `order`.
using MetricsSection = std::function<std::string()>;
bool AddMetricsSection(int order, const std::string& name, MetricsSection section);
// The orders of the parts: the backups first, the monitor's own figures last.
enum MetricsOrder {
    kBackupMetrics = 10,
    kDriveMetrics = 20,
    kBinaryLogMetrics = 30,
    kBinlogCopyMetrics = 35,
    kRepositoryMetrics = 37,
    kJobMetrics = 40,
    kPairMetrics = 50,
    kMonitorMetrics = 60
};

} // namespace zenta
