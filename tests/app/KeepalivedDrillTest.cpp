// The pair as a shop runs it, with keepalived itself holding the tills' floating address. Two
// computers, each a network namespace of its own with its own MariaDB (Debian's 50-server.cnf
// and the README's servers file as written), its own monitor started once as the zentamarket
// user (as the package runs it) and keepalived with the README's settings changed only in
// addresses and the program's path; a switch joining them in a third namespace and the tills in
// a fourth, on a private /24 that exists only inside the namespaces. A power cut is the
// computer's switch port going down and every process of its namespace killed. Where the
// address is, is sampled every 0.2 s throughout: never on both computers. Every acknowledged
// sale is looked up on the servers. Needs root and network namespaces; it skips without them,
// and fails instead when ZENTA_REQUIRE_NETNS=1 (the test script sets it).
#include "ArchiveNames.h"
#include "BenchResults.h"
#include "DrillShop.h"
#include "FolderListing.h"
#include "OneShot.h"
#include "Pair.h"
#include "Tills.h"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <iostream>
#include <memory>
#include <mutex>
#include <pwd.h>
#include <sched.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace zenta::test;
using namespace std::chrono_literals;

namespace {

const std::string kSubnet = "10.231.7.";
const std::string kFloating = kSubnet + "20";
using Clock = std::chrono::steady_clock;

bool Quiet(const std::string& command) {
    return Shell(command + " >/dev/null 2>&1") == 0;
}

double Since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// A program started inside a network namespace, as `uid`/`gid` when given (the package's user),
// its output into `log`. Everything it needs is made before the fork: the child only calls the
// system.
pid_t Spawn(const std::string& netns, const std::vector<std::string>& argv,
            const std::vector<std::string>& env, const std::string& log, uid_t uid = 0,
            gid_t gid = 0) {
    std::vector<char*> args, envp;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    const std::string path = "/run/netns/" + netns;
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    const int ns = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (ns < 0 || out < 0 || ::setns(ns, CLONE_NEWNET) != 0)
        ::_exit(126);
    ::dup2(out, 1);
    ::dup2(out, 2);
    const int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, 0);
    ::setsid();
    if (uid != 0 && (::setgroups(1, &gid) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0))
        ::_exit(126);
    ::chdir("/");
    ::execvpe(args[0], args.data(), envp.data());
    ::_exit(127);
}

// The exit status of a child, or -1 when it did not end within `limit` (it is then killed).
int Reap(pid_t pid, std::chrono::milliseconds limit) {
    const auto until = Clock::now() + limit;
    for (;;) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (Clock::now() >= until) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(20ms);
    }
}

class KeepalivedDrill : public OneShotTest {
  protected:
    struct Computer {
        char letter;
        std::string netns, ip, port; // port: its switch port, in the switch's namespace
        std::unique_ptr<TempDir> root;
        std::string dir, folder; // the server's and the program's
        int serverId = 0;
        pid_t mariadbd = -1, monitor = -1, keepalived = -1;
        std::atomic<bool> powered{false};
        std::string socket() const { return dir + "mysqld.sock"; }
    };

    void SetUp() override {
        OneShotTest::SetUp();
        const char* required = std::getenv("ZENTA_REQUIRE_NETNS");
        const bool must = required && std::string(required) == "1";
        std::string missing;
        if (::geteuid() != 0)
            missing = "it needs root";
        else if (!Quiet("command -v keepalived"))
            missing = "keepalived is not installed (scripts/setup installs it)";
        else if (!::getpwnam("zentamarket"))
            missing = "the user zentamarket does not exist (scripts/setup makes it)";
        else if (!Quiet("ip netns add zkd-probe-" + std::to_string(::getpid())))
            missing = "network namespaces cannot be made here (ip netns add)";
        Quiet("ip netns del zkd-probe-" + std::to_string(::getpid()));
        if (!missing.empty()) {
            if (must)
                FAIL() << "the drill with real keepalived cannot run: " << missing;
            GTEST_SKIP() << missing;
        }
        const passwd* user = ::getpwnam("zentamarket");
        uid_ = user->pw_uid;
        gid_ = user->pw_gid;
        RemoveStaleNamespaces();
        const std::string tag = "zkd" + std::to_string(::getpid());
        switch_ = tag + "-sw";
        tills_ns_ = tag + "-tills";
        a_.letter = 'a';
        b_.letter = 'b';
        a_.serverId = 1;
        b_.serverId = 2;
        a_.ip = kSubnet + "1";
        b_.ip = kSubnet + "2";
        made_ = true;
        ASSERT_TRUE(Quiet("ip netns add " + switch_) &&
                    Quiet("ip -n " + switch_ + " link add br0 type bridge") &&
                    Quiet("ip -n " + switch_ + " link set br0 up"));
        for (Computer* c : {&a_, &b_})
            ASSERT_TRUE(Join(tag + "-" + c->letter, std::string("p") + c->letter, c->ip))
                << c->letter;
        ASSERT_TRUE(Join(tills_ns_, "pt", kSubnet + "9"));
        a_.netns = tag + "-a";
        b_.netns = tag + "-b";
        a_.port = "pa";
        b_.port = "pb";
        for (Computer* c : {&a_, &b_}) {
            c->powered = true;
            Prepare(*c);
            ASSERT_FALSE(HasFatalFailure());
            ASSERT_TRUE(StartServer(*c)) << ReadFile(c->dir + "error.log");
            ASSERT_TRUE(Accounts(*c));
        }
        ASSERT_EQ(Shell("mariadb --no-defaults -uroot --socket='" + a_.socket() +
                        "' zentasupermarket < '" + SourceDir() +
                        "/schema/zentasupermarket.sql' && mariadb --no-defaults -uroot "
                        "--socket='" +
                        a_.socket() + "' zentasupermarket -e \"" + kShop + "\""),
                  0);
        sampler_ = std::thread([this] { Sample(); });
    }

    void TearDown() override {
        stopSampling_ = true;
        if (sampler_.joinable())
            sampler_.join();
        // Every link up again first, so that the tills' connections end rather than hang.
        for (Computer* c : {&a_, &b_})
            if (made_)
                Quiet("ip -n " + switch_ + " link set " + c->port + " up");
        for (Computer* c : {&a_, &b_})
            if (!c->netns.empty())
                KillEverything(*c);
        if (tills_)
            tills_->Stop();
        tills_.reset();
        if (made_)
            for (const std::string& ns : {a_.netns, b_.netns, tills_ns_, switch_})
                if (!ns.empty()) {
                    Quiet("ip netns pids " + ns + " | xargs -r kill -9");
                    Quiet("ip netns del " + ns);
                }
        OneShotTest::TearDown();
    }

    // Namespaces a killed run of this drill left behind (their process is gone).
    static void RemoveStaleNamespaces() {
        for (const auto& line : SplitLines(CommandOutput("ip netns list 2>/dev/null"))) {
            const std::string name = line.substr(0, line.find(' '));
            if (name.rfind("zkd", 0) != 0)
                continue;
            const std::string pid = name.substr(3, name.find('-') - 3);
            if (pid.empty() || ::kill(std::atoi(pid.c_str()), 0) == 0)
                continue;
            Quiet("ip netns pids " + name + " | xargs -r kill -9");
            Quiet("ip netns del " + name);
        }
    }
    static std::vector<std::string> SplitLines(const std::string& text) {
        std::vector<std::string> lines;
        size_t at = 0;
        while (at < text.size()) {
            const size_t end = text.find('\n', at);
            lines.push_back(text.substr(at, end == std::string::npos ? end : end - at));
            if (end == std::string::npos)
                break;
            at = end + 1;
        }
        return lines;
    }

    // A namespace joined to the switch by a cable (`port` on the switch, eth0 inside) at `ip`.
    bool Join(const std::string& ns, const std::string& port, const std::string& ip) {
        return Quiet("ip netns add " + ns) &&
               Quiet("ip -n " + switch_ + " link add " + port + " type veth peer name eth0 netns " +
                     ns) &&
               Quiet("ip -n " + switch_ + " link set " + port + " master br0 up") &&
               Quiet("ip -n " + ns + " link set lo up") &&
               Quiet("ip -n " + ns + " link set eth0 up") &&
               Quiet("ip -n " + ns + " addr add " + ip + "/24 dev eth0");
    }

    // The computer's server folder and its program folder, laid out as the package lays it out
    // (the program's folders the zentamarket user's), its settings and its keepalived.conf.
    void Prepare(Computer& c) {
        namespace fs = std::filesystem;
        c.root = std::make_unique<TempDir>(std::string("computer-") + c.letter);
        c.dir = c.root->path() + "server/";
        c.folder = c.root->path() + "program/";
        // The package's user reaches its program folder (a temporary folder is its owner's only).
        fs::permissions(c.root->path(), fs::perms(0755));
        fs::create_directories(c.dir + "tmp");
        for (const char* sub : {"Database", "Log", "Backup", "Temp/Backup", "Binlog"})
            fs::create_directories(c.folder + sub);
        fs::copy_file(AppPath() + "ZentaMarketMonitor", c.folder + "ZentaMarketMonitor");
        fs::copy_file(AppPath() + "Database/MySQLSetup.dat", c.folder + "Database/MySQLSetup.dat");
        const Computer& other = &c == &a_ ? b_ : a_;
        WriteFile(c.folder + "zentamarket.ini",
                  "[MySQL]\r\nMySQLHost=127.0.0.1\r\nMySQLPort=3306\r\n[Standby]\r\nHost=" +
                      other.ip + "\r\nPort=3306\r\nFloatingAddress=" + kFloating +
                      "\r\n[Monitor]\r\nBinlogFolder=" + c.folder +
                      "Binlog\r\nMetricsFolder=" + c.folder + "\r\n");
        if (const char* registry = std::getenv("ZENTA_REGISTRY"); registry && fs::exists(registry))
            fs::copy_file(registry, c.folder + "registry.reg");
        Shell("chown -R " + std::to_string(uid_) + ":" + std::to_string(gid_) + " '" + c.folder +
              "'");
        // The servers' files: Debian's own, then the README's as written.
        const std::string readme = ReadFile(SourceDir() + "/README.md");
        const size_t at = readme.find("[mariadbd]\nserver_id");
        ASSERT_NE(at, std::string::npos) << "the README's servers file is gone";
        WriteFile(c.dir + "60-zentamarket-pair.cnf",
                  readme.substr(at, readme.find("```", at) - at));
        std::string cnf;
        if (fs::exists("/etc/mysql/mariadb.conf.d/50-server.cnf"))
            cnf += "!include /etc/mysql/mariadb.conf.d/50-server.cnf\n";
        cnf += "!include " + c.dir + "60-zentamarket-pair.cnf\n";
        WriteFile(c.dir + "my.cnf", cnf);
        // keepalived's: the README's, in this drill's addresses and program folder.
        const size_t k = readme.find("# /etc/keepalived/keepalived.conf");
        ASSERT_NE(k, std::string::npos);
        std::string conf = readme.substr(k, readme.find("```", k) - k);
        conf = ReplaceAll(conf, "192.168.1.20/24", kFloating + "/24");
        conf = ReplaceAll(conf, "192.168.1.10", "@SELF@");
        conf = ReplaceAll(conf, "192.168.1.11", "@PEER@");
        conf = ReplaceAll(conf, "@SELF@", c.ip);
        conf = ReplaceAll(conf, "@PEER@", other.ip);
        conf = ReplaceAll(conf, "/opt/zentamarket/ZentaMarketMonitor",
                          c.folder + "ZentaMarketMonitor");
        ASSERT_EQ(conf.find("192.168.1."), std::string::npos) << conf;
        WriteFile(c.dir + "keepalived.conf", conf);
    }
    static std::string ReplaceAll(std::string text, const std::string& from,
                                  const std::string& to) {
        for (size_t at = text.find(from); at != std::string::npos;
             at = text.find(from, at + to.size()))
            text.replace(at, from.size(), to);
        return text;
    }

    std::vector<std::string> Environment(const Computer& c) const {
        std::vector<std::string> env = {"PATH=" + std::string(std::getenv("PATH")),
                                        "HOME=" + c.folder, "LANG=C.UTF-8",
                                        "QT_QPA_PLATFORM=offscreen"};
        for (const char* name : {"ODBCSYSINI", "ODBCINI"})
            if (const char* v = std::getenv(name))
                env.push_back(std::string(name) + "=" + v);
        if (std::filesystem::exists(c.folder + "registry.reg"))
            env.push_back("ZENTA_REGISTRY=" + c.folder + "registry.reg");
        return env;
    }

    bool StartServer(Computer& c, const std::string& more = "") {
        if (!std::filesystem::exists(c.dir + "data/mysql") &&
            !Quiet("mariadb-install-db --no-defaults --datadir='" + c.dir +
                   "data' --user=root --auth-root-authentication-method=normal --skip-test-db "
                   "--tmpdir='" +
                   c.dir + "tmp'"))
            return false;
        std::vector<std::string> argv = {"mariadbd",
                                         "--defaults-file=" + c.dir + "my.cnf",
                                         "--datadir=" + c.dir + "data",
                                         "--socket=" + c.socket(),
                                         "--pid-file=" + c.dir + "mysqld.pid",
                                         "--log-error=" + c.dir + "error.log",
                                         "--tmpdir=" + c.dir + "tmp",
                                         "--log-bin=" + c.dir + "data/shop-bin",
                                         "--server-id=" + std::to_string(c.serverId),
                                         "--user=root"};
        if (!more.empty())
            argv.push_back(more);
        c.mariadbd = Spawn(c.netns, argv, Environment(c), c.dir + "mariadbd.out");
        return WaitFor([&] { return Quiet(Client(c) + "-e 'SELECT 1'"); }, 60s);
    }
    std::string Client(const Computer& c) const {
        return "mariadb --no-defaults -uroot --socket='" + c.socket() + "' ";
    }
    std::string Query(const Computer& c, const std::string& sql) const {
        std::string text = CommandOutput(Client(c) + "-N -e \"" + sql + "\" 2>&1");
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        return text;
    }
    // The accounts as the README gives them (a fresh install's anonymous accounts dropped).
    bool Accounts(const Computer& c) {
        std::string sql = "SET SESSION sql_log_bin = 0; DELETE FROM mysql.global_priv WHERE User = "
                          "''; FLUSH PRIVILEGES; CREATE DATABASE zentasupermarket CHARACTER SET "
                          "utf8mb4;";
        for (const char* host : {"%", "localhost"})
            sql += std::string("CREATE USER 'zentamarketback'@'") + host +
                   "' IDENTIFIED BY 'lotusbay200311170844'; GRANT ALL PRIVILEGES ON *.* TO "
                   "'zentamarketback'@'" +
                   host + "'; CREATE USER 'zentasupermarket'@'" + host +
                   "' IDENTIFIED BY 'mavokert204715638290'; GRANT " +
                   zenta::kSuiteAccountPrivileges + " ON *.* TO 'zentasupermarket'@'" + host + "';";
        return Shell(Client(c) + "-e \"" + sql + "\"") == 0;
    }

    void StartServices(Computer& c) {
        c.monitor = Spawn(c.netns, {c.folder + "ZentaMarketMonitor"}, Environment(c),
                          c.dir + "monitor.out", uid_, gid_);
        c.keepalived = Spawn(c.netns,
                             {"keepalived", "-n", "-l", "-D", "-f", c.dir + "keepalived.conf", "-p",
                              c.dir + "keepalived.pid", "-r", c.dir + "vrrp.pid", "-c",
                              c.dir + "checkers.pid"},
                             Environment(c), c.dir + "keepalived.out");
    }

    struct Said {
        int status;
        std::string out;
    };
    // A person's command on a computer, as the zentamarket user, as the README runs it.
    Said Run(Computer& c, const std::vector<std::string>& args, std::chrono::seconds limit = 300s) {
        std::vector<std::string> argv = {c.folder + "ZentaMarketMonitor"};
        argv.insert(argv.end(), args.begin(), args.end());
        const std::string log = c.dir + "command.out";
        std::filesystem::remove(log);
        const pid_t pid = Spawn(c.netns, argv, Environment(c), log, uid_, gid_);
        const int status = Reap(pid, limit);
        return {status, ReadFile(log)};
    }

    // The computer's power goes: its switch port down, every process in it killed at once.
    void PowerCut(Computer& c) {
        Quiet("ip -n " + switch_ + " link set " + c.port + " down");
        c.powered = false;
        KillEverything(c);
    }
    void KillEverything(Computer& c) {
        Quiet("ip netns pids " + c.netns + " | xargs -r kill -9");
        for (pid_t* p : {&c.mariadbd, &c.monitor, &c.keepalived})
            if (*p > 0) {
                Reap(*p, 10s);
                *p = -1;
            }
    }
    // Back on: nothing of the address it held before (a computer starts without it).
    void PowerOn(Computer& c) {
        Quiet("ip -n " + c.netns + " addr del " + kFloating + "/24 dev eth0");
        Quiet("ip -n " + switch_ + " link set " + c.port + " up");
        c.powered = true;
    }

    bool Holds(const Computer& c) const {
        return c.powered &&
               CommandOutput("ip -n " + c.netns + " -4 -o addr show dev eth0 2>/dev/null")
                       .find(" " + kFloating + "/") != std::string::npos;
    }
    // Every 0.2 s: which computers hold the address.
    void Sample() {
        while (!stopSampling_) {
            const bool a = Holds(a_), b = Holds(b_);
            {
                std::lock_guard<std::mutex> hold(lock_);
                ++samples_;
                if (a && b)
                    ++both_;
                holder_ = a && b ? 2 : a ? 0 : b ? 1 : -1;
                if (a)
                    everA_ = true;
            }
            std::this_thread::sleep_for(200ms);
        }
    }
    int Holder() {
        std::lock_guard<std::mutex> hold(lock_);
        return holder_;
    }
    bool WaitHolder(int computer, std::chrono::seconds limit) {
        return WaitFor([&] { return Holder() == computer; }, limit);
    }
    static std::string Recorded(const Computer& c, const std::string& key) {
        const std::string text = ReadFile(c.folder + "Log/JobOutcomes.ini");
        const size_t section = text.find("[Standby]");
        const size_t at =
            section == std::string::npos ? section : text.find("\n" + key + "=", section);
        if (at == std::string::npos)
            return {};
        const size_t from = at + key.size() + 2;
        return text.substr(from, text.find_first_of("\r\n", from) - from);
    }
    // Every sale acknowledged by any of the drill's tills, looked up on the server.
    std::string Judge(const Computer& c) {
        const double readAt = WallNow();
        std::vector<Sale> sales = earlier_;
        if (tills_)
            for (const auto& s : tills_->Sales())
                sales.push_back(s);
        return JudgeRestore(sales, ReadRestored(c.socket(), "zentasupermarket"), std::nullopt,
                            readAt);
    }
    // The longest the tills waited from `began`: the widest gap between acknowledged sales.
    double WidestGap(double began) const {
        std::vector<double> acknowledged;
        for (const auto& s : tills_->Sales())
            if (s.acknowledged >= began)
                acknowledged.push_back(s.acknowledged);
        std::sort(acknowledged.begin(), acknowledged.end());
        double widest = acknowledged.empty() ? 0 : acknowledged.front() - began;
        for (size_t i = 1; i < acknowledged.size(); ++i)
            widest = std::max(widest, acknowledged[i] - acknowledged[i - 1]);
        return widest;
    }
    void StartTills(long firstNumber) {
        if (tills_) {
            tills_->Stop();
            for (const auto& s : tills_->Sales())
                earlier_.push_back(s);
        }
        tills_ = std::make_unique<Tills>(
            TillTarget{kFloating, 3306, true, 20, "/run/netns/" + tills_ns_}, 4, firstNumber);
    }
    static void Figure(const std::string& name, double value) {
        PutResult("STANDBY_DRILL_OUT", name, value);
    }
    // A switchover run on `from`'s computer: it returns in time and the address follows.
    void SwitchOver(Computer& from, int to, const std::string& name) {
        const double began = WallNow();
        const auto started = Clock::now();
        const Said moved = Run(from, {"standby", "switchover"}, 120s);
        const double took = Since(started);
        EXPECT_EQ(moved.status, 0) << name << " after " << took << " s: " << moved.out;
        EXPECT_NE(moved.out.find("Switched over"), std::string::npos) << moved.out;
        EXPECT_LT(took, 60.0) << name << ": " << moved.out;
        EXPECT_TRUE(WaitHolder(to, 20s)) << name << ": the floating address did not move";
        Figure(name + "_command_s", took);
        if (tills_) {
            EXPECT_TRUE(tills_->WaitForSales(200, 60)) << name << ": the tills do not sell";
            Figure(name + "_tills_held_s", WidestGap(began));
        }
    }

    uid_t uid_ = 0;
    gid_t gid_ = 0;
    bool made_ = false;
    std::string switch_, tills_ns_;
    Computer a_, b_;
    std::unique_ptr<Tills> tills_;
    std::vector<Sale> earlier_; // what the tills before these sold
    std::thread sampler_;
    std::atomic<bool> stopSampling_{false};
    std::mutex lock_;
    long samples_ = 0, both_ = 0;
    int holder_ = -1;
    bool everA_ = false;
};

} // namespace

TEST_F(KeepalivedDrill, TheFloatingAddressFollowsTheOpenPrimaryThroughEveryDisaster) {
    // 1. The pair made as the README says, both computers' services running all along.
    for (Computer* c : {&a_, &b_})
        StartServices(*c);
    const Said open = Run(a_, {"standby", "open"});
    ASSERT_EQ(open.status, 0) << open.out;
    ASSERT_TRUE(WaitHolder(0, 30s)) << "the open primary did not get the address:\n"
                                    << ReadFile(a_.dir + "keepalived.out");
    StartTills(1);
    ASSERT_TRUE(tills_->WaitForSales(200)) << "the tills do not sell through the floating address";
    const Said seed = Run(b_, {"standby", "seed"});
    ASSERT_EQ(seed.status, 0) << seed.out;
    EXPECT_NE(seed.out.find("in step"), std::string::npos) << seed.out;
    EXPECT_TRUE(WaitFor([&] { return Recorded(a_, "SemiSync") == "on"; }, 30s));
    for (Computer* c : {&a_, &b_}) {
        const Said doctor = Run(*c, {"doctor"});
        EXPECT_EQ(doctor.out.find("FAULT   pair"), std::string::npos) << doctor.out;
        EXPECT_NE(doctor.out.find("good    pair: the other server"), std::string::npos)
            << doctor.out;
    }
    // A pair just made has a backup of its own: the opened primary ran the jobs at once.
    EXPECT_TRUE(WaitFor(
        [&] { return !zenta::DirNames(a_.folder + "Backup/" + zenta::kArchivePattern).empty(); },
        180s))
        << "the opened primary made no backup:\n"
        << ReadFile(a_.folder + "Log/ZentaMarketMonitor.log");
    EXPECT_EQ(Holder(), 0);

    // 2. The primary's power cut, then standby promote on the other computer.
    ASSERT_TRUE(tills_->WaitForSales(200));
    const double cut = WallNow();
    const auto cutAt = Clock::now();
    PowerCut(a_);
    const Said promote = Run(b_, {"standby", "promote"});
    ASSERT_EQ(promote.status, 0) << promote.out;
    EXPECT_NE(promote.out.find(kFloating), std::string::npos) << promote.out;
    ASSERT_TRUE(WaitHolder(1, 60s)) << "the address did not move to the new primary:\n"
                                    << ReadFile(b_.dir + "keepalived.out");
    Figure("power_cut_to_address_moved_s", Since(cutAt));
    EXPECT_EQ(Judge(b_), "") << "after the power cut";
    ASSERT_TRUE(tills_->WaitForSales(1, 120)) << "no sale through the address after the cut";
    double first = 0;
    for (const auto& s : tills_->Sales())
        if (s.acknowledged > cut && (first == 0 || s.acknowledged < first))
            first = s.acknowledged;
    Figure("power_cut_to_first_sale_s", first - cut);
    ASSERT_TRUE(tills_->WaitForSales(200));
    EXPECT_TRUE(WaitFor([&] { return Recorded(b_, "Role") == "primary"; }, 30s));

    // 3. The old primary back (started once with what it never sent dropped): it never takes
    // the address; rejoined, it is the standby.
    {
        std::lock_guard<std::mutex> hold(lock_);
        everA_ = false;
    }
    PowerOn(a_);
    ASSERT_TRUE(StartServer(a_, "--init-rpl-role=SLAVE")) << ReadFile(a_.dir + "error.log");
    StartServices(a_);
    EXPECT_TRUE(WaitFor([&] { return Recorded(a_, "Role") == "old primary"; }, 30s))
        << Recorded(a_, "Role");
    std::this_thread::sleep_for(6s);
    {
        std::lock_guard<std::mutex> hold(lock_);
        EXPECT_FALSE(everA_) << "the old primary took the floating address";
    }
    EXPECT_EQ(Query(a_, "SELECT @@read_only"), "1");
    const Said rejoin = Run(a_, {"standby", "rejoin"});
    ASSERT_EQ(rejoin.status, 0) << rejoin.out;
    EXPECT_TRUE(WaitFor([&] { return Recorded(a_, "Role") == "standby"; }, 30s));
    EXPECT_EQ(Holder(), 1);

    // 4. Switchovers under the tills, each way.
    SwitchOver(b_, 0, "switchover_under_tills_to_a");
    EXPECT_EQ(Judge(a_), "");
    SwitchOver(a_, 1, "switchover_under_tills_to_b");
    EXPECT_EQ(Judge(b_), "");

    // 5. Closing time: no till sells, nothing is written for hours; each way, back in time.
    tills_->Stop();
    for (const auto& s : tills_->Sales())
        earlier_.push_back(s);
    tills_.reset();
    std::this_thread::sleep_for(3s);
    SwitchOver(b_, 0, "switchover_at_closing_time_to_a");
    SwitchOver(a_, 1, "switchover_at_closing_time_to_b");
    EXPECT_EQ(Judge(b_), "");
    EXPECT_EQ(Judge(a_), "") << "the standby lacks sales";

    // The shop opens again on the primary that holds the address, the standby following.
    StartTills(5000000);
    EXPECT_TRUE(tills_->WaitForSales(100)) << "the tills do not sell after closing time";
    tills_->Stop();
    EXPECT_EQ(Judge(b_), "");
    const std::string last = Query(b_, "SELECT @@gtid_binlog_pos");
    EXPECT_TRUE(WaitFor([&] { return Query(a_, "SELECT @@gtid_current_pos") == last; }, 30s));
    EXPECT_EQ(Judge(a_), "");
    {
        std::lock_guard<std::mutex> hold(lock_);
        EXPECT_EQ(both_, 0) << "the address was on both computers in " << both_ << " of "
                            << samples_ << " samples";
        Figure("split_brain_samples", both_);
        Figure("samples", samples_);
    }
}
