#pragma once

#include "clsDataBase.h"

#include <optional>
#include <string>

namespace zenta {

// Where the archives go and where a backup works, for the backup, the rotation, the restore,
// the copy of the binary log and the checks alike.

// The backup folder on `db`'s connection: the shop's option BackupRestoreDir when that folder
// can be used, else <program>/Backup/ (with a line in the log saying why the option's folder
// could not be used); nothing when the option cannot be read.
std::optional<std::string> ResolveBackupFolder(clsDataBase& db);
// The same on the program's connection, <program>/Backup/ when the option cannot be read.
std::string BackupFolder();

// The working folder of a backup: <program>/Temp/Backup/.
std::string BackupWorkFolder();

} // namespace zenta
