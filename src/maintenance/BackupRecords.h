#pragma once

#include "BackupReport.h"

#include <string>

namespace zenta {

// What a backup did, kept where status, the panel, the tray and the metrics read it: the job
// record's Backup (and, for a good archive, the baseline the next backups are compared with),
// BackupDrive and BinaryLog sections, and the snapshot beside the copy of the binary log.
// The archive's path ("" when none was made).
std::string RecordBackup(const BackupReport& rep, const std::string& backupFolder,
                         const std::string& volumeLabel);

} // namespace zenta
