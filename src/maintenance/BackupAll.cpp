#include "BackupAll.h"
#include "BackupFolders.h"
#include "BackupRecords.h"

#include "ArchiveNames.h"
#include "ArchivePassword.h"
#include "BinlogChain.h"
#include "BinlogServer.h"
#include "CodePage.h"
#include "Common.h"
#include "ErrorMode.h"
#include "FileCopies.h"
#include "FileDescriptor.h"
#include "FolderListing.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "Hourglass.h"
#include "IniFile.h"
#include "JobOutcomes.h"
#include "Opcion.h"
#include "PostBackupCommand.h"
#include "Process.h"
#include "RemovableDrives.h"
#include "Settings.h"
#include "SevenZip.h"
#include "Text.h"
#include "TodoSobreMySQLServer.h"
#include "Transaction.h"
#include "clsSystem.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <thread>
#include <tuple>
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

// The new backup's figures against the newest good archive's.
// The reasons a backup counts as shrunk, and the archive it was compared with ("" when there is
// none: then only against the suite's tables).
std::vector<std::string> ShrinkCheck(const TableRows& rows, const std::string& folder,
                                     const std::string& password, std::string& against) {
    auto baseline = RecordedBaseline();
    if (!baseline) {
        const auto found = BaselineFromArchives(folder, password);
        if (found)
            baseline = *found;
        else
            WriteProgramLog("BackupAll: no baseline to compare this backup with: " + found.error() +
                            "; only a missing table of the suite's makes it count as shrunk");
    }
    against = baseline ? baseline->archive : std::string();
    return ShrinkReasons(baseline ? &*baseline : nullptr, rows,
                         baseline && TicketsPurgedSince(baseline->time));
}

// A shrunk archive is made again at every cycle until a person acts: the newest one holds the
// database as it is now, older ones go. Good archives are never touched here.
void RemoveOlderShrunk(const std::string& folder, const std::string& newest) {
    for (const auto& name : DirNames(folder + kShrunkArchivePattern)) {
        const auto parsed = ParseArchiveName(name);
        if (!parsed || parsed->kind != ArchiveKind::Shrunk || name >= newest)
            continue;
        std::error_code ec;
        if (fs::remove(folder + name, ec))
            WriteProgramLog("BackupAll: deleted " + folder + name + " (a newer archive of the " +
                            "shrunk database, " + newest + ", holds the same tables)");
    }
}

// One backup, step by step: the folders, the manifest, the export of every table in one
// snapshot, the other files, then packing, testing and naming the archive. Each step that
// cannot go on returns why; the working folder is emptied whatever happens.
class BackupRun {
  public:
    BackupRun(BackupReport& rep, const BackupOptions& options)
        : rep_(rep), db_(DataBase()), acceptShrink_(options.acceptShrink),
          progress_(options.progress) {}

    std::string Run(std::string& backupFolder, const std::string& volumeLabel) {
        rep_ = BackupReport{};
        backupFolder = WithSlash(backupFolder);
        folder_ = backupFolder;
        if (auto ready = Prepare(); !ready)
            return Fail(ready.error());
        WorkFolderGuard emptyAfterwards(work_);
        WriteManifest();
        if (const auto settings = ReadBinaryLogSettings(db_))
            rep_.binaryLog = *settings;
        if (auto exported = ExportTables(); !exported)
            return Fail(exported.error());
        WriteFigures();
        if (StopRequested()) {
            rep_.stopped = true;
            WriteProgramLog("BackupAll: stopped, the program is ending; no archive made");
            return {};
        }
        WriteBasicStructures();
        CopySettings();
        KeepOnlyWritten();
        if (auto packed = PackAndTest(); !packed)
            return rep_.stopped ? std::string() : Fail(packed.error());
        CompareWithBaseline();
        if (auto kept = Keep(); !kept)
            return Fail(kept.error());
        Report();
        if (!TrimSpaces(volumeLabel).empty() && rep_.complete) {
            rep_.drives = CopyArchiveToDrives(
                folder_, rep_.archiveName, volumeLabel,
                [this](long long copied, long long total, const std::string& mount) {
                    if (progress_)
                        progress_({BackupProgress::Stage::Copying, copied, total, mount});
                });
            if (rep_.shrunk)
                for (const auto& d : rep_.drives)
                    if (d.whole)
                        RemoveOlderShrunk(WithSlash(d.mount) + "ZentaBackup/", rep_.archiveName);
        }
        return rep_.archiveName;
    }

  private:
    // No archive kept: why, for the log, the caller and the job record.
    std::string Fail(const std::string& why) {
        rep_.failure = why;
        ReportFailure("BackupAll", why);
        return {};
    }
    void Missing(const std::string& what) { rep_.failedTables.push_back(what); }
    void Tell(BackupProgress::Stage stage, long long done, long long total,
              const std::string& what = "") {
        if (progress_)
            progress_({stage, done, total, what});
    }

    // The backup folder, the archive's password and an empty, private working folder.
    Result<Done> Prepare() {
        if (folder_.find('"') != std::string::npos)
            // 7-Zip's command line cannot carry the character: the archive would go elsewhere.
            return Result<Done>::Failure("the backup folder " + folder_ +
                                         " contains a double quote, which the archiver cannot "
                                         "take; no backup made");
        if (!DirExists(folder_))
            CreateFolderPath(folder_);
        if (!IsFolder(folder_))
            return Result<Done>::Failure("the backup folder " + folder_ +
                                         " is not a folder and cannot be made one; no backup "
                                         "made");
        // An archive meant to be encrypted is never written in the clear instead.
        const auto password = ConfiguredArchivePassword();
        if (!password)
            return Result<Done>::Failure(password.error() + "; no backup made");
        password_ = *password;
        work_ = BackupWorkFolder();
        if (const auto prepared = PrepareBackupWorkFolder(work_); !prepared)
            return Result<Done>::Failure(prepared.error() + "; no backup made");
        return Done{};
    }

    void WriteManifest() {
        AnsiTextFile manifest(work_ + "MarketBackup.ini");
        clsSystem system;
        manifest.WriteLine("[Version]");
        manifest.WriteLine("Versoin=3");
        manifest.WriteLine("OSVersion=" + system.OSVersion());
        manifest.WriteLine("OSName=" + system.OSName());
        manifest.WriteLine("MySQL=" + db_.MySQLVersion());
        db_.CreatDatasArray("Select Integervalor / 100 From opcion Where ID = 'Version';");
        if (db_.ConnectionStatus() && db_.DatasArray()->Count(1) > 0)
            manifest.WriteLine("ZentaSuperMarket=" +
                               FormatFixed2(db_.DatasArrayValue(0, 0).ToDouble()));
        manifest.WriteLine("CPUID=" + GetProcessorID());
        manifest.WriteLine("");
        manifest.WriteLine("[Backup]");
        manifest.WriteLine("Dump=0");
        const auto now = MySQLServerNow();
        manifest.WriteLine("DateTime=" + (now ? now->StampText() : std::string()));
        if (!manifest.Close() || !now)
            Missing("MarketBackup.ini");
        written_.insert("MarketBackup.ini");
    }

    // Every table's data (written by the server itself), figures and structure, within one
    // consistent snapshot: cashiers keep selling meanwhile, and a restore never holds ticket
    // lines without their ticket. A failure only when the server cannot write here at all.
    Result<Done> ExportTables() {
        const bool includePictures = OpcionBool(db_, "BackupGoodsPictureInclude", true);
        AnsiTextFile stru(work_ + "STRU.SQL");
        written_.insert("STRU.SQL");
        db_.SQLExecute("FLUSH TABLES;");
        // Read only: it ends (rolled back, nothing to keep) when this step ends.
        Transaction snapshot(db_, Transaction::Kind::ConsistentSnapshot);
        // Where the binary log stands in this snapshot: a replay of the log starts there.
        rep_.snapshot = SnapshotBinaryLogPosition(db_);
        // What happens after this point (a gap in the copied log) is not covered by it.
        rep_.snapshotSequence = NextOutcomeSequence();
        db_.CreatDatasArray("SHOW tables;");
        if (!db_.ConnectionStatus()) {
            Missing("(table list)");
        } else {
            const auto tables = db_.DatasArray();
            const long count = tables->Count(1);
            for (long r = tables->LowerBound(1); r <= tables->UpperBound(1) && !StopRequested();
                 ++r) {
                const std::string table = tables->Value(r, 0).ToString();
                Tell(BackupProgress::Stage::Exporting, r - tables->LowerBound(1) + 1, count, table);
                ++rep_.tables;
                rep_.rows[AsciiLowerCase(TrimSpaces(table))] = -1; // not counted (yet)
                if (AsciiLowerCase(table) != "articulodibujo" || includePictures)
                    if (auto exported = ExportTable(table); !exported)
                        return exported;
                const std::string statement = StructureStatement(db_, TrimSpaces(table));
                if (statement.empty()) {
                    Missing(table + " (structure)");
                    continue;
                }
                stru.WriteLine(statement);
                stru.WriteLine("");
            }
        }
        snapshot.Rollback();
        if (!stru.Close())
            Missing("STRU.SQL");
        return Done{};
    }

    // One table's data file, and its row count and checksum read in the same snapshot.
    Result<Done> ExportTable(const std::string& table) {
        db_.SQLExecute("select * into outfile '" + SQLEscape(work_) + SQLEscape(table) +
                       ".dat' FIELDS TERMINATED BY ','  LINES TERMINATED BY '\\r\\n' from " +
                       table + ";");
        written_.insert(table + ".dat");
        if (!db_.ConnectionStatus()) {
            Missing(table);
            // Every other table would fail the same way: say what to do.
            const std::string why = ServerCannotWriteHere(db_, work_);
            if (!why.empty())
                return Result<Done>::Failure(why + "; no backup made");
            return Done{};
        }
        std::string rows;
        db_.CreatDatasArray("SELECT COUNT(*) FROM " + table + ";");
        if (db_.ConnectionStatus() && db_.DatasArray()->Count(1) > 0)
            rows = db_.DatasArrayValue(0, 0).ToString();
        db_.CreatDatasArray("CHECKSUM TABLE " + table + ";");
        if (rows.empty() || !db_.ConnectionStatus() || db_.DatasArray()->Count(1) == 0) {
            Missing(table + " (figures)");
            return Done{};
        }
        checks_ += table + "=" + rows + "," + db_.DatasArrayValue(0, 1).ToString() + "\r\n";
        rep_.rows[AsciiLowerCase(TrimSpaces(table))] = std::atoll(rows.c_str());
        return Done{};
    }

    // Beside the suite's files, which stay as they are: every exported table's row count and
    // checksum, for "verify" and for the next backup's comparison.
    void WriteFigures() {
        std::ofstream out(work_ + kTableChecksFile, std::ios::binary | std::ios::trunc);
        out << "[Checks]\r\nFormat=1\r\n\r\n";
        if (rep_.snapshot.known()) {
            rep_.snapshotRecord = DescribeSnapshot(rep_.snapshot, BinlogFolder(folder_));
            out << "[Binlog]\r\n";
            for (const auto& [key, value] : SnapshotValues(rep_.snapshotRecord))
                out << key << "=" << value << "\r\n";
            out << "\r\n";
        }
        out << "[Tables]\r\n" << checks_;
        written_.insert(kTableChecksFile);
        if (!out.flush())
            Missing(kTableChecksFile);
    }

    // The reference database's structures; it is installed by the first structure check, and
    // until then the file stays empty (its absence is expected, not a failure).
    void WriteBasicStructures() {
        AnsiTextFile basic(work_ + "STRUBASIC.SQL");
        written_.insert("STRUBASIC.SQL");
        db_.CreatDatasArray("SELECT COUNT(*) FROM information_schema.SCHEMATA WHERE SCHEMA_NAME "
                            "= 'zentasupermarketbasic';");
        if (db_.ConnectionStatus() && db_.DatasArray()->Count(1) > 0 &&
            db_.DatasArrayValue(0, 0).ToInt64() > 0)
            WriteStructures(db_, basic, "SHOW tables IN zentasupermarketbasic;",
                            "zentasupermarketbasic.");
        if (!basic.Close())
            Missing("STRUBASIC.SQL");
    }

    void CopySettings() {
        const std::string settings = Globals::AppPath + "zentamarket.ini";
        if (!FileExists(settings))
            return;
        std::error_code ec;
        fs::copy_file(settings, work_ + "zentamarket.ini", fs::copy_options::overwrite_existing,
                      ec);
        written_.insert("zentamarket.ini");
        if (ec)
            Missing("zentamarket.ini");
    }

    // Only what this backup wrote goes into the archive, and only as plain files: anything
    // else found here (a planted link, a folder) is removed, never followed.
    void KeepOnlyWritten() {
        for (const auto& [name, plain] : EntriesWithoutLinks(work_)) {
            if (plain && written_.count(name))
                continue;
            std::error_code ec;
            fs::remove_all(work_ + name, ec);
            WriteProgramLog("BackupAll: removed " + work_ + name +
                            ", which this backup did not write, before packing");
        }
        auto said = [&](const std::string& what) {
            return std::find(rep_.failedTables.begin(), rep_.failedTables.end(), what) !=
                   rep_.failedTables.end();
        };
        for (const auto& name : written_)
            if (!FileExists(work_ + name) && !said(name) && !said(name.substr(0, name.size() - 4)))
                Missing(name);
    }

    // Packed under a name the rotation never counts, then tested: a backup that cannot be
    // read back is no backup.
    Result<Done> PackAndTest() {
        const auto now = MySQLServerNow();
        if (!now)
            return Result<Done>::Failure("the server's clock cannot be read; no archive made");
        stamp_ = ArchiveStamp(*now);
        partial_ = folder_ + ArchiveFileName(stamp_, ArchiveKind::Good) + ".partial";
        RemovePartialArchives(folder_, "BackupAll");
        std::string archive = partial_, source = work_, password = password_;
        long long total = 0;
        for (const auto& [name, plain] : EntriesWithoutLinks(work_))
            if (plain)
                total += FileLength(work_ + name);
        // How far the archiver got: the bytes it has read of the working folder's files.
        ScopedWaitHook packing([&] {
            Tell(BackupProgress::Stage::Packing, std::min(BytesReadBy(RunningChild()), total),
                 total);
        });
        const short status = SevenZipCompress(archive, source, true, password, 5);
        auto discard = [&](const std::string& what) {
            std::error_code ec;
            fs::remove(partial_, ec);
            return Result<Done>::Failure(what);
        };
        if (status == kStoppedByRequest || StopRequested()) {
            rep_.stopped = true;
            WriteProgramLog("BackupAll: packing stopped, the program is ending; no archive made");
            return discard("stopped");
        }
        if (!FileExists(partial_))
            return discard("no archive was written (7-Zip status " + std::to_string(status) + ")");
        Tell(BackupProgress::Stage::Testing, 0, 0);
        if (status >= 2 || status < 0 || SevenZipTest(partial_, password_) != 0 ||
            !IsWhole7zArchive(partial_))
            return discard("the archive " + ArchiveFileName(stamp_, ArchiveKind::Good) +
                           " failed its test (7-Zip status " + std::to_string(status) +
                           ") and was removed");
        if (status == 1)
            Missing("(files the archiver could not read)");
        rep_.complete = rep_.failedTables.empty();
        return Done{};
    }

    // A database that lost its data gives a whole archive too: it is compared before it
    // counts.
    void CompareWithBaseline() {
        if (!rep_.complete)
            return;
        const auto reasons = ShrinkCheck(rep_.rows, folder_, password_, rep_.shrinkBaseline);
        (acceptShrink_ ? rep_.accepted : rep_.shrinkReasons) = reasons;
        rep_.shrunk = !acceptShrink_ && !reasons.empty();
    }

    // The archive's name: one that lacks a table, or whose data fell, is kept for what it
    // holds under a name that says so and that the rotation does not count. A name in use
    // (two backups within one second) is never replaced: the next second's is taken.
    Result<Done> Keep() {
        const ArchiveKind kind = !rep_.complete ? ArchiveKind::Incomplete
                                 : rep_.shrunk  ? ArchiveKind::Shrunk
                                                : ArchiveKind::Good;
        for (int attempt = 0; ArchiveNameTaken(folder_, stamp_) && attempt < 5; ++attempt) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            if (const auto later = MySQLServerNow())
                stamp_ = ArchiveStamp(*later);
        }
        const std::string name = ArchiveFileName(stamp_, kind);
        ::chmod(partial_.c_str(), 0640);
        SyncPath(partial_);
        if (::renameat2(AT_FDCWD, partial_.c_str(), AT_FDCWD, (folder_ + name).c_str(),
                        RENAME_NOREPLACE) != 0) {
            const std::string why = std::strerror(errno);
            std::error_code ec;
            fs::remove(partial_, ec);
            return Result<Done>::Failure("the archive cannot be given its name " + name + ": " +
                                         why);
        }
        SyncFolder(folder_);
        rep_.archiveName = name;
        rep_.archiveBytes = FileLength(folder_ + name);
        rep_.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
        return Done{};
    }

    // Why a kept archive does not count.
    void Report() {
        if (!rep_.complete) {
            std::string list;
            for (auto& t : rep_.failedTables)
                list += (list.empty() ? "" : ", ") + t;
            rep_.failure = "the archive lacks " + list + "; kept as " + folder_ + rep_.archiveName +
                           ", which does not count as a backup";
            ReportFailure("BackupAll", rep_.failure);
        } else if (rep_.shrunk) {
            rep_.failure = ShrinkHeadline(rep_.shrinkBaseline) + ": " +
                           JoinedReasons(rep_.shrinkReasons) + "; kept as " + folder_ +
                           rep_.archiveName +
                           ", which does not count as a backup. If the database is meant to be so: "
                           "ZentaMarketMonitor backup --accept-shrink";
            ReportFailure("BackupAll", rep_.failure);
            RemoveOlderShrunk(folder_, rep_.archiveName);
        }
    }

    BackupReport& rep_;
    clsDataBase& db_;
    const bool acceptShrink_;
    const std::function<void(const BackupProgress&)> progress_;
    const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    Hourglass hourglass_;
    std::string folder_, work_, password_, stamp_, partial_;
    std::set<std::string> written_; // the files this backup put into the working folder
    std::string checks_;            // "table=rows,checksum" lines
};

} // namespace

std::string BackupAll(std::string& backupFolder, std::string& volumeLabel, BackupReport* report,
                      const BackupOptions& options) {
    BackupReport local;
    BackupReport& rep = report ? *report : local;
    const std::string name = BackupRun(rep, options).Run(backupFolder, volumeLabel);
    const std::string path = RecordBackup(rep, backupFolder, volumeLabel);
    if (rep.Good())
        RunPostBackupCommand(path);
    return name;
}

} // namespace zenta
