// Faults injected from outside the backup: cut-short and incomplete archives, full file
// systems, a database server killed mid-way, planted links, limits that cannot be read. What
// must hold in every case: no good archive is lost because of a bad one.
#include "AutoBackupData.h"
#include "BackupAll.h"
#include "Common.h"
#include "DbFixture.h"
#include "FolderListing.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "JobOutcomes.h"
#include "OwnServer.h"
#include "Process.h"
#include "RemovableDrives.h"
#include "Settings.h"
#include "SevenZip.h"

#include <atomic>
#include <csignal>
#include <filesystem>
#include <sys/stat.h>
#include <thread>

using namespace zenta;
using namespace zenta::test;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> Whole(const std::string& folder) {
    std::vector<std::string> good;
    for (const auto& name : DirNames(folder + "ZentaMarket??????????????.ZTB"))
        if (IsWhole7zArchive(folder + name))
            good.push_back(name);
    return good;
}

std::string Stamp(int day) {
    char name[64];
    std::snprintf(name, sizeof name, "ZentaMarket202401%02d120000", day);
    return name;
}

// 2 MB that no archiver can make smaller, in the goods pictures.
void AddIncompressiblePictures(int rows = 64) {
    Sql("INSERT INTO articulodibujo (ArticuloID, Dibujo) SELECT CONCAT('P', seq), "
        "CONCAT(" +
        [] {
            std::string parts;
            for (int i = 0; i < 32; ++i)
                parts += std::string(i ? ", " : "") + "RANDOM_BYTES(1024)";
            return parts;
        }() +
        ") FROM seq_1_to_" + std::to_string(rows) + ";");
}

} // namespace

class BackupFaults : public ConnectedDbTest {
  protected:
    void SetUp() override {
        ConnectedDbTest::SetUp();
        backup_ = AppPath() + "Backup/";
        work_ = AppPath() + "Temp/Backup/";
        fs::create_directories(backup_);
        ClearStopRequest();
        MakeSmallArchive(spare_.path() + "good.7z");
    }
    void TearDown() override {
        unsetenv("ZENTA_7ZIP");
        DbTest::TearDown();
    }
    // Good archives of January 2024, days first … last.
    void PutGoodArchives(const std::string& folder, int first, int last) {
        for (int d = first; d <= last; ++d)
            fs::copy_file(spare_.path() + "good.7z", folder + Stamp(d) + ".ZTB");
    }
    std::string Log() { return ReadFile(AppPath() + "Log/ZentaMarketMonitor.log"); }
    bool WorkFolderEmpty() { return !fs::exists(work_) || fs::is_empty(work_); }
    std::string DayRecorded() {
        return Sql("SELECT COUNT(*) FROM opcion WHERE ID = 'LastDateAutoBackup';");
    }
    // An archiver that runs `hook` before packing and then does the real work.
    void ArchiverWithHook(const std::string& hook) {
        const std::string script = spare_.path() + "7zz-hook";
        WriteFile(script, "#!/bin/sh\nif [ \"$1\" = a ]; then " + hook + "; fi\nexec 7zz \"$@\"\n");
        fs::permissions(script, fs::perms::owner_all);
        setenv("ZENTA_7ZIP", script.c_str(), 1);
    }

    TempDir spare_;
    std::string backup_, work_;
};

TEST_F(BackupFaults, RotationCountsOnlyWholeArchivesAndABadOneNeverPushesAGoodOneOut) {
    PutGoodArchives(backup_, 1, 5);
    // The newest name holds an archive whose packing was killed; older and newer incomplete
    // archives; a packing that never finished.
    CopyCutShort(spare_.path() + "good.7z", backup_ + Stamp(6) + ".ZTB", 60);
    fs::copy_file(spare_.path() + "good.7z", backup_ + Stamp(2) + "-INCOMPLETE.ZTB");
    fs::copy_file(spare_.path() + "good.7z", backup_ + Stamp(7) + "-INCOMPLETE.ZTB");
    WriteFile(backup_ + Stamp(8) + ".ZTB.partial", "7z");
    Sql("INSERT INTO opcion (ID, IntegerValor) VALUES ('MaxBackupFile', 3);");
    RotateBackupFiles();
    EXPECT_EQ(Whole(backup_),
              (std::vector<std::string>{Stamp(3) + ".ZTB", Stamp(4) + ".ZTB", Stamp(5) + ".ZTB"}));
    EXPECT_TRUE(fs::exists(backup_ + Stamp(6) + ".ZTB")); // not counted, not deleted
    EXPECT_FALSE(fs::exists(backup_ + Stamp(2) + "-INCOMPLETE.ZTB"));
    EXPECT_TRUE(fs::exists(backup_ + Stamp(7) + "-INCOMPLETE.ZTB"));
    EXPECT_FALSE(fs::exists(backup_ + Stamp(8) + ".ZTB.partial"));
    EXPECT_NE(Log().find(Stamp(6) + ".ZTB is not a whole archive"), std::string::npos);
    EXPECT_NE(Log().find("deleted " + backup_ + Stamp(1) + ".ZTB"), std::string::npos);

    for (const char* limit : {"0", "-1"}) {
        Sql(std::string("UPDATE opcion SET IntegerValor = ") + limit +
            " WHERE ID = 'MaxBackupFile';");
        RotateBackupFiles();
        EXPECT_EQ(Whole(backup_), (std::vector<std::string>{Stamp(5) + ".ZTB"})) << limit;
    }
}

TEST_F(BackupFaults, RotationDeletesNothingWhenItsLimitCannotBeRead) {
    PutGoodArchives(backup_, 1, 25);
    Sql("INSERT INTO opcion (ID, IntegerValor) VALUES ('MaxBackupFile', 30);"
        "RENAME TABLE opcion TO opcion_away;");
    RotateBackupFiles();
    EXPECT_EQ(Whole(backup_).size(), 25u);
    EXPECT_NE(Log().find("MaxBackupFile cannot be read; no archive deleted"), std::string::npos);
    Sql("RENAME TABLE opcion_away TO opcion;");
}

TEST_F(BackupFaults, AfterAFailedBackupTheRotationDeletesNothingAndNoExportStaysBehind) {
    PutGoodArchives(backup_, 1, 4);
    Sql("INSERT INTO opcion (ID, IntegerValor) VALUES ('MaxBackupFile', 3), "
        "('AutoBackupOpcion', 1);");
    setenv("ZENTA_7ZIP", "/bin/false", 1);
    AutoBackup();
    RotateBackupFiles();
    EXPECT_EQ(Whole(backup_).size(), 4u);
    EXPECT_EQ(DayRecorded(), "0\n");
    EXPECT_TRUE(WorkFolderEmpty());
    EXPECT_NE(Log().find("the last backup did not give a good archive"), std::string::npos);

    unsetenv("ZENTA_7ZIP");
    AutoBackup();
    EXPECT_TRUE(WorkFolderEmpty());
    RotateBackupFiles();
    const auto left = Whole(backup_);
    ASSERT_EQ(left.size(), 3u);
    EXPECT_EQ(left[0], Stamp(3) + ".ZTB");
    EXPECT_NE(left[2].substr(11, 4), "2024"); // today's
    EXPECT_EQ(DayRecorded(), "1\n");
}

TEST_F(BackupFaults, PlantedLinksNeverReachTheArchiveAndTheWorkingFolderStaysPrivate) {
    TempDir secretDir;
    const std::string secret = secretDir.path() + "shadow";
    WriteFile(secret, "SECRET-ROOT-ONLY");
    ::chmod(secret.c_str(), 0600);
    // A folder with a link inside, a link named like a table export, and a link in place of
    // the folder that holds the working folder's exports on another run.
    fs::create_directories(work_ + "planted");
    fs::create_symlink(secret, work_ + "planted/articulo.dat");
    fs::create_symlink(secret, work_ + "cliente.dat");
    fs::create_symlink(secretDir.path(), work_ + "dir-link");
    ::chmod(work_.c_str(), 0777);
    std::string folder = backup_, label;
    BackupReport report;
    const std::string name = BackupAll(folder, label, &report);
    ASSERT_TRUE(report.complete) << Log();
    TempDir out;
    ASSERT_EQ(Shell("cd '" + out.path() + "' && 7zz x -y '" + backup_ + name + "' >/dev/null"), 0);
    for (const auto& e : fs::recursive_directory_iterator(out.path())) {
        EXPECT_TRUE(e.is_regular_file() && !e.is_symlink()) << e.path();
        EXPECT_EQ(ReadFile(e.path()).find("SECRET-ROOT-ONLY"), std::string::npos) << e.path();
    }
    EXPECT_FALSE(fs::exists(out.path() + "planted"));
    EXPECT_EQ(ReadFile(secret), "SECRET-ROOT-ONLY"); // removed links, never their targets
    EXPECT_TRUE(fs::exists(secretDir.path() + "shadow"));
    // Emptied as soon as the archive was tested, and open to no one else.
    EXPECT_TRUE(WorkFolderEmpty());
    struct stat st {};
    ASSERT_EQ(::stat(work_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0007, 0u);
    struct stat archive {};
    ASSERT_EQ(::stat((backup_ + name).c_str(), &archive), 0);
    EXPECT_EQ(archive.st_mode & 0007, 0u);

    // The working folder itself replaced by a link: the link goes, its target stays untouched.
    fs::remove_all(work_);
    fs::create_symlink(secretDir.path(), AppPath() + "Temp/Backup");
    BackupAll(folder, label, &report);
    EXPECT_TRUE(report.complete);
    EXPECT_FALSE(fs::is_symlink(AppPath() + "Temp/Backup"));
    EXPECT_EQ(ReadFile(secret), "SECRET-ROOT-ONLY");
    EXPECT_EQ(std::distance(fs::directory_iterator(secretDir.path()), fs::directory_iterator()), 1);
}

TEST_F(BackupFaults, AFullWorkingFolderGivesAnIncompleteArchiveThatCountsForNothing) {
    SmallFileSystem small(work_, "512k");
    if (!small.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here (not root?): full-disk case not tested";
    AddIncompressiblePictures();
    PutGoodArchives(backup_, 1, 3);
    Sql("INSERT INTO opcion (ID, IntegerValor) VALUES ('MaxBackupFile', 3), "
        "('AutoBackupOpcion', 1);");
    AutoBackup();
    RotateBackupFiles();
    EXPECT_EQ(Whole(backup_),
              (std::vector<std::string>{Stamp(1) + ".ZTB", Stamp(2) + ".ZTB", Stamp(3) + ".ZTB"}));
    const auto incomplete = DirNames(backup_ + "ZentaMarket*-INCOMPLETE.ZTB");
    ASSERT_EQ(incomplete.size(), 1u) << Log();
    EXPECT_EQ(Shell("7zz t '" + backup_ + incomplete[0] + "' >/dev/null"), 0);
    EXPECT_EQ(DayRecorded(), "0\n");
    EXPECT_NE(Log().find("lacks articulodibujo"), std::string::npos) << Log();
    EXPECT_TRUE(WorkFolderEmpty());
}

TEST_F(BackupFaults, AFullBackupFolderLeavesTheGoodArchivesAlone) {
    SmallFileSystem small(backup_, "256k");
    if (!small.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here (not root?): full-disk case not tested";
    AddIncompressiblePictures();
    PutGoodArchives(backup_, 1, 3);
    Sql("INSERT INTO opcion (ID, IntegerValor) VALUES ('MaxBackupFile', 2), "
        "('AutoBackupOpcion', 1);");
    AutoBackup();
    RotateBackupFiles();
    EXPECT_EQ(Whole(backup_).size(), 3u);
    EXPECT_TRUE(DirNames(backup_ + "*.partial").empty());
    EXPECT_EQ(DirNames(backup_ + "*").size(), 3u);
    EXPECT_EQ(DayRecorded(), "0\n");
    EXPECT_TRUE(WorkFolderEmpty());
}

TEST_F(BackupFaults, ADatabaseServerKilledDuringTheExportOrThePackingCostsNoGoodArchive) {
    OwnServer server("mariadb-fault", DbPort() + 2);
    ASSERT_TRUE(server.Start());
    // Enough articles that their export takes a moment.
    ASSERT_TRUE(server.Load("INSERT INTO opcion (ID, IntegerValor) VALUES ('MaxBackupFile', 30), "
                            "('AutoBackupOpcion', 1); INSERT INTO articulo (ArticuloID, "
                            "NombreES, Nota) SELECT CONCAT('A', seq), 'x', REPEAT('n', 200) FROM "
                            "seq_1_to_300000;"));
    server.Use(AppPath());
    const std::string kill = server.KillCommand();
    PutGoodArchives(backup_, 1, 8);

    // Killed while the archiver packs: the archive is whole and tested, but the rotation can
    // no longer read its limit and so deletes nothing.
    ConnectDataBase();
    ASSERT_TRUE(DataBase().ConnectionStatus());
    ArchiverWithHook(kill);
    AutoBackup();
    RotateBackupFiles();
    EXPECT_EQ(Whole(backup_).size(), 9u) << Log();
    EXPECT_NE(Log().find("MaxBackupFile cannot be read; no archive deleted"), std::string::npos);
    EXPECT_TRUE(WorkFolderEmpty());
    unsetenv("ZENTA_7ZIP");

    // Killed while the tables are written out: no archive passes for a backup.
    ASSERT_TRUE(server.Start());
    ConnectDataBase();
    ASSERT_TRUE(DataBase().ConnectionStatus());
    std::atomic<bool> done{false};
    std::thread killer([&] {
        while (!done && !fs::exists(work_ + "articulo.dat"))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        Shell(kill);
    });
    AutoBackup();
    done = true;
    killer.join();
    RotateBackupFiles();
    EXPECT_EQ(Whole(backup_).size(), 9u) << Log();
    EXPECT_TRUE(DirNames(backup_ + "*.partial").empty());
    EXPECT_TRUE(WorkFolderEmpty());
    ReleaseDataBase();
}

TEST_F(BackupFaults, UnusableFoldersAndAMissingArchiverAreSaidPlainly) {
    setenv("ZENTA_7ZIP", "/nonexistent/7zz", 1);
    std::string folder = backup_, label;
    EXPECT_EQ(BackupAll(folder, label), "");
    EXPECT_NE(Log().find("7-Zip program \"/nonexistent/7zz\" was not found"), std::string::npos);
    unsetenv("ZENTA_7ZIP");

    // A folder whose name the archiver's command line cannot carry.
    TempDir odd;
    const std::string quoted = odd.path() + "a\" b/";
    fs::create_directories(quoted);
    std::string q = quoted;
    EXPECT_EQ(BackupAll(q, label), "");
    EXPECT_TRUE(fs::is_empty(quoted));
    EXPECT_EQ(std::distance(fs::recursive_directory_iterator(odd.path()),
                            fs::recursive_directory_iterator()),
              1); // nothing written anywhere else either
    EXPECT_NE(Log().find("contains a double quote"), std::string::npos);

    WriteFile(odd.path() + "plain-file", "not a folder");
    for (const auto& [value, why] : std::vector<std::pair<std::string, std::string>>{
             {quoted, "contains a double quote"},
             {odd.path() + "plain-file", "is a file, not a folder"},
             {"D:\\Copias\\", "is a Windows folder"},
             {odd.path() + "missing/", "does not exist"}}) {
        Sql("REPLACE INTO opcion (ID, VarCharValor) VALUES ('BackupRestoreDir', '" +
            SQLEscape(value) + "');");
        EXPECT_EQ(BackupFolder(), AppPath() + "Backup/") << value;
        EXPECT_NE(Log().find("BackupRestoreDir \"" + value + "\" " + why), std::string::npos)
            << value;
    }
    EXPECT_EQ(ReadFile(odd.path() + "plain-file"), "not a folder");
}

TEST_F(BackupFaults, AServerThatMayNotWriteTheExportsIsNamedWithTheFix) {
    if (Shell("id mysql >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no user mysql on this computer (package mariadb-server)";
    // A server of its own that runs as mysql, as a shop's server does: the program's private
    // working folder is closed to it.
    OwnServer server("mariadb-as-mysql", DbPort() + 3);
    ASSERT_TRUE(server.Start("LOCAL_MARIADB_USER=mysql"));
    ASSERT_TRUE(
        server.Load("INSERT INTO opcion (ID, IntegerValor) VALUES ('AutoBackupOpcion', 1);"));
    server.Use(AppPath());
    PutGoodArchives(backup_, 1, 2);
    ConnectDataBase();
    ASSERT_TRUE(DataBase().ConnectionStatus());
    AutoBackup();
    EXPECT_NE(Log().find("the database server cannot write into the working folder " + work_ +
                         " (permission denied)"),
              std::string::npos)
        << Log();
    EXPECT_NE(Log().find("usermod -a -G zentamarket mysql"), std::string::npos);
    EXPECT_EQ(Whole(backup_).size(), 2u);
    EXPECT_TRUE(DirNames(backup_ + "*INCOMPLETE*").empty());
    EXPECT_TRUE(WorkFolderEmpty());

    // A server whose secure_file_priv points elsewhere.
    ReleaseDataBase();
    ASSERT_TRUE(server.Start("LOCAL_MARIADB_USER=mysql LOCAL_MARIADB_SECURE_FILE_PRIV='" +
                             server.dir() + "'"));
    ConnectDataBase();
    ASSERT_TRUE(DataBase().ConnectionStatus());
    AutoBackup();
    EXPECT_NE(Log().find("option secure_file_priv (" + server.dir() + "/) forbids it"),
              std::string::npos)
        << Log();
    EXPECT_EQ(Whole(backup_).size(), 2u);
    ReleaseDataBase();
}

TEST_F(BackupFaults, ADrivePulledOutDuringTheCopyLeavesNothingUnderTheArchivesName) {
    LabelledDrive drive("ZTP");
    if (!drive.mounted())
        GTEST_SKIP() << "a labelled drive needs root, loop devices and mkfs.ext4";
    AddIncompressiblePictures(128);
    std::string folder = backup_, noDrive;
    BackupReport report;
    const std::string name = BackupAll(folder, noDrive, &report);
    ASSERT_TRUE(report.Good()) << Log();
    // Pulled out while the copy is being written (the file is still open on it).
    const std::string target = drive.mountPoint() + "ZentaBackup/";
    bool pulled = false;
    SetWaitHook([&] {
        if (!pulled && fs::exists(target + name + ".partial"))
            pulled = drive.Unmount(true);
    });
    auto copies = CopyArchiveToDrives(folder, name, drive.label());
    SetWaitHook(nullptr);
    ASSERT_TRUE(pulled);
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_FALSE(copies[0].whole);
    EXPECT_NE(copies[0].error.find("was the drive removed?"), std::string::npos) << copies[0].error;

    // Plugged in again: nothing under the archive's name; the next copy works and clears the
    // leftover.
    ASSERT_TRUE(drive.Mount());
    EXPECT_FALSE(fs::exists(target + name));
    copies = CopyArchiveToDrives(folder, name, drive.label());
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_TRUE(copies[0].whole) << copies[0].error;
    EXPECT_EQ(ReadFile(target + name), ReadFile(folder + name));
    EXPECT_TRUE(DirNames(target + "*.partial", vbHidden).empty());

    // A cut-short file under the archive's name is replaced; a whole copy is left alone.
    CopyCutShort(folder + name, target + name, 1000);
    copies = CopyArchiveToDrives(folder, name, drive.label());
    EXPECT_TRUE(copies[0].whole && !copies[0].alreadyThere) << copies[0].error;
    EXPECT_EQ(ReadFile(target + name), ReadFile(folder + name));
    copies = CopyArchiveToDrives(folder, name, drive.label());
    EXPECT_TRUE(copies[0].alreadyThere);
}

TEST_F(BackupFaults, APasswordFileOthersCanReadStopsTheBackupInsteadOfWritingInTheClear) {
    std::string folder = backup_, label;
    BackupReport report;
    ASSERT_TRUE(!BackupAll(folder, label, &report).empty() && report.Good()) << Log();
    const std::string good = folder + report.archiveName;
    WriteFile(AppPath() + "archive-password", "secret\n");
    fs::permissions(AppPath() + "archive-password",
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    SetSetting("Monitor", "ArchivePasswordFile", AppPath() + "archive-password");
    BackupAll(folder, label, &report);
    EXPECT_TRUE(report.archiveName.empty());
    // The reason reaches the caller (and so the command's output and the tray), not only the log.
    EXPECT_NE(report.failure.find("is open to other users (mode 0640): chmod 600"),
              std::string::npos)
        << report.failure;
    EXPECT_NE(Log().find("is open to other users (mode 0640): chmod 600"), std::string::npos);
    EXPECT_NE(JobOutcome::Read("Backup")["Failure"].find("is open to other users"),
              std::string::npos);
    SetSetting("Monitor", "ArchivePasswordFile", AppPath() + "missing-password");
    BackupAll(folder, label, &report);
    EXPECT_TRUE(report.archiveName.empty());
    EXPECT_NE(report.failure.find("missing-password cannot be read (No such file"),
              std::string::npos)
        << report.failure;
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
    EXPECT_TRUE(fs::exists(good));
}
