#pragma once

#include "Variant.h"

#include <string>

namespace zenta {

// Removes half-filled master records and repairs values that break calculations: six
// statements, each standing alone.
void CleanMasterData();

// Makes the automatic backup when the shop's options say one is due today, and records the
// server's day once an archive was really written.
void AutoBackup();
// The backup into the configured folder (and onto the removable drive): the archive's name,
// "" when none was written.
std::string BackupToDir();
// Keeps the configured number of archives in the backup folder and on every removable drive.
void RotateBackupFiles();
// Deletes every archive in the folder beyond the newest `maximum`. Appends "/" to the
// caller's folder when missing.
void DeleteOldBackupFiles(std::string& folder, long maximum);

// Whether the automatic backup is due: `option` 0 never, 2 weekly (on `weekday`, Monday 0,
// once at least `weeks` weeks passed), anything else daily; `days` since the last one.
bool IsBackupDue(long option, long days, long weeks, long weekday, const DateTime& today);

// The backup folder: option BackupRestoreDir when that folder exists, else <program>/Backup.
std::string BackupFolder();

} // namespace zenta
