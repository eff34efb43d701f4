// Drills of the restore to a second as a shop meets its disasters, run from outside: the real
// program started as the service starts it and left running, its server restarted, killed and
// replaced under it, the copy's disk filled, the backup drive pulled, tills selling throughout.
// What the program says ("streaming", exit 0) is checked against the server's own figures,
// and every restore is judged sale by sale against what the tills were told.
#include "ArchiveNames.h"
#include "BinlogChain.h"
#include "BinlogCopyRecord.h"
#include "Common.h"
#include "DrillShop.h"
#include "FolderListing.h"
#include "JobOutcomes.h"
#include "LocalTime.h"
#include "OneShot.h"
#include "OwnServer.h"
#include "Tills.h"

#include <atomic>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

using namespace zenta;
using namespace zenta::test;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// A shop's server as the README asks for it.
const std::string kDurable = "LOCAL_MARIADB_OPTIONS='--sync-binlog=1 "
                             "--innodb-flush-log-at-trx-commit=1'";

struct Position {
    std::string file;
    long long position = 0;
};

} // namespace

class PointInTimeDrill : public OneShotTest {
  protected:
    void SetUp() override {
        OneShotTest::SetUp();
        ASSERT_TRUE(shop_.StartFresh(kDurable));
        ASSERT_TRUE(shop_.Load(kShop));
        Configure(copy_.path());
    }
    void TearDown() override {
        if (monitor_) {
            monitor_->Signal(SIGTERM);
            monitor_->WaitExit(30s);
        }
        monitor_.reset();
        OneShotTest::TearDown();
    }
    void Configure(const std::string& copyFolder, const std::string& more = "") {
        WriteFile(AppPath() + "zentamarket.ini",
                  "[MySQL]\r\nMySQLHost=127.0.0.1\r\nMySQLPort=" + std::to_string(port_) +
                      "\r\n[Monitor]\r\nBinlogFolder=" + copyFolder +
                      "\r\nMetricsFolder=" + metrics_.path() + "\r\n" + more);
        copyFolder_ = WithSlash(copyFolder);
    }
    // The monitor as the service starts it: no display, left running.
    void StartMonitor(const std::vector<std::string>& env = {}) {
        std::vector<std::string> all = {"QT_QPA_PLATFORM=offscreen"};
        all.insert(all.end(), env.begin(), env.end());
        monitor_ = std::make_unique<Program>(AppPath(), all);
    }
    void StopMonitor() {
        monitor_->Signal(SIGTERM);
        EXPECT_EQ(monitor_->WaitExit(60s), 0);
        monitor_.reset();
    }
    std::string Shop(const std::string& sql) {
        const std::string in = copyIn_.path() + "in.sql", out = copyIn_.path() + "out.txt";
        WriteFile(in, sql);
        Shell("mariadb --no-defaults -uroot -N --socket='" + shop_.dir() + "/mysqld.sock' < '" +
              in + "' > '" + out + "' 2>&1");
        return ReadFile(out);
    }
    // The server's own position; nothing while it does not answer.
    Position Master() {
        std::istringstream in(Shop("SHOW MASTER STATUS;"));
        Position p;
        in >> p.file >> p.position;
        return LogFileNumber(p.file) >= 0 ? p : Position{};
    }
    // The bytes the copy holds of a file of the chain being written (-1: none).
    long long Copied(const std::string& file) {
        const auto chain = BinlogChain::Current(copyFolder_);
        if (chain)
            for (const auto& f : chain->Files())
                if (f.name == file)
                    return f.size;
        return -1;
    }
    bool HasArchive() { return !DirNames(AppPath() + "Backup/" + kArchivePattern).empty(); }
    // Seconds until the monitor says the copy streams and it holds what the server had when
    // asked; -1 when that did not come within `limit`.
    double SecondsUntilCurrent(std::chrono::seconds limit) {
        const Position asked = Master();
        const double from = WallNow();
        const bool current = WaitFor(
            [&] {
                const BinlogCopyOutcome c = BinlogCopyOutcome::Read();
                return c.Streaming(std::time(nullptr)) && StampSeconds(c.checked) >= from - 1 &&
                       Copied(asked.file) >= asked.position;
            },
            limit);
        return current ? WallNow() - from : -1;
    }
    std::string Metrics() { return ReadFile(metrics_.path() + "zentamarket.prom"); }
    // The metrics file is rewritten right after the job record: it says `line` within seconds.
    bool MetricsSay(const std::string& line) {
        return WaitFor([&] { return Metrics().find(line + "\n") != std::string::npos; }, 5s);
    }
    std::string Tail() { return "\n" + Log() + ReadFile(AppPath() + "Log/binlog-copy.log"); }
    std::string Judged(const std::vector<Sale>& sales, const std::string& database,
                       std::optional<std::time_t> until, double certainBefore = 0) {
        return JudgeRestore(sales, ReadRestored(shop_.dir() + "/mysqld.sock", database), until,
                            certainBefore);
    }
    std::string Stamp(std::time_t t) { return LocalStampText(t); }

    int port_ = DbPort() + 10;
    OwnServer shop_{"drill-shop", DbPort() + 10};
    TempDir copy_{"drill-copy"}, metrics_{"drill-metrics"}, copyIn_{"drill-sql"};
    std::string copyFolder_;
    std::unique_ptr<Program> monitor_;
};

namespace {

// Watches what the monitor claims while it runs: whenever it says the copy streams, the copy
// holds what the server had written ten seconds before (as "current" promises).
class ClaimWatch {
  public:
    ClaimWatch(std::function<Position()> master,
               std::function<long long(const std::string&)> copied)
        : master_(std::move(master)), copied_(std::move(copied)), thread_([this] { Run(); }) {}
    ~ClaimWatch() { Stop(); }
    void Stop() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    // Forgets the positions seen: the server was replaced, its numbering is another.
    void Forget() { forget_ = true; }
    std::string violations() {
        std::lock_guard<std::mutex> guard(lock_);
        return violations_;
    }
    long checked() const { return checked_; }

  private:
    void Run() {
        std::vector<std::pair<double, Position>> seen;
        while (!stop_) {
            if (forget_.exchange(false))
                seen.clear();
            const Position now = master_();
            if (!now.file.empty())
                seen.push_back({WallNow(), now});
            const BinlogCopyOutcome c = BinlogCopyOutcome::Read();
            if (c.Streaming(std::time(nullptr))) {
                // The newest position the server had 12 seconds or more before now.
                const Position* then = nullptr;
                for (const auto& [at, p] : seen)
                    if (at <= WallNow() - 12)
                        then = &p;
                if (then) {
                    ++checked_;
                    if (copied_(then->file) < then->position) {
                        std::lock_guard<std::mutex> guard(lock_);
                        violations_ += "said streaming at " + c.checked + " while the copy of " +
                                       then->file + " lacked bytes the server had 12 s before\n";
                    }
                }
            }
            std::this_thread::sleep_for(500ms);
        }
    }
    std::function<Position()> master_;
    std::function<long long(const std::string&)> copied_;
    std::atomic<bool> stop_{false}, forget_{false};
    std::atomic<long> checked_{0};
    std::mutex lock_;
    std::string violations_;
    std::thread thread_;
};

} // namespace

// The server restarted twice under the running monitor, then killed and its data folder taken
// away; a fresh server with the same settings; the monitor meets it, as the service would after
// the repair, for a minute; then the technician restores to the latest and to a second of the
// day. Every acknowledged sale before the kill is back with its lines; none begun after the
// second asked for; the old chain is never touched.
TEST_F(PointInTimeDrill, TheWholeDisasterCostsNoSaleTheCopyHad) {
    StartMonitor();
    ASSERT_TRUE(WaitFor([&] { return HasArchive(); }, 120s)) << Tail();
    const std::string morning =
        AppPath() + "Backup/" + DirNames(AppPath() + "Backup/" + kArchivePattern).back();
    ASSERT_GE(SecondsUntilCurrent(60s), 0) << Tail();
    ClaimWatch watch([&] { return Master(); }, [&](const std::string& f) { return Copied(f); });
    Tills tills(port_, 4);
    ASSERT_TRUE(tills.WaitForSales(300)) << Tail();
    for (int restart = 1; restart <= 2; ++restart) {
        ASSERT_TRUE(shop_.Start(kDurable));
        const double seconds = SecondsUntilCurrent(60s);
        ASSERT_GE(seconds, 0) << "the copy did not follow restart " << restart << Tail();
        EXPECT_LE(seconds, 20) << "restart " << restart;
        ASSERT_TRUE(tills.WaitForSales(300)) << Tail();
    }
    // A second of the day, with sales before and after it.
    const std::time_t middle = std::time(nullptr);
    ASSERT_TRUE(tills.WaitForSales(400)) << Tail();
    std::this_thread::sleep_for(3s); // the copy is current again, as the watch checks
    // The disk dies under the tills: the server killed, its data gone.
    const double killed = WallNow();
    Shell(shop_.KillCommand());
    std::this_thread::sleep_for(1s);
    tills.Stop();
    const std::vector<Sale> sales = tills.Sales();
    watch.Forget();
    fs::remove_all(shop_.dir() + "/data");
    // Said within seconds: down, not streaming.
    ASSERT_TRUE(WaitFor(
        [&] {
            const BinlogCopyOutcome c = BinlogCopyOutcome::Read();
            return c.state == CopyState::Down && !c.Streaming(std::time(nullptr));
        },
        30s))
        << Tail();
    EXPECT_TRUE(MetricsSay("zentamarket_binlog_copy_up 0")) << Metrics();
    auto status = Run({"status"});
    EXPECT_TRUE(Has(status.out, "Binary log copy:    down since ")) << status.out;
    const auto oldChain = BinlogChain::Current(copyFolder_);
    ASSERT_TRUE(oldChain);
    std::map<std::string, long long> oldFiles;
    for (const auto& f : oldChain->Files())
        oldFiles[f.path] = f.size;

    // MariaDB installed anew with the same settings, the suite's schema loaded.
    ASSERT_TRUE(shop_.StartFresh(kDurable));
    ASSERT_TRUE(shop_.Load("INSERT INTO opcion (ID, IntegerValor) VALUES ('AutoBackupOpcion', 1), "
                           "('MaxBackupFile', 3);"));
    // The running monitor meets it: a chain of its own, streaming.
    ASSERT_TRUE(WaitFor(
        [&] {
            const auto c = BinlogChain::Current(copyFolder_);
            return c && !(*c == *oldChain) && SecondsUntilCurrent(1s) >= 0;
        },
        60s))
        << Tail();
    // The repaired computer starts the service again; it runs for a minute and backs up.
    StopMonitor();
    StartMonitor();
    std::this_thread::sleep_for(60s);
    StopMonitor();
    watch.Stop();
    EXPECT_EQ(watch.violations(), "");
    EXPECT_GT(watch.checked(), 10);
    for (const auto& [path, size] : oldFiles)
        EXPECT_EQ(FileLength(path), size) << path << " of the old chain changed or went";

    // The technician restores: to the latest, and to the second of the day.
    auto r = Run({"restore", "--until", "latest", "--database", "back_latest"});
    ASSERT_EQ(r.status, 0) << r.out << r.err << Tail();
    EXPECT_TRUE(Has(r.out, "Restored " + morning)) << r.out;
    EXPECT_TRUE(Has(r.out, "The window restored in: from ")) << r.out;
    EXPECT_TRUE(Has(r.out, " in " + oldChain->name())) << r.out;
    // Every sale acknowledged a second before the kill (the copy is asynchronous: a sale in
    // the last instant may not have reached it).
    EXPECT_EQ(Judged(sales, "back_latest", std::nullopt, killed - 1), "") << r.out;
    r = Run({"restore", "--until", Stamp(middle), "--database", "back_middle"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "the last committed at " + Stamp(middle) + " ") ||
                Has(r.out, "the last committed at " + Stamp(middle - 1) + " "))
        << r.out;
    EXPECT_EQ(Judged(sales, "back_middle", middle), "") << r.out;
    long lost = 0, acknowledged = 0;
    const Restored back = ReadRestored(shop_.dir() + "/mysqld.sock", "back_latest");
    for (const auto& s : sales)
        if (s.acknowledged > 0) {
            ++acknowledged;
            lost += !back.lines.count(s.number);
        }
    std::cout << "drill: " << acknowledged << " sales acknowledged, " << lost
              << " lost with the server (acknowledged in its last second)\n";
}

// The copy's own disk fills while the tills sell: the program says so at once (not
// "streaming"), counts no short file as finished, and once there is room again fetches what
// the copy lacks from the server: every sale can be restored.
// Sending a finished file off-site takes minutes on a slow line; the server restarts meanwhile
// and the copy follows it all the same (the finishing never holds up the looks).
TEST_F(PointInTimeDrill, TheCopyFollowsARestartedServerWhileAFileIsSentOffSite) {
    const std::string sending = copyIn_.path() + "sending";
    Configure(copy_.path(), "PostBinlogCommand=touch '" + sending + "'; sleep 300; true\r\n");
    StartMonitor();
    ASSERT_TRUE(WaitFor([&] { return HasArchive(); }, 120s)) << Tail();
    ASSERT_GE(SecondsUntilCurrent(60s), 0) << Tail();
    Tills tills(port_, 2);
    ASSERT_TRUE(tills.WaitForSales(100)) << Tail();
    Shop("FLUSH BINARY LOGS;");
    ASSERT_TRUE(WaitFor([&] { return fs::exists(sending); }, 60s)) << "not sent" << Tail();
    for (int restart = 1; restart <= 2; ++restart) {
        ASSERT_TRUE(shop_.Start(kDurable));
        const double seconds = SecondsUntilCurrent(60s);
        ASSERT_GE(seconds, 0) << "the copy did not follow restart " << restart << Tail();
        EXPECT_LE(seconds, 20) << "restart " << restart;
        ASSERT_TRUE(tills.WaitForSales(100)) << Tail();
    }
}

TEST_F(PointInTimeDrill, AFullLogDiskIsSaidAndCaughtUpAndNoShortFileCounts) {
    LabelledDrive disk("ZTLOG", "32M");
    if (!disk.mounted())
        GTEST_SKIP() << "a disk of its own for the copy needs root and loop devices";
    Configure(disk.mountPoint() + "Binlog");
    StartMonitor();
    ASSERT_TRUE(WaitFor([&] { return HasArchive(); }, 120s)) << Tail();
    ASSERT_GE(SecondsUntilCurrent(60s), 0) << Tail();
    Tills tills(port_, 4);
    ASSERT_TRUE(tills.WaitForSales(200));
    disk.FillLeaving(48 * 1024);
    for (int i = 0; i < 5; ++i) { // files finished while the disk is full
        ASSERT_TRUE(tills.WaitForSales(150));
        Shop("FLUSH BINARY LOGS;");
    }
    ASSERT_TRUE(WaitFor(
        [&] {
            const BinlogCopyOutcome c = BinlogCopyOutcome::Read();
            return !c.problem.empty() && !c.Streaming(std::time(nullptr));
        },
        30s))
        << Tail();
    EXPECT_TRUE(MetricsSay("zentamarket_binlog_copy_disk_problem 1")) << Metrics();
    EXPECT_TRUE(MetricsSay("zentamarket_binlog_copy_up 0")) << Metrics();
    auto status = Run({"status"});
    EXPECT_TRUE(Has(status.out, "  PROBLEM: ")) << status.out;
    EXPECT_TRUE(Has(status.out, "disk is full")) << status.out;
    // No file in the chain that is not the server's whole.
    auto wholeAsTheServers = [&] {
        std::map<std::string, long long> server;
        std::istringstream in(Shop("SHOW BINARY LOGS;"));
        for (std::string name; in >> name;)
            in >> server[name];
        std::string wrong;
        const auto chain = BinlogChain::Current(copyFolder_);
        for (const auto& f : chain->Files())
            if (f.whole && server.count(f.name) && f.size != server[f.name])
                wrong += f.name + ": " + std::to_string(f.size) + " of " +
                         std::to_string(server[f.name]) + " bytes\n";
        return wrong;
    };
    EXPECT_EQ(wholeAsTheServers(), "");
    // Room again: caught up by itself.
    disk.Unfill();
    ASSERT_TRUE(tills.WaitForSales(200));
    tills.Stop();
    const double stopped = WallNow();
    ASSERT_GE(SecondsUntilCurrent(120s), 0) << Tail();
    EXPECT_EQ(BinlogCopyOutcome::Read().problem, "");
    EXPECT_EQ(wholeAsTheServers(), "");
    StopMonitor();
    const auto r = Run({"restore", "--until", "latest", "--database", "back_full"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    // No monitor runs: nothing streams, the window ends at the last transaction copied.
    EXPECT_FALSE(Has(r.out, " to now")) << r.out;
    EXPECT_EQ(Judged(tills.Sales(), "back_full", std::nullopt, stopped), "") << r.out;
}

// The backup drive pulled while log files are finished, then plugged back: every finished file
// reaches it whole, and what an interrupted copy left there goes.
TEST_F(PointInTimeDrill, ABackupDriveAwayCatchesUpWholeWhenPluggedBack) {
    LabelledDrive drive("ZTDRILL", "64M");
    if (!drive.mounted())
        GTEST_SKIP() << "a labelled drive needs root and loop devices";
    Shop("INSERT INTO zentasupermarket.opcion (ID, VarCharValor) VALUES "
         "('MobilBackupRestoreVolumeName', '" +
         drive.label() + "');");
    StartMonitor();
    ASSERT_TRUE(WaitFor([&] { return HasArchive(); }, 120s)) << Tail();
    ASSERT_GE(SecondsUntilCurrent(60s), 0) << Tail();
    Tills tills(port_, 2);
    ASSERT_TRUE(tills.WaitForSales(200));
    const std::string first = Master().file;
    Shop("FLUSH BINARY LOGS;");
    const auto chain = BinlogChain::Current(copyFolder_);
    ASSERT_TRUE(chain);
    const std::string onDrive = chain->DriveFolder(drive.mountPoint());
    ASSERT_TRUE(WaitFor([&] { return fs::exists(onDrive + first + ".7z"); }, 60s)) << Tail();
    // An interrupted copy's leftover for the next file, then the drive away while three more
    // files are finished.
    const std::string next = Master().file;
    WriteFile(onDrive + next + ".7z.partial", std::string(100000, 'x'));
    ASSERT_TRUE(drive.Unmount(true));
    std::vector<std::string> whileAway = {next};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(tills.WaitForSales(100));
        Shop("FLUSH BINARY LOGS;");
        whileAway.push_back(Master().file);
    }
    whileAway.pop_back(); // the one being written
    ASSERT_TRUE(WaitFor([&] { return fs::exists(chain->path() + whileAway.back() + ".7z"); }, 60s))
        << Tail();
    ASSERT_TRUE(drive.Mount());
    ASSERT_TRUE(WaitFor(
        [&] {
            for (const auto& f : whileAway)
                if (FileLength(onDrive + f + ".7z") != FileLength(chain->path() + f + ".7z"))
                    return false;
            return true;
        },
        90s))
        << Tail();
    EXPECT_FALSE(fs::exists(onDrive + next + ".7z.partial"));
    EXPECT_TRUE(DirNames(onDrive + "*.partial").empty());
    for (const auto& f : whileAway) {
        EXPECT_EQ(ReadFile(onDrive + f + ".7z"), ReadFile(chain->path() + f + ".7z")) << f;
        EXPECT_EQ(Shell("7zz t '" + onDrive + f + ".7z' >/dev/null"), 0) << f;
    }
}

// A mistake undone with a restore into the live database: no window ever runs across the undo,
// whatever the rotations delete afterwards, and a restore to a second after the undo never
// brings the mistake back.
TEST_F(PointInTimeDrill, AnUndoIntoTheLiveDatabaseIsNeverCrossedByAWindow) {
    Shop("UPDATE zentasupermarket.opcion SET IntegerValor = 1 WHERE ID = 'MaxBackupFile';");
    StartMonitor();
    ASSERT_TRUE(WaitFor([&] { return HasArchive(); }, 120s)) << Tail();
    ASSERT_GE(SecondsUntilCurrent(60s), 0) << Tail();
    {
        Tills tills(port_, 2);
        ASSERT_TRUE(tills.WaitForSales(100));
    }
    std::this_thread::sleep_for(1100ms);
    const std::time_t good = std::time(nullptr);
    std::this_thread::sleep_for(1100ms);
    Shop("DELETE FROM zentasupermarket.articulo;"); // the mistake
    ASSERT_GE(SecondsUntilCurrent(60s), 0) << Tail();
    auto r = Run({"restore", "--until", Stamp(good), "--into-live"});
    ASSERT_EQ(r.status, 0) << r.out << r.err << Tail();
    const std::time_t undone = std::time(nullptr);
    const auto chain = BinlogChain::Current(copyFolder_);
    ASSERT_TRUE(chain);
    const fs::path breaks = chain->path() + "BREAKS.txt";
    const std::string breakLine = ReadFile(breaks.string());
    ASSERT_NE(breakLine, "") << Tail();
    EXPECT_EQ(Shop("SELECT COUNT(*) FROM zentasupermarket.articulo;"), "500\n");
    {
        Tills tills(port_, 2, 50000);
        ASSERT_TRUE(tills.WaitForSales(100));
    }
    auto noWindowAcross = [&](const std::string& when) {
        const auto status = Run({"status"});
        for (std::istringstream in(status.out); !in.eof();) {
            std::string line;
            std::getline(in, line);
            const std::string from = "any second from ";
            const size_t at = line.find(from);
            if (at == std::string::npos)
                continue;
            const long long start = StampSeconds(line.substr(at + from.size(), 19));
            const size_t to = line.find(" to ", at);
            std::string end = line.substr(to + 4, 19);
            if (end.rfind("now (", 0) == 0)
                end = line.substr(to + 9, 19);
            EXPECT_FALSE(start < undone && StampSeconds(end) > undone &&
                         line.find("GAP") == std::string::npos)
                << when << ": a window across the undo: " << line << "\n"
                << status.out;
        }
    };
    noWindowAcross("after the undo");
    // Rotations, each after a full backup (the gap makes the cycle back up again).
    for (int cycle = 1; cycle <= 2; ++cycle) {
        std::this_thread::sleep_for(1100ms);
        r = Run({"run-cycle"});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        noWindowAcross("after rotation " + std::to_string(cycle));
        // The chain's record of the undo goes only with the chain itself.
        if (fs::exists(breaks.parent_path())) {
            EXPECT_EQ(ReadFile(breaks.string()), breakLine) << "after rotation " << cycle;
        }
    }
    // A second just after the undo: refused, or the database as undone; never the mistake.
    r = Run({"restore", "--until", Stamp(undone + 3), "--database", "back_after_undo"});
    if (r.status == 0) {
        EXPECT_EQ(Shop("SELECT COUNT(*) FROM back_after_undo.articulo;"), "500\n") << r.out;
    } else {
        EXPECT_EQ(r.status, 2) << r.out << r.err;
    }
}

// Sales "at" the hour the clocks go back and the one they jump over (Europe/Madrid): a time
// that happens twice is refused with both instants offered, each restores to its own, and a
// time that does not exist, or a day not in the calendar, is refused.
TEST_F(PointInTimeDrill, TheRepeatedAndTheSkippedHourUnderDaylightSaving) {
    const std::vector<std::string> madrid = {"TZ=Europe/Madrid"};
    StartMonitor(madrid);
    ASSERT_TRUE(WaitFor([&] { return HasArchive(); }, 120s)) << Tail();
    ASSERT_GE(SecondsUntilCurrent(60s), 0) << Tail();
    std::this_thread::sleep_for(3s); // the start-up cycle's own writes come first
    // 02:10 and 02:40 summer time, then 02:10 and 02:40 winter time, on 2027-10-31.
    const std::time_t first210 = 1824941400;
    ASSERT_TRUE(
        SellAt(port_, 70000, {first210, first210 + 1800, first210 + 3600, first210 + 5400}));
    ASSERT_GE(SecondsUntilCurrent(60s), 0) << Tail();
    StopMonitor();
    auto r = Run({"restore", "--until", "2027-10-31 02:30:00", "--database", "t0"}, madrid);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_TRUE(Has(r.err, "happens twice")) << r.err;
    EXPECT_TRUE(Has(r.err, "\"2027-10-31 02:30:00 +02:00\" or \"2027-10-31 02:30:00 +01:00\""))
        << r.err;
    // Each instant restores to its own: the last sale before it, named with its offset.
    auto restores = [&](const std::string& until, const std::string& database,
                        const std::string& reached, const std::string& sales) {
        const auto done = Run({"restore", "--until", until, "--database", database}, madrid);
        ASSERT_EQ(done.status, 0) << until << "\n" << done.out << done.err;
        EXPECT_TRUE(Has(done.out, "the last committed at " + reached)) << done.out;
        EXPECT_EQ(Shop("SELECT GROUP_CONCAT(TicketNo ORDER BY TicketNo) FROM " + database +
                       ".ticket WHERE TicketNo BETWEEN 70000 AND 79999;"),
                  sales + "\n")
            << until;
    };
    restores("2027-10-31 02:30:00 +02:00", "t1", "2027-10-31 02:10:00 +02:00", "70000");
    restores("2027-10-31 02:30:00 +01:00", "t2", "2027-10-31 02:10:00 +01:00", "70000,70001,70002");
    restores("2027-10-31 00:45:00Z", "t3", "2027-10-31 02:40:00 +02:00", "70000,70001");
    r = Run({"restore", "--until", "2027-03-28 02:30:00", "--database", "t4"}, madrid);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Has(r.err, "does not exist on this computer's clock")) << r.err;
    r = Run({"restore", "--until", "2026-02-31 10:00:00", "--database", "t5"}, madrid);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Has(r.err, "is not in the calendar")) << r.err;
    EXPECT_EQ(Shop("SHOW DATABASES LIKE 't_';"), "t1\nt2\nt3\n");
}
