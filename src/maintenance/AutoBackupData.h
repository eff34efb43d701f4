#pragma once

#include "BackupFolders.h"
#include "Retention.h"
#include "Variant.h"

#include <optional>
#include <string>
#include <vector>

namespace zenta {

// Makes the automatic backup when the shop's options say one is due today, and records the
// server's day once an archive was really written.
void AutoBackup();
// The backup into the configured folder (and onto the removable drive): the archive's name when
// it counts as a backup; "" when none was written or the one written does not count
// (incomplete, or its data fell).
std::string BackupToDir();
// Keeps the configured number of good archives in the backup folder and on every removable
// drive. Deletes nothing when a limit cannot be read or when the last backup attempt (the job
// record's) did not give an archive that counts.
void RotateBackupFiles();
// Deletes the whole archives in the folder beyond the newest `maximum` (at least 1 is kept)
// that the longer retention ([Monitor] KeepWeekly, KeepMonthly) does not keep either;
// archives that are not whole are neither counted nor deleted, and nothing is deleted while a
// retention key cannot be read. Also removes unfinished packings, and incomplete archives
// older than the newest good one. Appends "/" to the caller's folder when missing.
// With `untilOffsite`, an archive the off-site repository does not hold yet is kept (said).
void DeleteOldBackupFiles(std::string& folder, long maximum, bool untilOffsite = false);

// What the rotation of a folder keeps and deletes, and why, archive by archive (newest first;
// archives that are not whole are listed as kept). Deletes nothing.
struct FolderRetention {
    std::string folder;
    std::vector<RetentionDecision> archives;
    RetentionRules rules;
    std::string problem;    // a retention key that cannot be read: everything is kept
    std::string newestGood; // the newest whole archive's name
};
[[nodiscard]] FolderRetention PlanFolderRetention(const std::string& folder, long maximum,
                                                  bool untilOffsite = false);
// The same for the backup folder with MaxBackupFile; a failure that says why when the shop's
// options cannot be read.
Result<FolderRetention> BackupFolderRetention();

// Whether the automatic backup is due: `option` 0 never, 2 weekly (on `weekday`, Monday 0,
// once at least `weeks` weeks passed), anything else daily; `days` since the last one.
[[nodiscard]] bool IsBackupDue(long option, long days, long weeks, long weekday,
                               const DateTime& today);

} // namespace zenta
