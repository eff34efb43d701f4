#include "BackupDrives.h"

#include "ArchiveNames.h"
#include "Common.h"
#include "ErrorMode.h"
#include "FileCopies.h"
#include "RemovableDrives.h"
#include "SevenZip.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace zenta {

std::vector<DriveCopy> CopyArchiveToDrives(const std::string& backupFolder, const std::string& name,
                                           const std::string& volumeLabel,
                                           const DriveProgress& progress) {
    std::vector<DriveCopy> copies;
    const std::string source = WithSlash(backupFolder) + name;
    for (const auto& mount : DrivesWithLabel(volumeLabel)) {
        if (!IsFolder(mount))
            continue;
        DriveCopy copy;
        copy.mount = mount;
        const std::string target = WithSlash(mount) + "ZentaBackup/";
        copy.path = target + name;
        auto finish = [&] {
            const DiskRoom room = DiskSpace(mount);
            copy.freeBytes = room.free;
            copy.totalBytes = room.total;
            if (!copy.error.empty())
                WriteProgramLog("BackupAll: copy to " + target + " failed: " + copy.error);
            copies.push_back(copy);
        };
        if (!IsFolder(target) && ::mkdir(target.c_str(), 0750) != 0) {
            copy.error = "the folder " + target + " cannot be made: " + std::strerror(errno);
            finish();
            continue;
        }
        RemovePartialArchives(target, "BackupAll");
        if (FileExists(copy.path)) {
            if (IsWhole7zArchive(copy.path) && FileLength(copy.path) == FileLength(source)) {
                copy.whole = copy.alreadyThere = true;
                finish();
                continue;
            }
            WriteProgramLog("BackupAll: " + copy.path +
                            " is not a whole copy of the archive; it is replaced");
        }
        const long long size = FileLength(source);
        const auto done = CopyFileSafely(source, copy.path, [&](long long copied) {
            if (progress)
                progress(copied, size, mount);
        });
        copy.whole = static_cast<bool>(done);
        copy.error = done.error();
        finish();
    }
    return copies;
}

} // namespace zenta
