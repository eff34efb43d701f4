#pragma once

#include <ctime>
#include <string>

namespace zenta {

// Whether the shop's backups need a person's attention, from the job record: the last attempt
// failed, or the last good backup is older than [Monitor] BackupWarnDays of zentamarket.ini
// (default 2), or there is none.
struct BackupHealth {
    bool warn = false;
    std::string reason;   // the tray's words (the suite's language), "" when all is well
    std::string lastGood; // "yyyy-mm-dd hh:nn:ss" of the last good backup, "" when none
    long ageHours = -1;   // of the last good backup; -1 when none
};
BackupHealth CurrentBackupHealth(std::time_t now);

} // namespace zenta
