#include "CommandLine.h"

#include "AutoBackupData.h"
#include "AutoRunProc.h"
#include "BackupAll.h"
#include "Common.h"
#include "CompararDBEstructura.h"
#include "ComputerIdentity.h"
#include "ErrorMode.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "IPUpdate.h"
#include "JobLock.h"
#include "JobOutcomes.h"
#include "MenuCommands.h"
#include "Opcion.h"
#include "Printers.h"
#include "Process.h"
#include "ProgramSetUp.h"
#include "RemovableDrives.h"
#include "Restore.h"
#include "Settings.h"
#include "SingleInstance.h"
#include "StatusPanel.h"
#include "Text.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace zenta {

namespace {

constexpr const char* kUsage =
    "Usage: ZentaMarketMonitor [COMMAND] [OPTIONS]\n"
    "\n"
    "Without a command: the shop's monitor (tray icon, helper programs, hot keys and, on the\n"
    "computer with the database, the maintenance cycle).\n"
    "\n"
    "Commands (each does its work once, prints the result and ends):\n"
    "  status              the database, the server and this computer, the last backup,\n"
    "                      purge, stock renewal and IP report, and whether a monitor runs here\n"
    "  backup              one full backup now: tested, rotated, copied to the backup drive\n"
    "  check-structure     compares the database's structure with the reference database\n"
    "  workstations        the computers on which the suite's programs are running\n"
    "  ip-update           reports this branch's address to head office now\n"
    "  run-cycle           one maintenance cycle now (clean-up, stock, backup, purge, rotation)\n"
    "  clear-print-queues  cancels every unprinted job of every print queue (asks first)\n"
    "  restore ARCHIVE     restores an archive into a new database\n"
    "                      (zentasupermarket_restore_<time>, or --database NAME); into the\n"
    "                      live database only with --into-live, which backs it up first\n"
    "  verify ARCHIVE      restores an archive into a scratch database and compares every\n"
    "                      table with the figures recorded when it was made\n"
    "\n"
    "Options:\n"
    "  --yes               clear-print-queues without asking\n"
    "  --accept-shrink     backup: take the new backup as good although the database holds\n"
    "                      much less than at the last good backup (the change is meant)\n"
    "  --database NAME     restore into this database\n"
    "  --into-live         restore into zentasupermarket itself (backed up first)\n"
    "  --password-file FILE  restore or verify an encrypted archive with the password on\n"
    "                      the file's first line (default: the shop's ArchivePassword or\n"
    "                      ArchivePasswordFile)\n"
    "  --wait SECONDS      how long to wait for a job of the running monitor to finish\n"
    "                      (default 1800)\n"
    "  --help, --version\n"
    "\n"
    "Exit status: 0 done, 1 done but not good (a failed backup, a structure that differs),\n"
    "2 could not run or bad usage.\n";

struct Options {
    std::string command;
    std::string archive;
    std::string database;
    bool intoLive = false;
    std::string passwordFile;
    bool yes = false;
    bool acceptShrink = false;
    long waitSeconds = 1800;
};

int BadUsage(const std::string& why) {
    std::cerr << "ZentaMarketMonitor: " << why << "\n\n" << kUsage;
    return 2;
}

// A one-shot command logs like the monitor, but its words for the user go to standard output;
// the log lines on standard error are only for a terminal that wants them.
bool Connect() {
    ConnectDataBase();
    if (DataBase().ConnectionStatus())
        return true;
    std::cerr << "The database at " << GetSetting("MySQL", "MySQLHost", "localhost") << ":"
              << ConfiguredMySQLPort() << " cannot be reached: " << DataBase().LastError().Text()
              << "\n";
    return false;
}

// Runs `job` under the folder's job lock, telling the user when it has to wait for the monitor.
bool WithJobLock(const Options& options, const std::function<void()>& job) {
    const auto ran = UnderJobLock(
        job, {std::chrono::seconds(options.waitSeconds),
              [] {
                  std::cout << "A job of the monitor of this program folder is running; waiting "
                               "for it to finish..."
                            << std::endl;
              },
              {}});
    if (!ran)
        std::cerr << "Not done: " << ran.error() << "; nothing done.\n";
    return static_cast<bool>(ran);
}

std::string HumanBytes(const std::string& bytes) {
    const double b = std::atof(bytes.c_str());
    char text[32];
    if (b >= 1 << 20)
        std::snprintf(text, sizeof text, "%.1f MB", b / (1 << 20));
    else
        std::snprintf(text, sizeof text, "%.0f KB", b / 1024);
    return text;
}

// "3 h", "2 days" since a stamp "yyyy-mm-dd hh:nn:ss" of this computer's clock.
std::string Age(const std::string& stamp) {
    std::tm t{};
    if (stamp.size() < 19 || std::sscanf(stamp.c_str(), "%d-%d-%d %d:%d:%d", &t.tm_year, &t.tm_mon,
                                         &t.tm_mday, &t.tm_hour, &t.tm_min, &t.tm_sec) != 6)
        return "";
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    t.tm_isdst = -1;
    const double seconds = std::difftime(std::time(nullptr), std::mktime(&t));
    if (seconds < 0)
        return "";
    if (seconds < 3600)
        return std::to_string(static_cast<long>(seconds / 60)) + " min ago";
    if (seconds < 2 * 86400)
        return std::to_string(static_cast<long>(seconds / 3600)) + " h ago";
    return std::to_string(static_cast<long>(seconds / 86400)) + " days ago";
}

// A backup attempt that left no good archive.
bool BackupResultBad(const std::string& result) {
    return result == "failed" || result == "incomplete" || result == "shrunk";
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
        std::string folder = mounts.front();
        const double free = GetDiskFreeBytes(folder);
        struct statvfs vfs {};
        const double total = ::statvfs(mounts.front().c_str(), &vfs) == 0
                                 ? static_cast<double>(vfs.f_blocks) * vfs.f_frsize
                                 : 0;
        where += "plugged in at " + mounts.front() + ", " +
                 HumanBytes(std::to_string(static_cast<long long>(free))) + " free of " +
                 HumanBytes(std::to_string(static_cast<long long>(total)));
    }
    Line("Backup drive", where);
    const bool same =
        AsciiUpperCase(TrimSpaces(label)) == AsciiUpperCase(OutcomeValue("BackupDrive", "Label"));
    const std::string good = same ? OutcomeValue("BackupDrive", "LastGoodCopyTime") : "";
    std::cout << "  last good copy:   "
              << (good.empty() ? std::string("none recorded")
                               : good + " (" + Age(good) + "), " +
                                     OutcomeValue("BackupDrive", "LastGoodCopy"))
              << "\n";
    const std::string last = same ? OutcomeValue("BackupDrive", "LastResult") : "";
    const std::string failed = same ? OutcomeValue("BackupDrive", "LastFailureTime") : "";
    // The last failure, while no whole copy came after it.
    if (!failed.empty() && !OutcomeValue("BackupDrive", "LastFailure").empty() &&
        (last == "failed" || (last == "absent" && failed > good)))
        std::cout << "  last copy FAILED: " << failed << ", "
                  << OutcomeValue("BackupDrive", "LastFailure") << "\n";
    if (last == "absent")
        std::cout << "  at the last backup (" << OutcomeValue("BackupDrive", "LastAttemptTime")
                  << ") the drive was not plugged in\n";
}

int Status() {
    Line("Program folder", Globals::AppPath);
    Line("Monitor running",
         MonitorRunningIn(Globals::AppPath, Globals::ExecutableName) ? "yes" : "no");
    const bool connected = Connect();
    if (connected) {
        Line("Database", "connected");
        std::string panel = RefreshStatusText();
        size_t pos = 0;
        while (pos < panel.size()) {
            size_t e = panel.find("\r\n", pos);
            const std::string line = panel.substr(pos, e == std::string::npos ? e : e - pos);
            if (!line.empty())
                std::cout << "  " << line << "\n";
            pos = e == std::string::npos ? panel.size() : e + 2;
        }
    } else {
        Line("Database", "not reachable");
    }
    Line("This computer", Globals::LocalIP);

    const std::string result = OutcomeValue("Backup", "Result");
    if (result.empty()) {
        Line("Last backup", "none recorded");
    } else {
        std::string text = OutcomeValue("Backup", "Time") + ", " + result;
        const std::string archive = OutcomeValue("Backup", "Archive");
        if (!archive.empty())
            text += ", " + archive + " (" + HumanBytes(OutcomeValue("Backup", "Bytes")) + ")";
        const std::string missing = OutcomeValue("Backup", "Missing");
        if (!missing.empty())
            text += "; lacks " + missing;
        Line("Last backup", text);
        if (result == "shrunk")
            std::cout << "  not counted as a backup, the database holds much less than at the "
                         "last good backup: "
                      << OutcomeValue("Backup", "Shrink")
                      << "\n  if the change is meant: ZentaMarketMonitor backup --accept-shrink\n";
        else if (result != "good" && !OutcomeValue("Backup", "Failure").empty())
            std::cout << "  why: " << OutcomeValue("Backup", "Failure") << "\n";
    }
    const std::string good = OutcomeValue("Backup", "LastGoodArchive");
    const std::string goodTime = OutcomeValue("Backup", "LastGoodTime");
    Line("Last good backup",
         good.empty() ? "none recorded"
                      : goodTime + " (" + Age(goodTime) + "), " + good + ", " +
                            HumanBytes(OutcomeValue("Backup", "LastGoodBytes")) + ", tested good");
    DriveStatus(connected ? OpcionText(DataBase(), "MobilBackupRestoreVolumeName", "")
                          : OutcomeValue("BackupDrive", "Label"));
    if (connected) {
        const auto kept = BackupFolderRetention();
        if (kept) {
            Line("Archives", kept->folder + " (newest " + std::to_string(kept->rules.newest) +
                                 ", weeks " + std::to_string(kept->rules.weekly) + ", months " +
                                 std::to_string(kept->rules.monthly) + ")");
            if (!kept->problem.empty())
                std::cout << "  nothing is deleted: " << kept->problem << "\n";
            for (const auto& a : kept->archives)
                std::cout << "  " << a.name << "  "
                          << HumanBytes(std::to_string(FileLength(kept->folder + a.name))) << "  "
                          << (a.keep ? "kept: " : "deleted at the next rotation: ") << a.why
                          << "\n";
            if (kept->archives.empty())
                std::cout << "  none\n";
        } else {
            Line("Archives", kept.error());
        }
    }
    const std::string purge = OutcomeValue("TicketPurge", "Time");
    Line("Last ticket purge", purge.empty()
                                  ? "none recorded"
                                  : purge + ", " + OutcomeValue("TicketPurge", "Result") +
                                        ", through " + OutcomeValue("TicketPurge", "Through") +
                                        ": " + OutcomeValue("TicketPurge", "Rows"));
    const std::string renewal = OutcomeValue("StockRenewal", "Time");
    Line("Last stock renewal", renewal.empty()
                                   ? "none recorded"
                                   : renewal + ", " + OutcomeValue("StockRenewal", "Result") +
                                         ", " + OutcomeValue("StockRenewal", "Pairs") + " pairs");
    const std::string ip = OutcomeValue("IPUpdate", "Time");
    Line("Last IP report", ip.empty() ? "none recorded"
                                      : ip + ", " + OutcomeValue("IPUpdate", "Result") + ": " +
                                            OutcomeValue("IPUpdate", "Message"));
    return connected && !BackupResultBad(result) ? 0 : 1;
}

int Backup(const Options& options) {
    if (!Connect())
        return 2;
    BackupReport report;
    std::string folder;
    const bool tty = ::isatty(1) != 0;
    const auto started = std::chrono::steady_clock::now();
    auto lastShown = started;
    if (tty)
        // Packing a large shop takes minutes: say how far it got, once a second.
        SetWaitHook([&] {
            const auto now = std::chrono::steady_clock::now();
            if (now - lastShown < std::chrono::seconds(1))
                return;
            lastShown = now;
            long long bytes = 0;
            std::error_code ec;
            for (const auto& e : std::filesystem::directory_iterator(folder, ec))
                if (e.path().extension() == ".partial")
                    bytes += static_cast<long long>(e.file_size(ec));
            std::printf(
                "\rpacking... %lld s, %.1f MB written   ",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::seconds>(now - started).count()),
                static_cast<double>(bytes) / (1 << 20));
            std::fflush(stdout);
        });
    std::string label;
    const bool ran = WithJobLock(options, [&] {
        folder = BackupFolder();
        label = OpcionText(DataBase(), "MobilBackupRestoreVolumeName", "");
        std::cout << "Backing up into " << folder << std::endl;
        BackupAll(folder, label, &report, options.acceptShrink);
        if (report.Good())
            RotateBackupFiles();
    });
    SetWaitHook(nullptr);
    if (tty)
        std::printf("\r%60s\r", "");
    if (!ran)
        return 2;
    if (report.stopped) {
        std::cout << "Stopped: no archive was kept.\n";
        return 1;
    }
    if (report.archiveName.empty()) {
        std::cout << "No archive was made: " << report.failure << "\n";
        return 1;
    }
    std::cout << folder + report.archiveName << "\n";
    if (!report.complete) {
        std::cout << "Incomplete, not counted as a backup; it lacks:";
        for (const auto& t : report.failedTables)
            std::cout << " " << t;
        std::cout << "\n";
        return 1;
    }
    int status = 0;
    if (report.shrunk) {
        std::cout << "Kept, but NOT counted as a backup: the database holds much less than at "
                     "the last good backup:\n";
        for (const auto& why : report.shrinkReasons)
            std::cout << "  - " << why << "\n";
        std::cout << "The older archives stay; none is deleted while this lasts. If the change "
                     "is meant, take the\nnew size as good: ZentaMarketMonitor backup "
                     "--accept-shrink\n";
        status = 1;
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
            status = 1;
    }
    if (report.drives.empty() && !TrimSpaces(label).empty())
        std::cout << "The backup drive " << TrimSpaces(label)
                  << " is not plugged in: no copy was made on it.\n";
    return status;
}

int CheckStructure(const Options& options) {
    if (!Connect())
        return 2;
    bool same = false;
    if (!WithJobLock(options, [&] {
            DataBase().SQLExecute("Flush Tables;");
            same = CompareDBStructure();
        }))
        return 2;
    if (same) {
        std::cout << "The database's structure matches the reference database.\n";
        return 0;
    }
    const std::string script = Globals::AppPath + "MySQLCompare.sql";
    std::error_code ec;
    if (std::filesystem::file_size(script, ec) == 0 || ec) {
        std::cerr << "The comparison could not run; the log says why: " << ProgramLogPath() << "\n";
        return 2;
    }
    std::cout << "The database's structure differs from the reference database. Statements "
                 "that would make it equal ("
              << script << ", nothing applied):\n\n";
    std::FILE* in = std::fopen(script.c_str(), "rb");
    char buffer[4096];
    size_t n;
    while (in && (n = std::fread(buffer, 1, sizeof buffer, in)) > 0)
        std::fwrite(buffer, 1, n, stdout);
    if (in)
        std::fclose(in);
    return 1;
}

int Workstations() {
    if (!Connect())
        return 2;
    clsOrdenadorEjecutando& w = OrdenadorEjecutando();
    const long count = w.Count();
    if (count == 0) {
        std::cout << "No computer is running the suite's programs.\n";
        return 0;
    }
    std::cout << count << " running: " << w.List() << "\n";
    return 0;
}

int IPUpdate(const Options& options) {
    if (!Connect())
        return 2;
    if (!ServerIsLocal) {
        std::cout << "This computer does not hold the database; the IP report is made there.\n";
        return 2;
    }
    if (!WithJobLock(options, IPUpdateProc))
        return 2;
    if (!IPReportSent()) {
        std::cout << "No IP report is due: the shop is not part of a chain, or its address is "
                     "fixed.\n";
        return 0;
    }
    std::cout << OutcomeValue("IPUpdate", "Message") << "\n";
    const std::string cause = OutcomeValue("IPUpdate", "Cause");
    if (!cause.empty())
        std::cout << cause << "\n";
    return OutcomeValue("IPUpdate", "Result") == "done" ? 0 : 1;
}

int RunCycleOnce(const Options& options) {
    if (!Connect())
        return 2;
    if (!WithJobLock(options, RunCycle))
        return 2;
    if (StopRequested()) {
        std::cout << "Stopped.\n";
        return 1;
    }
    if (!ServerIsLocal) {
        std::cout << "This computer does not hold the database: only the recordings' clean-up "
                     "ran.\n";
        return 0;
    }
    std::cout << "Cycle done. Last backup: " << OutcomeValue("Backup", "Result") << " "
              << OutcomeValue("Backup", "Time") << "\n";
    return BackupResultBad(OutcomeValue("Backup", "Result")) ? 1 : 0;
}

int ClearPrintQueues(const Options& options) {
    if (!options.yes) {
        if (!::isatty(0)) {
            std::cerr << "clear-print-queues asks first; say --yes when there is no terminal.\n";
            return 2;
        }
        std::cout << "Cancel every unprinted job of every print queue? [y/N] " << std::flush;
        std::string answer;
        std::getline(std::cin, answer);
        if (answer != "y" && answer != "Y" && answer != "yes") {
            std::cout << "Nothing cancelled.\n";
            return 0;
        }
    }
    CancelAllPrinterJobs();
    std::cout << "Every unprinted job was cancelled.\n";
    return 0;
}

void Progress(const std::string& line) {
    std::cout << line << std::endl;
}

int Restore(const Options& options) {
    if (!Connect())
        return 2;
    RestoreOptions restore;
    restore.database = options.database;
    restore.intoLive = options.intoLive;
    restore.passwordFile = options.passwordFile;
    restore.progress = Progress;
    RestoreReport report;
    if (!WithJobLock(options, [&] { report = RestoreArchive(options.archive, restore); }))
        return 2;
    if (!report.ok) {
        std::cerr << "Not restored: " << report.error << "\n";
        return 2;
    }
    long long rows = 0;
    for (const auto& t : report.tables)
        rows += t.rows;
    std::cout << "Restored " << report.tables.size() << " tables, " << rows
              << " rows, into the database " << report.database << ".\n";
    if (!report.savedLive.empty())
        std::cout << "The live database's tables before the restore are in " << report.savedLive
                  << ".\n";
    return 0;
}

int Verify(const Options& options) {
    if (!Connect())
        return 2;
    VerifyReport report;
    if (!WithJobLock(options, [&] {
            report = VerifyArchive(options.archive, Progress, options.passwordFile);
        }))
        return 2;
    if (report.tables.empty()) {
        std::cerr << "Not verified: " << report.error << "\n";
        return 2;
    }
    std::cout << (report.recorded ? "Compared with the figures recorded in the archive:\n"
                                  : "The archive records no figures; compared with the rows of "
                                    "its data files:\n");
    for (const auto& [expected, found] : report.tables) {
        const bool same = expected.rows == found.rows &&
                          (expected.checksum == -1 || expected.checksum == found.checksum);
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
    return report.ok ? 0 : 1;
}

} // namespace

int RunCommandLine(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (a == "--version") {
            std::cout << "ZentaMarketMonitor " << ProgramVersionText() << "\n";
            return 0;
        }
        if (a == "--yes" || a == "-y") {
            options.yes = true;
        } else if (a == "--accept-shrink") {
            options.acceptShrink = true;
        } else if (a == "--wait") {
            if (i + 1 >= argc)
                return BadUsage("--wait needs a number of seconds");
            char* end = nullptr;
            options.waitSeconds = std::strtol(argv[++i], &end, 10);
            if (!end || *end || options.waitSeconds < 0)
                return BadUsage("--wait needs a number of seconds");
        } else if (a == "--database") {
            if (i + 1 >= argc)
                return BadUsage("--database needs a name");
            options.database = argv[++i];
        } else if (a == "--password-file") {
            if (i + 1 >= argc)
                return BadUsage("--password-file needs a file");
            options.passwordFile = argv[++i];
        } else if (a == "--into-live") {
            options.intoLive = true;
        } else if (!a.empty() && a[0] != '-' && options.command.empty()) {
            options.command = a;
        } else if (!a.empty() && a[0] != '-' && options.archive.empty() &&
                   (options.command == "restore" || options.command == "verify")) {
            options.archive = a;
        } else {
            return BadUsage("unknown argument \"" + a + "\"");
        }
    }
    static const std::vector<std::string> commands = {
        "status",    "backup",    "check-structure",    "workstations",
        "ip-update", "run-cycle", "clear-print-queues", "restore",
        "verify"};
    if (options.command.empty())
        return BadUsage("no command given");
    if (std::find(commands.begin(), commands.end(), options.command) == commands.end())
        return BadUsage("unknown command \"" + options.command + "\"");

    if ((options.command == "restore" || options.command == "verify") && options.archive.empty())
        return BadUsage(options.command + " needs the archive");
    if (!options.archive.empty() && options.archive[0] != '/') {
        // Relative to where the technician stands, not to the program folder.
        char here[4096];
        if (::getcwd(here, sizeof here))
            options.archive = std::string(here) + "/" + options.archive;
    }
    SetUpProgramGlobals(true);
    HandleStopSignals();

    int status = 2;
    if (options.command == "status")
        status = Status();
    else if (options.command == "backup")
        status = Backup(options);
    else if (options.command == "check-structure")
        status = CheckStructure(options);
    else if (options.command == "workstations")
        status = Workstations();
    else if (options.command == "ip-update")
        status = IPUpdate(options);
    else if (options.command == "run-cycle")
        status = RunCycleOnce(options);
    else if (options.command == "clear-print-queues")
        status = ClearPrintQueues(options);
    else if (options.command == "restore")
        status = Restore(options);
    else if (options.command == "verify")
        status = Verify(options);
    ReleaseOrdenadorEjecutando();
    ReleaseDataBase();
    return status;
}

} // namespace zenta
