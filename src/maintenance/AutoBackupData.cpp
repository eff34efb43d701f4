#include "AutoBackupData.h"

#include "ArchiveNames.h"
#include "BackupAll.h"
#include "BackupFolders.h"
#include "BinlogChain.h"
#include "BinlogCopyRecord.h"
#include "BinlogRetention.h"
#include "Common.h"
#include "ErrorMode.h"
#include "FolderListing.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "JobNotes.h"
#include "JobOutcomes.h"
#include "OffsiteSettings.h"
#include "Opcion.h"
#include "PairRecord.h"
#include "RemovableDrives.h"
#include "Retention.h"
#include "SevenZip.h"
#include "Text.h"
#include "TodoSobreMySQLServer.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>

namespace zenta {

namespace {

// The one reading of a limit on the number of archives (MaxBackupFile, MaxMobilBackupFile; 20
// when the shop has none): a failure when it cannot be read, so that nothing is deleted; the
// value as stored (PlanFolderRetention keeps at least the newest archive whatever it says).
Result<long> ArchiveLimit(const char* id) {
    clsDataBase& db = DataBase();
    const auto v = ReadOpcion(db, id);
    if (!db.ConnectionStatus())
        return Result<long>::Failure(std::string(id) + " cannot be read");
    return v ? static_cast<long>(v->ToInt64()) : 20L;
}

// The limit for the rotation, with the log's words when it cannot be read or is below 1.
std::optional<long> ReadArchiveLimit(const char* id) {
    const auto limit = ArchiveLimit(id);
    if (!limit) {
        WriteProgramLog("RotateBackupFiles: " + limit.error() + "; no archive deleted");
        return std::nullopt;
    }
    if (*limit < 1)
        WriteProgramLog(std::string("RotateBackupFiles: ") + id + " is " + std::to_string(*limit) +
                        "; the newest good archive is kept all the same");
    return std::max(*limit, 1L);
}

} // namespace

std::string BackupToDir() {
    auto folder = ResolveBackupFolder(DataBase());
    if (!folder) {
        ReportFailure("BackupToDir", "the backup folder option cannot be read; no backup made");
        return {};
    }
    std::string label = OpcionText(DataBase(), "MobilBackupRestoreVolumeName", "");
    BackupReport report;
    BackupAll(*folder, label, &report);
    return report.Good() ? report.archiveName : std::string();
}

bool IsBackupDue(long option, long days, long weeks, long weekday, const DateTime& today) {
    if (option == 0)
        return false;
    if (option != 2)
        return true;
    const long product = 7 * weeks;
    if (product > INT16_MAX || product < INT16_MIN)
        return false;
    return today.WeekdayMondayZero() == weekday && days >= product;
}

namespace {

// The job's failure: reported and noted.
void BackupNotMade(const std::string& why) {
    ReportFailure("AutoBackup", why);
    NoteJob("backup", "failed: " + why);
}

// When the backups are weekly: every `weeks` weeks on `weekday` (Monday 0) of the server's
// `today`.
struct Schedule {
    long weeks = 1, weekday = 0;
    DateTime today = DateTime::Today();
};
Result<Schedule> ReadSchedule(clsDataBase& db, long option) {
    Schedule s;
    if (option != 2)
        return s;
    s.weeks = OpcionInteger(db, "AutoBackupCadaSemana", 1);
    s.weekday = OpcionInteger(db, "AutoBackupSemanaDia", 0);
    const auto serverToday = MySQLServerDate();
    if (!serverToday)
        return Result<Schedule>::Failure("the server's date cannot be read");
    s.today = *serverToday;
    if (7 * s.weeks > INT16_MAX || 7 * s.weeks < INT16_MIN)
        return Result<Schedule>::Failure("AutoBackupCadaSemana is out of range");
    return s;
}

void NotDueThisWeek(const Schedule& s, std::int16_t days) {
    static const char* const names[] = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                                        "Friday", "Saturday", "Sunday"};
    NoteJob("backup", "not due: backups are weekly (AutoBackupOpcion 2), every " +
                          std::to_string(s.weeks) + " week(s) on " +
                          (s.weekday >= 0 && s.weekday < 7 ? names[s.weekday] : "no day") +
                          " (AutoBackupSemanaDia " + std::to_string(s.weekday) +
                          "); the last one was " + std::to_string(days) + " days ago");
}

// Why a full backup is made now whatever the day's marker and the schedule say ("" when the
// schedule decides): on a pair, this computer holds no good archive (the marker comes from the
// other server by replication, and its archives are on the other computer: a promoted server
// backs up on its own), the copied binary log goes into a chain no good archive lies in (a
// promotion, a server whose log began again), or the copy has a gap no backup covers. A restore
// to a second needs an archive before it.
std::string FullBackupNeeded() {
    const BinlogCopyOutcome copy = BinlogCopyOutcome::Read();
    const BackupOutcome backup = BackupOutcome::Read();
    if (copy.GapUncovered(backup))
        return "the copied binary log has a gap";
    if (ConfiguredPartner() &&
        (backup.lastGoodArchive.empty() || !FileExists(backup.lastGoodArchive)))
        return "this computer of the pair holds no good archive of its own";
    if (!copy.On() || copy.chain.empty() || copy.folder.empty())
        return {};
    // A new computer restored from elsewhere (the day's marker came with the data).
    if (backup.lastGoodArchive.empty() || !FileExists(backup.lastGoodArchive))
        return "this computer holds no good archive of its own for its copied binary log";
    const std::string name = backup.lastGoodArchive.substr(backup.lastGoodArchive.rfind('/') + 1);
    const auto snapshot = RecordedSnapshot(copy.folder, name);
    if (snapshot && !snapshot->chain.empty() && snapshot->chain != copy.chain)
        return "the copied binary log goes into " + copy.chain + ", where no good archive lies";
    return {};
}

} // namespace

void AutoBackup() {
    clsDataBase& db = DataBase();
    db.CreatDatasArray(
        "select to_days(now()) - IntegerValor from opcion where id = 'LastDateAutoBackup';");
    if (!db.ConnectionStatus())
        return BackupNotMade("the day of the last backup cannot be read");
    // A full backup again when a restore to a second would have no archive to start from.
    const std::string needed = FullBackupNeeded();
    const bool gap = !needed.empty();
    std::int16_t days = 0;
    if (db.DatasArray()->Count(1) > 0) {
        days = static_cast<std::int16_t>(db.DatasArrayValue(0, 0).ToInt64());
        if (days == 0 && !gap) {
            NoteJob("backup", "not due: today's automatic backup is made (LastDateAutoBackup)");
            return;
        }
        if (days == 0)
            WriteProgramLog("AutoBackup: " + needed +
                            "; a full backup is made again today so that a restore to a second "
                            "can start from it");
    }
    const long option = OpcionInteger(db, "AutoBackupOpcion", 0);
    if (option == 0) {
        NoteJob("backup", "not due: automatic backups are off (AutoBackupOpcion is 0)");
        return;
    }
    const auto schedule = ReadSchedule(db, option);
    if (!schedule)
        return BackupNotMade(schedule.error());
    // A day recorded in the future (the server's clock was wrong once) would hold the weekly
    // backup off until that day comes: it counts as due.
    if (days < 0)
        WriteProgramLog("AutoBackup: the day of the last backup (LastDateAutoBackup) lies " +
                        std::to_string(-days) +
                        " days in the future (the server's clock was wrong once); a backup is "
                        "made now");
    if (days >= 0 && !gap &&
        !IsBackupDue(option, days, schedule->weeks, schedule->weekday, schedule->today))
        return NotDueThisWeek(*schedule, days);
    // The day counts only once a whole, tested archive exists: otherwise the next cycle tries
    // again.
    const std::string archive = BackupToDir();
    const BackupOutcome outcome = BackupOutcome::Read();
    NoteJob("backup", archive.empty() ? "ran, " + outcome.result + ": " + outcome.failure
                                      : "ran: " + outcome.archive + ", tested good");
    if (archive.empty())
        return;
    db.SQLExecute(
        "REPLACE INTO opcion (ID, IntegerValor)  VALUES ('LastDateAutoBackup',to_days(now()));");
}

FolderRetention PlanFolderRetention(const std::string& folder, long maximum, bool untilOffsite) {
    FolderRetention result;
    result.folder = WithSlash(folder);
    std::vector<std::string> names = DirNames(WithSlash(folder) + kArchivePattern);
    // Only whole archives count: one cut short (a killed packing, a full disk) is neither
    // counted nor deleted, so it can never push a good archive out.
    std::vector<std::string> whole;
    std::vector<RetentionDecision> damaged;
    for (const auto& name : names) {
        if (IsWhole7zArchive(WithSlash(folder) + name))
            whole.push_back(name);
        else
            damaged.push_back(
                {name, true, "not a whole archive: not counted, left in place", true});
    }
    std::sort(whole.begin(), whole.end(), std::greater<>());
    result.newestGood = whole.empty() ? std::string() : whole.front();
    const auto rules = ReadLongerRetention(std::max(maximum, 1L));
    result.problem = rules.error();
    if (rules) {
        result.rules = *rules;
        result.archives = PlanRetention(whole, *rules);
    } else {
        for (const auto& name : whole)
            result.archives.push_back(
                {name, true, "the rotation deletes nothing while " + result.problem});
    }
    if (untilOffsite)
        for (auto& d : result.archives)
            if (!d.keep && !ArchiveOffsite(result.folder, d.name)) {
                d.keep = true;
                d.why = "not in the off-site repository yet: kept until it is";
            }
    result.archives.insert(result.archives.end(), damaged.begin(), damaged.end());
    std::sort(
        result.archives.begin(), result.archives.end(),
        [](const RetentionDecision& a, const RetentionDecision& b) { return a.name > b.name; });
    return result;
}

Result<FolderRetention> BackupFolderRetention() {
    const auto limit = ArchiveLimit("MaxBackupFile");
    if (!limit)
        return Result<FolderRetention>::Failure(limit.error());
    const auto folder = ResolveBackupFolder(DataBase());
    if (!folder)
        return Result<FolderRetention>::Failure("BackupRestoreDir cannot be read");
    return PlanFolderRetention(*folder, *limit, OffsiteConfigured());
}

void DeleteOldBackupFiles(std::string& folder, long maximum, bool untilOffsite) {
    folder = WithSlash(folder);
    const FolderRetention plan = PlanFolderRetention(folder, maximum, untilOffsite);
    if (!plan.problem.empty())
        WriteProgramLog("RotateBackupFiles: " + plan.problem + "; no archive deleted in " + folder);
    const bool longer = plan.rules.weekly > 0 || plan.rules.monthly > 0;
    const bool deletes = std::any_of(plan.archives.begin(), plan.archives.end(),
                                     [](const RetentionDecision& d) { return !d.keep; });
    for (const auto& archive : plan.archives) {
        if (archive.keep) {
            if (archive.damaged)
                WriteProgramLog("RotateBackupFiles: " + folder + archive.name +
                                " is not a whole archive; not counted, left in place");
            else if ((longer && deletes) || archive.why.rfind("not in the off-site", 0) == 0)
                WriteProgramLog("RotateBackupFiles: kept " + folder + archive.name + " (" +
                                archive.why + ")");
            continue;
        }
        if (std::remove((folder + archive.name).c_str()) != 0)
            ReportFailure("DeleteOldBackupFiles", "cannot delete " + folder + archive.name);
        else
            WriteProgramLog("RotateBackupFiles: deleted " + folder + archive.name + " (" +
                            archive.why + ")");
    }
    // Packings that never finished, and incomplete archives that a newer good one replaces.
    RemovePartialArchives(folder, "RotateBackupFiles");
    const auto newest = ParseArchiveName(plan.newestGood);
    if (!newest)
        return;
    for (const auto& name : DirNames(folder + kIncompleteArchivePattern)) {
        const auto parsed = ParseArchiveName(name);
        if (parsed && parsed->kind == ArchiveKind::Incomplete && parsed->stamp < newest->stamp &&
            std::remove((folder + name).c_str()) == 0)
            WriteProgramLog("RotateBackupFiles: deleted " + folder + name +
                            " (incomplete, and a newer good archive exists)");
    }
}

void RotateBackupFiles() {
    // The job record says how the last attempt ended, whichever run made it: after one that
    // left no archive that counts, every archive stays until a good one exists again.
    if (BackupOutcome::Read().Bad()) {
        WriteProgramLog("RotateBackupFiles: the last backup did not give a good archive; no "
                        "archive deleted");
        NoteJob("rotation", "skipped: the last backup did not give a good archive; nothing "
                            "deleted");
        return;
    }
    NoteJob("rotation", "ran (the log names every archive it deleted)");
    clsDataBase& db = DataBase();
    const auto maximum = ReadArchiveLimit("MaxBackupFile");
    auto folder = ResolveBackupFolder(DataBase());
    const std::string label = OpcionText(db, "MobilBackupRestoreVolumeName", "");
    if (maximum && folder) {
        DeleteOldBackupFiles(*folder, *maximum, OffsiteConfigured());
        // The copied binary log (here and on the drive) back to what the archives kept by
        // number can still use.
        PruneBinlogCopy(*folder, *maximum,
                        TrimSpaces(label).empty() ? std::vector<std::string>()
                                                  : DrivesWithLabel(label),
                        OffsiteConfigured());
    }

    const auto mobileMaximum = ReadArchiveLimit("MaxMobilBackupFile");
    if (!db.ConnectionStatus() || !mobileMaximum || label.empty())
        return;
    for (const auto& mount : DrivesWithLabel(label)) {
        if (!DirExists(mount))
            continue;
        std::string target = WithSlash(mount) + "ZentaBackup/";
        if (DirExists(target))
            DeleteOldBackupFiles(target, *mobileMaximum);
    }
}

} // namespace zenta
