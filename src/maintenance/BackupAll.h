#pragma once

#include <string>
#include <vector>

namespace zenta {

// What one backup did, for the caller that must know whether it can count it as made.
struct BackupReport {
    std::string archiveName; // "" when no archive was written
    bool complete = false;   // every table exported and the archive tested good
    std::vector<std::string> failedTables;
    std::vector<std::string> copiedTo; // archive paths on removable drives
};

// Writes one complete backup: manifest, the structures of the main and the reference
// database, one server-written data file per table (within one consistent snapshot) and the
// settings file, packed into backupFolder/ZentaMarket<yyyymmddhhnnss>.ZTB and copied onto every
// mounted drive labelled `volumeLabel`. Returns the archive's file name ("" when none).
// Appends "/" to the caller's folder when missing.
std::string BackupAll(std::string& backupFolder, std::string& volumeLabel,
                      BackupReport* report = nullptr);

// The working folder: <program>/Temp/Backup/.
std::string BackupWorkFolder();
// Copies the archive into <mount>/ZentaBackup/ of every mounted drive with the label, leaving a
// copy that is already there alone. The paths written.
std::vector<std::string> CopyArchiveToDrives(const std::string& backupFolder,
                                             const std::string& name,
                                             const std::string& volumeLabel);
// Copies a file onto a drive folder without ever leaving a partial file under the final name.
bool CopyFileSafely(const std::string& from, const std::string& to, std::string* error = nullptr);

} // namespace zenta
