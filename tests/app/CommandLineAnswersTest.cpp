// What a technician reads from the one-shot commands when something is wrong: the built
// program as a process against the private server, each answer checked for its exit status
// and its words.
#include "ArchiveNames.h"
#include "BackupHealth.h"
#include "BinlogChain.h"
#include "BinlogCopy.h"
#include "FolderListing.h"
#include "Globals.h"
#include "JobOutcomes.h"
#include "OneShot.h"
#include "OwnServer.h"
#include "SevenZip.h"

#include <csignal>
#include <ctime>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

using namespace zenta;
using namespace zenta::test;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

class CommandLineAnswers : public OneShotTest {
  protected:
    std::string MadeBackup() {
        const auto r = Run({"backup"});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        const std::string from = r.out.substr(r.out.rfind(AppPath()));
        return from.substr(0, from.find('\n'));
    }
};

TEST_F(CommandLineAnswers, ClearingThePrintQueuesWithThePrintServerStoppedIsAFailure) {
    const auto r = Run({"clear-print-queues", "--yes"}, {"CUPS_SERVER=" + AppPath() + "no.sock"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(Has(r.err, "Nothing was cancelled: the print server (CUPS) does not answer at its "
                           "socket " +
                               AppPath() + "no.sock: start it with \"sudo systemctl start cups\""))
        << r.err;
    EXPECT_FALSE(Has(r.err, "Bad file descriptor")) << r.err;
    EXPECT_FALSE(Has(r.out, "was cancelled.")) << r.out;
}

// The archiver packs at a low CPU and I/O priority (the database server answers the tills and
// the tray the person meanwhile); the setting turns it off. Seen by the archiver itself.
TEST_F(CommandLineAnswers, TheArchiverRunsAtALowPriorityUnlessTheSettingSaysNotOrAPersonWaits) {
    const std::string seen = AppPath() + "priority.txt";
    const std::string wrapper = AppPath() + "7zz-priority";
    WriteFile(wrapper, "#!/bin/sh\n{ nice; ionice -p $$; } >> '" + seen + "'\nexec 7zz \"$@\"\n");
    std::filesystem::permissions(wrapper, std::filesystem::perms::owner_all);
    auto r = Run({"backup"}, {"ZENTA_7ZIP=" + wrapper});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    std::string said = ReadFile(seen);
    EXPECT_TRUE(Has(said, "10\nbest-effort: prio 7")) << said;
    EXPECT_FALSE(Has(said, "0\nnone")) << said;
    // A person waiting for a verification (a restore too) gets them at the normal priority.
    const std::string archive = r.out.substr(r.out.rfind(AppPath()));
    std::filesystem::remove(seen);
    r = Run({"verify", archive.substr(0, archive.find('\n'))}, {"ZENTA_7ZIP=" + wrapper});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    said = ReadFile(seen);
    EXPECT_TRUE(said.rfind("0\n", 0) == 0) << said;
    EXPECT_FALSE(Has(said, "prio 7")) << said;
    std::filesystem::remove(seen);
    const std::string ini = ReadFile(AppPath() + "zentamarket.ini");
    WriteFile(AppPath() + "zentamarket.ini", ini + "[Monitor]\r\nLowPriorityHelpers=0\r\n");
    std::filesystem::remove(seen);
    r = Run({"backup"}, {"ZENTA_7ZIP=" + wrapper});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    said = ReadFile(seen);
    EXPECT_TRUE(said.rfind("0\n", 0) == 0) << said;
    EXPECT_FALSE(Has(said, "prio 7")) << said;
    WriteFile(AppPath() + "zentamarket.ini", ini);
}

TEST_F(CommandLineAnswers, VerifyTellsABadBackupFromACheckThatCouldNotRun) {
    Sql("INSERT INTO ticket (TicketNo, Fecha) SELECT seq, NOW() FROM seq_1_to_20;");
    const std::string archive = MadeBackup();
    // Damaged: cut short, or a table's file missing, or a changed byte: 1.
    CopyCutShort(archive, AppPath() + "cut.ZTB", 300);
    auto r = Run({"verify", AppPath() + "cut.ZTB"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(Has(r.err, "Not verified: the archive is damaged")) << r.err;
    TempDir unpacked;
    ASSERT_EQ(Shell("cd '" + unpacked.path() + "' && 7zz x -y '" + archive + "' >/dev/null"), 0);
    fs::remove(unpacked.path() + "ticket.dat");
    ASSERT_EQ(Shell("cd '" + unpacked.path() + "' && 7zz a -y -t7z '" + AppPath() +
                    "lacking.ZTB' '*' >/dev/null"),
              0);
    r = Run({"verify", AppPath() + "lacking.ZTB"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(Has(r.err, "lacks the data file of the table ticket")) << r.err;
    // Could not run: no such file, a file that is no backup: 2.
    r = Run({"verify", AppPath() + "missing.ZTB"});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_TRUE(Has(r.err, "there is no archive")) << r.err;
    MakeSmallArchive(AppPath() + "foreign.ZTB");
    r = Run({"verify", AppPath() + "foreign.ZTB"});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_TRUE(Has(r.err, "this is not a backup of the suite's database")) << r.err;
}

TEST_F(CommandLineAnswers, AnotherUsersFolderIsRefusedUnlessItsGroupKeepsTheFilesShared) {
    if (::geteuid() != 0 || Shell("id nobody >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs root and the user nobody";
    MadeBackup();
    const std::string record = ReadFile(AppPath() + "Log/JobOutcomes.ini");
    ASSERT_EQ(Shell("chown -R nobody '" + AppPath() + "Log' '" + AppPath() + "Backup'"), 0);
    auto r = Run({"backup"});
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_TRUE(Has(r.err, "belongs to the user nobody and this command runs as root")) << r.err;
    EXPECT_TRUE(Has(r.err, "sudo -u nobody " + AppPath() + "ZentaMarketMonitor backup")) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(ReadFile(AppPath() + "Log/JobOutcomes.ini"), record); // nothing done
    // Reading is harmless: status still answers.
    EXPECT_EQ(Run({"status"}).status, 0);

    // With the folders' set-group bit, as the package sets them, root's files stay the group's.
    ASSERT_EQ(Shell("chmod 2770 '" + AppPath() + "Log' '" + AppPath() + "Backup'"), 0);
    fs::remove(AppPath() + "Log/ZentaMarketMonitor.log"); // made anew by root below
    sleep(1);
    r = Run({"backup"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    // The monitor (the folder's group) reads the record and replaces it through the folder.
    struct stat st {
    }, log{};
    ASSERT_EQ(::stat((AppPath() + "Log/JobOutcomes.ini").c_str(), &st), 0);
    ASSERT_EQ(::stat((AppPath() + "Log").c_str(), &log), 0);
    EXPECT_EQ(st.st_mode & 0040, 0040u);
    EXPECT_EQ(st.st_gid, log.st_gid);
    ASSERT_EQ(::stat((AppPath() + "Log/ZentaMarketMonitor.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0060, 0060u); // appended to in place by both
    EXPECT_EQ(st.st_gid, log.st_gid);
    const std::string archive = r.out.substr(r.out.rfind(AppPath()));
    ASSERT_EQ(::stat(archive.substr(0, archive.find('\n')).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0040, 0040u);
}

TEST_F(CommandLineAnswers, AGoodBackupBeforeTheFirstStructureCheckSaysNothingOfTheReference) {
    Sql("DROP DATABASE IF EXISTS zentasupermarketbasic;", "mysql");
    const auto r = Run({"backup"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_FALSE(Has(r.out + r.err, "zentasupermarketbasic")) << r.out << r.err;
    EXPECT_FALSE(Has(r.out + r.err, "SQL failed")) << r.out << r.err;
    EXPECT_FALSE(Has(Log(), "Unknown database")) << Log();
}

TEST_F(CommandLineAnswers, OnATerminalEachStepSaysWhatItDoesAndTheLineIsClearedAfter) {
    if (!Have("script"))
        GTEST_SKIP() << "script (util-linux) gives the program a terminal";
    const std::string transcript = AppPath() + "terminal.txt";
    ASSERT_EQ(Shell("cd / && script -qfec '" + AppPath() + "ZentaMarketMonitor backup' '" +
                    transcript + "' >/dev/null 2>&1"),
              0)
        << ReadFile(transcript);
    const std::string seen = ReadFile(transcript);
    EXPECT_TRUE(Has(seen, "exporting table 1 of " + std::to_string(SuiteTables().size()) + ": "))
        << seen;
    EXPECT_TRUE(Has(seen, "testing the archive")) << seen;
    // The archive's path starts on a line of its own, after the progress line was wiped.
    const size_t path = seen.find(AppPath() + "Backup/ZentaMarket");
    ASSERT_NE(path, std::string::npos) << seen;
    const size_t wiped = seen.rfind("\r", path);
    ASSERT_NE(wiped, std::string::npos);
    EXPECT_EQ(seen.substr(wiped + 1, path - wiped - 1).find_first_not_of(' '), std::string::npos)
        << seen;
}

TEST_F(CommandLineAnswers, RunCycleAndIPUpdateSayWhatRanAndWhyTheRestDidNot) {
    auto r = Run({"run-cycle"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "  master-data clean-up:  ran\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "  stock renewal:         ran: 0 warehouse/article pairs\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "  backup:                not due: automatic backups are off "
                           "(AutoBackupOpcion is 0)\n"))
        << r.out;
    EXPECT_TRUE(Has(r.out, "  ticket purge:          not due: the purge is off "
                           "(AutoEliminarTicket is 0)\n"))
        << r.out;
    Sql("INSERT INTO opcion (ID, IntegerValor) VALUES ('AutoBackupOpcion', 2), "
        "('AutoBackupSemanaDia', (WEEKDAY(NOW()) + 1) % 7), ('LastDateAutoBackup', "
        "TO_DAYS(NOW()) - 3);");
    r = Run({"run-cycle"});
    EXPECT_TRUE(Has(r.out, "  backup:                not due: backups are weekly "
                           "(AutoBackupOpcion 2), every 1 week(s) on "))
        << r.out;
    EXPECT_TRUE(Has(r.out, "; the last one was 3 days ago")) << r.out;

    r = Run({"ip-update"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "No IP report is sent: the shop is not part of a chain (option "
                     "CadenaFunciona is 0 or missing).\n");
    Sql("INSERT INTO opcion (ID, IntegerValor) VALUES ('CadenaFunciona', 1), "
        "('SubTiendaIPFija', 1);");
    r = Run({"ip-update"});
    EXPECT_TRUE(Has(r.out, "the branch's address is fixed (option SubTiendaIPFija is 1)")) << r.out;
}

TEST_F(CommandLineAnswers, ATakenTargetIsRefusedBeforeTheArchiveIsUnpacked) {
    const std::string archive = MadeBackup();
    Sql("CREATE DATABASE IF NOT EXISTS zentasupermarket_taken;", "mysql");
    const auto r = Run({"restore", archive, "--database", "zentasupermarket_taken"});
    Sql("DROP DATABASE zentasupermarket_taken;", "mysql");
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_TRUE(Has(r.err, "the database zentasupermarket_taken exists already")) << r.err;
    EXPECT_FALSE(Has(r.out, "unpacking")) << r.out;
}

TEST_F(CommandLineAnswers, StatusSaysWhetherTheServerKeepsABinaryLogAndWhatIsLostWithout) {
    auto r = Run({"status"});
    EXPECT_TRUE(Has(r.out, "Binary log:         on (ROW, server_id 1, sync_binlog 0, never "
                           "purged by age)\n"))
        << r.out;
    EXPECT_TRUE(Has(r.out, "  not as a restore to a second needs: sync_binlog is 0")) << r.out;

    // Debian's server as it ships: no binary log.
    OwnServer server("mariadb-no-binlog", DbPort() + 4);
    ASSERT_TRUE(server.Start("LOCAL_MARIADB_BINLOG=0"));
    ASSERT_TRUE(server.Load("SELECT 1;"));
    server.Use(AppPath());
    TempDir metrics;
    WriteFile(AppPath() + "zentamarket.ini", ReadFile(AppPath() + "zentamarket.ini") +
                                                 "[Monitor]\r\nMetricsFolder=" + metrics.path() +
                                                 "\r\n");
    r = Run({"backup"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    r = Run({"status"});
    const std::string good = JobOutcome::Read("Backup")["LastGoodTime"];
    EXPECT_TRUE(Has(r.out, "Point-in-time restore: OFF: the server keeps no binary log (log_bin "
                           "is OFF): a failure loses everything since the last backup at " +
                               good))
        << r.out;
    EXPECT_TRUE(
        Has(ReadFile(metrics.path() + "zentamarket.prom"), "zentamarket_binlog_enabled 0\n"));
    const BackupHealth health = CurrentBackupHealth(std::time(nullptr));
    EXPECT_TRUE(
        Has(health.panel, "时间点恢复：关闭（服务器未开启二进制日志），故障会丢失上次备份（" +
                              good + "）之后的全部数据"))
        << health.panel;
}

// doctor names every fault of a shop's set-up with its fix, checks what it can for real, and
// goes on with the rest when the database is away.
TEST_F(CommandLineAnswers, DoctorNamesEveryFaultOfASetUpWithItsFix) {
    MadeBackup();
    // The export folder is a file (the server cannot write there), the password file is open
    // to everyone, the off-site command's program is missing, a recorded day lies in the
    // future, and the backup drive is not plugged in.
    fs::remove_all(AppPath() + "Temp/Backup");
    WriteFile(AppPath() + "Temp/Backup", "");
    WriteFile(AppPath() + "password.txt", "secret\n");
    ::chmod((AppPath() + "password.txt").c_str(), 0644);
    WriteFile(AppPath() + "zentamarket.ini",
              ReadFile(AppPath() + "zentamarket.ini") + "[Monitor]\r\nArchivePasswordFile=" +
                  AppPath() + "password.txt\r\nPostBackupCommand=no-such-uploader --to x\r\n");
    Sql("REPLACE INTO opcion (ID, IntegerValor) VALUES ('LastDateAutoBackup', TO_DAYS(NOW()) + "
        "100); REPLACE INTO opcion (ID, VarCharValor) VALUES ('MobilBackupRestoreVolumeName', "
        "'NOSUCHDRIVE');");
    auto r = Run({"doctor"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    for (const std::string& line : std::vector<std::string>{
             "good    database: reachable at 127.0.0.1:", "good    job lock: ",
             "good    ODBC driver MySQL ODBC Driver 3.51.17: registered",
             "good    local_infile: on", "good    last good backup: ",
             "FAULT   export folder: the server cannot write into " + AppPath() + "Temp/Backup/",
             "FAULT   archive password file: " + AppPath() +
                 "password.txt is open to other users "
                 "(mode 0644)",
             "         fix: sudo chown ",
             "FAULT   PostBackupCommand: its program no-such-uploader "
             "is not found",
             "WARNING recorded day LastDateAutoBackup: lies 100 days in the future",
             "WARNING backup drive: the drive labelled NOSUCHDRIVE is not plugged in",
             "Something needs fixing (above)."})
        EXPECT_TRUE(Has(r.out, line)) << line << "\n" << r.out;
    // Nothing of the checks is left behind.
    EXPECT_TRUE(DirNames(AppPath() + ".doctor-*").empty());
    EXPECT_TRUE(DirNames(AppPath() + "Temp/doctor-*").empty());

    // The database away: said with what to check, and the rest is still checked.
    WriteFile(AppPath() + "zentamarket.ini", "[MySQL]\r\nMySQLHost=127.0.0.1\r\nMySQLPort=1\r\n");
    r = Run({"doctor"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "FAULT   database: not reachable at 127.0.0.1:1 as zentamarketback"))
        << r.out;
    EXPECT_TRUE(Has(r.out, "         fix: is MariaDB running there")) << r.out;
    EXPECT_TRUE(Has(r.out, "good    program 7zz: ")) << r.out;
    EXPECT_TRUE(Has(r.out, "good    log folder: ")) << r.out;
}

// A shop set up as the README says (a durable binary log kept ten days, its copy on another
// disk, a backup made and verified): doctor finds nothing to fix and ends with 0.
TEST_F(CommandLineAnswers, DoctorFindsNothingToFixOnAShopSetUpRight) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "another disk for the copy (a tmpfs mount) needs root";
    OwnServer shop("mariadb-doctor", DbPort() + 8);
    ASSERT_TRUE(shop.StartFresh(
        "LOCAL_MARIADB_OPTIONS='--sync-binlog=1 --binlog-expire-logs-seconds=864000'"));
    ASSERT_TRUE(shop.Load("SELECT 1;"));
    shop.Use(AppPath());
    TempDir disk("other-disk");
    ASSERT_EQ(Shell("mount -t tmpfs -o size=64m tmpfs '" + disk.path() + "'"), 0);
    struct Unmount {
        std::string folder;
        ~Unmount() { Shell("umount '" + folder + "'"); }
    } unmount{disk.path()};
    WriteFile(AppPath() + "zentamarket.ini", ReadFile(AppPath() + "zentamarket.ini") +
                                                 "[Monitor]\r\nBinlogFolder=" + disk.path() +
                                                 "Binlog\r\n");
    const std::string archive = MadeBackup();
    // The technician's own verification is the one doctor asks for.
    auto r = Run({"doctor"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "WARNING last verification: none recorded")) << r.out;
    r = Run({"verify", archive});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    r = Run({"doctor"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "good    binary log: on (ROW, server_id 1, sync_binlog 1, kept 10 days"))
        << r.out;
    EXPECT_TRUE(Has(r.out, "good    binary log copy: " + disk.path() + "Binlog")) << r.out;
    EXPECT_TRUE(Has(r.out, "good    last verification: ")) << r.out;
    EXPECT_TRUE(Has(r.out, archive + ", good\n")) << r.out;
    EXPECT_FALSE(Has(r.out, "WARNING")) << r.out;
    EXPECT_FALSE(Has(r.out, "FAULT")) << r.out;
    EXPECT_TRUE(Has(r.out, "Nothing needs fixing.\n")) << r.out;

    // Settings left where earlier versions kept them are never read: named, with the move.
    const std::string legacy = AppPath() + "etc-zentamarket";
    std::filesystem::create_directories(legacy);
    WriteFile(legacy + "/headoffice.ini", "[HeadOffice]\r\nPrimary=hq.example.com\r\n");
    r = Run({"doctor"}, {"ZENTA_LEGACY_SETTINGS=" + legacy});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "FAULT   settings folder: " + legacy + " still holds headoffice.ini"))
        << r.out;
    EXPECT_TRUE(Has(r.out, "sudo mv -n " + legacy + "/* ")) << r.out;

    // A folder not made yet is judged by the folder it will be made in: beside the data, a
    // warning.
    shop.Use(AppPath());
    WriteFile(AppPath() + "zentamarket.ini", ReadFile(AppPath() + "zentamarket.ini") +
                                                 "[Monitor]\r\nBinlogFolder=" + shop.dir() +
                                                 "/later/Binlog\r\n");
    r = Run({"doctor"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "WARNING binary log copy: " + shop.dir() +
                               "/later/Binlog/ is on the same disk as the server's data"))
        << r.out;
}
