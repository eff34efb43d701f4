// The one-shot commands, run as a technician runs them over SSH: the installed program in its
// program folder, no display, against the private server.
#include "../chain/TestServers.h"
#include "CodePage.h"
#include "OneShot.h"
#include "SevenZip.h"

#include <filesystem>
#include <fstream>

using namespace zenta;
using namespace zenta::test;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

class CommandLine : public OneShotTest {};

TEST_F(CommandLine, HelpVersionAndBadArgumentsNeverStartTheMonitor) {
    auto r = Run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Has(r.out, "check-structure"));
    r = Run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Has(r.out, "ZentaMarketMonitor 3."));
    // Every bad call is refused with the reason and the usage, and nothing is done: an option
    // the command does not take, options that contradict each other, a name too long.
    const std::string archive = AppPath() + "some.ZTB";
    for (const auto& [bad, why] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"backupp"}, "unknown command \"backupp\""},
             {{"--frobnicate"}, "unknown argument \"--frobnicate\""},
             {{"status", "extra"}, "unknown argument \"extra\""},
             {{"backup", "--wait", "x"}, "--wait needs a number of seconds"},
             {{"backup", "--into-live"}, "--into-live is not an option of backup"},
             {{"status", "--database", "x"}, "--database is not an option of status"},
             {{"verify", archive, "--yes"}, "--yes is not an option of verify"},
             {{"restore", archive, "--into-live", "--database", "foo"},
              "--into-live and --database contradict each other"},
             {{"restore", archive, "--database", std::string(65, 'd')},
              "the database name \"" + std::string(65, 'd') + "\" is too long"},
             {{"restore"}, "restore needs the archive"}}) {
        r = Run(bad);
        EXPECT_EQ(r.status, 2) << bad[0];
        EXPECT_TRUE(Has(r.err, "ZentaMarketMonitor: " + why)) << r.err;
        EXPECT_TRUE(Has(r.err, "Usage:")) << bad[0];
        EXPECT_EQ(r.out, "") << bad[0];
    }
    // The usage text comes from the same table: every command and option is in it.
    r = Run({"--help"});
    for (const char* word :
         {"status", "backup", "check-structure", "workstations", "ip-update", "run-cycle",
          "clear-print-queues", "restore [ARCHIVE]", "verify ARCHIVE", "--until TIME",
          "--accept-shrink", "--password-file FILE", "--wait SECONDS"})
        EXPECT_TRUE(Has(r.out, word)) << word;
    EXPECT_FALSE(Has(ReadFile(AppPath() + "Log/ZentaMarketMonitor.log"), "started"));
}

TEST_F(CommandLine, BackupThenStatusTellWhatWasMadeAndAnUnreachableDatabaseIsSaid) {
    Sql("INSERT INTO opcion (ID, IntegerValor) VALUES ('MaxBackupFile', 1);"
        "INSERT INTO stockcambio (AlmacenID, ArticuloID, Cantidad) VALUES (1, 'A', 2);");
    auto r = Run({"status"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "Monitor running:    no")) << r.out;
    EXPECT_TRUE(Has(r.out, "Database:           connected, 127.0.0.1:" + std::to_string(DbPort())))
        << r.out;
    EXPECT_TRUE(Has(r.out, "Last backup:        none recorded")) << r.out;
    // One report: the panel's facts in a block of their own, each fact once, nothing that
    // changes from one run to the next.
    EXPECT_TRUE(Has(r.out, "Status panel:\n  数据库位置: ")) << r.out;
    EXPECT_FALSE(Has(r.out, "MySQL ID")) << r.out;
    EXPECT_FALSE(Has(r.out, "本机")) << r.out;
    EXPECT_EQ(Run({"status"}).out, r.out);

    r = Run({"backup"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string archive = r.out.substr(r.out.rfind(AppPath()), std::string::npos);
    const std::string path = archive.substr(0, archive.find('\n'));
    EXPECT_TRUE(IsWhole7zArchive(path)) << path;
    EXPECT_TRUE(Has(ReadFile(AppPath() + "Log/ZentaMarketMonitor.log"), "backup made: " + path));
    // The backup command does not touch the stock: only run-cycle does.
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM stockcambio;"), "1\n");

    r = Run({"run-cycle"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(Sql("SELECT Stock FROM stock;"), "2.000\n");
    r = Run({"status"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Has(r.out, ", good, " + AppPath() + "Backup/ZentaMarket")) << r.out;
    EXPECT_TRUE(Has(r.out, "Last stock renewal: ")) << r.out;
    EXPECT_TRUE(Has(r.out, ", done, 1 pairs")) << r.out;
    EXPECT_TRUE(Has(r.out, "Archives:           " + AppPath() + "Backup/ (newest 1, weeks 0"))
        << r.out;
    EXPECT_TRUE(Has(r.out, " KB  kept: one of the 1 newest\n")) << r.out;
    // MaxBackupFile 1: the cycle's own archive is the only one left.
    EXPECT_EQ(std::distance(fs::directory_iterator(AppPath() + "Backup"), fs::directory_iterator()),
              1);

    WriteFile(AppPath() + "zentamarket.ini", "[MySQL]\r\nMySQLHost=127.0.0.1\r\nMySQLPort=1\r\n");
    r = Run({"backup"});
    EXPECT_EQ(r.status, 2);
    // One line, naming the place and what to check.
    EXPECT_TRUE(Has(r.err, "The database at 127.0.0.1:1 cannot be reached (")) << r.err;
    EXPECT_TRUE(Has(r.err, "is MariaDB running there, is MySQLPort in " + AppPath() +
                               "zentamarket.ini right"))
        << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    r = Run({"status"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.out, "Database:           not reachable, 127.0.0.1:1")) << r.out;
    EXPECT_TRUE(Has(r.out, "tested good")) << r.out; // the record stays readable without it
    // And the archives, which are files.
    EXPECT_TRUE(Has(r.out, "Archives:           " + AppPath() +
                               "Backup/ (the rotation's limits are in the database)\n  "
                               "ZentaMarket"))
        << r.out;
    EXPECT_TRUE(Has(r.out, ".ZTB  ")) << r.out;
    EXPECT_TRUE(Has(r.out, "  whole\n")) << r.out;
}

TEST_F(CommandLine, AOneShotJobWaitsForTheMonitorsJobOrGivesUpPlainly) {
    Sql("INSERT INTO opcion (ID, IntegerValor) VALUES ('AutoBackupOpcion', 1);");
    // The monitor's start-up backup packs slowly, holding the folder's job lock meanwhile.
    TempDir spare;
    const std::string slow = spare.path() + "7zz-slow";
    WriteFile(slow, "#!/bin/sh\n[ \"$1\" = a ] && touch '" + spare.path() +
                        "packing' && sleep 4\nexec 7zz \"$@\"\n");
    fs::permissions(slow, fs::perms::owner_all);
    Program monitor(AppPath(), {"QT_QPA_PLATFORM=offscreen", "ZENTA_7ZIP=" + slow});
    ASSERT_TRUE(WaitFor([&] { return fs::exists(spare.path() + "packing"); }, 30s));
    auto r = Run({"status"});
    EXPECT_TRUE(Has(r.out, "Monitor running:    yes")) << r.out;
    r = Run({"backup", "--wait", "0"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Has(r.out, "waiting for it to finish")) << r.out;
    // Whose job it is, as the lock's holder says.
    EXPECT_TRUE(Has(r.out, "is running (ZentaMarketMonitor, pid " + std::to_string(monitor.pid()) +
                               ", the monitor's "))
        << r.out;
    EXPECT_TRUE(Has(r.err, "the other run did not finish within 0 s; nothing done")) << r.err;
    r = Run({"backup"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "waiting for it to finish")) << r.out;
    // Two archives, made one after the other, never at once.
    size_t archives = 0;
    for (auto& e : fs::directory_iterator(AppPath() + "Backup"))
        archives += IsWhole7zArchive(e.path().string());
    EXPECT_EQ(archives, 2u) << ReadFile(AppPath() + "Log/ZentaMarketMonitor.log");
    // A second monitor of the same folder, whatever its environment, ends at once.
    Program second(AppPath(), {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=/nonexistent"});
    EXPECT_EQ(second.WaitExit(5s), 0);
    monitor.Signal(SIGTERM);
    EXPECT_EQ(monitor.WaitExit(10s), 0);
}

TEST_F(CommandLine, CheckStructureSaysWhetherItMatchesAndWhatDiffers) {
    auto r = Run({"check-structure"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "matches")) << r.out;
    Sql("ALTER TABLE articulo ADD COLUMN Extra int;");
    r = Run({"check-structure"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "differs")) << r.out;
    EXPECT_TRUE(Has(r.out, "Extra")) << r.out;
    WriteFile(AppPath() + "zentamarket.ini", "[MySQL]\r\nMySQLHost=127.0.0.1\r\nMySQLPort=1\r\n");
    r = Run({"check-structure"});
    EXPECT_EQ(r.status, 2);
}

TEST_F(CommandLine, WorkstationsIPUpdateAndPrintQueues) {
    auto r = Run({"workstations"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "No computer is running")) << r.out;

    Sql("INSERT INTO opcion (ID, IntegerValor, VarCharValor) VALUES ('CadenaFunciona', 1, NULL),"
        "('CadenaID', NULL, '12'), ('SubTiendaID', NULL, '7');");
    HeadOfficeServer headOffice;
    headOffice.Answer("/tools/getserverstatus.php", "0");
    headOffice.Answer("/tools/updateip.php", "0:203.0.113.9");
    r = Run({"ip-update"}, {"ZENTA_HEADOFFICE_PRIMARY=" + headOffice.Host(),
                            "ZENTA_HEADOFFICE_SECONDARY=127.0.0.1:1"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "203.0.113.9")) << r.out;
    // Head office away: the reason names the host.
    r = Run({"ip-update"},
            {"ZENTA_HEADOFFICE_PRIMARY=127.0.0.1:1", "ZENTA_HEADOFFICE_SECONDARY=127.0.0.1:1"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(Has(ReadFile(AppPath() + "Log/ZentaMarketMonitor.log"), "IP report: failed"));

    r = Run({"clear-print-queues"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Has(r.err, "--yes")) << r.err;
}

TEST_F(CommandLine, RestoreAndVerifyAnArchiveFromTheCommandLine) {
    Sql("INSERT INTO ticket (TicketNo, Fecha) SELECT seq, NOW() FROM seq_1_to_50;");
    auto r = Run({"backup"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string archive = r.out.substr(r.out.rfind(AppPath()));
    const std::string path = archive.substr(0, archive.find('\n'));
    r = Run({"verify", path});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "ok       ticket: 50 rows, checksum same")) << r.out;
    EXPECT_TRUE(Has(r.out, "The archive restores whole.")) << r.out;
    r = Run({"restore", path, "--database", "zentasupermarket_cli"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "into the database zentasupermarket_cli")) << r.out;
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM zentasupermarket_cli.ticket;"), "50\n");
    Sql("DROP DATABASE zentasupermarket_cli;", "mysql");
    CopyCutShort(path, AppPath() + "cut.ZTB", 200);
    r = Run({"restore", AppPath() + "cut.ZTB"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Has(r.err, "Not restored: the archive is damaged")) << r.err;
    r = Run({"verify"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Has(r.err, "verify needs the archive")) << r.err;

    // An encrypted archive: the shop's password, or the one of --password-file.
    std::ofstream(AppPath() + "zentamarket.ini", std::ios::app)
        << "[Monitor]\r\nArchivePassword=cli secret\r\n";
    sleep(1);
    r = Run({"backup"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string encrypted = r.out.substr(r.out.rfind(AppPath()));
    const std::string locked = encrypted.substr(0, encrypted.find('\n'));
    r = Run({"verify", locked});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    WriteFile(AppPath() + "old-password", "another one\n");
    fs::permissions(AppPath() + "old-password", fs::perms::owner_read);
    r = Run({"restore", locked, "--password-file", AppPath() + "old-password"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Has(r.err, "the archive's password is not the one given")) << r.err;
    r = Run({"restore", locked, "--password-file"});
    EXPECT_EQ(r.status, 2);
}

// On a pair of servers a restore into the live database would reach neither binary log: the
// standby would silently keep the old data. Refused without the standby seeded again after it,
// and when the standby cannot be: nothing restored, the way out said.
TEST_F(CommandLine, ARestoreIntoTheLiveDatabaseOfAPairIsRefused) {
    const std::string ini = ReadFile(AppPath() + "zentamarket.ini");
    WriteFile(AppPath() + "zentamarket.ini", ini + "[Standby]\r\nHost=127.0.0.2\r\n");
    Sql("INSERT INTO articulo (ArticuloID, NombreES) VALUES ('KEEP', 'stays')");
    const auto r = Run({"restore", AppPath() + "any.ZTB", "--into-live"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Has(r.err, "the standby would silently keep the data as it was")) << r.err;
    EXPECT_TRUE(Has(r.err, "--reseed-standby")) << r.err;
    // With it, a standby that cannot be seeded again from here refuses before anything is done.
    const auto unpaired =
        Run({"restore", AppPath() + "any.ZTB", "--into-live", "--reseed-standby"});
    EXPECT_EQ(unpaired.status, 2);
    EXPECT_TRUE(Has(unpaired.err, "the standby could not be seeded again after it"))
        << unpaired.err;
    EXPECT_EQ(Sql("SELECT NombreES FROM articulo WHERE ArticuloID = 'KEEP'"), "stays\n");
    EXPECT_EQ(Run({"restore", AppPath() + "any.ZTB", "--reseed-standby"}).status, 2)
        << "--reseed-standby without --into-live";
}
