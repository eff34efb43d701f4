#pragma once

#include "Restore.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace zenta {

// Whether an archive restores as it was made: restored into a scratch database and every
// table compared with the figures the archive recorded.
struct VerifyReport {
    bool ok = false;
    // When the check could not run to its end: the archive could not be restored, or a
    // table's checksum could not be read (no verdict on the archive then).
    RestoreFailure failure = RestoreFailure::None;
    std::string error;
    bool recorded = false; // the archive carries its tables' figures
    std::vector<std::pair<TableFigures, TableFigures>> tables; // expected, found
};

// Restores the archive into a scratch database, compares every table with the figures the
// archive recorded (row counts of the data files for archives without them) and drops the
// scratch database.
[[nodiscard]] VerifyReport
VerifyArchive(const std::string& archive,
              const std::function<void(const std::string&)>& progress = {},
              const std::string& passwordFile = "");

// Records a verification that ran, the weekly one's or a technician's: the last verification
// that status, doctor and the metrics show. Why it failed ("" when it is good).
std::string RecordVerification(const std::string& archive, const VerifyReport& report);

// With [Monitor] VerifyWeekly=1 in zentamarket.ini: verifies the newest good archive when the
// last verification is a week old or more, and records the outcome. A job of the cycle.
void AutoVerifyArchive();

} // namespace zenta
