#include "Doctor.h"

#include "ArchiveNames.h"
#include "ArchivePassword.h"
#include "AutoBackupData.h"
#include "BackupHealth.h"
#include "BinaryLog.h"
#include "BinlogCopy.h"
#include "BinlogServer.h"
#include "Common.h"
#include "FolderListing.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "JobOutcomes.h"
#include "Metrics.h"
#include "OffsiteDoctor.h"
#include "Opcion.h"
#include "Pair.h"
#include "PairState.h"
#include "Process.h"
#include "RemovableDrives.h"
#include "Settings.h"
#include "SingleInstance.h"
#include "Text.h"
#include "clsDataBase.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <tuple>
#include <unistd.h>

namespace zenta {

namespace {

using Level = DoctorCheck::Level;

class Checks {
  public:
    void Good(const std::string& what, const std::string& text) {
        list_.push_back({Level::Good, what, text, ""});
    }
    void Warn(const std::string& what, const std::string& text, const std::string& fix) {
        list_.push_back({Level::Warning, what, text, fix});
    }
    void Fault(const std::string& what, const std::string& text, const std::string& fix) {
        list_.push_back({Level::Fault, what, text, fix});
    }
    std::vector<DoctorCheck> list_;
};

std::string Me() {
    return UserName(::geteuid());
}

std::string Mode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

long long FreeBytes(const std::string& folder) {
    struct statvfs vfs {};
    if (::statvfs(folder.c_str(), &vfs) != 0)
        return -1;
    return static_cast<long long>(vfs.f_bavail) * static_cast<long long>(vfs.f_frsize);
}

// A folder this user must write into: there, a folder, and writable (tried with a file).
void Writable(Checks& checks, const std::string& what, const std::string& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) {
        checks.Fault(what, folder + " does not exist",
                     "sudo install -d -o " + Me() + " -m 2770 '" + folder + "'");
        return;
    }
    const std::string probe = WithSlash(folder) + ".doctor-" + std::to_string(::getpid());
    std::FILE* f = std::fopen(probe.c_str(), "w");
    if (!f) {
        const std::string why = std::strerror(errno);
        const bool readOnly = errno == EROFS;
        const std::string owner = UserName(st.st_uid) + ":" + GroupName(st.st_gid);
        checks.Fault(what,
                     folder + " cannot be written by " + Me() + " (" + why + "; it belongs to " +
                         owner + ", mode " + Mode(st.st_mode) + ")",
                     readOnly
                         ? "the disk is mounted read-only: mount it read-write (sudo mount "
                           "-o remount,rw on its mount point) or move the folder"
                         : "sudo usermod -aG " + GroupName(st.st_gid) + " " + Me() +
                               " (then log in again), or sudo chown " + Me() + " '" + folder + "'");
        return;
    }
    std::fclose(f);
    std::remove(probe.c_str());
    checks.Good(what, folder + " is writable by " + Me());
}

// The settings' folder: where zentamarket.ini really is (through the program folder's link),
// writable as the program writes settings; and nothing left where earlier versions kept the
// registry store, the head office's addresses or an archive password (never read there).
void SettingsFolders(Checks& checks) {
    std::error_code e;
    const auto real = std::filesystem::canonical(Globals::AppPath + "zentamarket.ini", e);
    const std::string folder = e ? Globals::AppPath : real.parent_path().string() + "/";
    if (folder != Globals::AppPath)
        Writable(checks, "settings folder", folder);
    const char* override = std::getenv("ZENTA_LEGACY_SETTINGS");
    const std::string legacy = override && *override ? override : "/etc/zentamarket";
    std::vector<std::string> left;
    for (std::filesystem::directory_iterator it(legacy, e), end; !e && it != end; it.increment(e))
        left.push_back(it->path().filename().string());
    if (left.empty())
        return;
    std::sort(left.begin(), left.end());
    checks.Fault("settings folder",
                 legacy + " still holds " + JoinedReasons(left) +
                     ", which this version does not read: its settings are in " + folder,
                 "sudo mv -n " + legacy + "/* " + folder + " && sudo rmdir " + legacy +
                     " (and a setting that names a file there, such as ArchivePasswordFile, names "
                     "its new place)");
}

void Folders(Checks& checks) {
    Writable(checks, "program folder", Globals::AppPath);
    SettingsFolders(checks);
    Writable(checks, "log folder", Globals::AppPath + "Log/");
    Writable(checks, "backup folder", BackupFolder());
    const std::string path = JobLockPath(Globals::AppPath, Globals::ExecutableName);
    FileLock lock(path);
    if (lock.TryLock())
        checks.Good("job lock", path + " can be taken");
    else if (!lock.error().empty())
        checks.Fault("job lock", path + " cannot be opened: " + lock.error(),
                     "sudo chown " + Me() + " '" + path + "' && sudo chmod 660 '" + path + "'");
    else
        checks.Good("job lock", path + " is held by " +
                                    (FileLock::Holder(path).empty() ? std::string("a job")
                                                                    : FileLock::Holder(path)) +
                                    " (usable)");
}

// The suite's driver names, each with its library.
void Drivers(Checks& checks) {
    for (const char* name :
         {clsDataBase::kDriverUltimate, clsDataBase::kDriver28, clsDataBase::kDriver17}) {
        const std::string out = Globals::AppPath + "Temp/doctor-odbcinst.txt";
        CreateFolderPath(Globals::AppPath + "Temp/");
        const int status = RunProgramAndWait("odbcinst", {"-q", "-d", "-n", name}, "", out);
        const std::string text = ReadWholeFile(out).value_or("");
        std::remove(out.c_str());
        const std::string fix =
            "sudo dpkg-reconfigure zentamarket-monitor (or register it: printf '[" +
            std::string(name) +
            "]\\nDriver=/usr/lib/x86_64-linux-gnu/odbc/libmaodbc.so\\n' | sudo odbcinst -i -d "
            "-r)";
        if (status != 0 || text.find('[') == std::string::npos) {
            checks.Fault(std::string("ODBC driver ") + name, "not registered", fix);
            continue;
        }
        std::string library;
        const size_t at = text.find("\nDriver=");
        if (at != std::string::npos)
            library = TrimSpaces(text.substr(at + 8, text.find('\n', at + 8) - at - 8));
        if (library.empty() || (library[0] == '/' && !FileExists(library)))
            checks.Fault(std::string("ODBC driver ") + name,
                         "registered, but its library " +
                             (library.empty() ? std::string("is not named") : library) +
                             " is missing",
                         "sudo apt install odbc-mariadb; " + fix);
        else
            checks.Good(std::string("ODBC driver ") + name, "registered, " + library);
    }
}

std::string One(clsDataBase& db, const std::string& sql) {
    db.CreatDatasArray(sql);
    if (!db.ConnectionStatus() || db.DatasArray()->Count(1) == 0)
        return "";
    return db.DatasArrayValue(0, 0).ToString();
}

// The suite's accounts; the back-office one is the connection the rest uses.
bool Accounts(Checks& checks) {
    const std::string host = ConfiguredMySQLHost();
    const long port = ConfiguredMySQLPort();
    const std::string where = host + ":" + std::to_string(port);
    ConnectDataBase();
    const bool up = DataBase().ConnectionStatus();
    const std::string grant = "sudo mariadb -e \"CREATE USER IF NOT EXISTS '%1'@'%' IDENTIFIED BY "
                              "'...'; GRANT ALL PRIVILEGES ON *.* TO '%1'@'%';\"";
    if (up)
        checks.Good("database", "reachable at " + where + " as " + kBackOfficeUser + " (MariaDB " +
                                    One(DataBase(), "SELECT VERSION();") + ")");
    else
        checks.Fault("database",
                     "not reachable at " + where + " as " + kBackOfficeUser + ": " +
                         TrimSpaces(DataBase().LastError().Text()),
                     "is MariaDB running there (sudo systemctl start mariadb), is MySQLPort in " +
                         Globals::AppPath + "zentamarket.ini right, does the account exist (" +
                         ReplaceAll(grant, "%1", kBackOfficeUser) + ")?");
    clsDataBase suite;
    suite.Connect(host, port, "", clsDataBase::kDefaultUser, "");
    if (suite.ConnectionStatus())
        checks.Good("suite's account", std::string(clsDataBase::kDefaultUser) + " can log in");
    else
        checks.Fault("suite's account",
                     std::string(clsDataBase::kDefaultUser) +
                         " cannot log in: " + TrimSpaces(suite.LastError().Text()),
                     "the suite's programs log in with it: " +
                         ReplaceAll(grant, "%1", clsDataBase::kDefaultUser));
    return up;
}

// The backup's exports are written by the server itself: one row, for real, then removed.
void ExportFolder(Checks& checks, clsDataBase& db) {
    if (!ServerIsLocal) {
        checks.Good("export folder", "the database runs on another computer; its own monitor "
                                     "makes the backups");
        return;
    }
    const std::string folder = BackupWorkFolder();
    CreateFolderPath(folder);
    const std::string file = folder + "doctor-" + std::to_string(::getpid()) + ".txt";
    std::remove(file.c_str());
    db.SQLExecute("SELECT 'doctor' INTO OUTFILE '" + SQLEscape(file) + "';");
    const bool wrote = db.ConnectionStatus() && FileExists(file);
    const std::string why = db.ConnectionStatus() ? "" : TrimSpaces(db.LastError().Text());
    // The server's file may belong to its user: the folder's group lets the monitor remove it.
    std::remove(file.c_str());
    if (wrote) {
        checks.Good("export folder", "the server wrote a row into " + folder);
        return;
    }
    const std::string priv = One(db, "SELECT @@secure_file_priv;");
    struct stat st {};
    ::stat(folder.c_str(), &st);
    std::string text = "the server cannot write into " + folder + " (" + why + ")";
    std::string fix;
    if (!priv.empty() && priv != "NULL" && folder.rfind(WithSlash(priv), 0) != 0) {
        text += "; secure_file_priv is " + priv;
        fix = "set secure_file_priv = \"\" (or a parent of " + folder +
              ") in /etc/mysql/mariadb.conf.d/ and restart the server";
    } else {
        text += "; the folder belongs to " + UserName(st.st_uid) + ":" + GroupName(st.st_gid) +
                ", mode " + Mode(st.st_mode);
        fix = "sudo usermod -aG " + GroupName(st.st_gid) + " mysql && sudo chmod 2770 '" + folder +
              "' && sudo systemctl restart mariadb";
    }
    checks.Fault("export folder", text, fix);
}

void ServerSettings(Checks& checks, clsDataBase& db) {
    if (One(db, "SELECT @@GLOBAL.local_infile;") == "1")
        checks.Good("local_infile", "on (restore loads the archive's files with it)");
    else
        checks.Fault("local_infile", "off: restore and verify cannot load an archive",
                     "local_infile = 1 under [mariadbd] in /etc/mysql/mariadb.conf.d/ and "
                     "restart the server (or SET GLOBAL local_infile = 1 until then)");
    const auto binlog = ReadBinaryLogSettings(db);
    if (!binlog) {
        checks.Warn("binary log", "cannot be read: " + binlog.error(),
                    "grant the back-office account the right to read the server's variables");
        return;
    }
    const auto problems = binlog->Problems();
    if (!binlog->logBin)
        checks.Warn("binary log",
                    "off: point-in-time restore is off, a failure loses everything since the "
                    "last backup",
                    "the README's 60-zentamarket-binlog.cnf (log_bin, server_id, "
                    "binlog_format=ROW, sync_binlog=1, an expiry of at least 7 days), then sudo "
                    "systemctl restart mariadb");
    else if (!problems.empty())
        checks.Warn("binary log", binlog->Text() + ": " + JoinedReasons(problems),
                    "the settings of the README's 60-zentamarket-binlog.cnf, then sudo systemctl "
                    "restart mariadb");
    else
        checks.Good("binary log", binlog->Text());
    if (!binlog->logBin || !ServerIsLocal)
        return;
    // Its copy: running, and not on the disk that holds the data it is to outlive.
    const std::string folder = BinlogFolder(BackupFolder());
    if (folder.empty()) {
        checks.Warn("binary log copy", "off ([Monitor] BinlogFolder=off): no restore to a second",
                    "remove BinlogFolder=off under [Monitor] in " + Globals::AppPath +
                        "zentamarket.ini");
        return;
    }
    const BinlogCopyOutcome copy = BinlogCopyOutcome::Read();
    const std::time_t now = std::time(nullptr);
    if (!copy.problem.empty())
        checks.Fault("binary log copy", copy.problem,
                     "free room on the disk of " + folder +
                         " (or set [Monitor] BinlogFolder to a "
                         "larger disk); the copy fetches what it lacks again by itself");
    else if (copy.On() && !copy.Streaming(now))
        checks.Warn("binary log copy", copy.Text(now),
                    "is the monitor running here (sudo systemctl start zentamarket-monitor)? Is "
                    "the database server up?");
    else if (OnTheServersDataDisk(folder))
        checks.Warn("binary log copy",
                    folder + " is on the same disk as the server's data (a dead disk takes both)",
                    "set [Monitor] BinlogFolder to a folder on another disk");
    else
        checks.Good("binary log copy", folder + (copy.state == CopyState::NotStarted
                                                     ? std::string(" (the monitor copies it "
                                                                   "while it runs)")
                                                     : ", " + copy.Text(now)));
}

// Room for the next archive: twice the newest one.
void Space(Checks& checks, clsDataBase* db) {
    const std::string folder = BackupFolder();
    const auto good = GoodArchivesNewestFirst(folder);
    const long long newest = good.empty() ? 0 : FileLength(good.front());
    const long long need = 2 * newest;
    const long long free = FreeBytes(folder);
    if (free < 0)
        checks.Fault("space for backups", folder + " cannot be measured",
                     "create the folder (above)");
    else if (free < need)
        checks.Fault("space for backups",
                     Megabytes(free) + " free in " + folder + ", twice the newest archive is " +
                         Megabytes(need),
                     "lower MaxBackupFile or free space on that disk");
    else
        checks.Good(
            "space for backups",
            Megabytes(free) + " free in " + folder +
                (newest ? ", twice the newest archive is " + Megabytes(need) : std::string()));
    const std::string label = db ? OpcionText(*db, "MobilBackupRestoreVolumeName", "") : "";
    if (TrimSpaces(label).empty())
        return;
    const auto drives = DrivesWithLabel(label);
    if (drives.empty()) {
        checks.Warn("backup drive", "the drive labelled " + label + " is not plugged in",
                    "plug it in (it is found by its label)");
        return;
    }
    for (const auto& mount : drives) {
        const long long room = FreeBytes(mount);
        if (room >= 0 && room < need)
            checks.Fault("backup drive",
                         Megabytes(room) + " free on " + label + " (" + mount +
                             "), twice the newest archive is " + Megabytes(need),
                         "lower MaxMobilBackupFile or use a larger drive");
        else
            checks.Good("backup drive", label + " at " + mount + ", " + Megabytes(room) + " free");
    }
}

// As the archives' reader finds it: a link is refused there, so it is here.
void PasswordFile(Checks& checks) {
    using Kind = PasswordFileState::Kind;
    const std::string file = ConfiguredPasswordFile();
    if (file.empty())
        return;
    const PasswordFileState state = InspectPasswordFile(file);
    const std::string fix =
        "sudo chown " + Me() + " '" + file + "' && sudo chmod 600 '" + file + "'";
    switch (state.kind) {
    case Kind::Good:
        checks.Good("archive password file",
                    file + ", mode " + Mode(state.mode) + ", " + UserName(state.owner) + "'s");
        break;
    case Kind::Missing:
        checks.Fault("archive password file", file + " does not exist",
                     "create it (one line), then " + fix);
        break;
    case Kind::NotAFile:
        checks.Fault("archive password file", file + " is not a plain file (or is a link)",
                     "make it a file of its own");
        break;
    case Kind::OpenToOthers:
        checks.Fault("archive password file",
                     file + " is open to other users (mode " + Mode(state.mode) + ")", fix);
        break;
    case Kind::Unreadable:
        checks.Fault("archive password file", file + " cannot be read by " + Me(), fix);
        break;
    case Kind::Empty:
    case Kind::TooLong:
        checks.Fault("archive password file", state.why,
                     "put the password on the file's first line (at most 1000 characters)");
        break;
    }
}

void Clocks(Checks& checks, clsDataBase& db) {
    const long long server = std::atoll(One(db, "SELECT UNIX_TIMESTAMP();").c_str());
    const long long here = static_cast<long long>(std::time(nullptr));
    const long long off = server - here;
    if (server <= 0)
        checks.Warn("clocks", "the server's clock cannot be read", "");
    else if (off > 60 || off < -60)
        checks.Warn("clocks",
                    "the database server's clock is " + std::to_string(off < 0 ? -off : off) +
                        " s " + (off < 0 ? "behind" : "ahead of") + " this computer's",
                    "set both to the network's time: sudo timedatectl set-ntp true");
    else
        checks.Good("clocks",
                    "the server's and this computer's agree (" + std::to_string(off) + " s)");
    for (const char* key : {"LastDateAutoBackup", "UltimaFechaAutoEliminarTicket"}) {
        const std::string days = One(db, std::string("SELECT IntegerValor - TO_DAYS(NOW()) FROM "
                                                     "opcion WHERE ID = '") +
                                             key + "';");
        if (!days.empty() && std::atol(days.c_str()) > 0)
            checks.Warn(std::string("recorded day ") + key,
                        "lies " + days +
                            " days in the future (the clock was wrong once); the "
                            "job counts as due, and records today when it runs",
                        "nothing to do once the clocks are right; or: UPDATE opcion SET "
                        "IntegerValor = TO_DAYS(NOW()) WHERE ID = '" +
                            std::string(key) + "'");
        else if (!days.empty())
            checks.Good(std::string("recorded day ") + key, "not in the future");
    }
}

void Programs(Checks& checks) {
    for (const auto& [program, package, why] :
         std::vector<std::tuple<std::string, std::string, std::string>>{
             {"7zz", "7zip", "packs and tests the archives"},
             {"mariadb", "mariadb-client", "replays the binary log"},
             {BinlogProgram(), "mariadb-client", "copies the server's binary log"}}) {
        const std::string found = FindProgram(program);
        if (found.empty())
            checks.Fault("program " + program, "not found (" + why + ")",
                         "sudo apt install " + package);
        else
            checks.Good("program " + program, found);
    }
    const std::string metrics = TrimSpaces(GetSetting("Monitor", "MetricsFolder", ""));
    if (!metrics.empty())
        Writable(checks, "metrics folder", metrics);
    for (const char* key : {"PostBackupCommand", "PostBinlogCommand"}) {
        const std::string line = TrimSpaces(GetSetting("Monitor", key, ""));
        if (line.empty())
            continue;
        const std::string program = line.substr(0, line.find_first_of(" \t"));
        const std::string found = FindProgram(program);
        if (found.empty())
            checks.Fault(key, "its program " + program + " is not found",
                         "install it or name it with its full path in [Monitor] " +
                             std::string(key));
        else
            checks.Good(key, "runs " + found);
    }
}

void Backups(Checks& checks) {
    const BackupHealth health = CurrentBackupHealth(std::time(nullptr));
    if (health.lastGood.empty())
        checks.Warn("last good backup", "none recorded",
                    "ZentaMarketMonitor backup (then it runs every night by itself)");
    else if (health.warn)
        checks.Warn("last good backup",
                    health.lastGood + " (" + std::to_string(health.ageHours) +
                        " hours ago): " + health.reason,
                    "ZentaMarketMonitor status says why; ZentaMarketMonitor backup makes one now");
    else
        checks.Good("last good backup",
                    health.lastGood + " (" + std::to_string(health.ageHours) + " hours ago)");
    const JobOutcome verify = JobOutcome::Read("Verify");
    if (verify.empty())
        checks.Warn("last verification", "none recorded",
                    "ZentaMarketMonitor verify ARCHIVE, or VerifyWeekly=1 under [Monitor] in " +
                        Globals::AppPath + "zentamarket.ini");
    else if (verify.result() != "good")
        checks.Fault("last verification",
                     verify.time() + ": " + verify["Archive"] + " did NOT restore as made (" +
                         verify["Error"] + ")",
                     "ZentaMarketMonitor verify " + verify["Archive"] +
                         " says which table; make a new backup and keep the old archive");
    else
        checks.Good("last verification", verify.time() + ", " + verify["Archive"] + ", good");
}

// A pair of servers: each server's settings, the accounts, and where this one stands.
void Pair(Checks& checks, clsDataBase& db) {
    const auto partner = ConfiguredPartner();
    if (!partner)
        return;
    const std::string fix = "the README's pair settings (60-zentamarket-pair.cnf, server_id "
                            "different on each computer), then sudo systemctl restart mariadb";
    const auto own = ReadPairServerSettings(db);
    if (!own)
        checks.Fault("pair: this server", own.error(), "");
    else if (const auto problems = own->Problems(); !problems.empty())
        checks.Fault("pair: this server", JoinedReasons(problems), fix);
    else
        checks.Good("pair: this server",
                    "set for a pair (server_id " + std::to_string(own->serverId) + ")");
    const std::string floating = TrimBlanks(GetSetting("Standby", "FloatingAddress", ""));
    if (own)
        for (const auto& problem : own->ListenProblems(partner->host, floating))
            checks.Fault("pair: where this server listens", problem, "");
    for (const auto& p : PairAccountProblems(db))
        checks.Fault("pair: accounts", p.text,
                     p.fix.empty() ? "" : "as root on both servers: " + p.fix);
    clsDataBase other;
    const std::string where = partner->host + ":" + std::to_string(partner->port);
    if (!ConnectToServer(other, partner->host, partner->port)) {
        checks.Warn("pair: the other server",
                    where + " cannot be reached: " + other.LastError().Text(),
                    "is the other computer on, its server up and listening on the network "
                    "(bind_address = 0.0.0.0 in its 60-zentamarket-pair.cnf: Debian's own "
                    "50-server.cnf sets 127.0.0.1), and [Standby] Host/Port right?");
        return;
    }
    const auto theirs = ReadPairServerSettings(other);
    if (theirs && own && theirs->serverId == own->serverId)
        checks.Fault("pair: the other server",
                     where + " has the same server_id " + std::to_string(own->serverId),
                     "server_id = 2 in the other computer's 60-zentamarket-pair.cnf");
    else if (theirs && !theirs->Problems().empty())
        checks.Fault("pair: the other server", where + ": " + JoinedReasons(theirs->Problems()),
                     "on the other computer: " + fix);
    else if (theirs)
        checks.Good("pair: the other server", where + " answers, set for a pair (server_id " +
                                                  std::to_string(theirs->serverId) + ")");
    // It answers here, so it listens where this computer reaches it; the tills' address too?
    if (theirs && !floating.empty())
        for (const auto& problem : theirs->ListenProblems(partner->host, floating))
            checks.Fault("pair: where the other server listens", where + ": " + problem, "");
    const PairState state = PairState::Read();
    if (const std::string warning = state.Warning(StandbyWarnSeconds()); !warning.empty())
        checks.Warn("pair: state", warning, "ZentaMarketMonitor standby status says more");
    else if (state.role)
        checks.Good("pair: state", "this server is the " + RoleText(*state.role));
}

} // namespace

std::vector<DoctorCheck> RunDoctor() {
    Checks checks;
    Folders(checks);
    Drivers(checks);
    const bool up = Accounts(checks);
    if (up) {
        clsDataBase& db = DataBase();
        ExportFolder(checks, db);
        ServerSettings(checks, db);
        Pair(checks, db);
        Clocks(checks, db);
        for (auto& c : OffsiteDoctorChecks(db))
            checks.list_.push_back(c);
    }
    Space(checks, up ? &DataBase() : nullptr);
    PasswordFile(checks);
    Programs(checks);
    Backups(checks);
    return checks.list_;
}

} // namespace zenta
