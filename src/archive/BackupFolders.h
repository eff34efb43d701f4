#pragma once

#include "Result.h"
#include "clsDataBase.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zenta {

// Where the archives go and where a backup works, for the backup, the rotation, the restore,
// the copy of the binary log and the checks alike.

// The backup folder on `db`'s connection: the shop's option BackupRestoreDir when that folder
// can be used, else <program>/Backup/ (with a line in the log saying why the option's folder
// could not be used); nothing when the option cannot be read.
std::optional<std::string> ResolveBackupFolder(clsDataBase& db);
// The same on the program's connection, <program>/Backup/ when the option cannot be read.
std::string BackupFolder();

// The working folder of a backup: <program>/Temp/Backup/. It holds a plain-text copy of every
// table while a backup runs, so it is private and emptied as soon as it can be.
std::string BackupWorkFolder();
// Makes the working folder ready for an export: a real folder (a link or file in its place is
// removed), open to the program's user and group only, empty; why not, when it cannot be.
Result<Done> PrepareBackupWorkFolder(const std::string& work);
// Removes everything in a folder without following links. False when something stayed.
bool EmptyBackupWorkFolder(const std::string& folder);
// Empties the working folder when it exists (at start-up: a killed run may have left the
// shop's table exports there).
void CleanBackupWorkFolder();
// A folder's entries without following links: name, and whether it is a plain file.
std::vector<std::pair<std::string, bool>> EntriesWithoutLinks(const std::string& folder);

// Empties the working folder when it goes out of scope: the shop's table exports never stay
// on disk longer than the backup that needs them.
class WorkFolderGuard {
  public:
    explicit WorkFolderGuard(std::string folder) : folder_(std::move(folder)) {}
    ~WorkFolderGuard() { EmptyBackupWorkFolder(folder_); }
    WorkFolderGuard(const WorkFolderGuard&) = delete;
    WorkFolderGuard& operator=(const WorkFolderGuard&) = delete;

  private:
    std::string folder_;
};

} // namespace zenta
