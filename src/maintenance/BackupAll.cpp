#include "BackupAll.h"

#include "CodePage.h"
#include "Common.h"
#include "ErrorMode.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "Hourglass.h"
#include "Opcion.h"
#include "RemovableDrives.h"
#include "SevenZip.h"
#include "TodoSobreMySQLServer.h"
#include "Wildcard.h"
#include "clsSystem.h"

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
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
            StructureStatement(db, prefix + Trim(tables->Value(r, 0).ToString()));
        if (statement.empty())
            continue;
        file.WriteLine(statement);
        file.WriteLine("");
    }
}

bool EmptyFolder(const std::string& folder) {
    bool ok = true;
    for (const auto& name : DirNames(folder + "*.*", vbHidden | vbSystem | vbReadOnly)) {
        std::error_code ec;
        fs::remove(folder + name, ec);
        if (ec)
            ok = false;
    }
    return ok;
}

} // namespace

std::string BackupWorkFolder() {
    return Globals::AppPath + "Temp/Backup/";
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
            ::mkdir(target.c_str(), 0777);
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

std::string BackupAll(std::string& backupFolder, std::string& volumeLabel, BackupReport* report) {
    Hourglass hourglass;
    BackupReport local;
    BackupReport& rep = report ? *report : local;
    rep = BackupReport{};
    clsDataBase& db = DataBase();

    const std::string work = BackupWorkFolder();
    if (DirExists(work)) {
        if (!EmptyFolder(work))
            ReportFailure("BackupAll", "the working folder cannot be emptied: " + work);
    } else if (!CreateFolderPath(work)) {
        ReportFailure("BackupAll", "the working folder cannot be created: " + work);
        return {};
    }
    // The server writes the data files itself, so it must be able to write here.
    ::chmod(work.c_str(), 0777);

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
        if (!manifest.Close())
            ReportFailure("BackupAll", "MarketBackup.ini cannot be written");
    }

    const bool includePictures = OpcionBool(db, "BackupGoodsPictureInclude", true);

    {
        AnsiTextFile stru(work + "STRU.SQL");
        db.SQLExecute("FLUSH TABLES;");
        // Cashiers keep selling while the tables are written: one snapshot for all of them,
        // so that a restore never holds ticket lines without their ticket.
        db.SQLExecute("START TRANSACTION WITH CONSISTENT SNAPSHOT;");
        const bool snapshot = db.ConnectionStatus();
        db.CreatDatasArray("SHOW tables;");
        if (db.ConnectionStatus()) {
            const auto tables = db.DatasArray();
            const std::string literalFolder = SQLEscape(work);
            for (long r = tables->LowerBound(1); r <= tables->UpperBound(1); ++r) {
                const std::string table = tables->Value(r, 0).ToString();
                if (LowerCase(table) != "articulodibujo" || includePictures) {
                    db.SQLExecute(
                        "select * into outfile '" + literalFolder + SQLEscape(table) +
                        ".dat' FIELDS TERMINATED BY ','  LINES TERMINATED BY '\\r\\n' from " +
                        table + ";");
                    if (!db.ConnectionStatus())
                        rep.failedTables.push_back(table);
                }
                const std::string statement = StructureStatement(db, Trim(table));
                if (statement.empty()) {
                    rep.failedTables.push_back(table + " (structure)");
                    continue;
                }
                stru.WriteLine(statement);
                stru.WriteLine("");
            }
        } else {
            rep.failedTables.push_back("(table list)");
        }
        if (snapshot)
            db.SQLExecute("COMMIT;");
        if (!stru.Close())
            rep.failedTables.push_back("STRU.SQL");
    }
    {
        AnsiTextFile basic(work + "STRUBASIC.SQL");
        WriteStructures(db, basic, "SHOW tables IN zentasupermarketbasic;",
                        "zentasupermarketbasic.");
        basic.Close();
    }

    const std::string settings = Globals::AppPath + "zentamarket.ini";
    if (FileExists(settings)) {
        std::error_code ec;
        fs::copy_file(settings, work + "zentamarket.ini", fs::copy_options::overwrite_existing, ec);
    }

    backupFolder = WithSlash(backupFolder);
    const auto now = MySQLServerNow();
    if (!now) {
        ReportFailure("BackupAll", "the server's clock cannot be read; no archive made");
        return {};
    }
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d%02d", now->year, now->month, now->day,
                  now->hour, now->minute, now->second);
    const std::string name = std::string("ZentaMarket") + stamp + ".ZTB";
    std::string archive = backupFolder + name;
    std::string source = work;
    std::string password;
    short status = SevenZipCompress(archive, source, true, password, 5);
    if (!FileExists(backupFolder + name)) {
        ReportFailure("BackupAll",
                      "no archive was written (7-Zip status " + std::to_string(status) + ")");
        return {};
    }
    // A backup that cannot be read back is no backup: test it before it counts.
    if (status >= 2 || SevenZipTest(backupFolder + name) != 0) {
        std::remove((backupFolder + name).c_str());
        ReportFailure("BackupAll", "the archive " + name + " failed its test and was removed");
        return {};
    }
    rep.archiveName = name;
    rep.complete = rep.failedTables.empty();
    if (!rep.complete) {
        std::string list;
        for (auto& t : rep.failedTables)
            list += (list.empty() ? "" : ", ") + t;
        ReportFailure("BackupAll", name + " lacks: " + list);
    }

    if (!Trim(volumeLabel).empty())
        rep.copiedTo = CopyArchiveToDrives(backupFolder, name, volumeLabel);
    return name;
}

} // namespace zenta
