#include "CommandLine.h"

#include "ArchiveNames.h"
#include "AutoBackupData.h"
#include "AutoRunProc.h"
#include "BackupAll.h"
#include "BinaryLog.h"
#include "BinlogCopy.h"
#include "Common.h"
#include "CompararDBEstructura.h"
#include "Doctor.h"
#include "ErrorMode.h"
#include "FolderListing.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "IPUpdate.h"
#include "JobLock.h"
#include "JobNotes.h"
#include "JobOutcomes.h"
#include "LocalTime.h"
#include "MenuCommands.h"
#include "Metrics.h"
#include "Opcion.h"
#include "PointInTime.h"
#include "Printers.h"
#include "Process.h"
#include "ProgramSetUp.h"
#include "RemovableDrives.h"
#include "Restore.h"
#include "Settings.h"
#include "SevenZip.h"
#include "SingleInstance.h"
#include "StatusPanel.h"
#include "Text.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <grp.h>
#include <iostream>
#include <optional>
#include <pwd.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace zenta {

namespace {

// What a command came to. ExitStatus is the one place that turns it into the exit status.
enum class Outcome {
    Good,        // done, and all is well
    NotGood,     // done, but not good: a backup that does not count, a structure that differs
    CouldNotRun, // no database, the job lock not had, the archive missing or foreign
    BadUsage,
};

int ExitStatus(Outcome outcome) {
    switch (outcome) {
    case Outcome::Good:
        return 0;
    case Outcome::NotGood:
        return 1;
    default:
        return 2;
    }
}

struct Options {
    std::string command;
    std::string archive;
    std::string database;
    bool intoLive = false;
    std::string passwordFile;
    std::string until; // restore: "yyyy-mm-dd hh:nn:ss" or "latest"
    bool yes = false;
    bool acceptShrink = false;
    long waitSeconds = 1800;
    std::set<std::string> given; // the options named on the command line
};

// The options: what each takes and which commands take it.
struct OptionRule {
    const char* name;
    const char* argument; // nullptr for a switch
    const char* help;
    std::vector<std::string> commands;
};

const std::vector<OptionRule>& OptionTable() {
    static const std::vector<OptionRule> options = {
        {"--yes", nullptr, "clear-print-queues without asking", {"clear-print-queues"}},
        {"--accept-shrink",
         nullptr,
         "backup: take the new backup as good although the database holds\n"
         "much less than at the last good backup (the change is meant)",
         {"backup"}},
        {"--database", "NAME", "restore into this database", {"restore"}},
        {"--into-live",
         nullptr,
         "restore into zentasupermarket itself (backed up first)",
         {"restore"}},
        {"--until",
         "TIME",
         "restore: bring the archive forward with the copied binary log to the\nlast "
         "transaction committed at or before TIME (\"YYYY-MM-DD HH:MM:SS\",\nthis "
         "computer's clock) or to the latest; without ARCHIVE the newest\ngood archive "
         "before TIME is taken",
         {"restore"}},
        {"--password-file",
         "FILE",
         "restore or verify an encrypted archive with the password on\n"
         "the file's first line (default: the shop's ArchivePassword or\n"
         "ArchivePasswordFile)",
         {"restore", "verify"}},
        {"--wait",
         "SECONDS",
         "how long to wait for a job of the running monitor to finish\n(default 1800)",
         {"backup", "check-structure", "ip-update", "run-cycle", "restore", "verify"}},
    };
    return options;
}

// What a command needs before it runs: the database, and the folder's job lock (so that it
// never overlaps a job of the monitor).
enum class Needs { Nothing, Database, DatabaseAndJobLock };

struct Command {
    const char* name;
    const char* operand; // "ARCHIVE", or nullptr
    const char* summary;
    Needs needs;
    Outcome (*run)(const Options&);
};

const std::vector<Command>& Commands();

std::string Usage() {
    std::string text = "Usage: ZentaMarketMonitor [COMMAND] [OPTIONS]\n"
                       "\n"
                       "Without a command: the shop's monitor (tray icon, helper programs, hot "
                       "keys and, on the\n"
                       "computer with the database, the maintenance cycle).\n"
                       "\n"
                       "Commands (each does its work once, prints the result and ends):\n";
    auto column = [&](std::string head, const std::string& body) {
        head = "  " + head;
        head.resize(std::max<size_t>(head.size() + 2, 22), ' ');
        size_t start = 0;
        bool first = true;
        while (start <= body.size()) {
            const size_t end = body.find('\n', start);
            const std::string line =
                body.substr(start, end == std::string::npos ? std::string::npos : end - start);
            text += (first ? head : std::string(22, ' ')) + line + "\n";
            first = false;
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
    };
    for (const auto& c : Commands())
        column(std::string(c.name) + (c.operand ? std::string(" ") + c.operand : ""), c.summary);
    text += "\nOptions:\n";
    for (const auto& o : OptionTable())
        column(std::string(o.name) + (o.argument ? std::string(" ") + o.argument : ""), o.help);
    text += "  --help, --version\n"
            "\n"
            "Exit status: 0 done, 1 done but not good (a backup that does not count, a structure\n"
            "that differs, an archive that does not restore as it was made), 2 could not run or\n"
            "bad usage.\n";
    return text;
}

Outcome BadUsage(const std::string& why) {
    std::cerr << "ZentaMarketMonitor: " << why << "\n\n" << Usage();
    return Outcome::BadUsage;
}

// A one-shot command logs like the monitor, but its words for the user go to standard output;
// the log lines on standard error are only for a terminal that wants them.
bool Connect() {
    ConnectDataBase();
    if (DataBase().ConnectionStatus())
        return true;
    std::string why = DataBase().LastError().Text();
    std::replace(why.begin(), why.end(), '\n', ' ');
    std::cerr << "The database at " << ConfiguredMySQLHost() << ":" << ConfiguredMySQLPort()
              << " cannot be reached (" << TrimSpaces(why)
              << "): is MariaDB running there, is MySQLPort in " << Globals::AppPath
              << "zentamarket.ini right, and are the suite's ODBC driver names registered "
                 "(odbcinst -q -d)?\n";
    return false;
}

// The folder whose owner the program's files must stay readable for: Log/, where the job
// record and the log are, else the program folder.
std::string RecordFolder() {
    return IsFolder(Globals::AppPath + "Log") ? Globals::AppPath + "Log" : Globals::AppPath;
}

// How to make a file the monitor cannot use usable again, in one line.
std::string OwnerFix(const std::string& path) {
    struct stat file {
    }, folder{};
    if (::stat(path.c_str(), &file) != 0 || ::stat(RecordFolder().c_str(), &folder) != 0)
        return "";
    return "it belongs to " + UserName(file.st_uid) + " (mode " +
           std::to_string((file.st_mode >> 6) & 7) + std::to_string((file.st_mode >> 3) & 7) +
           std::to_string(file.st_mode & 7) + ") and this command runs as " +
           UserName(::geteuid()) + "; fix: sudo chown " + UserName(folder.st_uid) + ":" +
           GroupName(folder.st_gid) + " '" + path + "' && sudo chmod 660 '" + path + "'";
}

// A command run by another user than the one the program folder belongs to would leave files
// (the job record, the log, archives) the monitor can neither read nor write. With the
// folder's set-group bit (as the package sets it) the files are made readable and writable by
// the folder's group instead; without it the command says so before doing anything.
Result<Done> CheckFolderOwner(const std::string& command) {
    struct stat folder {};
    if (::stat(RecordFolder().c_str(), &folder) != 0 || folder.st_uid == ::geteuid())
        return Done{};
    if (folder.st_mode & S_ISGID) {
        ::umask(0007);
        return Done{};
    }
    const std::string owner = UserName(folder.st_uid);
    return Result<Done>::Failure(
        "the program folder " + Globals::AppPath + " belongs to the user " + owner +
        " and this command runs as " + UserName(::geteuid()) +
        ": the files it would write could not be read or written by the monitor. Run it as " +
        owner + ": sudo -u " + owner + " " + Globals::AppPath + Globals::ExecutableName + " " +
        command);
}

// A line that the next one replaces, on a terminal only.
class ProgressLine {
  public:
    ProgressLine() : tty_(::isatty(1) != 0) {}
    ~ProgressLine() { Clear(); }
    void Show(const std::string& text) {
        if (!tty_)
            return;
        std::string line = text.substr(0, 78);
        const size_t width = line.size();
        if (width < shown_)
            line += std::string(shown_ - width, ' ');
        std::cout << "\r" << line << std::flush;
        shown_ = width;
    }
    // Before a message of its own: the progress line goes.
    void Clear() {
        if (!tty_ || shown_ == 0)
            return;
        std::cout << "\r" << std::string(shown_, ' ') << "\r" << std::flush;
        shown_ = 0;
    }
    bool tty() const { return tty_; }

  private:
    bool tty_;
    size_t shown_ = 0;
};

// Runs `job` under the folder's job lock, telling the user when it has to wait for the monitor.
bool WithJobLock(const Options& options, const std::function<void()>& job) {
    ProgressLine line;
    const auto ran = UnderJobLock(
        job, {options.command + " (command line)",
              std::chrono::seconds(options.waitSeconds),
              [&](const std::string& holder, long waited) {
                  const std::string who = holder.empty() ? "" : " (" + holder + ")";
                  if (waited == 0) {
                      std::cout << "A job of the monitor of this program folder is running" << who
                                << "; waiting for it to finish..." << std::endl;
                      return;
                  }
                  line.Show("waiting for the job lock: " + std::to_string(waited) + " s" + who);
              },
              {}});
    line.Clear();
    if (!ran)
        std::cerr << "Not done: " << ran.error() << "; nothing done.\n";
    return static_cast<bool>(ran);
}

std::string HumanBytes(long long b) {
    char text[32];
    if (b >= 1 << 20)
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(b) / (1 << 20));
    else
        std::snprintf(text, sizeof text, "%.0f KB", static_cast<double>(b) / 1024);
    return text;
}

// "3 h ago", "2 days ago" since a stamp "yyyy-mm-dd hh:nn:ss" of this computer's clock.
std::string Age(const std::string& stamp) {
    const long long then = StampSeconds(stamp);
    const long long seconds = static_cast<long long>(std::time(nullptr)) - then;
    if (then <= 0 || seconds < 0)
        return "";
    if (seconds < 3600)
        return std::to_string(seconds / 60) + " min ago";
    if (seconds < 2 * 86400)
        return std::to_string(seconds / 3600) + " h ago";
    return std::to_string(seconds / 86400) + " days ago";
}

void Line(const std::string& label, const std::string& value) {
    std::string padded = label + ":";
    padded.resize(std::max<size_t>(padded.size() + 1, 20), ' ');
    std::cout << padded << value << "\n";
}

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

Outcome Status(const Options&) {
    Line("Program folder", Globals::AppPath);
    Line("Monitor running",
         MonitorRunningIn(Globals::AppPath, Globals::ExecutableName) ? "yes" : "no");
    const bool connected = Connect();
    const std::string where = ConfiguredMySQLHost() + ":" + std::to_string(ConfiguredMySQLPort());
    Line("Database", (connected ? "connected, " : "not reachable, ") + where);
    Line("This computer", Globals::LocalIP);
    if (connected) {
        // The panel's own words, as the shop sees them; what is said above (this computer's
        // address) and what changes on every run (the connection's id) are left out.
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
    // A record that exists but cannot be read is said, not taken for "none recorded".
    if (FileExists(JobOutcomesPath()) && ::access(JobOutcomesPath().c_str(), R_OK) != 0)
        Line("Job record", "CANNOT BE READ: " + JobOutcomesPath() + " (" + std::strerror(errno) +
                               "); " + OwnerFix(JobOutcomesPath()));

    const BackupOutcome backup = BackupOutcome::Read();
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
            std::cout << "  not counted as a backup, the database holds much less than at the "
                         "last good backup: "
                      << backup.shrink
                      << "\n  if the change is meant: ZentaMarketMonitor backup --accept-shrink\n";
        else if (backup.result != "good" && !backup.failure.empty())
            std::cout << "  why: " << backup.failure << "\n";
    }
    Line("Last good backup", backup.lastGoodArchive.empty()
                                 ? "none recorded"
                                 : backup.lastGoodTime + " (" + Age(backup.lastGoodTime) + "), " +
                                       backup.lastGoodArchive + ", " +
                                       HumanBytes(backup.lastGoodBytes) + ", tested good");
    BinaryLogStatus(connected, backup);
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

// "1.5 GB", "12.0 MB" of a byte count.
std::string Size(long long bytes) {
    char text[32];
    if (bytes >= (1LL << 30))
        std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(bytes) / (1LL << 30));
    else
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1 << 20));
    return text;
}

Outcome Backup(const Options& options) {
    BackupReport report;
    const std::string folder = BackupFolder();
    const std::string label = OpcionText(DataBase(), "MobilBackupRestoreVolumeName", "");
    ProgressLine line;
    auto stageStarted = std::chrono::steady_clock::now();
    auto lastStage = BackupProgress::Stage::Exporting;
    BackupOptions backup;
    backup.acceptShrink = options.acceptShrink;
    // Packing a large shop takes minutes: say what is happening and how far it got.
    backup.progress = [&](const BackupProgress& p) {
        const auto now = std::chrono::steady_clock::now();
        if (p.stage != lastStage) {
            lastStage = p.stage;
            stageStarted = now;
        }
        const double seconds = std::chrono::duration<double>(now - stageStarted).count();
        switch (p.stage) {
        case BackupProgress::Stage::Exporting:
            line.Show("exporting table " + std::to_string(p.done) + " of " +
                      std::to_string(p.total) + ": " + p.what);
            break;
        case BackupProgress::Stage::Packing: {
            std::string text = "packing: " + Size(p.done) + " of " + Size(p.total);
            if (p.total > 0) {
                text += ", " + std::to_string(p.done * 100 / p.total) + " %";
                if (p.done > 0 && seconds >= 2)
                    text += ", about " +
                            std::to_string(static_cast<long long>(
                                seconds * static_cast<double>(p.total - p.done) /
                                static_cast<double>(p.done))) +
                            " s left";
            }
            line.Show(text);
            break;
        }
        case BackupProgress::Stage::Testing:
            line.Show("testing the archive");
            break;
        case BackupProgress::Stage::Copying:
            line.Show("copying to the backup drive at " + p.what + ": " + Size(p.done) + " of " +
                      Size(p.total));
            break;
        }
    };
    std::cout << "Backing up into " << folder << std::endl;
    std::string into = folder, drive = label;
    BackupAll(into, drive, &report, backup);
    line.Clear();
    if (report.Good())
        RotateBackupFiles();
    if (report.stopped) {
        std::cout << "Stopped: no archive was kept.\n";
        return Outcome::NotGood;
    }
    if (report.archiveName.empty()) {
        std::cout << "No archive was made: " << report.failure << "\n";
        return Outcome::NotGood;
    }
    std::cout << into + report.archiveName << "\n";
    if (!report.complete) {
        std::cout << "Incomplete, not counted as a backup; it lacks:";
        for (const auto& t : report.failedTables)
            std::cout << " " << t;
        std::cout << "\n";
        return Outcome::NotGood;
    }
    Outcome outcome = Outcome::Good;
    if (report.shrunk) {
        std::cout << "Kept, but NOT counted as a backup: the database holds much less than at "
                     "the last good backup:\n";
        for (const auto& why : report.shrinkReasons)
            std::cout << "  - " << why << "\n";
        std::cout << "The older archives stay; none is deleted while this lasts. If the change "
                     "is meant, take the\nnew size as good: ZentaMarketMonitor backup "
                     "--accept-shrink\n";
        outcome = Outcome::NotGood;
    } else if (!report.accepted.empty()) {
        std::cout << "Accepted as the new baseline, as asked (--accept-shrink):\n";
        for (const auto& why : report.accepted)
            std::cout << "  - " << why << "\n";
    } else if (options.acceptShrink) {
        std::cout << "Nothing to accept: the data did not fall against the last good backup.\n";
    }
    for (const auto& d : report.drives) {
        if (d.alreadyThere)
            std::cout << "already on the drive, whole: " << d.path << "\n";
        else if (d.whole)
            std::cout << "copied to " << d.path << "\n";
        else
            std::cout << "NOT copied to the backup drive at " << d.mount << ": " << d.error << "\n";
        if (!d.whole)
            outcome = Outcome::NotGood;
    }
    if (report.drives.empty() && !TrimSpaces(label).empty())
        std::cout << "The backup drive " << TrimSpaces(label)
                  << " is not plugged in: no copy was made on it.\n";
    return outcome;
}

Outcome CheckStructure(const Options&) {
    DataBase().SQLExecute("Flush Tables;");
    if (CompareDBStructure()) {
        std::cout << "The database's structure matches the reference database.\n";
        return Outcome::Good;
    }
    const std::string script = Globals::AppPath + "MySQLCompare.sql";
    std::error_code ec;
    if (std::filesystem::file_size(script, ec) == 0 || ec) {
        std::cerr << "The comparison could not run; the log says why: " << ProgramLogPath() << "\n";
        return Outcome::CouldNotRun;
    }
    std::cout << "The database's structure differs from the reference database. Statements "
                 "that would make it equal ("
              << script << ", nothing applied):\n\n";
    std::cout << ReadWholeFile(script).value_or("");
    return Outcome::NotGood;
}

Outcome Workstations(const Options&) {
    clsOrdenadorEjecutando& w = OrdenadorEjecutando();
    const long count = w.Count();
    if (count == 0) {
        std::cout << "No computer is running the suite's programs.\n";
        return Outcome::Good;
    }
    std::cout << count << " running: " << w.List() << "\n";
    return Outcome::Good;
}

Outcome IPUpdate(const Options&) {
    if (!ServerIsLocal) {
        std::cout << "This computer does not hold the database; the IP report is made there.\n";
        return Outcome::CouldNotRun;
    }
    if (const std::string skipped = IPUpdateProc(); !skipped.empty()) {
        std::cout << "No IP report is sent: " << skipped << ".\n";
        return Outcome::Good;
    }
    const JobOutcome ip = JobOutcome::Read("IPUpdate");
    std::cout << ip["Message"] << "\n";
    if (!ip["Cause"].empty())
        std::cout << ip["Cause"] << "\n";
    return ip.result() == "done" ? Outcome::Good : Outcome::NotGood;
}

Outcome RunCycleOnce(const Options&) {
    TakeJobNotes();
    RunCycle();
    // Which jobs ran, and why the others did not.
    for (const auto& [job, what] : TakeJobNotes()) {
        std::string label = job + ":";
        label.resize(std::max<size_t>(label.size() + 1, 23), ' ');
        std::cout << "  " << label << what << "\n";
    }
    if (StopRequested()) {
        std::cout << "Stopped.\n";
        return Outcome::NotGood;
    }
    if (!ServerIsLocal) {
        std::cout << "This computer does not hold the database: only the recordings' clean-up "
                     "ran.\n";
        return Outcome::Good;
    }
    const BackupOutcome backup = BackupOutcome::Read();
    std::cout << "Cycle done. Last backup: " << backup.result << " " << backup.time << "\n";
    return backup.Bad() ? Outcome::NotGood : Outcome::Good;
}

Outcome ClearPrintQueues(const Options& options) {
    if (!options.yes) {
        if (!::isatty(0)) {
            std::cerr << "clear-print-queues asks first; say --yes when there is no terminal.\n";
            return Outcome::BadUsage;
        }
        std::cout << "Cancel every unprinted job of every print queue? [y/N] " << std::flush;
        std::string answer;
        std::getline(std::cin, answer);
        if (answer != "y" && answer != "Y" && answer != "yes") {
            std::cout << "Nothing cancelled.\n";
            return Outcome::Good;
        }
    }
    const PrintQueuesCleared cleared = CancelAllPrinterJobs();
    if (!cleared.error.empty()) {
        std::cout << "Nothing was cancelled: " << cleared.error
                  << ". Is CUPS running (systemctl status cups)?\n";
        return Outcome::NotGood;
    }
    if (cleared.queues == 0) {
        std::cout << "There is no print queue on this computer: nothing to cancel.\n";
        return Outcome::Good;
    }
    for (const auto& f : cleared.failures)
        std::cout << "NOT cancelled: " << f << "\n";
    std::cout << "Every unprinted job of " << cleared.cleared << " of " << cleared.queues
              << " print queues was cancelled.\n";
    return cleared.Done() ? Outcome::Good : Outcome::NotGood;
}

void Progress(const std::string& line) {
    std::cout << line << std::endl;
}

Outcome Restore(const Options& options) {
    RestoreOptions restore;
    restore.database = options.database;
    restore.intoLive = options.intoLive;
    restore.passwordFile = options.passwordFile;
    restore.progress = Progress;
    if (!options.until.empty()) {
        const UntilReport until = RestoreUntil(options.archive, options.until, restore);
        if (!until.restore.ok) {
            std::cerr << "Not restored: " << until.restore.error << "\n";
            return Outcome::CouldNotRun;
        }
        std::cout << "Restored " << until.archive << " into the database " << until.restore.database
                  << " and replayed " << until.transactions << " transactions of the binary log"
                  << (until.reached ? ", the last committed at " + InstantText(until.reached)
                                    : std::string(" (none after the archive)"))
                  << ".\n";
        std::cout << "The window restored in: " << WindowText(until.window) << "\n";
        for (const auto& w : until.others)
            std::cout << "Another window of the copy (another server's log, restored from an "
                         "archive of its own): "
                      << WindowText(w) << "\n";
        if (!until.restore.savedLive.empty())
            std::cout << "The live database's tables before the restore are in "
                      << until.restore.savedLive
                      << ". The copied binary log cannot be replayed across this restore: the "
                         "next cycle makes a full backup, where a new window starts.\n";
        return Outcome::Good;
    }
    const RestoreReport report = RestoreArchive(options.archive, restore);
    if (!report.ok) {
        std::cerr << "Not restored: " << report.error << "\n";
        return Outcome::CouldNotRun;
    }
    long long rows = 0;
    for (const auto& t : report.tables)
        rows += t.rows;
    std::cout << "Restored " << report.tables.size() << " tables, " << rows
              << " rows, into the database " << report.database << ".\n";
    if (!report.savedLive.empty())
        std::cout << "The live database's tables before the restore are in " << report.savedLive
                  << ".\n";
    return Outcome::Good;
}

Outcome Verify(const Options& options) {
    const VerifyReport report = VerifyArchive(options.archive, Progress, options.passwordFile);
    // A check that ran counts as the last verification, good or bad; one that could not run
    // (no such file, not a backup, no database) leaves the last one as it was.
    const bool ran = !report.tables.empty() || report.failure == RestoreFailure::Damaged;
    if (ran)
        RecordVerification(std::filesystem::absolute(options.archive).lexically_normal().string(),
                           report);
    if (report.tables.empty()) {
        std::cerr << "Not verified: " << report.error << "\n";
        // A bad backup is told from a check that could not run.
        return report.failure == RestoreFailure::Damaged ? Outcome::NotGood : Outcome::CouldNotRun;
    }
    std::cout << (report.recorded ? "Compared with the figures recorded in the archive:\n"
                                  : "The archive records no figures; compared with the rows of "
                                    "its data files:\n");
    for (const auto& [expected, found] : report.tables) {
        const bool same = expected.Matches(found);
        std::cout << "  " << (same ? "ok       " : "DIFFERS  ") << expected.table << ": "
                  << found.rows << " rows";
        if (!same)
            std::cout << " (expected " << expected.rows << ")";
        if (expected.checksum != -1)
            std::cout << ", checksum "
                      << (expected.checksum == found.checksum ? "same" : "differs");
        std::cout << "\n";
    }
    std::cout << (report.ok ? "The archive restores whole.\n"
                            : "The archive does NOT restore as it was made.\n");
    // The copy of the binary log that brings it forward to a second.
    const ChainCheck chain = CheckChainFrom(options.archive, options.passwordFile);
    std::cout << "Copied binary log from its snapshot: " << chain.text << "\n";
    return report.ok && !chain.fault ? Outcome::Good : Outcome::NotGood;
}

Outcome Doctor(const Options&) {
    if (!IsFolder(Globals::AppPath)) {
        std::cerr << "Not checked: the program folder " << Globals::AppPath
                  << " does not exist; install the package (sudo apt install "
                     "./zentamarket-monitor_<version>_amd64.deb).\n";
        return Outcome::CouldNotRun;
    }
    const auto checks = RunDoctor();
    bool fine = true;
    for (const auto& c : checks) {
        const char* level = c.level == DoctorCheck::Level::Good      ? "good    "
                            : c.level == DoctorCheck::Level::Warning ? "WARNING "
                                                                     : "FAULT   ";
        std::cout << level << c.what << ": " << c.text << "\n";
        if (c.level != DoctorCheck::Level::Good) {
            fine = false;
            if (!c.fix.empty())
                std::cout << "         fix: " << c.fix << "\n";
        }
    }
    std::cout << (fine ? "Nothing needs fixing.\n" : "Something needs fixing (above).\n");
    return fine ? Outcome::Good : Outcome::NotGood;
}

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"status", nullptr,
         "the database, the server and this computer, the last backup,\npurge, stock renewal "
         "and IP report, and whether a monitor runs here",
         Needs::Nothing, Status},
        {"doctor", nullptr,
         "checks everything this computer's set-up needs, one line each,\nwith the fix for "
         "each one that is not good",
         Needs::Nothing, Doctor},
        {"backup", nullptr,
         "one full backup now: tested, compared with the last good one,\nrotated, copied to "
         "the backup drive",
         Needs::DatabaseAndJobLock, Backup},
        {"check-structure", nullptr,
         "compares the database's structure with the reference database", Needs::DatabaseAndJobLock,
         CheckStructure},
        {"workstations", nullptr, "the computers on which the suite's programs are running",
         Needs::Database, Workstations},
        {"ip-update", nullptr, "reports this branch's address to head office now",
         Needs::DatabaseAndJobLock, IPUpdate},
        {"run-cycle", nullptr,
         "one maintenance cycle now (clean-up, stock, backup, purge, rotation)",
         Needs::DatabaseAndJobLock, RunCycleOnce},
        {"clear-print-queues", nullptr,
         "cancels every unprinted job of every print queue (asks first)", Needs::Nothing,
         ClearPrintQueues},
        {"restore", "[ARCHIVE]",
         "restores an archive into a new database\n(zentasupermarket_restore_<time>, or "
         "--database NAME); into the\nlive database only with --into-live, which backs it up "
         "first;\nwith --until, to a second of the copied binary log",
         Needs::DatabaseAndJobLock, Restore},
        {"verify", "ARCHIVE",
         "restores an archive into a scratch database and compares every\ntable with the "
         "figures recorded when it was made",
         Needs::DatabaseAndJobLock, Verify},
    };
    return commands;
}

// Reads the arguments into options: the command, its operand and the options it takes. Bad
// usage: the reason.
Result<Options> Parse(int argc, char** argv) {
    auto bad = [](const std::string& why) { return Result<Options>::Failure(why); };
    Options options;
    const Command* command = nullptr;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-y")
            a = "--yes";
        if (!a.empty() && a[0] == '-') {
            const auto rule = std::find_if(OptionTable().begin(), OptionTable().end(),
                                           [&](const OptionRule& o) { return a == o.name; });
            if (rule == OptionTable().end())
                return bad("unknown argument \"" + a + "\"");
            std::string value;
            if (rule->argument) {
                if (i + 1 >= argc)
                    return bad(a + " needs " + AsciiLowerCase(rule->argument));
                value = argv[++i];
            }
            options.given.insert(a);
            if (a == "--yes") {
                options.yes = true;
            } else if (a == "--accept-shrink") {
                options.acceptShrink = true;
            } else if (a == "--into-live") {
                options.intoLive = true;
            } else if (a == "--database") {
                options.database = value;
            } else if (a == "--password-file") {
                options.passwordFile = value;
            } else if (a == "--until") {
                options.until = value;
            } else if (a == "--wait") {
                char* end = nullptr;
                options.waitSeconds = std::strtol(value.c_str(), &end, 10);
                if (value.empty() || !end || *end || options.waitSeconds < 0)
                    return bad("--wait needs a number of seconds");
            }
        } else if (!command) {
            options.command = a;
            const auto found = std::find_if(Commands().begin(), Commands().end(),
                                            [&](const Command& c) { return a == c.name; });
            if (found == Commands().end())
                return bad("unknown command \"" + a + "\"");
            command = &*found;
        } else if (command->operand && options.archive.empty()) {
            options.archive = a;
        } else {
            return bad("unknown argument \"" + a + "\"");
        }
    }
    if (!command)
        return bad("no command given");
    for (const auto& name : options.given) {
        const auto rule = std::find_if(OptionTable().begin(), OptionTable().end(),
                                       [&](const OptionRule& o) { return name == o.name; });
        if (std::find(rule->commands.begin(), rule->commands.end(), options.command) ==
            rule->commands.end())
            return bad(name + " is not an option of " + options.command);
    }
    if (command->operand && options.archive.empty() && options.until.empty())
        return bad(options.command + " needs the archive");
    if (options.intoLive && options.given.count("--database"))
        return bad("--into-live and --database contradict each other: --into-live restores into "
                   "the live database zentasupermarket, --database NAME into another one; give "
                   "one of them");
    if (options.database.size() > 64)
        return bad("the database name \"" + options.database +
                   "\" is too long: at most 64 "
                   "characters");
    if (!options.archive.empty() && options.archive[0] != '/') {
        // Relative to where the technician stands, not to the program folder.
        char here[4096];
        if (::getcwd(here, sizeof here))
            options.archive = std::string(here) + "/" + options.archive;
    }
    return options;
}

// Connects and takes the job lock as the command needs, then runs it.
Outcome Dispatch(const Command& command, const Options& options) {
    if (command.needs != Needs::Nothing && !Connect())
        return Outcome::CouldNotRun;
    if (command.needs != Needs::DatabaseAndJobLock)
        return command.run(options);
    Outcome outcome = Outcome::CouldNotRun;
    if (!WithJobLock(options, [&] { outcome = command.run(options); }))
        return Outcome::CouldNotRun;
    return outcome;
}

} // namespace

int RunCommandLine(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::cout << Usage();
            return 0;
        }
        if (a == "--version") {
            std::cout << "ZentaMarketMonitor " << ProgramVersionText() << "\n";
            return 0;
        }
    }
    const auto options = Parse(argc, argv);
    if (!options)
        return ExitStatus(BadUsage(options.error()));
    const Command& command =
        *std::find_if(Commands().begin(), Commands().end(),
                      [&](const Command& c) { return options->command == c.name; });

    SetUpProgramGlobals(true);
    SetLogEcho(false); // the command's own words say what happened; the log keeps the rest
    HandleStopSignals();
    // A log that cannot be written loses what the command did: said before anything is done.
    if (FileExists(ProgramLogPath()) && ::access(ProgramLogPath().c_str(), W_OK) != 0)
        std::cerr << "Warning: the program log " << ProgramLogPath() << " cannot be written ("
                  << std::strerror(errno) << "); " << OwnerFix(ProgramLogPath()) << "\n";
    Outcome outcome = Outcome::CouldNotRun;
    if (const auto owner = CheckFolderOwner(command.name);
        !owner && command.needs != Needs::Nothing)
        std::cerr << "Not done: " << owner.error() << "\n";
    else
        outcome = Dispatch(command, *options);
    // What was done is only known to the monitor, the tray and the metrics through the record.
    if (const std::string problem = RecordProblem(); !problem.empty()) {
        std::cerr << "Warning: " << problem << "; " << OwnerFix(JobOutcomesPath()) << "\n";
        if (outcome == Outcome::Good)
            outcome = Outcome::NotGood;
    }
    ReleaseOrdenadorEjecutando();
    ReleaseDataBase();
    return ExitStatus(outcome);
}

} // namespace zenta
