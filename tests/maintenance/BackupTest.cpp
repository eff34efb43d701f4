#include "ArchiveNames.h"
#include "AutoBackupData.h"
#include "AutoTicket.h"
#include "BackupAll.h"
#include "CodePage.h"
#include "Common.h"
#include "DbFixture.h"
#include "FolderListing.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "RemovableDrives.h"
#include "Restore.h"
#include "SevenZip.h"
#include "Verification.h"
#include "clsSystem.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <sys/utsname.h>
#include <thread>

using namespace zenta;
using namespace zenta::test;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t e = text.find("\r\n", pos);
        if (e == std::string::npos) {
            out.push_back(text.substr(pos));
            break;
        }
        out.push_back(text.substr(pos, e - pos));
        pos = e + 2;
    }
    return out;
}

// A cashier selling on a connection of its own until stopped: each sale is one transaction of
// the statements `sale` gives for its ticket number.
class Cashier {
  public:
    explicit Cashier(std::function<std::vector<std::string>(long)> sale)
        : thread_([this, sale] {
              clsDataBase db;
              db.Connect("127.0.0.1", DbPort(), "", kBackOfficeUser, kBackOfficePassword);
              for (long n = 100000; !stop_; ++n) {
                  db.StartTrans();
                  bool good = db.ConnectionStatus();
                  for (const auto& statement : sale(n)) {
                      db.SQLExecute(statement);
                      good = good && db.ConnectionStatus();
                  }
                  if (!good) {
                      db.RollbackTrans();
                      continue;
                  }
                  db.CommitTrans();
                  if (db.ConnectionStatus())
                      ++sold_;
              }
          }) {}
    ~Cashier() { Stop(); }
    // Waits until `count` sales are committed (false after a minute).
    [[nodiscard]] bool WaitForSales(int count) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (sold_ < count) {
            if (std::chrono::steady_clock::now() > until)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
    int sold() const { return sold_; }
    void Stop() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<int> sold_{0};
    std::thread thread_;
};

} // namespace

class Backup : public ConnectedDbTest {
  protected:
    void SetUp() override {
        ConnectedDbTest::SetUp();
        fs::create_directories(AppPath() + "Backup");
    }
    void TearDown() override {
        SetVolumeSource(nullptr);
        unsetenv("ZENTA_7ZIP");
        DbTest::TearDown();
    }
    // Packs a backup and unpacks it into a fresh folder; the archive's name.
    std::string BackupAndExtract(const std::string& into, const std::string& label = "") {
        std::string folder = AppPath() + "Backup";
        std::string volume = label;
        BackupReport report;
        const std::string name = BackupAll(folder, volume, &report);
        EXPECT_FALSE(name.empty());
        EXPECT_TRUE(report.complete);
        EXPECT_EQ(folder, AppPath() + "Backup/");
        std::string archive = folder + name, dest = into, pw;
        EXPECT_EQ(SevenZipExtract(archive, dest, pw, false), 0);
        return name;
    }
};

TEST_F(Backup, ManifestStructuresAndSettingsFollowTheArchiveFormat) {
    Sql("INSERT INTO opcion (ID, IntegerValor) VALUES ('Version', 235);");
    WriteFile(AppPath() + "zentamarket.ini",
              ReadFile(AppPath() + "zentamarket.ini") + ToAnsi("[分店]\r\n名称=泽川\r\n"));
    fs::create_directories(AppPath() + "Temp/Backup");
    WriteFile(AppPath() + "Temp/Backup/stale.dat", "left from an earlier backup");
    TempDir out;
    const std::string name = BackupAndExtract(out.path());
    EXPECT_TRUE(HasShape(name, "ZentaMarket##############.ZTB")) << name;
    EXPECT_FALSE(fs::exists(out.path() + "stale.dat"));
    EXPECT_EQ(ReadFile(out.path() + "zentamarket.ini"), ReadFile(AppPath() + "zentamarket.ini"));

    // Each line against a source of its own: the kernel, the server, the processor.
    const auto lines = Lines(ReadFile(out.path() + "MarketBackup.ini"));
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[0], "[Version]");
    EXPECT_EQ(lines[1], "Versoin=3");
    struct utsname kernel {};
    ASSERT_EQ(::uname(&kernel), 0);
    EXPECT_NE(lines[2].find(std::string(kernel.release).substr(0, 3)), std::string::npos)
        << lines[2];
    EXPECT_EQ(lines[3].rfind("OSName=", 0), 0u);
    EXPECT_GT(lines[3].size(), 8u);
    const std::string server = Sql("SELECT VERSION();");
    EXPECT_EQ(lines[4], "MySQL=" + server.substr(0, server.find('-')));
    EXPECT_EQ(lines[5], "ZentaSuperMarket=2.35");
    EXPECT_EQ(lines[6].rfind("CPUID=", 0), 0u);
    EXPECT_EQ(lines[6].size(), 6u + 16u) << lines[6];
    EXPECT_EQ(lines[6].find_first_not_of("0123456789ABCDEF", 6), std::string::npos) << lines[6];
    EXPECT_EQ(lines[7], "");
    EXPECT_EQ(lines[8], "[Backup]");
    EXPECT_EQ(lines[9], "Dump=0");
    EXPECT_TRUE(HasShape(lines[10], "DateTime=####-##-## ##:##:##"));

    const std::string stru = ReadFile(out.path() + "STRU.SQL");
    EXPECT_EQ(stru.find('`'), std::string::npos);
    EXPECT_EQ(stru.find("\r\n\r\n\r\n"), std::string::npos);
    for (size_t p = stru.find('\n'); p != std::string::npos; p = stru.find('\n', p + 1))
        ASSERT_EQ(stru[p - 1], '\r');
    EXPECT_NE(stru.find("CREATE TABLE articulodibujo (\r\n  ArticuloID varchar(30) NOT NULL,"),
              std::string::npos);
    EXPECT_NE(stru.find("DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;\r\n\r\nCREATE TABLE"),
              std::string::npos);
    EXPECT_EQ(static_cast<size_t>(std::count(stru.begin(), stru.end(), ';')), SuiteTables().size());
    // No reference database yet: its structure file is there and empty.
    EXPECT_EQ(ReadFile(out.path() + "STRUBASIC.SQL"), "");
}

TEST_F(Backup, WithoutAVersionRowOrPicturesTheArchiveSaysSo) {
    Sql("INSERT INTO opcion (ID, IntegerValor) VALUES ('BackupGoodsPictureInclude', 0);"
        "INSERT INTO articulodibujo VALUES ('A', 0x00, NULL);"
        "CREATE DATABASE IF NOT EXISTS zentasupermarketbasic; "
        "CREATE TABLE IF NOT EXISTS zentasupermarketbasic.opcion (ID varchar(50) PRIMARY KEY);");
    TempDir out;
    BackupAndExtract(out.path());
    const auto lines = Lines(ReadFile(out.path() + "MarketBackup.ini"));
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines[5].rfind("CPUID=", 0), 0u);
    EXPECT_FALSE(fs::exists(out.path() + "articulodibujo.dat"));
    EXPECT_TRUE(fs::exists(out.path() + "articulo.dat"));
    EXPECT_NE(ReadFile(out.path() + "STRU.SQL").find("CREATE TABLE articulodibujo"),
              std::string::npos);
    EXPECT_EQ(ReadFile(out.path() + "STRUBASIC.SQL"),
              "CREATE TABLE opcion (\r\n  ID varchar(50) NOT NULL,\r\n  PRIMARY KEY (ID)\r\n) "
              "ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;\r\n\r\n");
    Sql("DROP DATABASE zentasupermarketbasic;", "mysql");
}

TEST_F(Backup, ExportsShareOneSnapshotWhileTicketsAreSold) {
    // 20,000 tickets of three lines each, then a cashier keeps selling during the backup.
    Sql("INSERT INTO ticket (TicketNo, Fecha) SELECT seq, NOW() FROM seq_1_to_20000;"
        "INSERT INTO ticketarticulo (TicketNo, ArticuloID) SELECT t.seq, CONCAT('A', l.seq) FROM "
        "seq_1_to_20000 t, seq_1_to_3 l;");
    Cashier cashier([](long n) {
        const std::string no = std::to_string(n);
        return std::vector<std::string>{
            "INSERT INTO ticket (TicketNo, Fecha) VALUES (" + no + ", NOW());",
            "INSERT INTO ticketarticulo (TicketNo, ArticuloID) VALUES (" + no + ", 'X'), (" + no +
                ", 'Y'), (" + no + ", 'Z');"};
    });
    ASSERT_TRUE(cashier.WaitForSales(20)) << "the cashier sells nothing";
    TempDir out;
    const std::string name = BackupAndExtract(out.path());
    cashier.Stop();
    // The recorded row counts and checksums belong to the same snapshot as the data.
    const VerifyReport verified = VerifyArchive(AppPath() + "Backup/" + name);
    EXPECT_TRUE(verified.ok) << verified.error;
    EXPECT_TRUE(verified.recorded);
    RestoreOptions into;
    into.database = "zentasupermarket_snapshot";
    const RestoreReport restored = RestoreArchive(AppPath() + "Backup/" + name, into);
    ASSERT_TRUE(restored.ok) << restored.error;
    const std::string db = restored.database;
    EXPECT_EQ(Sql("SELECT (SELECT COUNT(*) FROM " + db +
                  ".ticketarticulo) - 3 * (SELECT COUNT(*) "
                  "FROM " +
                  db + ".ticket);"),
              "0\n");
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM " + db + ".ticketarticulo a LEFT JOIN " + db +
                  ".ticket t USING (TicketNo) WHERE t.TicketNo IS NULL;"),
              "0\n");
    Sql("DROP DATABASE " + db + ";", "mysql");
}

TEST_F(Backup, TwoBackupsWithinOneSecondNeverReplaceOneAnother) {
    std::vector<std::string> names;
    for (int i = 0; i < 3; ++i) {
        std::string folder = AppPath() + "Backup", label;
        BackupReport report;
        names.push_back(BackupAll(folder, label, &report));
        EXPECT_TRUE(report.Good()) << report.failure;
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(std::unique(names.begin(), names.end()), names.end());
    EXPECT_EQ(DirNames(AppPath() + "Backup/ZentaMarket??????????????.ZTB").size(), 3u);
    for (const auto& n : names)
        EXPECT_TRUE(IsWhole7zArchive(AppPath() + "Backup/" + n)) << n;
}

TEST_F(Backup, ArchiveIsCopiedOntoEveryDriveWithTheLabel) {
    TempDir a, b, other, gone;
    WriteFile(gone.path() + "file", "x");
    const std::string vanished = gone.path() + "file"; // a mount point that is no folder any more
    SetVolumeSource([&] {
        return std::vector<MountedVolume>{{" ZentaBak ", a.path().substr(0, a.path().size() - 1)},
                                          {"ZENTABAK", b.path()},
                                          {"zentabak", vanished},
                                          {"OTHER", other.path()}};
    });
    std::string folder = AppPath() + "Backup", label = "zentabak";
    BackupReport report;
    const std::string name = BackupAll(folder, label, &report);
    ASSERT_FALSE(name.empty());
    EXPECT_EQ(ReadFile(a.path() + "ZentaBackup/" + name), ReadFile(folder + name));
    EXPECT_EQ(ReadFile(b.path() + "ZentaBackup/" + name), ReadFile(folder + name));
    EXPECT_FALSE(fs::exists(other.path() + "ZentaBackup"));
    ASSERT_EQ(report.drives.size(), 2u);
    EXPECT_TRUE(report.drives[0].whole && report.drives[1].whole);
    for (auto& e : fs::directory_iterator(a.path() + "ZentaBackup"))
        EXPECT_EQ(e.path().extension(), ".ZTB"); // no partial file left behind

    // A whole copy already on the drive is left alone (same file, same time); a damaged one
    // under the archive's name is replaced by a good copy, and a missing one is made.
    const auto before = fs::last_write_time(b.path() + "ZentaBackup/" + name);
    WriteFile(a.path() + "ZentaBackup/" + name, "damaged");
    const auto copied = CopyArchiveToDrives(folder, name, "ZENTABAK");
    ASSERT_EQ(copied.size(), 2u);
    EXPECT_TRUE(copied[0].whole && !copied[0].alreadyThere);
    EXPECT_TRUE(copied[1].whole && copied[1].alreadyThere);
    EXPECT_EQ(ReadFile(a.path() + "ZentaBackup/" + name), ReadFile(folder + name));
    EXPECT_EQ(fs::last_write_time(b.path() + "ZentaBackup/" + name), before);
}

TEST_F(Backup, AutoBackupRunsOncePerDayAndOnlyCountsAWrittenArchive) {
    Sql("INSERT INTO opcion (ID, IntegerValor) VALUES ('AutoBackupOpcion', 1);");
    // An archiver that fails: no archive, so the day is not recorded.
    setenv("ZENTA_7ZIP", "/bin/false", 1);
    AutoBackup();
    EXPECT_TRUE(DirNames(AppPath() + "Backup/*.ZTB").empty());
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM opcion WHERE ID = 'LastDateAutoBackup';"), "0\n");
    unsetenv("ZENTA_7ZIP");
    AutoBackup();
    EXPECT_EQ(DirNames(AppPath() + "Backup/*.ZTB").size(), 1u);
    EXPECT_EQ(
        Sql("SELECT IntegerValor = TO_DAYS(NOW()) FROM opcion WHERE ID = 'LastDateAutoBackup';"),
        "1\n");
    sleep(1);
    AutoBackup(); // already made today
    EXPECT_EQ(DirNames(AppPath() + "Backup/*.ZTB").size(), 1u);
    // A custom folder from the options.
    TempDir custom;
    Sql("REPLACE INTO opcion (ID, VarCharValor) VALUES ('BackupRestoreDir', '" +
        SQLEscape(custom.path()) +
        "'); UPDATE opcion SET IntegerValor = TO_DAYS(NOW()) - 1 WHERE ID = 'LastDateAutoBackup';");
    AutoBackup();
    EXPECT_EQ(DirNames(custom.path() + "*.ZTB").size(), 1u);
}

TEST_F(Backup, WeeklyModeWithoutAnEarlierBackupNeverStarts) {
    Sql("INSERT INTO opcion (ID, IntegerValor) VALUES ('AutoBackupOpcion', 2), "
        "('AutoBackupCadaSemana', 1),"
        "('AutoBackupSemanaDia', " +
        std::to_string(DateTime::Today().WeekdayMondayZero()) + ");");
    AutoBackup();
    EXPECT_TRUE(DirNames(AppPath() + "Backup/*.ZTB").empty());
    Sql("REPLACE INTO opcion (ID, IntegerValor) VALUES ('LastDateAutoBackup', TO_DAYS(NOW()) - "
        "7);");
    AutoBackup();
    EXPECT_EQ(DirNames(AppPath() + "Backup/*.ZTB").size(), 1u);
}

TEST_F(Backup, ADayRecordedInTheFutureNeverHoldsTheBackupsOrThePurgeOff) {
    // The server's clock was once 100 days ahead: weekly mode, on another weekday than today.
    Sql("INSERT INTO opcion (ID, IntegerValor) VALUES ('AutoBackupOpcion', 2), "
        "('AutoBackupCadaSemana', 1), ('AutoBackupSemanaDia', " +
        std::to_string((DateTime::Today().WeekdayMondayZero() + 3) % 7) +
        "), ('LastDateAutoBackup', TO_DAYS(NOW()) + 100), ('AutoEliminarTicket', 1), "
        "('AutoEliminarTicketPeriodo', 0), ('UltimaFechaAutoEliminarTicket', TO_DAYS(NOW()) + "
        "100);"
        "INSERT INTO ticket (TicketNo, Fecha) VALUES (1001010001, '2010-01-01 10:00:00');");
    AutoBackup();
    EXPECT_EQ(DirNames(AppPath() + "Backup/" + kArchivePattern).size(), 1u);
    EXPECT_NE(ReadFile(AppPath() + "Log/ZentaMarketMonitor.log")
                  .find("LastDateAutoBackup) lies 100 days in the future"),
              std::string::npos);
    // The day is recorded as today again: the weekly rhythm goes on from here.
    EXPECT_EQ(
        Sql("SELECT IntegerValor = TO_DAYS(NOW()) FROM opcion WHERE ID = 'LastDateAutoBackup';"),
        "1\n");
    // Daily mode too, and the ticket purge.
    Sql("UPDATE opcion SET IntegerValor = 1 WHERE ID = 'AutoBackupOpcion';"
        "UPDATE opcion SET IntegerValor = TO_DAYS(NOW()) + 100 WHERE ID = 'LastDateAutoBackup';");
    sleep(1);
    AutoBackup();
    EXPECT_EQ(DirNames(AppPath() + "Backup/" + kArchivePattern).size(), 2u);
    AutoDeleteTickets();
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM ticket;"), "0\n");
}

TEST_F(Backup, RotationKeepsTheNewestArchivesAndNothingElseIsTouched) {
    const std::string folder = AppPath() + "Backup/";
    TempDir work;
    MakeSmallArchive(work.path() + "good.7z");
    for (int i = 1; i <= 25; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "ZentaMarket202401%02d120000.ZTB", i);
        fs::copy_file(work.path() + "good.7z", folder + name);
    }
    for (const char* lookalike :
         {"OtherMarket20240101120000.ZTB", "ZentaMarket20240101120000.ZIP",
          ".ZentaMarket20240101120000.ZTB", "ZentaMarket20240101120000.ZTB.txt"})
        WriteFile(folder + lookalike, "keep");
    Sql("INSERT INTO opcion (ID, IntegerValor) VALUES ('MaxBackupFile', 20);");
    RotateBackupFiles();
    auto left = DirNames(folder + "ZentaMarket??????????????.ZTB");
    ASSERT_EQ(left.size(), 20u);
    EXPECT_EQ(left.front(), "ZentaMarket20240106120000.ZTB");
    for (const char* lookalike :
         {"OtherMarket20240101120000.ZTB", "ZentaMarket20240101120000.ZIP",
          ".ZentaMarket20240101120000.ZTB", "ZentaMarket20240101120000.ZTB.txt"})
        EXPECT_TRUE(fs::exists(folder + lookalike)) << lookalike;

    // Drives: every drive with the label is pruned to its own maximum.
    TempDir a, b;
    for (auto* d : {&a, &b}) {
        fs::create_directories(d->path() + "ZentaBackup");
        for (int i = 1; i <= 4; ++i)
            fs::copy_file(work.path() + "good.7z", d->path() + "ZentaBackup/ZentaMarket2024020" +
                                                       std::to_string(i) + "120000.ZTB");
    }
    SetVolumeSource([&] {
        return std::vector<MountedVolume>{{"USB", a.path()}, {" usb", b.path()}};
    });
    Sql("REPLACE INTO opcion (ID, IntegerValor, VarCharValor) VALUES ('MaxMobilBackupFile', 1, "
        "NULL),"
        "('MobilBackupRestoreVolumeName', NULL, 'USB'), ('MaxBackupFile', 0, NULL);");
    RotateBackupFiles();
    // A limit below 1 still keeps the newest archive: the shop is never left without one.
    EXPECT_EQ(DirNames(folder + "ZentaMarket??????????????.ZTB"),
              (std::vector<std::string>{"ZentaMarket20240125120000.ZTB"}));
    for (auto* d : {&a, &b})
        EXPECT_EQ(DirNames(d->path() + "ZentaBackup/*.ZTB"),
                  (std::vector<std::string>{"ZentaMarket20240204120000.ZTB"}));
}

TEST_F(Backup, TheBinaryLogPositionOfTheSnapshotReplaysToTheLiveDatabase) {
    // Tickets sold all through the backup: the archive holds those of its snapshot, and the
    // binary log from the position it recorded holds exactly the rest.
    Sql("INSERT INTO ticket (TicketNo, Fecha) SELECT seq, NOW() FROM seq_1_to_5000;");
    Cashier cashier([](long n) {
        const std::string no = std::to_string(n);
        return std::vector<std::string>{
            "INSERT INTO ticket (TicketNo, Fecha, Nota) VALUES (" + no +
                ", NOW(), '泽川 \\\\ ,\\r\\n');",
            "INSERT INTO ticketarticulo (TicketNo, ArticuloID) VALUES (" + no + ", 'X');"};
    });
    ASSERT_TRUE(cashier.WaitForSales(20)) << "the cashier sells nothing";
    std::string folder = AppPath() + "Backup", label;
    BackupReport report;
    BackupAll(folder, label, &report);
    ASSERT_TRUE(cashier.WaitForSales(cashier.sold() + 20)) << "the cashier stopped selling";
    cashier.Stop();
    ASSERT_TRUE(report.Good()) << report.failure;
    ASSERT_TRUE(report.snapshot.known()) << "the tests' server keeps a binary log";
    ASSERT_TRUE(report.binaryLog && report.binaryLog->logBin);
    const std::string live = CountsAndChecksums("zentasupermarket");
    const std::string end = Sql("SHOW MASTER STATUS;");
    const std::string endFile = end.substr(0, end.find('\t'));
    const std::string endPosition =
        end.substr(end.find('\t') + 1, end.find('\t', end.find('\t') + 1) - end.find('\t') - 1);

    // The archive carries the position.
    TempDir out;
    ASSERT_EQ(Shell("7zz e -so '" + folder + report.archiveName + "' " + kTableChecksFile + " > '" +
                    out.path() + "checks.ini'"),
              0);
    const std::string checks = ReadFile(out.path() + "checks.ini");
    EXPECT_NE(checks.find("[Binlog]\r\nFile=" + report.snapshot.file +
                          "\r\nPosition=" + std::to_string(report.snapshot.position) + "\r\n"),
              std::string::npos)
        << checks;

    // Restored, then the log replayed from there to the end of the sales: the live database.
    RestoreOptions into;
    into.database = "zentasupermarket_pitr";
    const RestoreReport restored = RestoreArchive(folder + report.archiveName, into);
    ASSERT_TRUE(restored.ok) << restored.error;
    EXPECT_NE(CountsAndChecksums(restored.database), live); // the snapshot is older
    std::string files;
    const std::string logs = Sql("SHOW BINARY LOGS;");
    bool from = false;
    for (size_t pos = 0; pos < logs.size();) {
        const size_t e = logs.find('\n', pos);
        const std::string name = logs.substr(pos, logs.find('\t', pos) - pos);
        from = from || name == report.snapshot.file;
        if (from && name <= endFile)
            files += " '" + DbDir() + "/data/" + name + "'";
        pos = e == std::string::npos ? logs.size() : e + 1;
    }
    ASSERT_FALSE(files.empty());
    ASSERT_EQ(Shell("mariadb-binlog --start-position=" + std::to_string(report.snapshot.position) +
                    " --stop-position=" + endPosition +
                    " --rewrite-db='zentasupermarket->zentasupermarket_pitr'" + files +
                    " | mariadb --no-defaults -uroot --socket='" + DbSocket() +
                    "' --binary-mode --init-command='SET sql_log_bin=0' zentasupermarket_pitr"),
              0);
    EXPECT_EQ(CountsAndChecksums(restored.database), live);
    Sql("DROP DATABASE zentasupermarket_pitr;", "mysql");
}
