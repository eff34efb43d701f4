#pragma once

#include "BackupFolders.h"
#include "BackupReport.h"
#include "FileCopies.h"
#include "PostBackupCommand.h"
#include "Result.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zenta {

// What a backup is doing now, for a terminal that shows it.
struct BackupProgress {
    enum class Stage { Exporting, Packing, Testing, Copying } stage = Stage::Exporting;
    long long done = 0;  // tables exported; bytes read by the archiver; bytes copied
    long long total = 0; // tables; bytes to pack; bytes to copy (0 when not known)
    std::string what;    // the table being exported, the drive being copied to
};

struct BackupOptions {
    // The technician means a fall of the data: the new figures become the baseline.
    bool acceptShrink = false;
    std::function<void(const BackupProgress&)> progress; // when given
};

// Writes one complete backup: manifest, the structures of the main and the reference
// database, one server-written data file per table (within one consistent snapshot) and the
// settings file, packed into backupFolder/ZentaMarket<yyyymmddhhnnss>.ZTB and copied onto every
// mounted drive labelled `volumeLabel`. Returns the file name of the archive kept ("" when
// none; report->Good() says whether it counts).
// Appends "/" to the caller's folder when missing. A backup whose figures fell against the
// newest good archive's is kept as "shrunk" (not a backup) unless options.acceptShrink.
std::string BackupAll(std::string& backupFolder, std::string& volumeLabel,
                      BackupReport* report = nullptr, const BackupOptions& options = {});

} // namespace zenta
