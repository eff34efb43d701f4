#include "Commands.h"

#include "ArchiveNames.h"
#include "AutoBackupData.h"
#include "BinaryLog.h"
#include "BinlogChain.h"
#include "BinlogCopy.h"
#include "Common.h"
#include "Describe.h"
#include "FolderListing.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "JobOutcomes.h"
#include "LocalTime.h"
#include "OffsiteRecord.h"
#include "OffsiteSettings.h"
#include "Opcion.h"
#include "PairRecord.h"
#include "PairState.h"
#include "PointInTime.h"
#include "RemovableDrives.h"
#include "Session.h"
#include "SevenZip.h"
#include "ShrinkGuard.h"
#include "SingleInstance.h"
#include "StatusPanel.h"
#include "Terminal.h"
#include "Text.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>
#include <optional>
#include <sys/statvfs.h>
#include <unistd.h>

namespace zenta::cli {

namespace {

// The backup drive: where it is now, what it last got and why not. Nothing without a label.
void DriveStatus(const std::string& label) {
    if (TrimSpaces(label).empty())
        return;
    const auto mounts = DrivesWithLabel(label);
    std::string where = TrimSpaces(label) + ", ";
    if (mounts.empty()) {
        where += "not plugged in";
    } else {
        struct statvfs vfs {};
        const bool known = ::statvfs(mounts.front().c_str(), &vfs) == 0;
        where += "plugged in at " + mounts.front();
        if (known)
            where += ", " + HumanBytes(static_cast<long long>(vfs.f_bavail) * vfs.f_frsize) +
                     " free of " + HumanBytes(static_cast<long long>(vfs.f_blocks) * vfs.f_frsize);
    }
    Line("Backup drive", where);
    DriveOutcome drive = DriveOutcome::Read();
    if (AsciiUpperCase(TrimSpaces(label)) != AsciiUpperCase(drive.label))
        drive = DriveOutcome{}; // what another drive got says nothing about this one
    std::cout << "  last good copy:   "
              << (drive.lastGoodCopyTime.empty()
                      ? std::string("none recorded")
                      : drive.lastGoodCopyTime + " (" + Age(drive.lastGoodCopyTime) + "), " +
                            drive.lastGoodCopy)
              << "\n";
    // The last failure, while no whole copy came after it.
    if (!drive.lastFailure.empty() &&
        (drive.lastResult == "failed" ||
         (drive.lastResult == "absent" && drive.lastFailureTime > drive.lastGoodCopyTime)))
        std::cout << "  last copy FAILED: " << drive.lastFailureTime << ", " << drive.lastFailure
                  << "\n";
    if (drive.lastResult == "absent")
        std::cout << "  at the last backup (" << drive.lastAttemptTime
                  << ") the drive was not plugged in\n";
}

// Without the database the rotation's limits are unknown: the archives are listed as they
// are, from the folder the last backup went to.
void ArchivesWithoutDatabase() {
    const BackupOutcome backup = BackupOutcome::Read();
    const std::string last = !backup.archive.empty() ? backup.archive : backup.lastGoodArchive;
    const std::string folder =
        last.empty() ? Globals::AppPath + "Backup/" : last.substr(0, last.rfind('/') + 1);
    Line("Archives", folder + " (the rotation's limits are in the database)");
    std::vector<std::string> names;
    for (const auto& name : DirNames(folder + kAnyArchivePattern))
        if (ParseArchiveName(name))
            names.push_back(name);
    std::sort(names.begin(), names.end(), std::greater<>());
    for (const auto& name : names) {
        const auto kind = ParseArchiveName(name)->kind;
        std::cout << "  " << name << "  " << HumanBytes(FileLength(folder + name)) << "  "
                  << (kind == ArchiveKind::Incomplete   ? "incomplete, not a backup"
                      : kind == ArchiveKind::Shrunk     ? "of a shrunken database, not a backup"
                      : IsWhole7zArchive(folder + name) ? "whole"
                                                        : "NOT a whole archive")
                  << "\n";
    }
    if (names.empty())
        std::cout << "  none\n";
}

// Whether the server keeps the binary log a restore to a second needs, and what a shop loses
// without it. Read from the server, or as the last backup found it.
void BinaryLogStatus(bool connected, const BackupOutcome& backup) {
    std::optional<BinaryLogSettings> settings;
    if (connected)
        if (auto read = ReadBinaryLogSettings(DataBase()))
            settings = *read;
    const JobOutcome recorded = JobOutcome::Read("BinaryLog");
    const bool off = settings ? !settings->logBin : recorded["LogBin"] == "0";
    if (off) {
        Line("Point-in-time restore",
             "OFF: the server keeps no binary log (log_bin is OFF): a failure loses everything "
             "since the last backup" +
                 (backup.lastGoodTime.empty() ? std::string(" (there is none yet)")
                                              : " at " + backup.lastGoodTime) +
                 "; the server settings it needs are in the README (\"Point-in-time restore\")");
        return;
    }
    if (settings) {
        Line("Binary log", settings->Text());
        for (const auto& problem : settings->Problems())
            std::cout << "  not as a restore to a second needs: " << problem << "\n";
    } else if (!recorded["Settings"].empty()) {
        Line("Binary log", recorded["Settings"] + " (at the last backup)");
    }
    // The copy is the monitor's to tell, database or not: after a dead server it is what is
    // left.
    // The copy the monitor keeps of it, and how far it reaches.
    const std::string folder = BinlogFolder(BackupFolder());
    if (folder.empty()) {
        std::cout << "  its copy is off ([Monitor] BinlogFolder)\n";
        return;
    }
    const BinlogCopyOutcome copy = BinlogCopyOutcome::Read();
    const std::time_t now = std::time(nullptr);
    Line("Binary log copy",
         copy.Text(now) + ", " + folder +
             (copy.reach.empty() ? std::string(": nothing copied yet")
                                 : ": the last transaction copied was committed " + copy.reach));
    if (copy.lagBytes >= 0 && copy.lagSeconds >= 0)
        std::cout << "  behind the server: " << HumanBytes(copy.lagBytes) << ", " << copy.lagSeconds
                  << " s (at " << copy.checked << ")\n";
    if (!copy.problem.empty())
        std::cout << "  PROBLEM: " << copy.problem << "\n";
    if (copy.GapUncovered(backup))
        std::cout << "  GAP (no backup since): " << copy.lastGap << "\n";
    else if (!copy.lastGap.empty())
        std::cout << "  last GAP (a backup since starts a new window): " << copy.lastGap << "\n";
    for (const auto& w : RestoreWindows(BackupFolder()))
        std::cout << "  restorable: any second from " << LocalStampText(w.from) << " to "
                  << (w.reachesNow ? "now (" + LocalStampText(w.to) + ")" : LocalStampText(w.to))
                  << " in " << w.chain
                  << (w.gapAfter.empty() ? "" : ", then a GAP after " + w.gapAfter + ": " + w.why)
                  << "\n";
    // A dead disk must not take the data and its copy together.
    if (connected && OnTheServersDataDisk(folder))
        std::cout << "  WARNING: the copy is on the same disk as the server's data (a dead disk "
                     "takes both): set [Monitor] BinlogFolder to a folder on another disk\n";
}

// The off-site repository, when it is on.
void RepositoryStatus() {
    if (!OffsiteConfigured())
        return;
    const OffsiteOutcome o = OffsiteOutcome::Read();
    const std::time_t now = std::time(nullptr);
    Line("Off-site copy", o.Text(now) + (o.where.empty() ? std::string() : ", " + o.where));
    if (!o.reach.empty())
        std::cout << "  the last transaction there was committed " << o.reach
                  << (o.lagSeconds > 0
                          ? " (" + std::to_string(o.lagSeconds) + " s behind the local copy)"
                          : std::string())
                  << "\n";
    if (o.pendingBytes > 0)
        std::cout << "  not sent yet: " << HumanBytes(o.pendingBytes) << " of the copied log\n";
    std::cout << "  newest archive there: "
              << (o.lastArchive.empty() ? std::string("none yet") : o.lastArchive) << "\n";
    if (o.state != RepositoryState::NotStarted && o.state != RepositoryState::Off && !o.encrypted)
        std::cout << "  WARNING: the shop's data leaves the shop unencrypted (no archive password: "
                     "[Monitor] ArchivePasswordFile)\n";
    if (!o.conflict.empty())
        std::cout << "  ALERT: " << o.conflict << "\n";
}

void ArchivesStatus() {
    const auto kept = BackupFolderRetention();
    if (!kept) {
        Line("Archives", kept.error());
        return;
    }
    Line("Archives", kept->folder + " (newest " + std::to_string(kept->rules.newest) + ", weeks " +
                         std::to_string(kept->rules.weekly) + ", months " +
                         std::to_string(kept->rules.monthly) + ")");
    if (!kept->problem.empty())
        std::cout << "  nothing is deleted: " << kept->problem << "\n";
    for (const auto& a : kept->archives)
        std::cout << "  " << a.name << "  " << HumanBytes(FileLength(kept->folder + a.name)) << "  "
                  << (a.keep ? "kept: " : "deleted at the next rotation: ") << a.why << "\n";
    if (kept->archives.empty())
        std::cout << "  none\n";
}

// The panel's own words, as the shop sees them; what is said above (this computer's address)
// and what changes on every run (the connection's id) are left out.
void PanelStatus() {
    std::cout << "Status panel:\n";
    const std::string panel = RefreshStatusText();
    size_t pos = 0;
    while (pos < panel.size()) {
        size_t e = panel.find("\r\n", pos);
        const std::string line = panel.substr(pos, e == std::string::npos ? e : e - pos);
        if (!line.empty() && line.rfind("本机", 0) != 0 && line.rfind("MySQL ID", 0) != 0)
            std::cout << "  " << line << "\n";
        pos = e == std::string::npos ? panel.size() : e + 2;
    }
}

// The last backup, and the last good one.
void BackupStatus(const BackupOutcome& backup) {
    if (backup.result.empty()) {
        Line("Last backup", "none recorded");
    } else {
        std::string text = backup.time + ", " + backup.result;
        if (!backup.archive.empty())
            text += ", " + backup.archive + " (" + HumanBytes(backup.bytes) + ")";
        if (!backup.missing.empty())
            text += "; lacks " + backup.missing;
        Line("Last backup", text);
        if (backup.result == "shrunk")
            std::cout << "  not counted as a backup, " << ShrinkHeadline(backup.shrinkBaseline)
                      << ": " << backup.shrink
                      << "\n  if the change is meant: ZentaMarketMonitor backup --accept-shrink\n";
        else if (backup.result != "good" && !backup.failure.empty())
            std::cout << "  why: " << backup.failure << "\n";
    }
    Line("Last good backup", backup.lastGoodArchive.empty()
                                 ? "none recorded"
                                 : backup.lastGoodTime + " (" + Age(backup.lastGoodTime) + "), " +
                                       backup.lastGoodArchive + ", " +
                                       HumanBytes(backup.lastGoodBytes) + ", tested good");
}

// The pair of servers, when this computer is in one: both servers as they answer now.
void PairStatus() {
    if (!ConfiguredPartner())
        return;
    std::cout << "Standby pair:\n";
    DescribePair([](const std::string& line, bool progress) {
        if (!progress)
            std::cout << "  " << line << "\n";
    });
    const PairState pair = PairState::Read();
    if (!pair.checked.empty() && !pair.Fresh(std::time(nullptr)))
        std::cout << "  (the monitor last looked at the pair at " << pair.checked
                  << ": is it running?)\n";
}

} // namespace

Outcome Status(const Options&) {
    Line("Program folder", Globals::AppPath);
    Line("Monitor running",
         MonitorRunningIn(Globals::AppPath, Globals::ExecutableName) ? "yes" : "no");
    const bool connected = Connect();
    const std::string where = ConfiguredMySQLHost() + ":" + std::to_string(ConfiguredMySQLPort());
    Line("Database", (connected ? "connected, " : "not reachable, ") + where);
    Line("This computer", Globals::LocalIP);
    if (connected)
        PanelStatus();
    // A record that exists but cannot be read is said, not taken for "none recorded".
    if (FileExists(JobOutcomesPath()) && ::access(JobOutcomesPath().c_str(), R_OK) != 0)
        Line("Job record", "CANNOT BE READ: " + JobOutcomesPath() + " (" + std::strerror(errno) +
                               "); " + OwnerFix(JobOutcomesPath()));

    PairStatus();
    const BackupOutcome backup = BackupOutcome::Read();
    BackupStatus(backup);
    BinaryLogStatus(connected, backup);
    RepositoryStatus();
    DriveStatus(connected ? OpcionText(DataBase(), "MobilBackupRestoreVolumeName", "")
                          : DriveOutcome::Read().label);
    if (connected)
        ArchivesStatus();
    else
        ArchivesWithoutDatabase();
    const JobOutcome purge = JobOutcome::Read("TicketPurge");
    Line("Last ticket purge", purge.empty() ? "none recorded"
                                            : purge.time() + ", " + purge.result() + ", through " +
                                                  purge["Through"] + ": " + purge["Rows"]);
    const JobOutcome renewal = JobOutcome::Read("StockRenewal");
    Line("Last stock renewal", renewal.empty() ? "none recorded"
                                               : renewal.time() + ", " + renewal.result() + ", " +
                                                     renewal["Pairs"] + " pairs");
    const JobOutcome ip = JobOutcome::Read("IPUpdate");
    Line("Last IP report",
         ip.empty() ? "none recorded" : ip.time() + ", " + ip.result() + ": " + ip["Message"]);
    return connected && !backup.Bad() ? Outcome::Good : Outcome::NotGood;
}

} // namespace zenta::cli
