#include "BackupRecords.h"

#include "BinlogChain.h"
#include "Common.h"
#include "ErrorMode.h"
#include "JobOutcomes.h"
#include "ShrinkGuard.h"
#include "Text.h"

#include <cstdio>

namespace zenta {

namespace {

// What the shop's backup drive got, kept in the job record for status, the panel, the metrics
// and the tray: the label, when a whole copy last reached it, the last attempt and its reason.
void RecordDriveState(const std::string& volumeLabel, const BackupReport& rep,
                      const std::string& now) {
    const std::string label = TrimSpaces(volumeLabel);
    const std::string recorded = DriveOutcome::Read().label;
    if (label.empty()) {
        if (!recorded.empty())
            RecordOutcome("BackupDrive", {{"Label", ""}});
        return;
    }
    OutcomeValues values = {{"Label", label}};
    if (AsciiUpperCase(recorded) != AsciiUpperCase(label))
        // Another drive: what the old one got says nothing about it.
        values.insert(values.end(), {{"LabelSince", now},
                                     {"LastGoodCopyTime", ""},
                                     {"LastGoodCopy", ""},
                                     {"LastResult", ""},
                                     {"LastFailure", ""}});
    if (rep.archiveName.empty() || !rep.complete) {
        RecordOutcome("BackupDrive", values); // nothing to copy this time
        return;
    }
    values.push_back({"LastAttemptTime", now});
    if (rep.drives.empty()) {
        values.insert(values.end(), {{"LastResult", "absent"}, {"Mount", ""}});
        RecordOutcome("BackupDrive", values);
        return;
    }
    std::string failure;
    for (const auto& d : rep.drives)
        if (!d.whole)
            failure += (failure.empty() ? "" : "; ") + d.mount + ": " + d.error;
    const DriveCopy& first = rep.drives.front();
    values.insert(values.end(), {{"Mount", first.mount},
                                 {"FreeBytes", std::to_string(first.freeBytes)},
                                 {"TotalBytes", std::to_string(first.totalBytes)}});
    if (failure.empty())
        values.insert(
            values.end(),
            {{"LastResult", "copied"}, {"LastGoodCopyTime", now}, {"LastGoodCopy", first.path}});
    else
        values.insert(
            values.end(),
            {{"LastResult", "failed"}, {"LastFailure", failure}, {"LastFailureTime", now}});
    RecordOutcome("BackupDrive", values);
}

// The snapshot beside the copy of the log, so that it is known without unpacking the archive,
// and the server's binary log as this backup found it.
void RecordBinaryLog(const BackupReport& rep, const std::string& backupFolder,
                     const std::string& now) {
    if (rep.snapshot.known() && !rep.archiveName.empty() && rep.complete) {
        const std::string copy = BinlogFolder(backupFolder);
        SnapshotRecord snapshot = rep.snapshotRecord;
        snapshot.archive = rep.archiveName;
        if (!copy.empty() && IsFolder(copy) && !RecordSnapshot(copy, snapshot))
            WriteProgramLog("backup: the snapshot of " + rep.archiveName +
                            " cannot be recorded in " + copy + "snapshots.ini");
    }
    if (rep.binaryLog)
        RecordOutcome("BinaryLog", {{"Time", now},
                                    {"LogBin", rep.binaryLog->logBin ? "1" : "0"},
                                    {"Settings", rep.binaryLog->Text()},
                                    {"Problems", JoinedReasons(rep.binaryLog->Problems())},
                                    {"SnapshotFile", rep.snapshot.file},
                                    {"SnapshotPosition", std::to_string(rep.snapshot.position)},
                                    {"SnapshotGTID", rep.snapshot.gtid}});
}

} // namespace

std::string RecordBackup(const BackupReport& rep, const std::string& backupFolder,
                         const std::string& volumeLabel) {
    const bool good = rep.Good();
    const std::string result = rep.stopped               ? "stopped"
                               : rep.archiveName.empty() ? "failed"
                               : !rep.complete           ? "incomplete"
                               : rep.shrunk              ? "shrunk"
                                                         : "good";
    const std::string path =
        rep.archiveName.empty() ? "" : WithSlash(backupFolder) + rep.archiveName;
    std::string missing;
    for (const auto& t : rep.failedTables)
        missing += (missing.empty() ? "" : ", ") + t;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", rep.seconds);
    const std::string now = DateTime::Now().StampText();
    OutcomeValues values = {{"Time", now},
                            {"Result", result},
                            {"Archive", path},
                            {"Bytes", std::to_string(rep.archiveBytes)},
                            {"Seconds", seconds},
                            {"Tables", std::to_string(rep.tables)},
                            {"Missing", missing},
                            {"Failure", rep.failure},
                            {"Shrink", JoinedReasons(rep.shrinkReasons)},
                            {"ShrinkBaseline", rep.shrinkBaseline},
                            {"Accepted", JoinedReasons(rep.accepted)}};
    if (good) {
        values.push_back({"LastGoodSequence", std::to_string(rep.snapshotSequence)});
        values.push_back({"LastGoodArchive", path});
        values.push_back({"LastGoodTime", now});
        values.push_back({"LastGoodBytes", std::to_string(rep.archiveBytes)});
        WriteProgramLog("backup made: " + path + ", " + std::to_string(rep.archiveBytes) +
                        " bytes, " + seconds + " s, " + std::to_string(rep.tables) +
                        " tables, tested good");
        if (!rep.accepted.empty())
            WriteProgramLog("backup: the fall of the data was accepted as the new baseline: " +
                            JoinedReasons(rep.accepted));
        // From now on the new backups are compared with this one.
        if (const auto kept = RecordBaseline({path, now, rep.rows}); !kept)
            WriteProgramLog("backup: the baseline for the next backups is not kept: " +
                            kept.error());
    }
    RecordOutcome("Backup", values);
    RecordDriveState(volumeLabel, rep, now);
    RecordBinaryLog(rep, backupFolder, now);
    return path;
}

} // namespace zenta
