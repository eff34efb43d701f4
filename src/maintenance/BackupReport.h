#pragma once

// What one backup did: made by BackupAll, recorded by RecordBackup, told by the command line.
#include "BackupDrives.h"
#include "BinaryLog.h"
#include "BinlogChain.h"
#include "ShrinkGuard.h"

#include <optional>
#include <string>
#include <vector>

namespace zenta {

// What one backup did, for the caller that must know whether it can count it as made.
struct BackupReport {
    std::string archiveName; // "" when no archive was written; "…-INCOMPLETE.ZTB" when one lacks
                             // a table or file, "…-SHRUNK.ZTB" when its data fell (below)
    bool complete = false;   // every table exported and the archive tested good
    // Complete, but the database lost data the shop's own work never loses (ShrinkGuard.h): kept,
    // not counted as a backup, never the reason for a deletion.
    bool shrunk = false;
    std::vector<std::string> shrinkReasons;
    std::string shrinkBaseline; // the archive it was compared with ("": none, only the suite's)
    std::vector<std::string> accepted; // with acceptShrink: the falls now taken as the baseline
    bool stopped = false;              // the program's stop ended the backup; nothing was kept
    long tables = 0;                   // tables found in the database
    long long archiveBytes = 0;
    double seconds = 0;
    std::string failure; // why there is no good archive; "" when there is one
    std::vector<std::string> failedTables;
    TableRows rows; // every table's rows in this backup's snapshot
    // The server's binary log: its settings, and where it stood in this backup's snapshot
    // (recorded in the archive, so that the log can be replayed from there).
    std::optional<BinaryLogSettings> binaryLog;
    BinaryLogPosition snapshot;
    SnapshotRecord snapshotRecord;  // the same as the records keep it (its file's opening, chain)
    long long snapshotSequence = 0; // NextOutcomeSequence() when the snapshot was taken
    std::vector<DriveCopy> drives;  // one per mounted drive with the label; none when absent
    // A tested, complete archive that counts as the shop's backup.
    bool Good() const { return !archiveName.empty() && complete && !shrunk; }
};

} // namespace zenta
