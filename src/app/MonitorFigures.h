#pragma once

// The figures that tell head office how this computer's protection stands as a whole, beside
// each domain's own: how many seconds of sales a loss of the database now would cost, the
// backup folder's disk, and the figures' own freshness. A monitor that runs rewrites the metrics
// file every [Monitor] MetricsSeconds (60), so that a file that stops changing means a monitor
// that stopped or hung, not a quiet shop.
#include "BinlogCopyRecord.h"
#include "JobOutcomes.h"
#include "OffsiteRecord.h"
#include "PairState.h"

#include <ctime>
#include <string>

namespace zenta {

// How many seconds of acknowledged sales a loss of the database at `now` would cost: the
// smallest exposure of what protects them (the binary log's copy, a protected standby, the
// off-site copy: each its lag while current, or the time since it stopped being current), and
// the last good backup's age, which always protects. -1 when nothing protects (no backup yet).
long long RecoveryPointSeconds(const BackupOutcome& backup, const BinlogCopyOutcome& copy,
                               const PairState& pair, const OffsiteOutcome& offsite,
                               std::time_t now);

// [Monitor] MetricsSeconds: how often the running monitor rewrites the metrics file (60, at
// least 1).
long MetricsSeconds();

// Where the backup folder is, for the figures of its disk (read at each writing).
void NoteBackupFolder(const std::string& folder);

// The running monitor's rewriting of the file: due MetricsSeconds after the last one.
bool MetricsDue(std::time_t now);
void RewriteMetrics(std::time_t now);

} // namespace zenta
