// Drills of the pair of servers from outside, as two shop computers meet their disasters: two
// real servers (127.0.0.1 and 127.0.0.2 as the two computers), the real program started once on
// each as the service starts it, a link between them that delays every byte (where an
// asynchronous copy would lose the last sales), tills selling on the suite's own account
// throughout. Power cuts are kill -9 of the server and of its link; every outcome is judged sale
// by sale against what the tills were told, and every "protected", "primary" or exit 0 against
// the servers' own figures. The tills sell at twice a busy shop's pace (four tills, a sale each
// 20 ms at most).
#include "ArchiveNames.h"
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

using namespace zenta;
using namespace zenta::test;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The settings block the README gives for a pair, with the server's own id.
std::string PairServer(int id) {
    return "LOCAL_MARIADB_PAIR=1 LOCAL_MARIADB_OPTIONS='--log-slave-updates=ON "
           "--gtid-strict-mode=ON --sync-binlog=1 --innodb-flush-log-at-trx-commit=1 "
           "--read-only=ON --skip-slave-start --rpl-semi-sync-master-enabled=ON "
           "--rpl-semi-sync-slave-enabled=ON --rpl-semi-sync-master-wait-point=AFTER_SYNC "
           "--rpl-semi-sync-master-timeout=1000 --rpl-semi-sync-master-wait-no-slave=OFF "
           "--relay-log=shop-relay-bin --server-id=" +
           std::to_string(id) + "'";
}

const std::string kShop =
    "INSERT INTO opcion (ID, IntegerValor) VALUES ('AutoBackupOpcion', 1), ('MaxBackupFile', 3);"
    "INSERT INTO articulo (ArticuloID, NombreES, NombreCN, Precio) SELECT CONCAT('A', seq), "
    "CONCAT('Articulo ', seq), '商品', 1.50 FROM seq_0_to_499;"
    "INSERT INTO ticket (TicketNo, Fecha, Cajero, Total) SELECT 1000000 + seq, NOW(), 'caja0', "
    "3 FROM seq_1_to_300;"
    "INSERT INTO ticketarticulo (TicketNo, ArticuloID, Cantidad, Precio) SELECT 1000000 + a.seq, "
    "CONCAT('A', b.seq), 1, 1 FROM seq_1_to_300 a, seq_1_to_3 b;";

double WallNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The network between the two computers: every byte delayed by `delay` each way. Cut() is the
// computer's power going: the link's connections end and what was in flight never arrives.
class DelayRelay {
  public:
    DelayRelay(int listenPort, std::string host, int port, std::chrono::milliseconds delay)
        : listenPort_(listenPort), host_(std::move(host)), port_(port), delay_(delay) {
        Start();
    }
    ~DelayRelay() { Cut(); }
    void Start() {
        cut_ = false;
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int yes = 1;
        ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(listenPort_));
        ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listen_, 16) != 0)
            ADD_FAILURE() << "the relay cannot listen on " << listenPort_;
        threads_.emplace_back([this] { Accept(); });
    }
    void Cut() {
        cut_ = true;
        for (auto& t : threads_)
            if (t.joinable())
                t.join();
        threads_.clear();
        std::lock_guard<std::mutex> hold(lock_);
        for (const int fd : sockets_)
            ::close(fd);
        sockets_.clear();
        if (listen_ >= 0)
            ::close(listen_);
        listen_ = -1;
    }

  private:
    void Accept() {
        while (!cut_) {
            pollfd p{listen_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const int in = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (in < 0)
                continue;
            const int out = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(port_));
            ::inet_pton(AF_INET, host_.c_str(), &a.sin_addr);
            if (::connect(out, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                ::close(in);
                ::close(out);
                continue;
            }
            std::lock_guard<std::mutex> hold(lock_);
            sockets_.push_back(in);
            sockets_.push_back(out);
            pumps_.emplace_back([this, in, out] { Pump(in, out); });
            pumps_.emplace_back([this, in, out] { Pump(out, in); });
        }
        std::lock_guard<std::mutex> hold(lock_);
        for (const int fd : sockets_)
            ::shutdown(fd, SHUT_RDWR);
        for (auto& t : pumps_)
            t.join();
        pumps_.clear();
    }
    void Pump(int from, int to) {
        using Clock = std::chrono::steady_clock;
        std::deque<std::pair<Clock::time_point, std::string>> queue;
        char buffer[65536];
        bool ended = false;
        while (!cut_) {
            int wait = 20;
            if (!queue.empty())
                wait = static_cast<int>(
                    std::clamp<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              queue.front().first - Clock::now())
                                              .count(),
                                          0, 20));
            pollfd p{from, POLLIN, 0};
            if (!ended && ::poll(&p, 1, wait) > 0) {
                const ssize_t n = ::read(from, buffer, sizeof buffer);
                if (n <= 0)
                    ended = true;
                else
                    queue.emplace_back(Clock::now() + delay_, std::string(buffer, n));
            } else if (ended) {
                std::this_thread::sleep_for(std::chrono::milliseconds(wait));
            }
            while (!queue.empty() && queue.front().first <= Clock::now()) {
                const std::string& bytes = queue.front().second;
                for (size_t done = 0; done < bytes.size();) {
                    const ssize_t n =
                        ::send(to, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
                    if (n <= 0)
                        return;
                    done += static_cast<size_t>(n);
                }
                queue.pop_front();
            }
            if (ended && queue.empty()) {
                ::shutdown(to, SHUT_WR);
                return;
            }
        }
    }

    int listenPort_;
    std::string host_;
    int port_;
    std::chrono::milliseconds delay_;
    std::atomic<bool> cut_{false};
    int listen_ = -1;
    std::mutex lock_;
    std::vector<int> sockets_;
    std::vector<std::thread> threads_, pumps_;
};

} // namespace

class StandbyDrill : public OneShotTest {
  protected:
    // Computer A: the program folder of the fixture and the server on 127.0.0.1; computer B:
    // a folder of its own and the server on 127.0.0.2. Each reaches the other through a relay.
    void SetUp() override {
        OneShotTest::SetUp();
        fs::copy_file(AppPath() + "ZentaMarketMonitor", folderB_.path() + "ZentaMarketMonitor");
        fs::create_directories(folderB_.path() + "Database");
        fs::copy_file(AppPath() + "Database/MySQLSetup.dat",
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
        fs::create_directories(folder + "Backup");
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
            tills_ = std::make_unique<Tills>(TillTarget{"127.0.0.1", portA_, true, 20}, 4, 1);
            ASSERT_TRUE(tills_->WaitForSales(200));
        }
        const Result seed = RunIn(folderB_.path(), {"standby", "seed"});
        ASSERT_EQ(seed.status, 0) << seed.out << seed.err;
        ASSERT_TRUE(Has(seed.out, "in step")) << seed.out;
    }
    // Judges a server against what the tills were told: every acknowledged sale there, whole.
    std::string Judge(const OwnServer& server) {
        return JudgeRestore(tills_->Sales(),
                            ReadRestored(server.dir() + "/mysqld.sock", "zentasupermarket"),
                            std::nullopt, WallNow() + 1e6);
    }
    void PowerCut(OwnServer& server, DelayRelay& link) {
        Shell(server.KillCommand());
        link.Cut();
    }

    // Each way: a slow link, where an asynchronous copy loses the last sales at a power cut.
    std::chrono::milliseconds linkDelay_ = 25ms;
    int portA_ = DbPort() + 20, portB_ = DbPort() + 21;
    int relayToA_ = DbPort() + 22, relayToB_ = DbPort() + 23;
    OwnServer a_{"pair-a", DbPort() + 20, "127.0.0.1"};
    OwnServer b_{"pair-b", DbPort() + 21, "127.0.0.2"};
    TempDir folderB_{"computer-b"};
    std::unique_ptr<DelayRelay> toA_, toB_;
    std::unique_ptr<Program> monitorA_, monitorB_;
    std::unique_ptr<Tills> tills_;
};

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
    const std::string lost = Judge(b_);
    EXPECT_EQ(lost, "") << "after the first cut";
    EXPECT_EQ(Query(b_, "SELECT @@read_only"), "0");
    tills_->Redirect("127.0.0.2", portB_);
    ASSERT_TRUE(tills_->WaitForSales(200)) << "the tills do not sell on the new primary";
    EXPECT_TRUE(WaitRecorded(folderB_.path(), "Role", "primary", 20s));
    EXPECT_TRUE(WaitFor(
        [&] { return !DirNames(folderB_.path() + "Backup/" + kArchivePattern).empty(); }, 120s))
        << "the new primary's monitor made no backup";

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
    const std::string metrics = ReadFile(AppPath() + "zentamarket.prom");
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
