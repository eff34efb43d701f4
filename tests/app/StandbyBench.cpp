// Benchmarks of the pair of servers, measured from outside on the drills' two computers
// (bench/standby runs them and writes bench/RESULTS-standby.md): the time from `standby promote`
// to the first sale on the new primary, a till's time per sale with the standby acknowledging
// and without, and the acknowledged sales lost over repeated power cuts. Each result is a line
// "name value" appended to the file named by STANDBY_BENCH_OUT.
#include "BenchResults.h"
#include "StandbyPair.h"

#include <cstdio>
#include <cstdlib>
#include <set>

using namespace zenta;
using namespace zenta::test;
using namespace std::chrono_literals;

namespace {

void Put(const std::string& name, double value) {
    PutResult("STANDBY_BENCH_OUT", name, value);
}

int Setting(const char* name, int otherwise) {
    const char* v = std::getenv(name);
    return v && *v ? std::atoi(v) : otherwise;
}

} // namespace

class StandbyBench : public StandbyDrill {
  protected:
    // The two computers by index: 0 is A, 1 is B.
    OwnServer& Server(int i) { return i == 0 ? a_ : b_; }
    std::string Folder(int i) { return i == 0 ? AppPath() : folderB_.path(); }
    std::string Host(int i) { return i == 0 ? "127.0.0.1" : "127.0.0.2"; }
    int Port(int i) { return i == 0 ? portA_ : portB_; }
    DelayRelay& LinkTo(int i) { return i == 0 ? *toA_ : *toB_; }

    // Sales acknowledged before it is read that the server does not hold (the tills go on
    // selling there while it is read).
    long Lost(int i) {
        const double readAt = WallNow();
        const Restored held = ReadRestored(Server(i).dir() + "/mysqld.sock", "zentasupermarket");
        long lost = 0;
        for (const auto& s : tills_->Sales())
            if (s.acknowledged > 0 && s.acknowledged < readAt && !held.lines.count(s.number))
                ++lost;
        return lost;
    }
    // The primary `p` loses its power; the other is promoted and the tills go there. Seconds
    // from the start of the promotion to the first sale there; the primary is then `1 - p`.
    double CutAndPromote(int p) {
        PowerCut(Server(p), LinkTo(p));
        const double from = WallNow();
        tills_->Redirect(Host(1 - p), Port(1 - p));
        const Result promote = RunIn(Folder(1 - p), {"standby", "promote"});
        EXPECT_EQ(promote.status, 0) << promote.out << promote.err;
        EXPECT_TRUE(tills_->WaitForSales(1, 60));
        double first = 0;
        for (const auto& s : tills_->Sales())
            if (s.acknowledged > from && (first == 0 || s.acknowledged < first))
                first = s.acknowledged;
        return first - from;
    }
    // The computer whose power went comes back and is seeded again as the standby.
    void Rejoin(int p) {
        ASSERT_TRUE(Server(p).Start(PairServer(p + 1)));
        LinkTo(p).Start();
        const Result seed = RunIn(Folder(p), {"standby", "seed", "--replace"});
        ASSERT_EQ(seed.status, 0) << seed.out << seed.err;
    }
    bool Protected(int primary) {
        return WaitFor(
            [&] {
                return Query(Server(primary),
                             "SELECT GROUP_CONCAT(VARIABLE_VALUE ORDER BY VARIABLE_NAME) FROM "
                             "information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME IN "
                             "('Rpl_semi_sync_master_clients', 'Rpl_semi_sync_master_status')") ==
                       "1,ON";
            },
            30s);
    }
};

class StandbyBenchOnALan : public StandbyBench {
  protected:
    StandbyBenchOnALan() { linkDelay_ = 1ms; }
};

// From `standby promote` to the first sale on the new primary, the tills (at a busy shop's pace)
// trying the new server all along.
TEST_F(StandbyBench, PromotionToTheFirstSale) {
    MakePair(true);
    int primary = 0;
    for (int round = 1; round <= 3; ++round) {
        ASSERT_TRUE(Protected(primary));
        ASSERT_TRUE(tills_->WaitForSales(200));
        const double seconds = CutAndPromote(primary);
        Put("promote_to_first_sale_s_" + std::to_string(round), seconds);
        EXPECT_EQ(Lost(1 - primary), 0);
        Rejoin(primary);
        primary = 1 - primary;
    }
}

// A till's time per sale (four tills selling without pause, the link a shop's network), with the
// standby acknowledging each sale and with the primary not waiting for it, twice each way.
TEST_F(StandbyBenchOnALan, TillTimesWithAndWithoutTheStandby) {
    MakePair(false);
    ASSERT_TRUE(Protected(0));
    long first = 10000000;
    for (int round = 1; round <= 2; ++round)
        for (const bool semiSync : {true, false}) {
            Query(a_, std::string("SET GLOBAL rpl_semi_sync_master_enabled = ") +
                          (semiSync ? "ON" : "OFF"));
            if (semiSync) {
                ASSERT_TRUE(Protected(0));
            }
            Tills tills(TillTarget{"127.0.0.1", portA_, true, 0}, 4, first);
            first += 1000000;
            std::this_thread::sleep_for(10s);
            tills.Stop();
            std::vector<double> times;
            for (const auto& s : tills.Sales())
                if (s.acknowledged > 0)
                    times.push_back((s.acknowledged - s.begun) * 1000);
            const std::string name = semiSync ? "semisync" : "async";
            Put(name + "_sales_per_s_" + std::to_string(round), times.size() / 10.0);
            Put(name + "_p50_ms_" + std::to_string(round), Percentile(times, 0.5));
            Put(name + "_p99_ms_" + std::to_string(round), Percentile(times, 0.99));
        }
}

// Power cuts of the primary mid-sale over a slow link, each followed by the promotion of the
// standby, the two computers taking turns; the acknowledged sales the new primary lacks,
// counted sale by sale. Then the same with the primary not waiting for the standby.
TEST_F(StandbyBench, AcknowledgedSalesLostOverPowerCuts) {
    MakePair(true);
    int primary = 0;
    const int cuts = Setting("STANDBY_CUTS", 20), asyncCuts = Setting("STANDBY_ASYNC_CUTS", 5);
    long lost = 0, lostAsync = 0, acknowledged = 0, lostBefore = 0;
    for (int cut = 1; cut <= cuts + asyncCuts; ++cut) {
        const bool semiSync = cut <= cuts;
        ASSERT_TRUE(Protected(primary));
        if (!semiSync)
            Query(Server(primary), "SET GLOBAL rpl_semi_sync_master_enabled = OFF");
        ASSERT_TRUE(tills_->WaitForSales(150));
        CutAndPromote(primary);
        // This cut's: the sales lost at an earlier cut stay lost.
        const long lostNow = Lost(1 - primary), missing = lostNow - lostBefore;
        lostBefore = lostNow;
        (semiSync ? lost : lostAsync) += missing;
        if (semiSync)
            acknowledged = tills_->acknowledged();
        Put(std::string(semiSync ? "cut_lost_" : "async_cut_lost_") + std::to_string(cut),
            static_cast<double>(missing));
        Rejoin(primary);
        primary = 1 - primary;
    }
    Put("cuts", cuts);
    Put("cuts_lost", static_cast<double>(lost));
    Put("cuts_acknowledged", static_cast<double>(acknowledged));
    Put("async_cuts", asyncCuts);
    Put("async_cuts_lost", static_cast<double>(lostAsync));
    EXPECT_EQ(lost, 0);
}
