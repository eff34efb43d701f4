// The continuous copy of the server's binary log against a MariaDB of the test's own that is
// restarted, killed and reset while sales go on, and a stream that is killed.
#include "BinlogCopy.h"
#include "AutoBackupData.h"
#include "BackupAll.h"
#include "BinlogChain.h"
#include "DbFixture.h"
#include "GlobalDatabase.h"
#include "JobOutcomes.h"
#include "OwnServer.h"
#include "PointInTime.h"
#include "RemovableDrives.h"
#include "Settings.h"

#include <ctime>
#include <filesystem>
#include <map>
#include <thread>

using namespace zenta;
using namespace zenta::test;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The chain being written, as a path; "" when none.
std::string CurrentChain(const std::string& folder) {
    const auto chain = BinlogChain::Current(folder);
    return chain ? chain->path() : std::string();
}

// A chain's files from its path.
std::vector<ChainFile> ChainFiles(const std::string& chain) {
    const fs::path path = fs::path(chain).parent_path();
    return BinlogChain(path.parent_path().string(), path.filename().string()).Files();
}

bool GapUncovered() {
    return BinlogCopyOutcome::Read().GapUncovered(BackupOutcome::Read());
}

} // namespace

class BinlogCopy : public DbTest {
  protected:
    void SetUp() override {
        DbTest::SetUp();
        ASSERT_TRUE(server_.StartFresh());
        ASSERT_TRUE(server_.Load("SELECT 1;"));
        server_.Use(AppPath());
        SetSetting("Monitor", "BinlogFolder", copy_.path());
        Connect();
    }
    void TearDown() override {
        SetVolumeSource(nullptr);
        copier_.Stop();
        ReleaseDataBase();
        DbTest::TearDown();
    }
    void Connect() {
        ReleaseDataBase();
        ConnectDataBase();
        ASSERT_TRUE(DataBase().ConnectionStatus());
        ASSERT_TRUE(ServerIsLocal);
    }
    std::string Client(const std::string& sql) { return Sql(sql); }
    // The monitor's look at the copy until the stream runs and is current with the server.
    bool Streaming() {
        return WaitFor(
            [&] {
                copier_.Tick();
                return copier_.streaming();
            },
            30s);
    }
    // The stream started, `sales` sold (numbered from 0) and a backup made: its report.
    BackupReport StreamAndBackUp(int sales = 0) {
        EXPECT_TRUE(Streaming()) << ReadFile(AppPath() + "Log/ZentaMarketMonitor.log");
        if (sales > 0)
            Sell(0, sales);
        std::string folder = AppPath() + "Backup/", label;
        BackupReport backup;
        BackupAll(folder, label, &backup);
        return backup;
    }
    void Sell(int from, int count) {
        Shell("mariadb --no-defaults -uroot --socket='" + server_.dir() +
              "/mysqld.sock' zentasupermarket -e \"INSERT INTO ticket (TicketNo, Fecha, Nota) "
              "SELECT " +
              std::to_string(from) + " + seq, NOW(), REPEAT('n', 100) FROM seq_1_to_" +
              std::to_string(count) + ";\"");
    }
    std::string ServerSql(const std::string& sql) {
        const std::string in = copy_.path() + "in.sql", out = copy_.path() + "out.txt";
        WriteFile(in, sql);
        Shell("mariadb --no-defaults --default-character-set=utf8mb4 -uroot -N --socket='" +
              server_.dir() + "/mysqld.sock' < '" + in + "' > '" + out + "'");
        return ReadFile(out);
    }
    // Ticks until the copy holds every byte the server's newest file holds.
    bool CaughtUp() {
        return WaitFor(
            [&] {
                copier_.Tick();
                const std::string status = ServerSql("SHOW MASTER STATUS;");
                const std::string file = status.substr(0, status.find('\t'));
                const long long position = std::atoll(status.c_str() + status.find('\t') + 1);
                const std::string chain = CurrentChain(copy_.path());
                for (const auto& f : ChainFiles(chain))
                    if (f.name == file)
                        return f.size >= position;
                return false;
            },
            30s);
    }
    // Every file of the chain is the server's, byte for byte: a file the server closed by
    // stopping lacks only its last event, which the stream never gets, and the server sends
    // the first event's "in use" flag cleared (byte 21) where its own file may still have it.
    void ChainMatchesServer(const std::string& chain) {
        const auto files = ChainFiles(chain);
        ASSERT_FALSE(files.empty());
        for (const auto& f : files) {
            std::string mine = ReadFile(f.path);
            std::string theirs = ReadFile(server_.dir() + "/data/" + f.name);
            ASSERT_GT(theirs.size(), 22u) << f.name;
            ASSERT_GT(mine.size(), 22u) << f.name;
            mine[21] = theirs[21] = 0;
            EXPECT_LE(mine.size(), theirs.size()) << f.name;
            EXPECT_LT(theirs.size() - mine.size(), 100u) << f.name;
            size_t at = 0;
            while (at < mine.size() && at < theirs.size() && mine[at] == theirs[at])
                ++at;
            EXPECT_EQ(at, mine.size()) << f.name << " differs at byte " << at;
        }
    }
    template <class F> static bool WaitFor(F condition, std::chrono::seconds limit) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < until) {
            if (condition())
                return true;
            std::this_thread::sleep_for(200ms);
        }
        return condition();
    }

    OwnServer server_{"mariadb-binlog-copy", DbPort() + 5};
    TempDir copy_{"binlog"};
    BinlogCopier copier_;
};

TEST_F(BinlogCopy, TheCopySurvivesAKilledStreamARestartedAndAKilledServer) {
    Sell(0, 200);
    ASSERT_TRUE(Streaming()) << ReadFile(AppPath() + "Log/ZentaMarketMonitor.log")
                             << ReadFile(AppPath() + "Log/binlog-copy.log");
    ASSERT_TRUE(CaughtUp());
    const std::string chain = CurrentChain(copy_.path());
    // No password on any command line (the process list is world-readable).
    bool seen = false;
    for (const auto& e : fs::directory_iterator("/proc")) {
        std::string line = ReadFile(e.path().string() + "/cmdline");
        if (line.rfind("mariadb-binlog", 0) != 0)
            continue;
        seen = true;
        EXPECT_EQ(line.find(kBackOfficePassword), std::string::npos);
    }
    EXPECT_TRUE(seen);

    // The stream killed: started again where the copy ends.
    Shell("pkill -9 -f 'result-file=" + chain + "'");
    Sell(1000, 200);
    ServerSql("FLUSH BINARY LOGS;");
    Sell(2000, 200);
    ASSERT_TRUE(CaughtUp());

    // The server restarted, then killed.
    ASSERT_TRUE(server_.Start());
    Connect();
    Sell(3000, 200);
    ASSERT_TRUE(CaughtUp());
    Shell(server_.KillCommand());
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(server_.Start());
    Connect();
    Sell(4000, 200);
    ASSERT_TRUE(CaughtUp());
    EXPECT_EQ(CurrentChain(copy_.path()), chain);
    ChainMatchesServer(chain);
    EXPECT_GE(ChainFiles(chain).size(), 4u);
}

TEST_F(BinlogCopy, AServerThatBeginsItsNumberingAgainStartsANewChainBesideTheOld) {
    Sell(0, 100);
    ServerSql("FLUSH BINARY LOGS;");
    Sell(100, 100);
    copier_.Tick();
    ASSERT_TRUE(CaughtUp());
    const std::string old = CurrentChain(copy_.path());
    copier_.Stop();
    copier_.Tick();                            // the finished files into the chain
    std::map<std::string, std::string> before; // name -> bytes
    for (const auto& f : ChainFiles(old))
        before[f.name] = ReadFile(f.path);
    ServerSql("RESET MASTER;");
    Sell(500, 50);
    ASSERT_TRUE(WaitFor(
        [&] {
            copier_.Tick();
            return CurrentChain(copy_.path()) != old;
        },
        30s));
    ASSERT_TRUE(CaughtUp());
    const std::string fresh = CurrentChain(copy_.path());
    std::map<std::string, std::string> after;
    for (const auto& f : ChainFiles(old))
        after[f.name] = ReadFile(f.path);
    EXPECT_TRUE(after == before) << "the old chain changed";
    ChainMatchesServer(fresh);
}

TEST_F(BinlogCopy, RestoreUntilASecondBringsEverySaleCommittedByThenAndNoneAfter) {
    ServerSql("DROP DATABASE IF EXISTS zentasupermarket_until; DROP DATABASE IF EXISTS "
              "zentasupermarket_latest; DROP DATABASE IF EXISTS zentasupermarket_early;");
    std::string folder = AppPath() + "Backup/", label;
    BackupReport backup = StreamAndBackUp(100);
    ASSERT_TRUE(backup.Good()) << backup.failure;
    ASSERT_TRUE(backup.snapshot.known());
    Sell(1000, 50);
    // Several sales committed within the one second asked for, and a sale begun in it but
    // committed after it.
    const std::time_t start = std::time(nullptr);
    while (std::time(nullptr) == start)
        std::this_thread::sleep_for(10ms);
    const std::time_t until = std::time(nullptr);
    for (int n = 1; n <= 3; ++n)
        ServerSql("INSERT INTO zentasupermarket.ticket (TicketNo, Fecha) VALUES (" +
                  std::to_string(2000 + n) + ", NOW());");
    std::thread spanning([&] {
        ServerSql("BEGIN; INSERT INTO zentasupermarket.ticket (TicketNo, Fecha) VALUES (2500, "
                  "NOW()); INSERT INTO zentasupermarket.ticketarticulo (TicketNo, ArticuloID) "
                  "VALUES (2500, 'A'); SELECT SLEEP(1.5); COMMIT;");
    });
    spanning.join();
    // The three sales and the spanning sale's first statement all ran within that second.
    ASSERT_EQ(ServerSql("SELECT MIN(UNIX_TIMESTAMP(Fecha)), MAX(UNIX_TIMESTAMP(Fecha)) FROM "
                        "zentasupermarket.ticket WHERE TicketNo BETWEEN 2001 AND 2500;"),
              std::to_string(until) + "\t" + std::to_string(until) + "\n")
        << "the machine is too slow for this test's timing";
    Sell(3000, 50);
    ASSERT_TRUE(CaughtUp());
    const std::string live =
        ServerSql("SELECT COUNT(*), SUM(TicketNo) FROM zentasupermarket.ticket;");

    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&until));
    RestoreOptions options;
    options.database = "zentasupermarket_until";
    UntilReport r = RestoreUntil("", text, options);
    ASSERT_TRUE(r.restore.ok) << r.restore.error;
    EXPECT_EQ(r.archive, folder + backup.archiveName);
    EXPECT_EQ(r.reached, until);
    auto count = [&](const std::string& db, const std::string& where) {
        return ServerSql("SELECT COUNT(*) FROM " + db + ".ticket WHERE " + where + ";");
    };
    EXPECT_EQ(count("zentasupermarket_until", "TicketNo < 1000"), "100\n");
    EXPECT_EQ(count("zentasupermarket_until", "TicketNo BETWEEN 1000 AND 1999"), "50\n");
    EXPECT_EQ(count("zentasupermarket_until", "TicketNo BETWEEN 2001 AND 2003"), "3\n");
    // All or nothing: the sale that spans the second, with its line.
    EXPECT_EQ(count("zentasupermarket_until", "TicketNo = 2500"), "0\n");
    EXPECT_EQ(ServerSql("SELECT COUNT(*) FROM zentasupermarket_until.ticketarticulo;"), "0\n");
    EXPECT_EQ(count("zentasupermarket_until", "TicketNo >= 3000"), "0\n");
    // Nothing was written to the server's own log by the replay.
    EXPECT_EQ(Shell("mariadb-binlog '" + server_.dir() +
                    "/data/'binlog.0* | grep -q zentasupermarket_until.ticket"),
              1);

    // What status shows and verify checks: one window from the archive to the last sale, and a
    // chain whose every file is whole and continues the one before.
    const auto windows = RestoreWindows(folder);
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_LE(windows[0].from, until);
    EXPECT_GE(windows[0].to, until + 1);
    EXPECT_EQ(windows[0].gapAfter, "");
    const ChainCheck checked = CheckChainFrom(folder + backup.archiveName, "");
    EXPECT_FALSE(checked.fault) << checked.text;
    EXPECT_NE(checked.text.find("each continuing the one before, checksums good"),
              std::string::npos)
        << checked.text;

    // The latest: every committed sale.
    options.database = "zentasupermarket_latest";
    r = RestoreUntil("", "latest", options);
    ASSERT_TRUE(r.restore.ok) << r.restore.error;
    EXPECT_EQ(ServerSql("SELECT COUNT(*), SUM(TicketNo) FROM zentasupermarket_latest.ticket;"),
              live);
    EXPECT_EQ(ServerSql("SELECT COUNT(*) FROM zentasupermarket_latest.ticketarticulo;"), "1\n");

    // A time before every archive: the windows are named, and no database is left behind.
    const std::time_t early = until - 3 * 3600;
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&early));
    options.database = "zentasupermarket_early";
    r = RestoreUntil("", text, options);
    EXPECT_FALSE(r.restore.ok);
    EXPECT_NE(r.restore.error.find("cannot be restored; what can be restored:\n  from "),
              std::string::npos)
        << r.restore.error;
    EXPECT_EQ(ServerSql("SHOW DATABASES LIKE 'zentasupermarket\\_early%';"), "");
}

TEST_F(BinlogCopy, TheCopyIsKeptBackToTheOldestArchiveAndNoFurther) {
    TempDir drive("drive");
    SetVolumeSource([&] { return std::vector<MountedVolume>{{"ZTBACKUP", drive.path()}}; });
    ServerSql("INSERT INTO zentasupermarket.opcion (ID, VarCharValor) VALUES "
              "('MobilBackupRestoreVolumeName', 'ZTBACKUP');");
    ASSERT_TRUE(Streaming());
    std::string folder = AppPath() + "Backup/", label;
    std::string firstArchive;
    auto backup = [&] {
        BackupReport report;
        BackupAll(folder, label, &report);
        EXPECT_TRUE(report.Good()) << report.failure;
        if (firstArchive.empty())
            firstArchive = report.archiveName;
        return report.snapshot.file;
    };
    Sell(0, 50);
    ServerSql("FLUSH BINARY LOGS;");
    const std::string first = backup();
    Sell(100, 50);
    ServerSql("FLUSH BINARY LOGS;");
    Sell(200, 50);
    ServerSql("FLUSH BINARY LOGS;");
    std::this_thread::sleep_for(1100ms); // archives are named by the second
    const std::string second = backup();
    ASSERT_LT(first, second);
    Sell(300, 50);
    ASSERT_TRUE(CaughtUp());
    const std::string chain = CurrentChain(copy_.path());
    ASSERT_TRUE(fs::exists(chain + first) || fs::exists(chain + ".incoming/" + first));

    copier_.FinishCopied(); // the finished files are sealed and copied to the drive
    const std::string chainName = fs::path(chain.substr(0, chain.size() - 1)).filename();
    const std::string onDrive = drive.path() + "ZentaBackup/Binlog/" + chainName + "/";
    ASSERT_TRUE(fs::exists(onDrive + first + ".7z"));

    // The first archive, made a weekly one of an older week: kept by KeepWeekly, but only the
    // archives kept by MaxBackupFile keep the log, so its files go all the same.
    const std::string weekly = folder + "ZentaMarket20261102020000.ZTB";
    fs::rename(folder + firstArchive, weekly);
    SetSetting("Monitor", "KeepWeekly", "4");
    ServerSql(
        "INSERT INTO zentasupermarket.opcion (ID, IntegerValor) VALUES ('MaxBackupFile', 1);");
    RotateBackupFiles();
    EXPECT_TRUE(fs::exists(weekly));
    for (const auto& f : ChainFiles(chain))
        EXPECT_GE(f.name, second) << f.name << " should have gone";
    EXPECT_FALSE(fs::exists(chain + first));
    EXPECT_FALSE(fs::exists(onDrive + first + ".7z"));
    EXPECT_NE(ReadFile(AppPath() + "Log/ZentaMarketMonitor.log")
                  .find("binlog copy: deleted " + chain + first),
              std::string::npos);
    RestoreOptions options;
    options.database = "zentasupermarket_pruned";
    const UntilReport r = RestoreUntil("", "latest", options);
    ASSERT_TRUE(r.restore.ok) << r.restore.error;
    EXPECT_EQ(ServerSql("SELECT COUNT(*) FROM zentasupermarket_pruned.ticket;"), "200\n");
}

TEST_F(BinlogCopy, ALogPurgedPastTheCopyIsAGapSaidNeverASilentHole) {
    std::string folder = AppPath() + "Backup/", label;
    BackupReport backup = StreamAndBackUp(50);
    ASSERT_TRUE(backup.Good());
    ASSERT_TRUE(CaughtUp());
    // The copy stops (the monitor ended) while the server goes on and purges its old files.
    copier_.Stop();
    Sell(100, 50);
    ServerSql("FLUSH BINARY LOGS;");
    Sell(200, 50);
    ServerSql("FLUSH BINARY LOGS;");
    const std::string status = ServerSql("SHOW MASTER STATUS;");
    const std::string current = status.substr(0, status.find('\t'));
    // (The server keeps a file while a stream of it is still being closed.)
    ASSERT_TRUE(WaitFor(
        [&] {
            ServerSql("PURGE BINARY LOGS TO '" + current + "';");
            return ServerSql("SHOW BINARY LOGS;").rfind(current, 0) == 0;
        },
        30s));
    ASSERT_TRUE(WaitFor(
        [&] {
            copier_.Tick();
            return copier_.streaming();
        },
        30s));
    ASSERT_TRUE(CaughtUp());
    const std::string chain = CurrentChain(copy_.path());
    EXPECT_NE(ReadFile(chain + "GAPS.txt").find("the server had purged its logs up to"),
              std::string::npos);
    EXPECT_TRUE(GapUncovered());
    EXPECT_NE(ReadFile(AppPath() + "Log/ZentaMarketMonitor.log").find("binlog copy: GAP in"),
              std::string::npos);
    // No restore runs through the hole; the time before it still can be reached.
    RestoreOptions options;
    options.database = "zentasupermarket_gap";
    const UntilReport r = RestoreUntil("", "latest", options);
    EXPECT_FALSE(r.restore.ok);
    EXPECT_NE(r.restore.error.find("ends at a gap after"), std::string::npos) << r.restore.error;
    EXPECT_EQ(ServerSql("SHOW DATABASES LIKE 'zentasupermarket\\_gap%';"), "");
    const ChainCheck checked = CheckChainFrom(folder + backup.archiveName, "");
    EXPECT_TRUE(checked.fault);
    EXPECT_NE(checked.text.find("a GAP after"), std::string::npos) << checked.text;
    ASSERT_EQ(RestoreWindows(folder).size(), 1u);
    EXPECT_NE(RestoreWindows(folder)[0].gapAfter, "");
    // A good backup after the gap starts a window again.
    std::this_thread::sleep_for(1100ms);
    BackupAll(folder, label, &backup);
    ASSERT_TRUE(backup.Good());
    EXPECT_FALSE(GapUncovered());
    const UntilReport again = RestoreUntil("", "latest", options);
    ASSERT_TRUE(again.restore.ok) << again.restore.error;
    EXPECT_EQ(ServerSql("SELECT COUNT(*) FROM zentasupermarket_gap.ticket;"), "150\n");
}

TEST_F(BinlogCopy, AFinishedFileIsCheckedPackedWithThePasswordCopiedToTheDriveAndSentOffSite) {
    TempDir drive("drive"), offsite("offsite");
    SetVolumeSource([&] { return std::vector<MountedVolume>{{"ZTBACKUP", drive.path()}}; });
    ServerSql("INSERT INTO zentasupermarket.opcion (ID, VarCharValor) VALUES "
              "('MobilBackupRestoreVolumeName', 'ZTBACKUP');");
    SetSetting("Monitor", "ArchivePassword", "binlog secret");
    SetSetting("Monitor", "PostBinlogCommand", "cp -t '" + offsite.path() + "'");
    ASSERT_TRUE(Streaming());
    Sell(0, 100);
    const std::string status = ServerSql("SHOW MASTER STATUS;");
    const std::string sealed = status.substr(0, status.find('\t'));
    ServerSql("FLUSH BINARY LOGS;");
    Sell(100, 10);
    ASSERT_TRUE(CaughtUp());
    copier_.FinishCopied(); // the finished file is dealt with
    const std::string chain = CurrentChain(copy_.path());
    const std::string packed = chain + sealed + ".7z";
    ASSERT_TRUE(fs::exists(packed)) << ReadFile(AppPath() + "Log/ZentaMarketMonitor.log");
    EXPECT_EQ(Shell("7zz t -p'binlog secret' '" + packed + "' >/dev/null"), 0);
    EXPECT_NE(Shell("7zz l '" + packed + "' </dev/null >/dev/null 2>&1"), 0); // names hidden too
    const std::string files = ReadFile(chain + "files.ini");
    EXPECT_NE(files.find("[" + sealed + "]"), std::string::npos) << files;
    EXPECT_NE(files.find("Checked=good"), std::string::npos) << files;
    EXPECT_NE(files.find("FirstEvent=20"), std::string::npos) << files;
    const std::string chainName = fs::path(chain.substr(0, chain.size() - 1)).filename();
    EXPECT_EQ(ReadFile(drive.path() + "ZentaBackup/Binlog/" + chainName + "/" + sealed + ".7z"),
              ReadFile(packed));
    EXPECT_EQ(ReadFile(offsite.path() + sealed + ".7z"), ReadFile(packed));
    // The file being written goes nowhere.
    for (const auto& e : fs::directory_iterator(offsite.path()))
        EXPECT_EQ(e.path().filename().string(), sealed + ".7z");
}

TEST_F(BinlogCopy, AChangedByteInTheCopyIsFoundByItsChecksum) {
    std::string folder = AppPath() + "Backup/", label;
    BackupReport backup = StreamAndBackUp();
    ASSERT_TRUE(backup.Good());
    Sell(0, 100);
    ServerSql("FLUSH BINARY LOGS;");
    ASSERT_TRUE(CaughtUp());
    copier_.Stop();
    const auto files = ChainFiles(CurrentChain(copy_.path()));
    std::string bytes = ReadFile(files.front().path);
    bytes[bytes.size() / 2] ^= 0x20; // inside a row of the sales
    WriteFile(files.front().path, bytes);
    const ChainCheck checked = CheckChainFrom(folder + backup.archiveName, "");
    EXPECT_TRUE(checked.fault);
    EXPECT_NE(checked.text.find("fails its checksum check"), std::string::npos) << checked.text;
}

TEST_F(BinlogCopy, EveryByteValueNullsAndTextInTwoEncodingsComeBackThroughTheReplay) {
    std::string folder = AppPath() + "Backup/", label;
    BackupReport backup = StreamAndBackUp();
    ASSERT_TRUE(backup.Good()) << backup.failure;
    // After the archive, so that only the replay brings them: a picture with every byte
    // value, empty and NULL ones, GBK bytes, UTF-8 text of four bytes a character, line
    // breaks, separators, quotes and backslashes; then changes and a deletion.
    ServerSql(R"(USE zentasupermarket;
INSERT INTO articulo (ArticuloID, NombreES, NombreCN, Precio, FechaCaducada, Nota) VALUES
  ('A,1', 'Leche, entera', '牛奶', 12.50, '2025-01-31', 'l1\r\nl2\nl3\r'),
  ('A''2', 'O''Brien \\ back', '', 0, NULL, NULL),
  ('A3', '\\N', 'NULL', -1.25, '2024-02-29', 'tab\there'),
  ('A4', '泽川超市 😀', 'ñandú', 99999.99, NULL, '');
INSERT INTO articulodibujo SELECT 'A,1', CONCAT(GROUP_CONCAT(CHAR(seq) ORDER BY seq SEPARATOR ''),
  UNHEX(REPEAT('5C0D0A2C00FF', 50))), NOW() FROM seq_0_to_255;
INSERT INTO articulodibujo VALUES ('A''2', '', NULL), ('A3', NULL, NULL), ('A4', 0x00, NOW());
INSERT INTO opcion (ID, IntegerValor, EnDeCodeValor, BlobValor) VALUES
  ('GBK', NULL, 0xD4F3B4A8, 0xD6D0CEC4), ('Gone', 1, NULL, NULL);
UPDATE articulo SET Nota = CONCAT(Nota, '\0') WHERE ArticuloID = 'A4';
UPDATE articulodibujo SET Dibujo = REVERSE(Dibujo) WHERE ArticuloID = 'A,1';
DELETE FROM opcion WHERE ID = 'Gone';)");
    ASSERT_TRUE(CaughtUp());
    RestoreOptions options;
    options.database = "zentasupermarket_bytes";
    const UntilReport r = RestoreUntil("", "latest", options);
    ASSERT_TRUE(r.restore.ok) << r.restore.error;
    EXPECT_EQ(r.transactions, 7);
    for (const std::string table : {"articulo", "articulodibujo", "opcion"}) {
        const std::string rows =
            "SELECT HEX(CONCAT_WS('|', " +
            std::string(table == "opcion"     ? "ID, IFNULL(IntegerValor, 'null'), "
                                                "IFNULL(HEX(EnDeCodeValor), 'null'), "
                                                "IFNULL(HEX(BlobValor), 'null')"
                        : table == "articulo" ? "ArticuloID, NombreES, NombreCN, "
                                                "Precio, IFNULL(FechaCaducada, 'null'), "
                                                "IFNULL(Nota, 'null')"
                                              : "ArticuloID, IFNULL(HEX(Dibujo), "
                                                "'null'), IFNULL(Fecha, 'null')") +
            ")) FROM ";
        const std::string live = ServerSql(rows + "zentasupermarket." + table + " ORDER BY 1;");
        EXPECT_GT(live.size(), 10u) << table;
        EXPECT_EQ(ServerSql(rows + "zentasupermarket_bytes." + table + " ORDER BY 1;"), live)
            << table;
    }
    EXPECT_EQ(ServerSql("SELECT LENGTH(Dibujo) FROM zentasupermarket_bytes.articulodibujo WHERE "
                        "ArticuloID = 'A,1';"),
              "556\n");
}

TEST_F(BinlogCopy, ARestoreToASecondIntoTheLiveDatabaseReplacesItWholeAndEndsTheOldWindow) {
    std::string folder = AppPath() + "Backup/", label;
    BackupReport backup = StreamAndBackUp(100);
    ASSERT_TRUE(backup.Good()) << backup.failure;
    Sell(1000, 50);
    ASSERT_TRUE(CaughtUp());
    std::this_thread::sleep_for(1100ms);
    const std::time_t until = std::time(nullptr) - 1;
    // A mistake made after that second: the sales deleted.
    ServerSql("DELETE FROM zentasupermarket.ticket WHERE TicketNo >= 1000;");
    ASSERT_TRUE(CaughtUp());

    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&until));
    RestoreOptions options;
    options.intoLive = true;
    std::vector<std::string> said;
    options.progress = [&](const std::string& line) { said.push_back(line); };
    const UntilReport r = RestoreUntil("", text, options);
    ASSERT_TRUE(r.restore.ok) << r.restore.error;
    EXPECT_EQ(r.restore.database, "zentasupermarket");
    EXPECT_EQ(ServerSql("SELECT COUNT(*) FROM zentasupermarket.ticket;"), "150\n");
    // The live database as it was is kept aside, and was backed up first; no scaffolding.
    ASSERT_FALSE(r.restore.savedLive.empty());
    EXPECT_EQ(ServerSql("SELECT COUNT(*) FROM " + r.restore.savedLive + ".ticket;"), "100\n");
    EXPECT_NE(std::find(said.begin(), said.end(), "backing the live database up first"),
              said.end());
    EXPECT_EQ(ServerSql("SHOW DATABASES LIKE 'zentasupermarket\\_until%';"), "");
    EXPECT_EQ(ServerSql("SHOW DATABASES LIKE '%restoring';"), "");

    // The server's log does not hold the change: no window runs across it, the next cycle
    // makes a full backup, and from that one the log brings the restored database forward.
    EXPECT_TRUE(GapUncovered());
    Sell(2000, 10);
    ASSERT_TRUE(CaughtUp());
    for (const auto& w : RestoreWindows(folder))
        EXPECT_NE(w.gapAfter, "") << "a window runs across the restore";
    RestoreOptions latest;
    latest.database = "zentasupermarket_across";
    EXPECT_FALSE(RestoreUntil("", "latest", latest).restore.ok);
    std::this_thread::sleep_for(1100ms);
    BackupAll(folder, label, &backup);
    ASSERT_TRUE(backup.Good()) << backup.failure;
    EXPECT_FALSE(GapUncovered());
    Sell(3000, 10);
    ASSERT_TRUE(CaughtUp());
    const UntilReport after = RestoreUntil("", "latest", latest);
    ASSERT_TRUE(after.restore.ok) << after.restore.error;
    EXPECT_EQ(ServerSql("SELECT COUNT(*) FROM zentasupermarket_across.ticket;"), "170\n");
}

TEST_F(BinlogCopy, StatementsNamingTheLiveDatabaseChangeTheRestoredOneNeverTheLive) {
    std::string folder = AppPath() + "Backup/", label;
    BackupReport backup = StreamAndBackUp();
    ASSERT_TRUE(backup.Good()) << backup.failure;
    // Changes of structure written with the database's name, as a technician types them.
    // (A statement of several lines, one of them empty and one that looks like a comment.)
    ServerSql("CREATE TABLE zentasupermarket.nueva (ID int PRIMARY KEY, Nota varchar(40))\n"
              "COMMENT 'first line\n\n# second line';"
              "INSERT INTO zentasupermarket.nueva VALUES (1, 'zentasupermarket.nueva');"
              "ALTER TABLE `zentasupermarket`.`ticket` ADD COLUMN Extra int DEFAULT 7;"
              "INSERT INTO zentasupermarket.ticket (TicketNo, Fecha) VALUES (1, NOW());"
              "CREATE TABLE zentasupermarket.quitada (ID int);"
              "DROP TABLE zentasupermarket.quitada;");
    ASSERT_TRUE(CaughtUp());
    const std::string live = ServerSql("SHOW CREATE TABLE zentasupermarket.ticket;");
    RestoreOptions options;
    options.database = "zentasupermarket_ddl";
    const UntilReport r = RestoreUntil("", "latest", options);
    ASSERT_TRUE(r.restore.ok) << r.restore.error;
    EXPECT_EQ(ServerSql("SELECT ID, Nota FROM zentasupermarket_ddl.nueva;"),
              "1\tzentasupermarket.nueva\n");
    EXPECT_EQ(ServerSql("SELECT TicketNo, Extra FROM zentasupermarket_ddl.ticket;"), "1\t7\n");
    EXPECT_EQ(ServerSql("SHOW TABLES FROM zentasupermarket_ddl LIKE 'quitada';"), "");
    EXPECT_EQ(ServerSql("SELECT HEX(TABLE_COMMENT) FROM information_schema.TABLES WHERE "
                        "TABLE_SCHEMA = 'zentasupermarket_ddl' AND TABLE_NAME = 'nueva';"),
              ServerSql("SELECT HEX('first line\n\n# second line');"));
    // The live database is as it was: the replay ran none of it there.
    EXPECT_EQ(ServerSql("SHOW CREATE TABLE zentasupermarket.ticket;"), live);
    EXPECT_EQ(ServerSql("SELECT COUNT(*) FROM zentasupermarket.nueva;"), "1\n");
}

// The monitor was stopped while the server was installed anew and its new numbering grew past
// the copy's: files of the same names hold other events. The old chain is never overwritten.
TEST_F(BinlogCopy, AServerRenumberedPastTheCopyIsToldByItsEventsNotItsNames) {
    Sell(0, 20);
    ServerSql("FLUSH BINARY LOGS;");
    Sell(100, 20);
    copier_.Tick();
    ASSERT_TRUE(CaughtUp());
    const std::string old = CurrentChain(copy_.path());
    copier_.Stop();
    ServerSql("RESET MASTER;");
    Sell(1000, 200);
    ServerSql("FLUSH BINARY LOGS;");
    Sell(2000, 200);
    ServerSql("FLUSH BINARY LOGS;");
    Sell(3000, 10);
    std::map<std::string, std::string> before;
    for (const auto& f : ChainFiles(old))
        before[f.name] = ReadFile(f.path);
    ASSERT_EQ(before.size(), 2u);
    ASSERT_TRUE(WaitFor(
        [&] {
            copier_.Tick();
            return CurrentChain(copy_.path()) != old;
        },
        30s))
        << ReadFile(AppPath() + "Log/ZentaMarketMonitor.log");
    ASSERT_TRUE(CaughtUp());
    copier_.Tick();
    std::map<std::string, std::string> after;
    for (const auto& f : ChainFiles(old))
        after[f.name] = ReadFile(f.path);
    EXPECT_TRUE(after == before) << "the old chain changed";
    ChainMatchesServer(CurrentChain(copy_.path()));
}
