#pragma once

#include "Result.h"

#include <string>
#include <vector>

namespace zenta {

// What one backup did, for the caller that must know whether it can count it as made.
struct BackupReport {
    std::string archiveName; // "" when no archive was written; "…-INCOMPLETE.ZTB" when one lacks
                             // a table or file
    bool complete = false;   // every table exported and the archive tested good
    bool stopped = false;    // the program's stop ended the backup; nothing was kept
    long tables = 0;         // tables found in the database
    long long archiveBytes = 0;
    double seconds = 0;
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

// Runs the setting [Monitor] PostBackupCommand (a shell line; the archive's path is added as
// its last argument) after a good archive, ended after [Monitor] PostBackupTimeout seconds
// (3600). Its outcome and the tail of its output go to the log and the job record; it never
// changes the backup's own outcome.
void RunPostBackupCommand(const std::string& archive);

// The working folder: <program>/Temp/Backup/.
std::string BackupWorkFolder();
// Makes the working folder ready for an export: a real folder (a link or file in its place is
// removed), open to the program's user and group only, empty. False with the reason.
Result<Done> PrepareBackupWorkFolder(const std::string& work);
// Removes everything in a folder without following links. False when something stayed.
bool EmptyBackupWorkFolder(const std::string& folder);
// Empties the working folder when it exists (at start-up: a killed run may have left the
// shop's table exports there).
void CleanBackupWorkFolder();
// Copies the archive into <mount>/ZentaBackup/ of every mounted drive with the label, leaving a
// copy that is already there alone. The paths written.
std::vector<std::string> CopyArchiveToDrives(const std::string& backupFolder,
                                             const std::string& name,
                                             const std::string& volumeLabel);
// Copies a file onto a drive folder without ever leaving a partial file under the final name.
bool CopyFileSafely(const std::string& from, const std::string& to, std::string* error = nullptr);

} // namespace zenta
