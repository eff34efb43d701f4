#pragma once

#include <ctime>
#include <string>

namespace zenta {

// Whether the shop's backups need a person's attention, from the job record: the last attempt
// failed or was not counted (its data fell), the last good backup is older than [Monitor]
// BackupWarnDays of zentamarket.ini (default 2) or there is none; and, when the shop has a
// backup drive, the last copy onto it failed or the last whole copy is older than [Monitor]
// DriveWarnDays (default 7).
struct BackupHealth {
    bool warn = false;
    std::string reason;   // the tray's words (the suite's language), "" when all is well
    std::string lastGood; // "yyyy-mm-dd hh:nn:ss" of the last good backup, "" when none
    long ageHours = -1;   // of the last good backup; -1 when none
    std::string panel;    // the panel's lines about the backups and the drive
};
BackupHealth CurrentBackupHealth(std::time_t now);

} // namespace zenta
