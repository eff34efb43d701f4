#pragma once

#include "Result.h"

#include <functional>
#include <string>
#include <vector>

namespace zenta {

// One drive's copy of an archive.
struct DriveCopy {
    std::string mount;         // the drive's mount point
    std::string path;          // the archive's path on it
    bool whole = false;        // the whole archive is on the drive now (copied, or already there)
    bool alreadyThere = false; // it was there already, whole: left alone
    std::string error;         // why the copy failed, "" when whole
    long long freeBytes = -1;  // on the drive after the copy
    long long totalBytes = -1;
};

// Copies the archive into <mount>/ZentaBackup/ of every mounted drive with the label. A whole
// copy of the same size already there is left alone; a damaged or shorter one is replaced.
// `progress` hears of the bytes written onto each drive so far, of how many, and the drive.
using DriveProgress = std::function<void(long long copied, long long total, const std::string&)>;
std::vector<DriveCopy> CopyArchiveToDrives(const std::string& backupFolder, const std::string& name,
                                           const std::string& volumeLabel,
                                           const DriveProgress& progress = {});

} // namespace zenta
