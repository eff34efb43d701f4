// Benchmarks of the heavy helpers' priority, measured from outside (bench/priority runs them and
// writes bench/RESULTS-priority.md): the monitor's tray menu (a right click on its icon on a real
// X server, timed until the menu is on the screen) and a till's sale while a backup packs, with
// the helpers at low priority and at normal, against an idle computer; and the backup's own time
// on an otherwise idle computer. Each result is a line "name value" appended to the file named by
// PRIORITY_BENCH_OUT.
#include "BenchResults.h"
#include "OneShot.h"
#include "OwnServer.h"
#include "Tills.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>

using namespace zenta;
using namespace zenta::test;
using namespace std::chrono_literals;

namespace {

void Put(const std::string& name, double value) {
    PutResult("PRIORITY_BENCH_OUT", name, value);
}

double Seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A real desktop: Xvfb, trayer as the notification area, and the monitor in it.
class Desktop {
  public:
    explicit Desktop(const std::string& folder) {
        std::string display;
        xvfb_ = StartXServer(display, "800x600x24");
        if (xvfb_ < 0)
            return;
        ::setenv("DISPLAY", display.c_str(), 1);
        display_ = "DISPLAY=" + display;
        // At the bottom: a balloon the monitor shows opens above its icon, not over it.
        trayer_ = Spawn({"trayer", "--edge", "bottom", "--align", "left", "--widthtype", "pixel",
                         "--width", "120", "--heighttype", "pixel", "--height", "32"});
        for (int i = 0; i < 200 && Shell("xdotool search --class trayer >/dev/null"); ++i)
            std::this_thread::sleep_for(50ms);
        monitor_ = std::make_unique<Program>(folder, std::vector<std::string>{display_}, true);
        for (int i = 0; i < 200 && Windows() == 0; ++i)
            std::this_thread::sleep_for(50ms);
        // The monitor's start: connected, its start-up jobs done, its menu answering.
        for (int i = 0; i < 60 && Windows() > 0 && !ok_; ++i)
            ok_ = OpenMenu() >= 0;
    }
    ~Desktop() {
        if (monitor_) {
            monitor_->Signal(SIGTERM);
            monitor_->WaitExit(20s);
        }
        StopSpawned(trayer_);
        StopSpawned(xvfb_);
    }
    bool ok() const { return ok_; }
    // Milliseconds from the right click on the icon to the menu on the screen (-1: not in 5 s);
    // then closed again.
    double OpenMenu() {
        const int before = Windows();
        const double clicked = Seconds();
        Shell("xdotool mousemove 12 584 click 3");
        while (Windows() <= before)
            if (Seconds() - clicked > 5)
                return -1;
        const double shown = Seconds();
        Shell("xdotool key Escape");
        for (int i = 0; i < 100 && Windows() > before; ++i)
            std::this_thread::sleep_for(20ms);
        return (shown - clicked) * 1000;
    }

  private:
    int Windows() {
        const std::string out = "/tmp/zenta-priority-bench-windows.txt";
        Shell("xdotool search --onlyvisible --class ZentaMarketMonitor 2>/dev/null | wc -l > " +
              out);
        return std::atoi(ReadFile(out).c_str());
    }
    int xvfb_ = -1, trayer_ = -1;
    std::string display_;
    std::unique_ptr<Program> monitor_;
    bool ok_ = false;
};

} // namespace

class PriorityBench : public OneShotTest {
  protected:
    void SetUp() override {
        OneShotTest::SetUp();
        // A server of its own, so that the benchmark's sales and binary log never reach the
        // tests' server; a shop's year in it: the backup packs for a while.
        ASSERT_TRUE(shop_.StartFresh());
        ASSERT_TRUE(shop_.Load(
            "INSERT INTO articulo (ArticuloID, NombreES, NombreCN, Precio) SELECT CONCAT('A', "
            "seq), CONCAT('Articulo ', seq), '商品', 1.50 FROM seq_0_to_4999;"
            "INSERT INTO ticket (TicketNo, Fecha, Cajero, Total) SELECT seq, NOW() - INTERVAL "
            "seq MINUTE, CONCAT('caja', seq % 4), seq % 97 FROM seq_1_to_200000;"
            "INSERT INTO ticketarticulo (TicketNo, ArticuloID, NombreCN, Cantidad, Precio) "
            "SELECT a.seq, CONCAT('A', (a.seq * 7 + b.seq) % 5000), '商品', b.seq, 2.35 FROM "
            "seq_1_to_200000 a, seq_1_to_3 b;"));
        shop_.Use(AppPath());
        ini_ = ReadFile(AppPath() + "zentamarket.ini");
        Low(true);
    }
    void Low(bool on) {
        WriteFile(AppPath() + "zentamarket.ini",
                  ini_ + "[Monitor]\r\nBinlogFolder=off\r\nLowPriorityHelpers=" + (on ? "1" : "0") +
                      "\r\n");
    }
    std::string ini_;
    OwnServer shop_{"priority-bench", DbPort() + 30};
};

// The backup alone: its time with the helpers at low priority and at normal, alternating.
TEST_F(PriorityBench, BackupTimeOnAnIdleComputer) {
    for (int round = 1; round <= 3; ++round)
        for (const bool low : {true, false}) {
            Low(low);
            const double began = Seconds();
            const Result r = Run({"backup"});
            ASSERT_EQ(r.status, 0) << r.out << r.err;
            Put(std::string(low ? "backup_low_s_" : "backup_normal_s_") + std::to_string(round),
                Seconds() - began);
        }
}

// The tray's menu and a till's sale: idle, while a backup packs at low priority, and at normal.
TEST_F(PriorityBench, TrayMenuAndTillsDuringABackup) {
    if (!Have("Xvfb") || !Have("trayer") || !Have("xdotool"))
        GTEST_SKIP() << "Xvfb, trayer and xdotool are needed";
    // A good backup first: the tray has no warning to show.
    ASSERT_EQ(Run({"backup"}).status, 0);
    Desktop desktop(AppPath());
    ASSERT_TRUE(desktop.ok()) << "the monitor's icon did not appear";
    for (int round = 1; round <= 3; ++round)
        for (const std::string mode : {"idle", "low", "normal"}) {
            Low(mode != "normal");
            static long firstSale = 10000000;
            Tills tills(DbPort() + 30, 2, firstSale);
            firstSale += 1000000;
            std::vector<double> menu;
            const double began = Seconds();
            std::unique_ptr<Program> backup;
            if (mode != "idle")
                backup = std::make_unique<Program>(AppPath(), std::vector<std::string>{}, false,
                                                   std::vector<std::string>{"backup"});
            std::this_thread::sleep_for(1s);
            int missed = 0; // menus not on the screen within 5 s
            for (;;) {
                if (const double ms = desktop.OpenMenu(); ms >= 0)
                    menu.push_back(ms);
                else
                    ++missed;
                std::this_thread::sleep_for(300ms);
                if (backup ? backup->WaitExit(1ms) != -1 : Seconds() - began > 15)
                    break;
            }
            tills.Stop();
            std::vector<double> sales;
            for (const auto& s : tills.Sales())
                if (s.acknowledged > 0)
                    sales.push_back((s.acknowledged - s.begun) * 1000);
            const std::string at = mode + "_" + std::to_string(round);
            Put("menu_p50_ms_" + at, Percentile(menu, 0.5));
            Put("menu_max_ms_" + at,
                menu.empty() ? -1 : *std::max_element(menu.begin(), menu.end()));
            Put("menu_missed_" + at, missed);
            Put("till_p50_ms_" + at, Percentile(sales, 0.5));
            Put("till_p99_ms_" + at, Percentile(sales, 0.99));
        }
}
