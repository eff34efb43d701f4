#include "CommandLine.h"

#include "AutoBackupData.h"
#include "AutoRunProc.h"
#include "BackupAll.h"
#include "Common.h"
#include "CompararDBEstructura.h"
#include "ErrorMode.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "IPUpdate.h"
#include "JobLock.h"
#include "JobOutcomes.h"
#include "MenuCommands.h"
#include "Metrics.h"
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
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <iostream>
#include <set>
#include <string>
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
    bool yes = false;
    bool acceptShrink = false;
    long waitSeconds = 1800;
    std::set<std::string> given; // the options named on the command line
};

// The options: what each takes and which commands take it.
struct OptionSpec {
    const char* name;
    const char* argument; // nullptr for a switch
    const char* help;
    std::vector<std::string> commands;
};

const std::vector<OptionSpec>& OptionTable() {
    static const std::vector<OptionSpec> options = {
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
    DriveStatus(connected ? OpcionText(DataBase(), "MobilBackupRestoreVolumeName", "")
                          : DriveOutcome::Read().label);
    if (connected)
        ArchivesStatus();
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

Outcome Backup(const Options& options) {
    BackupReport report;
    const std::string folder = BackupFolder();
    const std::string label = OpcionText(DataBase(), "MobilBackupRestoreVolumeName", "");
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
    std::cout << "Backing up into " << folder << std::endl;
    std::string into = folder, drive = label;
    BackupAll(into, drive, &report, options.acceptShrink);
    if (report.Good())
        RotateBackupFiles();
    SetWaitHook(nullptr);
    if (tty)
        std::printf("\r%60s\r", "");
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
    IPUpdateProc();
    if (!IPReportSent()) {
        std::cout << "No IP report is due: the shop is not part of a chain, or its address is "
                     "fixed.\n";
        return Outcome::Good;
    }
    const JobOutcome ip = JobOutcome::Read("IPUpdate");
    std::cout << ip["Message"] << "\n";
    if (!ip["Cause"].empty())
        std::cout << ip["Cause"] << "\n";
    return ip.result() == "done" ? Outcome::Good : Outcome::NotGood;
}

Outcome RunCycleOnce(const Options&) {
    RunCycle();
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
    CancelAllPrinterJobs();
    std::cout << "Every unprinted job was cancelled.\n";
    return Outcome::Good;
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
    return report.ok ? Outcome::Good : Outcome::NotGood;
}

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"status", nullptr,
         "the database, the server and this computer, the last backup,\npurge, stock renewal "
         "and IP report, and whether a monitor runs here",
         Needs::Nothing, Status},
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
        {"restore", "ARCHIVE",
         "restores an archive into a new database\n(zentasupermarket_restore_<time>, or "
         "--database NAME); into the\nlive database only with --into-live, which backs it up "
         "first",
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
            const auto spec = std::find_if(OptionTable().begin(), OptionTable().end(),
                                           [&](const OptionSpec& o) { return a == o.name; });
            if (spec == OptionTable().end())
                return bad("unknown argument \"" + a + "\"");
            std::string value;
            if (spec->argument) {
                if (i + 1 >= argc)
                    return bad(a + " needs " + AsciiLowerCase(spec->argument));
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
        const auto spec = std::find_if(OptionTable().begin(), OptionTable().end(),
                                       [&](const OptionSpec& o) { return name == o.name; });
        if (std::find(spec->commands.begin(), spec->commands.end(), options.command) ==
            spec->commands.end())
            return bad(name + " is not an option of " + options.command);
    }
    if (command->operand && options.archive.empty())
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
    HandleStopSignals();
    Outcome outcome = Dispatch(command, *options);
    // What was done is only known to the monitor, the tray and the metrics through the record.
    if (const std::string problem = RecordProblem(); !problem.empty()) {
        std::cerr << "Warning: " << problem << "\n";
        if (outcome == Outcome::Good)
            outcome = Outcome::NotGood;
    }
    ReleaseOrdenadorEjecutando();
    ReleaseDataBase();
    return ExitStatus(outcome);
}

} // namespace zenta
