// Benchmarks of the off-site copy, measured from outside on the drills' shop (bench/offsite runs
// them and writes bench/RESULTS-offsite.md), with the default LogSeconds (10): how long until the
// storage holds what the server wrote, under four busy tills; the acknowledged sales a shop
// destroyed whole loses (every process killed at once, the local copy gone), over repeated
// trials; and a till's time per sale with the off-site copy on and off. Each result is a line
// "name value" appended to the file named by OFFSITE_BENCH_OUT.
#include "BenchResults.h"
#include "OffsiteShop.h"

#include <atomic>
#include <cstdlib>

using namespace zenta;
using namespace zenta::test;
using namespace std::chrono_literals;

namespace {

void Put(const std::string& name, double value) {
    PutResult("OFFSITE_BENCH_OUT", name, value);
}

int Setting(const char* name, int otherwise) {
    const char* v = std::getenv(name);
    return v && *v ? std::atoi(v) : otherwise;
}

} // namespace

class OffsiteBench : public OffsiteShop {
  protected:
    OffsiteBench() {
        logSeconds_ = 10;
        s3_.RunAsAnotherComputer();
    }
    // What the storage holds of each file: the end of its furthest segment.
    std::map<std::string, long long> Held() {
        S3Client client(Storage("headoffice"));
        std::map<std::string, long long> held;
        if (const auto listed = client.List(prefix_))
            for (const auto& o : *listed)
                if (const auto s = repository::ParseSegmentKey(prefix_, o.key))
                    held[s->file] = std::max(held[s->file], s->end);
        return held;
    }

  public:
    int Port() const { return port_; }
    // The monitor started for one phase of the tills' measure: with the off-site copy, or with
    // the local copy of the binary log alone.
    void StartPhase(bool offsite) {
        if (offsite)
            Configure("");
        else
            WriteFile(AppPath() + "zentamarket.ini",
                      "[MySQL]\r\nMySQLHost=127.0.0.1\r\nMySQLPort=" + std::to_string(port_) +
                          "\r\n[Monitor]\r\nBinlogFolder=" + copy_.path() + "\r\n");
        StartMonitor();
    }
    void EndPhase() {
        monitor_->Signal(SIGTERM);
        monitor_->WaitExit(30s);
        monitor_.reset();
    }
};

// Every half second the server's position; every half second what the storage holds. The lag
// of a position: until the storage held it.
TEST_F(OffsiteBench, LagUnderFourBusyTills) {
    StartMonitor();
    ASSERT_TRUE(WaitCurrent(120s)) << Tail();
    Tills tills(TillTarget{"127.0.0.1", port_, false, 20}, 4);
    ASSERT_TRUE(tills.WaitForSales(200));
    std::vector<Point> asked;
    std::vector<std::pair<double, std::map<std::string, long long>>> seen;
    std::atomic<bool> done{false};
    std::thread watch([&] {
        while (!done) {
            seen.emplace_back(WallNow(), Held());
            std::this_thread::sleep_for(500ms);
        }
    });
    const double until = WallNow() + Setting("OFFSITE_LAG_SECONDS", 90);
    while (WallNow() < until) {
        asked.push_back(ServerPosition());
        std::this_thread::sleep_for(500ms);
    }
    std::this_thread::sleep_for(std::chrono::seconds(logSeconds_ + 10));
    done = true;
    watch.join();
    tills.Stop();
    std::vector<double> lags;
    for (const auto& p : asked)
        for (const auto& [at, held] : seen)
            if (at >= p.at && held.count(p.file) && held.at(p.file) >= p.position) {
                lags.push_back(at - p.at);
                break;
            }
    ASSERT_GT(lags.size(), asked.size() * 9 / 10) << "positions the storage never held";
    Put("lag_samples", static_cast<double>(lags.size()));
    Put("lag_p50_s", Percentile(lags, 0.5));
    Put("lag_p99_s", Percentile(lags, 0.99));
    Put("lag_worst_s", Percentile(lags, 1.0));
    Put("sales_per_second", tills.acknowledged() / Setting("OFFSITE_LAG_SECONDS", 90.0));
    EXPECT_LE(Percentile(lags, 0.99), logSeconds_ + 2.0);
}

// The shop destroyed whole mid-sale: the monitor and the server killed at once, the local copy
// deleted. Of the acknowledged sales, those the repository lacks, and how long before the
// destruction the earliest of them was acknowledged.
TEST_F(OffsiteBench, SalesLostAtADestruction) {
    const int trials = Setting("OFFSITE_TRIALS", 10);
    long lost = 0, acknowledged = 0;
    double window = 0;
    for (int t = 1; t <= trials; ++t) {
        prefix_ = "destroyed-" + std::to_string(t);
        Configure("");
        ASSERT_TRUE(shop_.StartFresh(kDurable));
        ASSERT_TRUE(shop_.Load(kShop));
        for (const auto& e : fs::directory_iterator(copy_.path()))
            fs::remove_all(e.path());
        StartMonitor();
        ASSERT_TRUE(WaitCurrent(120s)) << Tail();
        Tills tills(TillTarget{"127.0.0.1", port_, false, 20}, 4, 1000000 * t);
        ASSERT_TRUE(tills.WaitForSales(200));
        std::this_thread::sleep_for(std::chrono::milliseconds(15000 + 700 * t));
        const double destroyed = WallNow();
        monitor_->Signal(SIGKILL);
        Shell(shop_.KillCommand());
        monitor_->WaitExit(10s);
        monitor_.reset();
        tills.Stop();
        for (const auto& e : fs::directory_iterator(copy_.path()))
            fs::remove_all(e.path());
        const std::set<long> there = TicketsThere(FromRepository());
        double earliest = 0;
        for (const auto& s : tills.Sales())
            if (s.acknowledged > 0) {
                ++acknowledged;
                if (!there.count(s.number)) {
                    ++lost;
                    earliest = earliest == 0 ? s.acknowledged : std::min(earliest, s.acknowledged);
                }
            }
        if (earliest > 0)
            window = std::max(window, destroyed - earliest);
    }
    Put("destruction_trials", trials);
    Put("destruction_acknowledged", static_cast<double>(acknowledged));
    Put("destruction_lost", static_cast<double>(lost));
    Put("destruction_worst_window_s", window);
    EXPECT_LE(window, logSeconds_ + 5.0);
}

// Four tills, the monitor running with the off-site copy and without, in phases of 20 s ordered
// off, on, on, off, ... so that a drift of the machine over the run weighs on both ways alike;
// each way's sales pooled over its phases, under "tills_<pace>_<way>_...". `pauseMs` after each
// sale: 20 is a busy shop's pace (the other measures' tills), 0 none (the tills take what the
// processors have, so that the off-site copy's processor time shows in their sales per second).
namespace {

void MeasureTills(OffsiteBench& bench, const std::string& pace, int pauseMs, int pairs) {
    std::map<bool, std::vector<double>> ms;
    for (int phase = 0; phase < 2 * pairs; ++phase) {
        const bool on = (phase % 4 == 1 || phase % 4 == 2);
        bench.StartPhase(on);
        std::this_thread::sleep_for(8s);
        Tills tills(TillTarget{"127.0.0.1", bench.Port(), false, pauseMs}, 4,
                    10000000 * (phase + 1) + (pauseMs ? 0 : 5000000)); // numbers no phase used
        std::this_thread::sleep_for(20s);
        tills.Stop();
        for (const auto& s : tills.Sales())
            if (s.acknowledged > 0)
                ms[on].push_back((s.acknowledged - s.begun) * 1000);
        bench.EndPhase();
    }
    for (const bool on : {false, true}) {
        const std::string key = "tills_" + pace + "_" + (on ? "on" : "off");
        Put(key + "_p99_ms", Percentile(ms[on], 0.99));
        Put(key + "_p50_ms", Percentile(ms[on], 0.50));
        Put(key + "_sales_per_s", ms[on].size() / (20.0 * pairs));
    }
    Put("tills_" + pace + "_phases", 2.0 * pairs);
    if (pace == "busy") {
        EXPECT_LE(Percentile(ms[true], 0.99), 1.05 * Percentile(ms[false], 0.99));
    }
}

} // namespace

TEST_F(OffsiteBench, TillTimesWithAndWithoutTheOffsiteCopy) {
    const int pairs = Setting("OFFSITE_TILL_PAIRS", 8);
    MeasureTills(*this, "busy", 20, pairs);
    if (Setting("OFFSITE_TILL_SATURATED", 1))
        MeasureTills(*this, "saturated", 0, pairs);
}

// A shop restored from its repository against the same shop restored from its local copy: the
// same archive and the same log (four tills at a busy shop's pace for OFFSITE_RESTORE_SECONDS),
// each `restore --until latest` into a database of its own, timed from the command's start to
// its end (after it the shop sells). The storage is on this machine's loopback.
TEST_F(OffsiteBench, RestoreFromTheRepositoryAgainstTheLocalCopy) {
    StartMonitor();
    ASSERT_TRUE(WaitFor([&] { return !Record().lastArchive.empty(); }, 120s)) << Tail();
    {
        Tills tills(TillTarget{"127.0.0.1", port_, false, 20}, 4, 90000000);
        std::this_thread::sleep_for(std::chrono::seconds(Setting("OFFSITE_RESTORE_SECONDS", 300)));
        tills.Stop();
        Put("restore_sales", static_cast<double>(tills.acknowledged()));
    }
    ASSERT_TRUE(WaitCurrentFromNow(120s)) << Tail();
    ASSERT_TRUE(WaitCopied(60s));
    monitor_->Signal(SIGTERM);
    monitor_->WaitExit(30s);
    monitor_.reset();
    auto timed = [&](const std::vector<std::string>& args, const std::string& database) {
        std::vector<std::string> all = args;
        all.insert(all.end(), {"--until", "latest", "--database", database});
        const double began = WallNow();
        Program program(AppPath(), {}, false, all);
        const int status = program.WaitExit(std::chrono::seconds(1800));
        const double took = WallNow() - began;
        EXPECT_EQ(status, 0) << ReadFile(AppPath() + "stdout.txt")
                             << ReadFile(AppPath() + "stderr.txt");
        return took;
    };
    const double local = timed({"restore"}, "bench_local");
    const double offsite = timed({"restore", "--from-offsite"}, "bench_offsite");
    auto tickets = [&](const std::string& db) {
        return Output("SELECT COUNT(*) FROM " + db + ".ticket;");
    };
    EXPECT_EQ(tickets("bench_offsite"), tickets("bench_local"));
    Put("restore_local_s", local);
    Put("restore_offsite_s", offsite);
    long long copied = 0;
    for (const auto& chain : BinlogChain::All(copy_.path()))
        for (const auto& f : chain.Files())
            copied += f.size;
    Put("restore_log_mb", static_cast<double>(copied) / 1048576.0);
    EXPECT_LE(offsite, 1.5 * local);
}
