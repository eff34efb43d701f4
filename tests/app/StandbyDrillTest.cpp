// Drills of the pair of servers from outside, as two shop computers meet their disasters: two
// real servers (127.0.0.1 and 127.0.0.2 as the two computers), the real program started once on
// each as the service starts it, a link between them that delays every byte (where an
// asynchronous copy would lose the last sales), tills selling on the suite's own account
// throughout. Power cuts are kill -9 of the server and of its link; every outcome is judged sale
// by sale against what the tills were told, and every "protected", "primary" or exit 0 against
// the servers' own figures. The tills sell at twice a busy shop's pace (four tills, a sale each
// 20 ms at most).
#include "StandbyPair.h"

using namespace zenta;
using namespace zenta::test;
using namespace std::chrono_literals;

// Seeded under selling tills, the standby holds every sale; the primary's power cut, then the
// standby promoted: every acknowledged sale is there, the tills sell on, the new primary's
// monitor takes over the backups; the old primary comes back read-only, is seeded again as the
// standby, and the same disaster the other way round loses nothing either.
TEST_F(StandbyDrill, APowerCutOfThePrimaryLosesNoAcknowledgedSaleEitherWay) {
    monitorA_ = StartMonitor(AppPath());
    monitorB_ = StartMonitor(folderB_.path());
    MakePair(true);
    ASSERT_TRUE(WaitRecorded(AppPath(), "SemiSync", "on", 20s));
    EXPECT_TRUE(WaitRecorded(folderB_.path(), "Role", "standby", 20s));
    ASSERT_TRUE(tills_->WaitForSales(300));

    // 1. The primary's computer loses its power mid-sale.
    PowerCut(a_, *toA_);
    const Result promote = RunIn(folderB_.path(), {"standby", "promote"});
    ASSERT_EQ(promote.status, 0) << promote.out << promote.err;
    EXPECT_TRUE(Has(promote.out, "Promoted in")) << promote.out;
    // No floating address: the settings the other computers must change are named.
    EXPECT_TRUE(Has(promote.out, "MySQLPort=" + std::to_string(portB_))) << promote.out;
    const std::string lost = Judge(b_);
    EXPECT_EQ(lost, "") << "after the first cut";
    EXPECT_EQ(Query(b_, "SELECT @@read_only"), "0");
    tills_->Redirect("127.0.0.2", portB_);
    ASSERT_TRUE(tills_->WaitForSales(200)) << "the tills do not sell on the new primary";
    EXPECT_TRUE(WaitRecorded(folderB_.path(), "Role", "primary", 20s));
    EXPECT_TRUE(WaitFor(
        [&] { return !DirNames(folderB_.path() + "Backup/" + kArchivePattern).empty(); }, 120s))
        << "the new primary's monitor made no backup:\n"
        << ReadFile(folderB_.path() + "Log/ZentaMarketMonitor.log");

    // 2. The old primary comes back: read-only, named so, never opened by its monitor.
    ASSERT_TRUE(a_.Start(PairServer(1)));
    EXPECT_TRUE(WaitRecorded(AppPath(), "Role", "old primary", 20s));
    std::this_thread::sleep_for(4s);
    EXPECT_EQ(Query(a_, "SELECT @@read_only"), "1") << "the old primary was opened";
    const Result open = RunIn(AppPath(), {"standby", "open", "--yes"});
    EXPECT_EQ(open.status, 1) << open.out << open.err;

    // 3. Seeded again under the tills, it is the standby; then the other computer's power goes.
    toA_->Start();
    const Result seed = RunIn(AppPath(), {"standby", "seed", "--replace"});
    ASSERT_EQ(seed.status, 0) << seed.out << seed.err;
    ASSERT_TRUE(WaitRecorded(folderB_.path(), "SemiSync", "on", 20s));
    ASSERT_TRUE(tills_->WaitForSales(300));
    PowerCut(b_, *toB_);
    const Result back = RunIn(AppPath(), {"standby", "promote"});
    ASSERT_EQ(back.status, 0) << back.out << back.err;
    EXPECT_EQ(Judge(a_), "") << "after the second cut";
    tills_->Redirect("127.0.0.1", portA_);
    ASSERT_TRUE(tills_->WaitForSales(100)) << "the tills do not sell on the first computer again";
    tills_->Stop();
    EXPECT_EQ(Judge(a_), "");
}

// The two computers on a shop's network (a millisecond each way). Over a slow link MariaDB turns
// semi-synchronous replication back on only at a lull in the sales (its acknowledgements never
// reach the newest commit while tills sell without pause); the tray says unprotected until then.
class StandbyDrillOnALan : public StandbyDrill {
  protected:
    StandbyDrillOnALan() { linkDelay_ = 1ms; }
};

// A standby that stops answering (frozen, not gone) costs each till the semi-synchronous timeout
// once; the primary says at once that its sales are not protected, and protects them again by
// itself when the standby is back.
TEST_F(StandbyDrillOnALan, AFrozenStandbyCostsEachTillTheTimeoutOnce) {
    monitorA_ = StartMonitor(AppPath());
    MakePair(true);
    ASSERT_TRUE(WaitRecorded(AppPath(), "SemiSync", "on", 20s));
    ASSERT_TRUE(tills_->WaitForSales(200));
    const double frozen = WallNow();
    Shell("kill -STOP $(cat '" + b_.dir() + "/mysqld.pid')");
    const bool said = WaitRecorded(AppPath(), "SemiSync", "off", 20s);
    const double saidAfter = WallNow() - frozen;
    // The metrics file is rewritten right after the record.
    std::string metrics;
    WaitFor(
        [&] {
            metrics = ReadFile(AppPath() + "zentamarket.prom");
            return Has(metrics, "zentamarket_standby_protected 0");
        },
        5s);
    ASSERT_TRUE(tills_->WaitForSales(200, 30)) << "the tills stopped with the standby";
    Shell("kill -CONT $(cat '" + b_.dir() + "/mysqld.pid')");
    EXPECT_TRUE(said) << "semi-synchronous off was not said";
    EXPECT_LT(saidAfter, 12.0);
    EXPECT_TRUE(Has(metrics, "zentamarket_standby_protected 0")) << metrics;
    int slow = 0;
    double worst = 0;
    for (const auto& s : tills_->Sales())
        if (s.acknowledged > 0 && s.begun >= frozen - 0.1) {
            const double took = s.acknowledged - s.begun;
            worst = std::max(worst, took);
            if (took > 0.8)
                ++slow;
        }
    EXPECT_LE(slow, 4) << "more sales than tills waited for the standby";
    EXPECT_LT(worst, 2.5);
    EXPECT_TRUE(WaitRecorded(AppPath(), "SemiSync", "on", 30s))
        << "not protected again: " << Query(a_, "SHOW GLOBAL STATUS LIKE 'Rpl_semi_sync_master_%'")
        << "\n"
        << Query(b_, "SHOW SLAVE STATUS\\G") << "\n"
        << ReadFile(AppPath() + "Log/JobOutcomes.ini");
    tills_->Stop();
    EXPECT_EQ(Judge(a_), "");
}

// Both servers start read-only: the primary's monitor opens it only while it sees the standby
// agree; restarted while the standby is away, it stays read-only (the tills cannot sell) until a
// person opens it, and without a yes nothing opens.
TEST_F(StandbyDrill, APrimaryRestartedWithoutItsPartnerStaysReadOnlyUntilAPersonOpensIt) {
    MakePair(false);
    // doctor: both servers set for a pair, the accounts as a pair needs them; then the tills'
    // account given ALL PRIVILEGES (READ ONLY ADMIN: read_only would not stop it) is named with
    // its fix.
    const Result fine = RunIn(AppPath(), {"doctor"});
    EXPECT_TRUE(Has(fine.out, "good    pair: this server")) << fine.out;
    EXPECT_TRUE(Has(fine.out, "good    pair: the other server")) << fine.out;
    EXPECT_FALSE(Has(fine.out, "pair: accounts")) << fine.out;
    Query(a_, "SET SESSION sql_log_bin = 0; GRANT ALL PRIVILEGES ON *.* TO "
              "'zentasupermarket'@'%'");
    const Result wrong = RunIn(AppPath(), {"doctor"});
    EXPECT_TRUE(Has(wrong.out, "FAULT   pair: accounts: 'zentasupermarket'@'%' holds ALL "
                               "PRIVILEGES"))
        << wrong.out;
    EXPECT_TRUE(Has(wrong.out, "REVOKE ALL PRIVILEGES, GRANT OPTION FROM 'zentasupermarket'@'%'"))
        << wrong.out;
    Query(a_, "SET SESSION sql_log_bin = 0; REVOKE ALL PRIVILEGES, GRANT OPTION FROM "
              "'zentasupermarket'@'%'; GRANT " +
                  std::string(kSuiteAccountPrivileges) + " ON *.* TO 'zentasupermarket'@'%'");
    monitorA_ = StartMonitor(AppPath());
    ASSERT_TRUE(a_.Start(PairServer(1)));
    EXPECT_TRUE(WaitFor([&] { return Query(a_, "SELECT @@read_only") == "0"; }, 20s))
        << "the primary was not opened while its standby agreed";

    Shell("'" + SourceDir() + "/scripts/local-mariadb' stop '" + b_.dir() + "' >/dev/null");
    ASSERT_TRUE(a_.Start(PairServer(1)));
    EXPECT_TRUE(WaitRecorded(AppPath(), "Role", "fenced", 20s));
    tills_ = std::make_unique<Tills>(TillTarget{"127.0.0.1", portA_, true, 20}, 2, 5000000);
    EXPECT_FALSE(tills_->WaitForSales(1, 8)) << "a fenced primary took a sale";
    EXPECT_EQ(Query(a_, "SELECT @@read_only"), "1");
    const Result status = RunIn(AppPath(), {"status"});
    EXPECT_TRUE(Has(status.out, "fenced")) << status.out;
    const Result asked = RunIn(AppPath(), {"standby", "open"});
    EXPECT_EQ(asked.status, 1) << asked.out << asked.err;
    EXPECT_TRUE(Has(asked.out, "might have been promoted") || Has(asked.out, "was promoted"))
        << asked.out;
    EXPECT_EQ(Query(a_, "SELECT @@read_only"), "1");
    const Result opened = RunIn(AppPath(), {"standby", "open", "--yes"});
    EXPECT_EQ(opened.status, 0) << opened.out << opened.err;
    EXPECT_TRUE(tills_->WaitForSales(50, 20)) << "the tills cannot sell after the person opened it";
}

// After a promotion the old primary comes back: when its log ends at the promotion point it
// follows the new primary and holds every sale again; when it took a transaction after that
// point (written while it was not fenced), it is refused and the transaction is listed for a
// person; seeded again, it is the standby.
TEST_F(StandbyDrill, TheOldPrimaryRejoinsWhenCleanAndIsRefusedWithAListWhenItTookASale) {
    monitorA_ = StartMonitor(AppPath());
    monitorB_ = StartMonitor(folderB_.path());
    MakePair(true);
    ASSERT_TRUE(tills_->WaitForSales(200));
    PowerCut(a_, *toA_);
    const Result promote = RunIn(folderB_.path(), {"standby", "promote"});
    ASSERT_EQ(promote.status, 0) << promote.out << promote.err;
    tills_->Redirect("127.0.0.2", portB_);
    ASSERT_TRUE(tills_->WaitForSales(100));

    // Its first start after the power cut drops what it wrote but never sent (no till was told).
    ASSERT_TRUE(a_.Start(PairServer(1, "--init-rpl-role=SLAVE")));
    toA_->Start();
    const Result rejoin = RunIn(AppPath(), {"standby", "rejoin"});
    ASSERT_EQ(rejoin.status, 0) << rejoin.out << rejoin.err;
    EXPECT_TRUE(Has(rejoin.out, "in step")) << rejoin.out;
    EXPECT_TRUE(WaitRecorded(AppPath(), "Role", "standby", 20s));
    ASSERT_TRUE(tills_->WaitForSales(200));
    tills_->Stop();
    const std::string last = Query(b_, "SELECT @@gtid_binlog_pos");
    ASSERT_TRUE(WaitFor([&] { return Query(a_, "SELECT @@gtid_current_pos") == last; }, 30s));
    EXPECT_EQ(Judge(a_), "") << "the rejoined old primary lacks sales";
    EXPECT_EQ(Query(a_, "SELECT @@read_only"), "1");

    // The other way round; the old primary (B) then takes a sale while not fenced.
    PowerCut(b_, *toB_);
    const Result back = RunIn(AppPath(), {"standby", "promote"});
    ASSERT_EQ(back.status, 0) << back.out << back.err;
    ASSERT_TRUE(b_.Start(PairServer(2, "--init-rpl-role=SLAVE")));
    Query(b_, "INSERT INTO zentasupermarket.ticket (TicketNo, Fecha, Cajero, Total) VALUES "
              "(9999999, NOW(), 'caja9', 1)");
    const Result refused = RunIn(folderB_.path(), {"standby", "rejoin"});
    EXPECT_EQ(refused.status, 1) << refused.out << refused.err;
    // Told by its number (after the promotion point) or, when the crash left it behind the
    // point, by when it was written (since the server came back).
    EXPECT_TRUE(Has(refused.err, "holds 1 transactions written after the promotion point") ||
                Has(refused.err, "took 1 transactions since it came back"))
        << refused.err;
    const size_t at = refused.err.find(folderB_.path() + "Log/standby-not-on-the-primary-");
    ASSERT_NE(at, std::string::npos) << refused.err;
    const std::string list = refused.err.substr(at, refused.err.find(".sql", at) + 4 - at);
    EXPECT_TRUE(Has(ReadFile(list), "9999999")) << list;
    EXPECT_EQ(Query(b_, "SHOW SLAVE STATUS"), "") << "a refused server must not replicate";
    const Result seed = RunIn(folderB_.path(), {"standby", "seed", "--replace"});
    EXPECT_EQ(seed.status, 0) << seed.out << seed.err;
    EXPECT_TRUE(WaitRecorded(folderB_.path(), "Role", "standby", 20s));
}

// A planned switchover each way while the tills sell through the shop's floating address (held
// where the program's check says healthy, as keepalived holds it): no sale is lost on either
// server, the tills pause for seconds, the old primary follows the new one at once, and the
// check answers for the primary, the standby and a server that is away.
TEST_F(StandbyDrill, ASwitchoverEachWayUnderSellingTillsLosesNoSale) {
    FloatingAddress& floating = PairBehindAFloatingAddress();
    EXPECT_EQ(FloatingAddress::Check(AppPath()), 0) << "the open primary is not healthy";
    EXPECT_EQ(FloatingAddress::Check(folderB_.path()), 1) << "the standby is healthy";
    ASSERT_TRUE(tills_->WaitForSales(300));

    auto switchOver = [&](const std::string& folder, int to) {
        const double began = WallNow();
        const Result moved = RunIn(folder, {"standby", "switchover"});
        EXPECT_EQ(moved.status, 0) << moved.out << moved.err;
        EXPECT_TRUE(Has(moved.out, "Switched over")) << moved.out;
        EXPECT_TRUE(WaitFor([&] { return floating.holder() == to; }, 10s))
            << "the floating address did not move";
        EXPECT_TRUE(tills_->WaitForSales(200, 30)) << "the tills do not sell after the switchover";
        // The longest the tills waited: the widest gap between two acknowledged sales.
        std::vector<double> acknowledged;
        for (const auto& s : tills_->Sales())
            if (s.acknowledged >= began)
                acknowledged.push_back(s.acknowledged);
        std::sort(acknowledged.begin(), acknowledged.end());
        double widest = acknowledged.empty() ? 0 : acknowledged.front() - began;
        for (size_t i = 1; i < acknowledged.size(); ++i)
            widest = std::max(widest, acknowledged[i] - acknowledged[i - 1]);
        EXPECT_LT(widest, 10.0) << "the tills were held too long";
        std::cout << "tills held at most " << widest << " s" << std::endl;
    };

    // 1. A to B: B the primary, A its standby at once, every sale on both.
    switchOver(AppPath(), 1);
    EXPECT_EQ(Query(b_, "SELECT @@read_only"), "0");
    EXPECT_EQ(Query(a_, "SELECT @@read_only"), "1");
    EXPECT_TRUE(WaitRecorded(AppPath(), "Role", "standby", 20s));
    EXPECT_TRUE(WaitRecorded(folderB_.path(), "Role", "primary", 20s));
    EXPECT_EQ(FloatingAddress::Check(AppPath()), 1);
    EXPECT_EQ(FloatingAddress::Check(folderB_.path()), 0);
    EXPECT_EQ(Judge(b_), "") << "after the switchover to B";
    const Result wrongSide = RunIn(AppPath(), {"standby", "switchover"});
    EXPECT_EQ(wrongSide.status, 1) << wrongSide.out << wrongSide.err;
    EXPECT_TRUE(Has(wrongSide.err, "runs on the primary's computer")) << wrongSide.err;

    // 2. Back to A.
    switchOver(folderB_.path(), 0);
    EXPECT_EQ(Judge(a_), "") << "after the switchover back to A";
    tills_->Stop();
    const std::string last = Query(a_, "SELECT @@gtid_binlog_pos");
    ASSERT_TRUE(WaitFor([&] { return Query(b_, "SELECT @@gtid_current_pos") == last; }, 30s))
        << "B does not follow A: " << Query(b_, "SHOW SLAVE STATUS\\G");
    EXPECT_EQ(Judge(a_), "");
    EXPECT_EQ(Judge(b_), "") << "the standby lacks sales";
    EXPECT_EQ(floating.moves(), 2);

    // 3. The primary's server away: its check says so, and nothing holds the address.
    Shell("'" + SourceDir() + "/scripts/local-mariadb' stop '" + a_.dir() + "' >/dev/null");
    EXPECT_EQ(FloatingAddress::Check(AppPath()), 2);
    EXPECT_EQ(FloatingAddress::Check(folderB_.path()), 1);
    EXPECT_TRUE(WaitFor([&] { return floating.holder() == -1; }, 5s));
}

// A switchover that stopped half-way (its program killed once the primary was closed: the
// primary's record names the standby and it is read-only, the tills cannot sell) is undone
// when the standby cannot get there in time (the primary opens again, the tills sell on it), and
// finished when run again with the standby in step.
TEST_F(StandbyDrill, ASwitchoverStoppedHalfWayIsUndoneOrFinishedWhenRunAgain) {
    FloatingAddress& floating = PairBehindAFloatingAddress();
    ASSERT_TRUE(tills_->WaitForSales(200));
    auto stopHalfWay = [&] {
        Query(a_, "SET SESSION sql_log_bin = 0; UPDATE zentamarketmonitor.pair_record SET "
                  "primary_server_id = 2");
        ASSERT_TRUE(WaitFor([&] { return Query(a_, "SELECT @@read_only") == "1"; }, 10s))
            << "the monitor did not close a primary whose record names the other";
        EXPECT_FALSE(tills_->WaitForSales(1, 3)) << "a closed primary took a sale";
    };

    // The standby stopped applying: not in time, the primary opens again.
    Query(b_, "STOP SLAVE SQL_THREAD");
    ASSERT_TRUE(tills_->WaitForSales(50));
    stopHalfWay();
    const Result undone = RunIn(AppPath(), {"standby", "switchover", "--wait", "3"});
    EXPECT_EQ(undone.status, 1) << undone.out << undone.err;
    EXPECT_TRUE(Has(undone.err, "it is open for sales again")) << undone.err;
    EXPECT_EQ(Query(a_, "SELECT @@read_only"), "0");
    EXPECT_TRUE(tills_->WaitForSales(100, 20)) << "the tills do not sell on the reopened primary";
    EXPECT_TRUE(WaitRecorded(AppPath(), "Role", "primary", 20s));

    // In step again, the same state finished by a second run.
    Query(b_, "START SLAVE SQL_THREAD");
    stopHalfWay();
    const Result finished = RunIn(AppPath(), {"standby", "switchover"});
    EXPECT_EQ(finished.status, 0) << finished.out << finished.err;
    EXPECT_TRUE(WaitFor([&] { return floating.holder() == 1; }, 10s));
    EXPECT_TRUE(tills_->WaitForSales(100, 30)) << "the tills do not sell on the new primary";
    tills_->Stop();
    const std::string last = Query(b_, "SELECT @@gtid_binlog_pos");
    ASSERT_TRUE(WaitFor([&] { return Query(a_, "SELECT @@gtid_current_pos") == last; }, 30s))
        << "A does not follow B: " << Query(a_, "SHOW SLAVE STATUS\\G");
    EXPECT_EQ(Judge(b_), "");
    EXPECT_EQ(Judge(a_), "");
}

// A restore into the live database of the primary reaches no binary log: with --reseed-standby
// the standby is seeded again from it right after, holds exactly the restored data, and follows
// the primary's next sales (without it, it would keep the sales the restore took away).
TEST_F(StandbyDrill, ARestoreIntoTheLivePrimaryReseedsTheStandby) {
    MakePair(true);
    tills_->Stop();
    const Result backup = RunIn(AppPath(), {"backup"});
    ASSERT_EQ(backup.status, 0) << backup.out << backup.err;
    const auto archives = DirNames(AppPath() + "Backup/" + kArchivePattern);
    ASSERT_FALSE(archives.empty());
    const std::string archive = AppPath() + "Backup/" + archives.back();
    const std::string before = Query(a_, "SELECT COUNT(*) FROM zentasupermarket.ticket");
    Tills more(TillTarget{"127.0.0.1", portA_, true, 0}, 2, 5000000);
    ASSERT_TRUE(more.WaitForSales(100));
    more.Stop();

    const Result restored =
        RunIn(AppPath(), {"restore", archive, "--into-live", "--reseed-standby"});
    ASSERT_EQ(restored.status, 0) << restored.out << restored.err;
    EXPECT_TRUE(Has(restored.out, "seeded again from this server")) << restored.out;
    EXPECT_EQ(Query(a_, "SELECT COUNT(*) FROM zentasupermarket.ticket"), before);
    const std::string sums =
        "CHECKSUM TABLE zentasupermarket.ticket, zentasupermarket.ticketarticulo";
    EXPECT_EQ(Query(b_, sums), Query(a_, sums)) << "the standby differs from the restored primary";
    EXPECT_EQ(Query(b_, "SELECT @@read_only"), "1");

    Tills after(TillTarget{"127.0.0.1", portA_, true, 0}, 2, 6000000);
    ASSERT_TRUE(after.WaitForSales(50));
    after.Stop();
    const std::string last = Query(a_, "SELECT @@gtid_binlog_pos");
    ASSERT_TRUE(WaitFor([&] { return Query(b_, "SELECT @@gtid_current_pos") == last; }, 30s))
        << Query(b_, "SHOW SLAVE STATUS\\G");
    EXPECT_EQ(Query(b_, sums), Query(a_, sums)) << "the standby does not follow the primary";
}

// At closing time nothing is written for hours: a switchover each way returns within its
// deadline (the old primary's own last transactions are in its log, never in what it applied as
// a replica), and so does a promotion of a standby that never applied a transaction of the
// primary it follows (an old primary that rejoined at closing time).
TEST_F(StandbyDrill, AtClosingTimeASwitchoverEachWayAndAPromotionReturn) {
    monitorA_ = StartMonitor(AppPath());
    monitorB_ = StartMonitor(folderB_.path());
    MakePair(true);
    ASSERT_TRUE(tills_->WaitForSales(200));
    tills_->Stop();
    ASSERT_TRUE(WaitRecorded(folderB_.path(), "Role", "standby", 20s));

    auto switchOver = [&](const std::string& folder, const OwnServer& to, const OwnServer& from) {
        const auto began = std::chrono::steady_clock::now();
        Program program(folder, {}, false, {"standby", "switchover", "--wait", "20"});
        const int status = program.WaitExit(90s);
        const double took =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        const std::string out = ReadFile(folder + "stdout.txt") + ReadFile(folder + "stderr.txt");
        EXPECT_EQ(status, 0) << "after " << took << " s: " << out;
        EXPECT_TRUE(Has(out, "Switched over")) << out;
        EXPECT_LT(took, 30.0) << out;
        EXPECT_EQ(Query(to, "SELECT @@read_only"), "0");
        EXPECT_EQ(Query(from, "SELECT @@read_only"), "1");
        EXPECT_NE(Query(from, "SHOW SLAVE STATUS"), "") << "the old primary does not follow";
    };
    switchOver(AppPath(), b_, a_);
    EXPECT_EQ(Judge(b_), "");
    switchOver(folderB_.path(), a_, b_);
    EXPECT_EQ(Judge(a_), "");
    switchOver(AppPath(), b_, a_);

    // B the primary, A its standby having applied nothing of B's: B's power goes, A promoted.
    PowerCut(b_, *toB_);
    const auto began = std::chrono::steady_clock::now();
    Program promote(AppPath(), {}, false, {"standby", "promote", "--wait", "20"});
    const int status = promote.WaitExit(90s);
    const std::string out = ReadFile(AppPath() + "stdout.txt") + ReadFile(AppPath() + "stderr.txt");
    EXPECT_EQ(status, 0) << out;
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count(), 30.0)
        << out;
    EXPECT_EQ(Query(a_, "SELECT @@read_only"), "0");
    EXPECT_EQ(Judge(a_), "");
    // Not given --force, so the log says nothing was forced (the dead primary's receiving error
    // is no reason to force).
    EXPECT_FALSE(Has(Log(), "forced over")) << Log();
}
