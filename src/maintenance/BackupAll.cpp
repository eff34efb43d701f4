#include "BackupAll.h"

#include "ArchivePassword.h"
#include "CodePage.h"
#include "Common.h"
#include "ErrorMode.h"
#include "FolderListing.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "Hourglass.h"
#include "JobOutcomes.h"
#include "Opcion.h"
#include "Process.h"
#include "RemovableDrives.h"
#include "Restore.h"
#include "Settings.h"
#include "SevenZip.h"
#include "Text.h"
#include "TodoSobreMySQLServer.h"
#include "Transaction.h"
#include "clsSystem.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace zenta {

namespace fs = std::filesystem;

namespace {

// An ANSI text file with CR LF line ends, as the suite's restore reads it.
class AnsiTextFile {
  public:
    explicit AnsiTextFile(const std::string& path)
        : out_(path, std::ios::binary | std::ios::trunc) {}
    bool ok() const { return static_cast<bool>(out_); }
    void WriteLine(const std::string& utf8) { out_ << ToAnsi(utf8) << "\r\n"; }
    bool Close() {
        out_.flush();
        bool good = static_cast<bool>(out_);
        out_.close();
        return good;
    }

  private:
    std::ofstream out_;
};

// The CREATE TABLE statement as the structure files carry it.
std::string StructureStatement(clsDataBase& db, const std::string& qualifiedName) {
    db.CreatDatasArray("SHOW create table " + qualifiedName + ";");
    if (!db.ConnectionStatus() || db.DatasArray()->Count(1) == 0)
        return {};
    std::string statement = db.DatasArrayValue(0, 1).ToString() + ";";
    statement = ReplaceAll(statement, "`", "");
    statement = ReplaceAll(statement, "\r\n", "\n");
    return ReplaceAll(statement, "\n", "\r\n");
}

void WriteStructures(clsDataBase& db, AnsiTextFile& file, const std::string& listQuery,
                     const std::string& prefix) {
    db.CreatDatasArray(listQuery);
    if (!db.ConnectionStatus())
        return;
    const auto tables = db.DatasArray();
    for (long r = tables->LowerBound(1); r <= tables->UpperBound(1); ++r) {
        const std::string statement =
            StructureStatement(db, prefix + TrimSpaces(tables->Value(r, 0).ToString()));
        if (statement.empty())
            continue;
        file.WriteLine(statement);
        file.WriteLine("");
    }
}

// Lists a folder without following links: name and whether it is a plain file.
std::vector<std::pair<std::string, bool>> FolderEntries(const std::string& folder) {
    std::vector<std::pair<std::string, bool>> entries;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        entries.emplace_back(it->path().filename().string(),
                             it->symlink_status(ec).type() == fs::file_type::regular);
    return entries;
}

// Empties the working folder when it goes out of scope: the shop's table exports never stay
// on disk longer than the backup that needs them.
class WorkFolderGuard {
  public:
    explicit WorkFolderGuard(std::string folder) : folder_(std::move(folder)) {}
    ~WorkFolderGuard() { EmptyBackupWorkFolder(folder_); }
    WorkFolderGuard(const WorkFolderGuard&) = delete;
    WorkFolderGuard& operator=(const WorkFolderGuard&) = delete;

  private:
    std::string folder_;
};

// Removes what a packing killed half-way (a power cut, SIGKILL) left in the folder.
void RemovePartialArchives(const std::string& folder) {
    for (const auto& name : DirNames(folder + "ZentaMarket*.ZTB.partial", vbHidden | vbSystem)) {
        std::error_code ec;
        if (fs::remove(folder + name, ec))
            WriteProgramLog("BackupAll: removed " + folder + name + ", left by a packing that " +
                            "did not finish");
    }
}

// When the server refused to write a table's file into the working folder for a reason that
// holds for every table, what to tell the technician; "" otherwise.
std::string ServerCannotWriteHere(clsDataBase& db, const std::string& work) {
    const OdbcError error = db.LastError();
    const std::string text = error.Text();
    bool refused = false;
    for (const auto& record : error.records)
        refused = refused || record.native == 1290;
    if (refused) {
        // The server answers so both when secure_file_priv names another folder and when it
        // cannot even reach this one (its path check fails on a folder closed to it).
        db.CreatDatasArray("SELECT @@secure_file_priv;");
        const std::string allowed = db.ConnectionStatus() && db.DatasArray()->Count(1) > 0
                                        ? db.DatasArrayValue(0, 0).ToString()
                                        : std::string();
        if (!allowed.empty())
            return "the database server's option secure_file_priv (" + allowed +
                   ") forbids it to write the table exports into " + work +
                   ": set secure_file_priv=\"\" in its configuration and restart it";
    }
    if (refused || text.find("Errcode: 13") != std::string::npos ||
        text.find("Permission denied") != std::string::npos ||
        text.find("Errcode: 30") != std::string::npos)
        return "the database server cannot write into the working folder " + work +
               " (permission denied): its user (mysql) must belong to the folder's group and the "
               "folder must be group-writable, for example: usermod -a -G zentamarket mysql; "
               "chgrp zentamarket " +
               work + "; chmod 2770 " + work + "; then restart the database server";
    return {};
}

bool SyncPath(const std::string& path, bool directory) {
    int fd = ::open(path.c_str(), (directory ? O_DIRECTORY : 0) | O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

} // namespace

std::string BackupWorkFolder() {
    return Globals::AppPath + "Temp/Backup/";
}

bool EmptyBackupWorkFolder(const std::string& folder) {
    bool ok = true;
    for (const auto& [name, plain] : FolderEntries(folder)) {
        std::error_code ec;
        // remove_all deletes a link itself, never what it points at.
        fs::remove_all(folder + name, ec);
        if (ec)
            ok = false;
    }
    return ok;
}

void CleanBackupWorkFolder() {
    const std::string work = BackupWorkFolder();
    std::error_code ec;
    if (fs::symlink_status(work, ec).type() == fs::file_type::directory &&
        !EmptyBackupWorkFolder(work))
        WriteProgramLog("the backup's working folder " + work + " cannot be emptied");
}

Result<Done> PrepareBackupWorkFolder(const std::string& work) {
    std::string folder = work;
    if (!folder.empty() && folder.back() == '/')
        folder.pop_back();
    std::error_code ec;
    const auto type = fs::symlink_status(folder, ec).type();
    if (type != fs::file_type::directory && type != fs::file_type::not_found) {
        // A link or a file planted where the folder belongs is never written through.
        fs::remove(folder, ec);
        if (ec)
            return Result<Done>::Failure("the working folder " + work +
                                         " is not a folder and cannot be removed");
    }
    if (!DirExists(work) && !CreateFolderPath(work))
        return Result<Done>::Failure("the working folder cannot be created: " + work);
    // The program and the database server (through the folder's group) only; the set-group
    // bit of an installation that shares the folder with the server's group is kept.
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return Result<Done>::Failure("the working folder " + work + " is not a folder");
    if (::chmod(folder.c_str(), (st.st_mode & S_ISGID) | 0770) != 0)
        return Result<Done>::Failure("the working folder's permissions cannot be set: " + work);
    if (!EmptyBackupWorkFolder(work))
        return Result<Done>::Failure("the working folder cannot be emptied: " + work);
    return Done{};
}

bool CopyFileSafely(const std::string& from, const std::string& to, std::string* error) {
    const std::string partial = to + ".partial";
    std::error_code ec;
    fs::copy_file(from, partial, fs::copy_options::overwrite_existing, ec);
    if (!ec) {
        // The archive must be on the drive, not in a cache, before it counts as copied.
        int fd = ::open(partial.c_str(), O_RDONLY);
        if (fd >= 0) {
            if (::fsync(fd) != 0)
                ec = std::error_code(errno, std::generic_category());
            ::close(fd);
        }
    }
    if (!ec)
        fs::rename(partial, to, ec);
    if (ec) {
        std::error_code ignore;
        fs::remove(partial, ignore);
        if (error)
            *error = ec.message();
        return false;
    }
    return true;
}

std::vector<std::string> CopyArchiveToDrives(const std::string& backupFolder,
                                             const std::string& name,
                                             const std::string& volumeLabel) {
    std::vector<std::string> copied;
    for (const auto& mount : DrivesWithLabel(volumeLabel)) {
        if (!DirExists(mount))
            continue;
        const std::string target = WithSlash(mount) + "ZentaBackup/";
        if (!DirExists(target))
            ::mkdir(target.c_str(), 0750);
        RemovePartialArchives(target);
        if (FileExists(target + name))
            continue;
        std::string why;
        if (CopyFileSafely(WithSlash(backupFolder) + name, target + name, &why))
            copied.push_back(target + name);
        else
            WriteProgramLog("BackupAll: copy to " + target + " failed: " + why);
    }
    return copied;
}

namespace {

std::string WriteBackup(std::string& backupFolder, std::string& volumeLabel, BackupReport* report) {
    Hourglass hourglass;
    BackupReport local;
    BackupReport& rep = report ? *report : local;
    rep = BackupReport{};
    clsDataBase& db = DataBase();
    const auto started = std::chrono::steady_clock::now();

    backupFolder = WithSlash(backupFolder);
    if (backupFolder.find('"') != std::string::npos) {
        // 7-Zip's command line cannot carry the character: the archive would go elsewhere.
        ReportFailure("BackupAll", "the backup folder " + backupFolder +
                                       " contains a double quote, which the archiver cannot "
                                       "take; no backup made");
        return {};
    }
    if (!DirExists(backupFolder))
        CreateFolderPath(backupFolder);
    if (!IsFolder(backupFolder)) {
        ReportFailure("BackupAll", "the backup folder " + backupFolder +
                                       " is not a folder and cannot be made one; no backup made");
        return {};
    }

    // An archive meant to be encrypted is never written in the clear instead.
    const auto configuredPassword = ConfiguredArchivePassword();
    if (!configuredPassword) {
        ReportFailure("BackupAll", configuredPassword.error() + "; no backup made");
        return {};
    }
    const std::string work = BackupWorkFolder();
    if (const auto prepared = PrepareBackupWorkFolder(work); !prepared) {
        ReportFailure("BackupAll", prepared.error() + "; no backup made");
        return {};
    }
    WorkFolderGuard emptyAfterwards(work);
    std::set<std::string> written; // the files this backup put into the working folder
    std::string checks;            // "table=rows,checksum" lines
    auto missing = [&](const std::string& what) { rep.failedTables.push_back(what); };

    {
        AnsiTextFile manifest(work + "MarketBackup.ini");
        clsSystem system;
        manifest.WriteLine("[Version]");
        manifest.WriteLine("Versoin=3");
        manifest.WriteLine("OSVersion=" + system.OSVersion());
        manifest.WriteLine("OSName=" + system.OSName());
        manifest.WriteLine("MySQL=" + db.MySQLVersion());
        db.CreatDatasArray("Select Integervalor / 100 From opcion Where ID = 'Version';");
        if (db.ConnectionStatus() && db.DatasArray()->Count(1) > 0)
            manifest.WriteLine("ZentaSuperMarket=" +
                               FormatFixed2(db.DatasArrayValue(0, 0).ToDouble()));
        manifest.WriteLine("CPUID=" + GetProcessorID());
        manifest.WriteLine("");
        manifest.WriteLine("[Backup]");
        manifest.WriteLine("Dump=0");
        const auto now = MySQLServerNow();
        manifest.WriteLine("DateTime=" + (now ? now->StampText() : std::string()));
        if (!manifest.Close() || !now)
            missing("MarketBackup.ini");
        written.insert("MarketBackup.ini");
    }

    const bool includePictures = OpcionBool(db, "BackupGoodsPictureInclude", true);

    {
        AnsiTextFile stru(work + "STRU.SQL");
        written.insert("STRU.SQL");
        db.SQLExecute("FLUSH TABLES;");
        // Cashiers keep selling while the tables are written: one snapshot for all of them,
        // so that a restore never holds ticket lines without their ticket.
        // Read only: it ends (rolled back, nothing to keep) when this block is left.
        Transaction snapshot(db, Transaction::Kind::ConsistentSnapshot);
        db.CreatDatasArray("SHOW tables;");
        if (db.ConnectionStatus()) {
            const auto tables = db.DatasArray();
            const std::string literalFolder = SQLEscape(work);
            for (long r = tables->LowerBound(1); r <= tables->UpperBound(1); ++r) {
                if (StopRequested())
                    break;
                const std::string table = tables->Value(r, 0).ToString();
                ++rep.tables;
                if (AsciiLowerCase(table) != "articulodibujo" || includePictures) {
                    db.SQLExecute(
                        "select * into outfile '" + literalFolder + SQLEscape(table) +
                        ".dat' FIELDS TERMINATED BY ','  LINES TERMINATED BY '\\r\\n' from " +
                        table + ";");
                    written.insert(table + ".dat");
                    if (db.ConnectionStatus()) {
                        // The table's figures, read in the same snapshot, for verification.
                        std::string figures;
                        db.CreatDatasArray("SELECT COUNT(*) FROM " + table + ";");
                        if (db.ConnectionStatus() && db.DatasArray()->Count(1) > 0)
                            figures = db.DatasArrayValue(0, 0).ToString();
                        db.CreatDatasArray("CHECKSUM TABLE " + table + ";");
                        if (!figures.empty() && db.ConnectionStatus() &&
                            db.DatasArray()->Count(1) > 0)
                            checks += table + "=" + figures + "," +
                                      db.DatasArrayValue(0, 1).ToString() + "\r\n";
                        else
                            missing(table + " (figures)");
                    }
                    if (!db.ConnectionStatus()) {
                        missing(table);
                        const std::string why = ServerCannotWriteHere(db, work);
                        if (!why.empty()) {
                            // Every other table would fail the same way: say what to do.
                            ReportFailure("BackupAll", why + "; no backup made");
                            return {};
                        }
                    }
                }
                const std::string statement = StructureStatement(db, TrimSpaces(table));
                if (statement.empty()) {
                    missing(table + " (structure)");
                    continue;
                }
                stru.WriteLine(statement);
                stru.WriteLine("");
            }
        } else {
            missing("(table list)");
        }
        snapshot.Rollback();
        if (!stru.Close())
            missing("STRU.SQL");
    }
    {
        // Beside the suite's files, which stay as they are: every exported table's row count
        // and checksum, for "verify".
        std::ofstream out(work + kTableChecksFile, std::ios::binary | std::ios::trunc);
        out << "[Checks]\r\nFormat=1\r\n\r\n[Tables]\r\n" << checks;
        written.insert(kTableChecksFile);
        if (!out.flush())
            missing(kTableChecksFile);
    }
    if (StopRequested()) {
        rep.stopped = true;
        WriteProgramLog("BackupAll: stopped, the program is ending; no archive made");
        return {};
    }
    {
        AnsiTextFile basic(work + "STRUBASIC.SQL");
        written.insert("STRUBASIC.SQL");
        WriteStructures(db, basic, "SHOW tables IN zentasupermarketbasic;",
                        "zentasupermarketbasic.");
        if (!basic.Close())
            missing("STRUBASIC.SQL");
    }

    const std::string settings = Globals::AppPath + "zentamarket.ini";
    if (FileExists(settings)) {
        std::error_code ec;
        fs::copy_file(settings, work + "zentamarket.ini", fs::copy_options::overwrite_existing, ec);
        written.insert("zentamarket.ini");
        if (ec)
            missing("zentamarket.ini");
    }

    // Only what this backup wrote goes into the archive, and only as plain files: anything
    // else found here (a planted link, a folder) is removed, never followed.
    for (const auto& [name, plain] : FolderEntries(work)) {
        if (plain && written.count(name))
            continue;
        std::error_code ec;
        fs::remove_all(work + name, ec);
        WriteProgramLog("BackupAll: removed " + work + name +
                        ", which this backup did not write, before packing");
    }
    for (const auto& name : written)
        if (!FileExists(work + name) &&
            std::find(rep.failedTables.begin(), rep.failedTables.end(), name) ==
                rep.failedTables.end() &&
            std::find(rep.failedTables.begin(), rep.failedTables.end(),
                      name.substr(0, name.size() - 4)) == rep.failedTables.end())
            missing(name);

    const auto now = MySQLServerNow();
    if (!now) {
        ReportFailure("BackupAll", "the server's clock cannot be read; no archive made");
        return {};
    }
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d%02d", now->year, now->month, now->day,
                  now->hour, now->minute, now->second);
    const std::string name = std::string("ZentaMarket") + stamp + ".ZTB";
    RemovePartialArchives(backupFolder);
    // Packed under a name the rotation never counts; it gets its final name once tested.
    std::string partial = backupFolder + name + ".partial";
    std::string source = work;
    std::string password = *configuredPassword;
    const short status = SevenZipCompress(partial, source, true, password, 5);
    auto discard = [&](const std::string& what) {
        std::error_code ec;
        fs::remove(backupFolder + name + ".partial", ec);
        ReportFailure("BackupAll", what);
    };
    if (status == kStoppedByRequest || StopRequested()) {
        rep.stopped = true;
        std::error_code ec;
        fs::remove(backupFolder + name + ".partial", ec);
        WriteProgramLog("BackupAll: packing stopped, the program is ending; no archive made");
        return {};
    }
    if (!FileExists(backupFolder + name + ".partial")) {
        discard("no archive was written (7-Zip status " + std::to_string(status) + ")");
        return {};
    }
    // A backup that cannot be read back is no backup: test it before it counts.
    if (status >= 2 || status < 0 ||
        SevenZipTest(backupFolder + name + ".partial", password) != 0 ||
        !IsWhole7zArchive(backupFolder + name + ".partial")) {
        discard("the archive " + name + " failed its test (7-Zip status " + std::to_string(status) +
                ") and was removed");
        return {};
    }
    if (status == 1)
        missing("(files the archiver could not read)");
    rep.complete = rep.failedTables.empty();
    // An archive that lacks a table is kept for what it holds, under a name that says so and
    // that the rotation does not count as a backup.
    const std::string finalName =
        rep.complete ? name : std::string("ZentaMarket") + stamp + "-INCOMPLETE.ZTB";
    ::chmod((backupFolder + name + ".partial").c_str(), 0640);
    SyncPath(backupFolder + name + ".partial", false);
    std::error_code ec;
    fs::rename(backupFolder + name + ".partial", backupFolder + finalName, ec);
    if (ec) {
        discard("the archive cannot be given its name " + finalName + ": " + ec.message());
        return {};
    }
    SyncPath(backupFolder, true);
    rep.archiveName = finalName;
    rep.archiveBytes = FileLength(backupFolder + finalName);
    rep.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!rep.complete) {
        std::string list;
        for (auto& t : rep.failedTables)
            list += (list.empty() ? "" : ", ") + t;
        ReportFailure("BackupAll", "the archive lacks " + list + "; kept as " + backupFolder +
                                       finalName + ", which does not count as a backup");
        return finalName;
    }

    if (!TrimSpaces(volumeLabel).empty())
        rep.copiedTo = CopyArchiveToDrives(backupFolder, name, volumeLabel);
    return name;
}

} // namespace

std::string BackupAll(std::string& backupFolder, std::string& volumeLabel, BackupReport* report) {
    BackupReport local;
    BackupReport& rep = report ? *report : local;
    const std::string name = WriteBackup(backupFolder, volumeLabel, &rep);
    const bool good = !rep.archiveName.empty() && rep.complete;
    const std::string result = rep.stopped               ? "stopped"
                               : rep.archiveName.empty() ? "failed"
                               : rep.complete            ? "good"
                                                         : "incomplete";
    const std::string path =
        rep.archiveName.empty() ? "" : WithSlash(backupFolder) + rep.archiveName;
    std::string missing;
    for (const auto& t : rep.failedTables)
        missing += (missing.empty() ? "" : ", ") + t;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", rep.seconds);
    const std::string now = DateTime::Now().StampText();
    OutcomeValues values = {{"Time", now},        {"Result", result},
                            {"Archive", path},    {"Bytes", std::to_string(rep.archiveBytes)},
                            {"Seconds", seconds}, {"Tables", std::to_string(rep.tables)},
                            {"Missing", missing}};
    if (good) {
        values.push_back({"LastGoodArchive", path});
        values.push_back({"LastGoodTime", now});
        values.push_back({"LastGoodBytes", std::to_string(rep.archiveBytes)});
        WriteProgramLog("backup made: " + path + ", " + std::to_string(rep.archiveBytes) +
                        " bytes, " + seconds + " s, " + std::to_string(rep.tables) +
                        " tables, tested good");
    }
    RecordOutcome("Backup", values);
    if (good)
        RunPostBackupCommand(path);
    return name;
}

void RunPostBackupCommand(const std::string& archive) {
    const std::string command = GetSetting("Monitor", "PostBackupCommand", "");
    if (TrimSpaces(command).empty())
        return;
    const long limit = std::max(
        1L,
        static_cast<long>(std::atol(GetSetting("Monitor", "PostBackupTimeout", "3600").c_str())));
    // The technician's line runs in a shell with the archive as its last argument.
    char output[] = "/tmp/zenta-postbackup-XXXXXX";
    int fd = ::mkstemp(output);
    if (fd >= 0)
        ::close(fd);
    const auto started = std::chrono::steady_clock::now();
    const int status =
        RunProgramAndWait("/bin/sh", {"-c", command + " \"$1\"", "sh", archive}, Globals::AppPath,
                          fd >= 0 ? output : "", std::chrono::seconds(limit));
    std::string tail;
    if (fd >= 0) {
        tail = ReadWholeFile(output).value_or("");
        std::remove(output);
    }
    if (tail.size() > 1000)
        tail = "..." + tail.substr(tail.size() - 1000);
    tail = ReplaceAll(ReplaceAll(TrimSpaces(ReplaceAll(tail, "\r", "")), "\n", " | "), "\t", " ");
    const std::string result =
        status == 0                   ? "done"
        : status == kTimedOut         ? "failed: ended after " + std::to_string(limit) + " s"
        : status == kStoppedByRequest ? "failed: stopped"
                                      : "failed: exit status " + std::to_string(status);
    char seconds[32];
    std::snprintf(
        seconds, sizeof seconds, "%.1f",
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    // Its failure is its own: the backup stays good and nothing is deleted.
    WriteProgramLog("post-backup command " + result + " (" + seconds + " s) for " + archive +
                    (tail.empty() ? "" : ": " + tail));
    RecordOutcome("OffsiteCopy", {{"Time", DateTime::Now().StampText()},
                                  {"Result", status == 0 ? "done" : "failed"},
                                  {"Detail", result},
                                  {"Archive", archive},
                                  {"Output", tail}});
}

} // namespace zenta
