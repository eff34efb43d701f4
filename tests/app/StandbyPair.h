#pragma once

// Two shop computers for the pair's drills and benchmarks: two real servers (127.0.0.1 and
// 127.0.0.2), a program folder for each with the real program, a link between them that delays
// every byte, tills on the suite's own account.
#include "ArchiveNames.h"
#include "DelayRelay.h"
#include "DrillShop.h"
#include "FolderListing.h"
#include "OneShot.h"
#include "OwnServer.h"
#include "Pair.h"
#include "Tills.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>

namespace zenta::test {

using namespace std::chrono_literals;

// The settings block the README gives for a pair, with the server's own id.
inline std::string PairServer(int id, const std::string& more = "") {
    return "LOCAL_MARIADB_PAIR=1 LOCAL_MARIADB_OPTIONS='--log-slave-updates=ON "
           "--gtid-strict-mode=ON --sync-binlog=1 --innodb-flush-log-at-trx-commit=1 "
           "--read-only=ON --skip-slave-start --rpl-semi-sync-master-enabled=ON "
           "--rpl-semi-sync-slave-enabled=ON --rpl-semi-sync-master-wait-point=AFTER_SYNC "
           "--rpl-semi-sync-master-timeout=1000 --rpl-semi-sync-master-wait-no-slave=OFF "
           "--relay-log=shop-relay-bin --server-id=" +
           std::to_string(id) + " " + more + "'";
}

// The shop's floating address as keepalived holds it: each computer's check (the program's own,
// run there) is asked every half second, and the address is on the computer whose check says
// healthy, or on none. The tills reach the server through it.
class FloatingAddress {
  public:
    struct Computer {
        std::string folder, host;
        int port;
    };
    FloatingAddress(int port, std::vector<Computer> computers)
        : computers_(std::move(computers)), relay_(port, "127.0.0.1", 0, 0ms) {
        thread_ = std::thread([this] { Keep(); });
    }
    ~FloatingAddress() {
        stop_ = true;
        thread_.join();
    }
    // The computer holding the address (-1: none), and how many times it went to the other.
    int holder() const { return holder_; }
    int moves() const { return moves_; }
    // The check's exit status on a computer.
    static int Check(const std::string& folder) {
        return Shell("'" + folder + "ZentaMarketMonitor' standby check >/dev/null 2>&1");
    }

  private:
    void Keep() {
        while (!stop_) {
            int healthy = -1;
            for (size_t i = 0; i < computers_.size() && healthy < 0; ++i)
                if (Check(computers_[i].folder) == 0)
                    healthy = static_cast<int>(i);
            if (healthy != holder_) {
                relay_.Point(healthy < 0 ? "" : computers_[healthy].host,
                             healthy < 0 ? 0 : computers_[healthy].port);
                if (healthy >= 0 && last_ >= 0 && healthy != last_)
                    ++moves_;
                if (healthy >= 0)
                    last_ = healthy;
                holder_ = healthy;
            }
            std::this_thread::sleep_for(500ms);
        }
    }
    std::vector<Computer> computers_;
    DelayRelay relay_;
    std::atomic<bool> stop_{false};
    std::atomic<int> holder_{-1}, moves_{0};
    int last_ = -1; // the last computer that held it
    std::thread thread_;
};

class StandbyDrill : public OneShotTest {
  protected:
    // Computer A: the program folder of the fixture and the server on 127.0.0.1; computer B:
    // a folder of its own and the server on 127.0.0.2. Each reaches the other through a relay.
    void SetUp() override {
        OneShotTest::SetUp();
        std::filesystem::copy_file(AppPath() + "ZentaMarketMonitor",
                                   folderB_.path() + "ZentaMarketMonitor");
        std::filesystem::create_directories(folderB_.path() + "Database");
        std::filesystem::copy_file(AppPath() + "Database/MySQLSetup.dat",
                                   folderB_.path() + "Database/MySQLSetup.dat");
        ASSERT_TRUE(a_.StartFresh(PairServer(1)));
        ASSERT_TRUE(b_.StartFresh(PairServer(2)));
        ASSERT_TRUE(a_.Load(kShop));
        Settings(AppPath(), "127.0.0.1", portA_, relayToB_);
        Settings(folderB_.path(), "127.0.0.2", portB_, relayToA_);
        toA_ = std::make_unique<DelayRelay>(relayToA_, "127.0.0.1", portA_, linkDelay_);
        toB_ = std::make_unique<DelayRelay>(relayToB_, "127.0.0.2", portB_, linkDelay_);
    }
    void TearDown() override {
        if (tills_)
            tills_->Stop();
        floating_.reset();
        for (auto* m : {&monitorA_, &monitorB_})
            if (*m) {
                (*m)->Signal(SIGTERM);
                (*m)->WaitExit(30s);
                m->reset();
            }
        toA_.reset();
        toB_.reset();
        OneShotTest::TearDown();
    }
    void Settings(const std::string& folder, const std::string& host, int port, int partnerPort) {
        WriteFile(folder + "zentamarket.ini",
                  "[MySQL]\r\nMySQLHost=" + host + "\r\nMySQLPort=" + std::to_string(port) +
                      "\r\n[Standby]\r\nHost=127.0.0.1\r\nPort=" + std::to_string(partnerPort) +
                      "\r\n[Monitor]\r\nBinlogFolder=" + folder +
                      "Binlog\r\nMetricsFolder=" + folder + "\r\n");
        std::filesystem::create_directories(folder + "Backup");
    }
    Result RunIn(const std::string& folder, const std::vector<std::string>& args) {
        Program program(folder, {}, false, args);
        Result r;
        r.status = program.WaitExit(300s);
        r.out = ReadFile(folder + "stdout.txt");
        r.err = ReadFile(folder + "stderr.txt");
        return r;
    }
    std::unique_ptr<Program> StartMonitor(const std::string& folder) {
        return std::make_unique<Program>(folder,
                                         std::vector<std::string>{"QT_QPA_PLATFORM=offscreen"});
    }
    std::string Query(const OwnServer& server, const std::string& sql) {
        const std::string out = folderB_.path() + "query.txt";
        Shell("mariadb --no-defaults -uroot -N --socket='" + server.dir() + "/mysqld.sock' -e \"" +
              sql + "\" > '" + out + "' 2>&1");
        std::string text = ReadFile(out);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        return text;
    }
    // What a computer's monitor last recorded of the pair.
    static std::string Recorded(const std::string& folder, const std::string& key) {
        const std::string text = ReadFile(folder + "Log/JobOutcomes.ini");
        const size_t section = text.find("[Standby]");
        if (section == std::string::npos)
            return {};
        const size_t at = text.find("\n" + key + "=", section);
        if (at == std::string::npos)
            return {};
        const size_t from = at + key.size() + 2;
        return text.substr(from, text.find_first_of("\r\n", from) - from);
    }
    bool WaitRecorded(const std::string& folder, const std::string& key, const std::string& value,
                      std::chrono::seconds limit) {
        return WaitFor([&] { return Recorded(folder, key) == value; }, limit);
    }
    // The pair made as a technician makes it: the primary opened by a person, the standby seeded
    // on the other computer.
    void MakePair(bool underTills) {
        const Result open = RunIn(AppPath(), {"standby", "open"});
        ASSERT_EQ(open.status, 0) << open.out << open.err;
        if (underTills) {
            tills_ = std::make_unique<Tills>(TillTarget{"127.0.0.1", tillPort_, true, 20}, 4, 1);
            ASSERT_TRUE(tills_->WaitForSales(200));
        }
        const Result seed = RunIn(folderB_.path(), {"standby", "seed"});
        ASSERT_EQ(seed.status, 0) << seed.out << seed.err;
        ASSERT_TRUE(Has(seed.out, "in step")) << seed.out;
    }
    // Both computers' monitors running and the pair made under tills that reach the primary by
    // the shop's floating address.
    FloatingAddress& PairBehindAFloatingAddress() {
        monitorA_ = StartMonitor(AppPath());
        monitorB_ = StartMonitor(folderB_.path());
        tillPort_ = DbPort() + 24;
        floating_ = std::make_unique<FloatingAddress>(
            tillPort_,
            std::vector<FloatingAddress::Computer>{{AppPath(), "127.0.0.1", portA_},
                                                   {folderB_.path(), "127.0.0.2", portB_}});
        MakePair(true);
        return *floating_;
    }
    // Judges a server against what the tills were told: every acknowledged sale there, whole.
    // (The tills may go on selling there while it is read: what they sell meanwhile is judged
    // the next time.)
    std::string Judge(const OwnServer& server) {
        const double readAt = WallNow();
        return JudgeRestore(tills_->Sales(),
                            ReadRestored(server.dir() + "/mysqld.sock", "zentasupermarket"),
                            std::nullopt, readAt);
    }
    void PowerCut(OwnServer& server, DelayRelay& link) {
        Shell(server.KillCommand());
        link.Cut();
    }

    // Each way: a slow link, where an asynchronous copy loses the last sales at a power cut.
    std::chrono::milliseconds linkDelay_ = 25ms;
    int portA_ = DbPort() + 20, portB_ = DbPort() + 21;
    int relayToA_ = DbPort() + 22, relayToB_ = DbPort() + 23;
    // Where the tills reach the primary (the floating address, when a drill has one).
    int tillPort_ = DbPort() + 20;
    OwnServer a_{"pair-a", DbPort() + 20, "127.0.0.1"};
    OwnServer b_{"pair-b", DbPort() + 21, "127.0.0.2"};
    TempDir folderB_{"computer-b"};
    std::unique_ptr<DelayRelay> toA_, toB_;
    std::unique_ptr<Program> monitorA_, monitorB_;
    std::unique_ptr<Tills> tills_;
    std::unique_ptr<FloatingAddress> floating_;
};

} // namespace zenta::test
