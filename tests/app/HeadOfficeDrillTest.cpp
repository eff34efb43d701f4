// Head office's view of a chain, drilled from outside: three branches, each the real monitor
// started once in its own program folder on its own servers, each computer with its own
// node_exporter reading the monitor's figures; head office's own Prometheus and Alertmanager with
// the head-office package's files (the branch list turned into targets and rules by the package's
// generator). Each branch is broken in turn the way a shop breaks: its database server stopped,
// its backup disk filled, its standby frozen, its line to the off-site storage gone, its monitor
// hung, its computer off the network. Alertmanager itself is asked what pages: exactly that
// branch's alert, no other, and nothing once it is mended; Prometheus is asked for the figure the
// console shows for it.
//
//   branch 1-1: one computer, the binary log's copy on, its backup folder on a small disk of its
//   own branch 1-2: a pair of servers (the pair drills' two computers), a monitor on each branch
//   1-3: one computer with the off-site copy to a private S3 server (moto)
#include "StandbyPair.h"

#include "OffsiteShop.h" // the off-site shop's durable server settings

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <sys/statvfs.h>

using namespace zenta;
using namespace zenta::test;
using namespace std::chrono_literals;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string kPlain = "1-1", kPair = "1-2", kOffsite = "1-3";

std::string Quoted(const std::string& text) {
    std::string out = "'";
    for (const char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// `from` replaced by `to` everywhere in `text`; how many times.
int ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    int n = 0;
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
        ++n;
    }
    return n;
}

// The alert rules with only their waiting times shortened, a minute to a second (at least three
// seconds, so that one late scrape never decides): the package's order of waiting is kept, so
// that an alert that waits an hour in a shop (the off-site copy failing) still comes well after
// the one that waits ten minutes (the copy behind).
std::string ShortenedWaits(const std::string& rules) {
    std::istringstream in(rules);
    std::string out;
    for (std::string line; std::getline(in, line);) {
        // "    for: 10m": the indent, the number, its unit and nothing after.
        const size_t key = line.find_first_not_of(' ');
        if (key != std::string::npos && line.compare(key, 4, "for:") == 0) {
            const size_t digits = line.find_first_not_of(' ', key + 4);
            size_t unit = digits;
            while (unit < line.size() && std::isdigit(static_cast<unsigned char>(line[unit])))
                ++unit;
            const std::string tail = unit < line.size() ? line.substr(unit + 1) : "x";
            if (digits != std::string::npos && unit > digits && unit < line.size() &&
                std::string("smh").find(line[unit]) != std::string::npos &&
                tail.find_first_not_of(' ') == std::string::npos) {
                const long n = std::stol(line.substr(digits, unit - digits));
                const long seconds = line[unit] == 's' ? n : line[unit] == 'm' ? n * 60 : n * 3600;
                line = line.substr(0, digits) + std::to_string(std::max(3L, seconds / 60)) + "s";
            }
        }
        out += line + "\n";
    }
    return out;
}

// A server of the drill's own (node_exporter, Prometheus, Alertmanager) in the background,
// ended by its process id.
class Daemon {
  public:
    ~Daemon() { Stop(); }
    void Start(const std::vector<std::string>& args, const std::string& log) {
        Stop();
        args_ = args;
        log_ = log;
        pid_ = Spawn(args, log);
    }
    void Restart() { Start(args_, log_); }
    void Stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGCONT);
            StopSpawned(pid_);
        }
        pid_ = -1;
    }
    int pid() const { return pid_; }
    std::string Log() const { return ReadFile(log_); }

  private:
    int pid_ = -1;
    std::vector<std::string> args_;
    std::string log_;
};

struct Alert {
    std::string name, branch, instance, state;
};

} // namespace

class HeadOfficeDrill : public StandbyDrill {
  protected:
    void SetUp() override {
        StandbyDrill::SetUp();
        if (HasFatalFailure())
            return;
        for (const char* tool : {"/usr/bin/prometheus", "/usr/bin/prometheus-alertmanager",
                                 "/usr/bin/prometheus-node-exporter", "/usr/bin/amtool",
                                 "/usr/bin/promtool", "/usr/bin/python3"})
            ASSERT_TRUE(fs::exists(tool))
                << tool << " is not installed (scripts/setup installs it)";
        ASSERT_EQ(Shell("/usr/bin/python3 -c 'import yaml' 2>/dev/null"), 0)
            << "python3-yaml is not installed (the branch list's generator needs it)";

        // Branch 1-1: its backup folder alone on a small disk, the log's copy beside it.
        ASSERT_TRUE(plainDisk_.mounted())
            << "a tmpfs cannot be mounted here (the drill runs as root)";
        ASSERT_TRUE(plainServer_.StartFresh());
        ASSERT_TRUE(plainServer_.Load(kShop));
        Install(plainFolder_.path());
        WriteFile(plainFolder_.path() + "zentamarket.ini",
                  "[MySQL]\r\nMySQLHost=127.0.0.1\r\nMySQLPort=" + std::to_string(plainPort_) +
                      "\r\n[Monitor]\r\nBinlogFolder=" + plainFolder_.path() + "Binlog\r\n" +
                      Figures(plainFigures_));

        // Branch 1-2: the pair drills' two computers, each telling its figures.
        for (const auto& [folder, figures] :
             {std::pair{AppPath(), &pairFiguresA_}, std::pair{folderB_.path(), &pairFiguresB_}}) {
            std::string ini = ReadFile(folder + "zentamarket.ini");
            ASSERT_EQ(ReplaceAll(ini, "MetricsFolder=" + folder + "\r\n", Figures(*figures)), 1)
                << ini;
            WriteFile(folder + "zentamarket.ini", ini);
        }

        // Branch 1-3: the off-site copy through its internet line to the storage.
        if (!s3_.Start())
            GTEST_FAIL() << s3_.why();
        line_ = std::make_unique<DelayRelay>(linePort_, "127.0.0.1", s3_.port(), 0ms);
        ASSERT_TRUE(offsiteServer_.StartFresh(kDurable));
        ASSERT_TRUE(offsiteServer_.Load(kShop));
        Install(offsiteFolder_.path());
        const std::string o = offsiteFolder_.path();
        WriteFile(o + "offsite-credentials", "AccessKey=" + s3_.key("shop").access +
                                                 "\nSecretKey=" + s3_.key("shop").secret + "\n");
        WriteFile(o + "archive-password", "a long password of the chain's own\n");
        for (const char* secret : {"offsite-credentials", "archive-password"})
            fs::permissions(o + secret, fs::perms::owner_read | fs::perms::owner_write);
        WriteFile(o + "zentamarket.ini",
                  "[MySQL]\r\nMySQLHost=127.0.0.1\r\nMySQLPort=" + std::to_string(offsitePort_) +
                      "\r\n[Monitor]\r\nBinlogFolder=" + o + "Binlog\r\nArchivePasswordFile=" + o +
                      "archive-password\r\n" + Figures(offsiteFigures_) +
                      "[Offsite]\r\nEndpoint=http://127.0.0.1:" + std::to_string(linePort_) +
                      "\r\nBucket=shops\r\nPrefix=zentamarket-" + kOffsite +
                      "\r\nCredentialsFile=" + o + "offsite-credentials\r\nLogSeconds=2\r\n");

        WriteFile(head_.path() + "ask.py", kAsk);
    }
    void TearDown() override {
        // Whatever a failed check left frozen goes on first, so that it can be stopped.
        Shell("kill -CONT $(cat '" + b_.dir() + "/mysqld.pid') 2>/dev/null");
        for (auto* m : {&plainMonitor_, &offsiteMonitor_, &monitorA_, &monitorB_})
            if (*m)
                (*m)->Signal(SIGCONT);
        for (auto* m : {&plainMonitor_, &offsiteMonitor_})
            if (*m) {
                (*m)->Signal(SIGTERM);
                (*m)->WaitExit(30s);
                m->reset();
            }
        prometheus_.Stop();
        alertmanager_.Stop();
        for (auto& e : exporters_)
            e.Stop();
        line_.reset();
        s3_.Stop();
        StandbyDrill::TearDown();
    }

    // The monitor's figures in a folder of their own, rewritten every 5 s.
    static std::string Figures(const TempDir& folder) {
        return "MetricsFolder=" + folder.path() + "\r\nMetricsSeconds=5\r\n";
    }
    void Install(const std::string& folder) {
        fs::copy_file(AppPath() + "ZentaMarketMonitor", folder + "ZentaMarketMonitor");
        fs::create_directories(folder + "Database");
        fs::copy_file(AppPath() + "Database/MySQLSetup.dat", folder + "Database/MySQLSetup.dat");
    }

    // --- the branch side: node_exporter on each computer ------------------------------------
    struct Computer {
        const TempDir* figures;
        int port;
    };
    std::vector<Computer> Computers() const {
        return {{&plainFigures_, exporterPort_ + 0},
                {&pairFiguresA_, exporterPort_ + 1},
                {&pairFiguresB_, exporterPort_ + 2},
                {&offsiteFigures_, exporterPort_ + 3}};
    }
    void StartExporters() {
        const auto computers = Computers();
        for (size_t i = 0; i < computers.size(); ++i)
            exporters_[i].Start(
                {"/usr/bin/prometheus-node-exporter",
                 "--web.listen-address=127.0.0.1:" + std::to_string(computers[i].port),
                 "--collector.disable-defaults", "--collector.textfile",
                 "--collector.textfile.directory=" + computers[i].figures->path()},
                head_.path() + "node-exporter-" + std::to_string(i) + ".log");
        for (size_t i = 0; i < computers.size(); ++i)
            ASSERT_TRUE(WaitFor([&] { return Ready(computers[i].port, "/metrics"); }, 20s))
                << exporters_[i].Log();
    }
    Daemon& Exporter(int computer) { return exporters_[computer]; }

    // --- head office -------------------------------------------------------------------------
    // The chain's branch list; `closed` names a branch whose hours do not hold this moment.
    void WriteBranchList(const std::string& closed = "") {
        static const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
        const std::time_t now = std::time(nullptr);
        std::tm utc{};
        ::gmtime_r(&now, &utc);
        // Three days from today, an hour in the morning: neither today nor last night's hours.
        const std::string away = std::string(days[(utc.tm_wday + 3) % 7]) + " 10:00-11:00";
        auto hours = [&](const std::string& branch) {
            return "\"" + (branch == closed ? away : std::string("always")) + "\"";
        };
        auto address = [&](int computer) {
            return "127.0.0.1:" + std::to_string(Computers()[computer].port);
        };
        WriteFile(head_.path() + "branches.yml",
                  "defaults:\n  timezone: UTC\n  receiver: it-team\n"
                  "branches:\n"
                  "  - branch: \"" +
                      kPlain + "\"\n    name: Valencia Centro\n    address: " + address(0) +
                      "\n    hours: " + hours(kPlain) +
                      "\n"
                      "  - branch: \"" +
                      kPair + "\"\n    name: Alicante Puerto\n    addresses: [" + address(1) +
                      ", " + address(2) + "]\n    hours: " + hours(kPair) +
                      "\n"
                      "  - branch: \"" +
                      kOffsite + "\"\n    name: Murcia Norte\n    address: " + address(3) +
                      "\n    hours: " + hours(kOffsite) + "\n");
        const std::string out = head_.path() + "generator.txt";
        ASSERT_EQ(Shell(SourceDir() + "/headoffice/zentamarket-headoffice-branches --list '" +
                        head_.path() + "branches.yml' --out '" + head_.path() +
                        "lib' --alertmanager '" + head_.path() + "alertmanager.yml' > '" + out +
                        "' 2>&1"),
                  0)
            << ReadFile(out);
    }
    // Prometheus and Alertmanager with the package's files, changed only in their paths, ports,
    // and how often they look (every second, the alerts' waiting times shortened as above). The
    // package's rules folder is a copy here: its recording rules as they are, its alert rules with
    // only their waiting times shortened. Alertmanager's file is the package's as it is: its API
    // lists an alert as soon as it arrives, whatever the route's group_wait.
    void StartHeadOffice() {
        const std::string h = head_.path();
        const std::string package = SourceDir() + "/headoffice/";
        fs::create_directories(h + "rules");
        WriteFile(h + "alertmanager.yml", ReadFile(package + "alertmanager.yml"));
        fs::copy_file(package + "rules/zentamarket.rules.yml", h + "rules/zentamarket.rules.yml");
        WriteFile(h + "rules/zentamarket.alerts.yml",
                  ShortenedWaits(ReadFile(package + "rules/zentamarket.alerts.yml")));
        ASSERT_NO_FATAL_FAILURE(WriteBranchList());

        std::string config = ReadFile(package + "prometheus.yml");
        const std::vector<std::pair<std::string, std::string>> changes = {
            {"/usr/share/zentamarket-headoffice/rules", h + "rules"},
            {"/var/lib/zentamarket-headoffice", h + "lib"},
            {"127.0.0.1:9193", "127.0.0.1:" + std::to_string(alertmanagerPort_)},
            // Head office's own computer is not in this drill: nothing listens there.
            {"127.0.0.1:9100", "127.0.0.1:" + std::to_string(nobodyPort_)},
            {"scrape_interval: 30s", "scrape_interval: 1s"},
            {"evaluation_interval: 30s", "evaluation_interval: 1s"},
            {"scrape_timeout: 10s", "scrape_timeout: 1s"}};
        for (const auto& [from, to] : changes)
            ASSERT_GE(ReplaceAll(config, from, to), 1) << "prometheus.yml holds no " << from;
        WriteFile(h + "prometheus.yml", config);
        const std::string check = CommandOutput("/usr/bin/promtool check config '" + h +
                                                "prometheus.yml' 2>&1; echo status $?");
        ASSERT_TRUE(Has(check, "status 0")) << check;

        alertmanager_.Start({"/usr/bin/prometheus-alertmanager",
                             "--config.file=" + h + "alertmanager.yml",
                             "--storage.path=" + h + "alertmanager",
                             "--web.listen-address=127.0.0.1:" + std::to_string(alertmanagerPort_),
                             "--cluster.listen-address="},
                            h + "alertmanager.log");
        prometheus_.Start({"/usr/bin/prometheus", "--config.file=" + h + "prometheus.yml",
                           "--storage.tsdb.path=" + h + "prometheus",
                           "--web.listen-address=127.0.0.1:" + std::to_string(prometheusPort_)},
                          h + "prometheus.log");
        ASSERT_TRUE(WaitFor([&] { return Ready(alertmanagerPort_, "/-/ready"); }, 30s))
            << alertmanager_.Log();
        ASSERT_TRUE(WaitFor([&] { return Ready(prometheusPort_, "/-/ready"); }, 30s))
            << prometheus_.Log();
    }
    // The branch list written again (as its hourly timer does) with `closed` closed now, and
    // Prometheus told to read it; until it says whether `branch` is open.
    void ChangeBranchList(const std::string& closed, const std::string& branch) {
        ASSERT_NO_FATAL_FAILURE(WriteBranchList(closed));
        ::kill(prometheus_.pid(), SIGHUP);
        const std::string open = "zentamarket_branch_open{branch=\"" + branch + "\"}";
        ASSERT_TRUE(WaitFor([&] { return Value(open).has_value() == (branch != closed); }, 20s))
            << prometheus_.Log();
    }

    bool Ready(int port, const std::string& path) {
        return Shell("/usr/bin/python3 '" + head_.path() + "ask.py' ready http://127.0.0.1:" +
                     std::to_string(port) + path + " >/dev/null 2>&1") == 0;
    }
    // What Alertmanager holds now (active or held back by an inhibition; a resolved alert is
    // not listed).
    std::vector<Alert> Alerts() {
        std::istringstream in(CommandOutput(
            "/usr/bin/python3 '" + head_.path() +
            "ask.py' alerts http://127.0.0.1:" + std::to_string(alertmanagerPort_) + " 2>&1"));
        std::vector<Alert> alerts;
        for (Alert a; in >> a.name >> a.branch >> a.instance >> a.state;)
            alerts.push_back(a);
        return alerts;
    }
    static std::string Text(const std::vector<Alert>& alerts) {
        std::string text;
        for (const auto& a : alerts)
            text +=
                a.name + "{branch=" + a.branch + ",instance=" + a.instance + "} " + a.state + "\n";
        return text.empty() ? "(none)" : text;
    }
    // The samples of a PromQL expression now: their labels and values, one a line (and what
    // went wrong in asking, unless `quiet`).
    std::string Query(const std::string& expr, bool quiet = false) {
        return CommandOutput("/usr/bin/python3 '" + head_.path() +
                             "ask.py' query http://127.0.0.1:" + std::to_string(prometheusPort_) +
                             " " + Quoted(expr) + (quiet ? " 2>/dev/null" : " 2>&1"));
    }
    // The expression's value when it has exactly one sample.
    std::optional<double> Value(const std::string& expr) {
        std::istringstream in(Query(expr, true));
        std::vector<double> values;
        for (std::string labels, value; in >> labels >> value;)
            values.push_back(std::atof(value.c_str()));
        if (values.size() != 1)
            return std::nullopt;
        return values.front();
    }
    bool ValueIs(const std::string& expr, const std::function<bool(double)>& test) {
        const auto v = Value(expr);
        return v && test(*v);
    }
    static std::string Cell(const std::string& branch, const std::string& cell) {
        return "zentamarket:cell_state{branch=\"" + branch + "\",cell=\"" + cell + "\"}";
    }

    // Until every alert of `expected` is active for `branch` (with `anyOf`: one of them). Every
    // other alert Alertmanager held meanwhile is returned (expected: none); so is a timeout.
    std::string WaitFiring(const std::string& branch, const std::set<std::string>& expected,
                           std::chrono::seconds limit, bool anyOf = false) {
        const auto started = Clock::now();
        std::set<std::string> others;
        std::vector<Alert> now;
        while (true) {
            now = Alerts();
            std::set<std::string> firing;
            for (const auto& a : now)
                if (a.branch == branch && expected.count(a.name))
                    firing.insert(a.name);
                else
                    others.insert(a.name + "{branch=" + a.branch + "}");
            if (anyOf ? !firing.empty() : firing == expected) {
                std::cout << "  fired after " << Seconds(started) << " s:\n" << Text(now);
                std::string wrong;
                for (const auto& o : others)
                    wrong += o + " also fired\n";
                return wrong;
            }
            if (Clock::now() - started > limit)
                return "not fired in time; Alertmanager holds: " + Text(now);
            std::this_thread::sleep_for(500ms);
        }
    }
    // Until Alertmanager holds no alert at all, then until the branch's `figures` are good again
    // and Prometheus holds no alert either, not even one waiting to fire.
    bool WaitMended(std::chrono::seconds limit, const std::function<bool()>& figures) {
        const auto started = Clock::now();
        if (!WaitFor([&] { return Alerts().empty(); }, limit))
            return false;
        std::cout << "  cleared after " << Seconds(started) << " s\n";
        if (!WaitFor([&] { return figures() && Query("ALERTS").empty() && Alerts().empty(); },
                     limit))
            return false;
        std::cout << "  figures good again after " << Seconds(started) << " s\n";
        return true;
    }
    static double Seconds(Clock::time_point since) {
        return std::round(std::chrono::duration<double>(Clock::now() - since).count() * 10) / 10;
    }
    static void Phase(const std::string& what) {
        static const auto start = Clock::now();
        std::cout << "[" << Seconds(start) << " s] " << what << "\n" << std::flush;
    }

    // Leaves `ratio` of the disk of branch 1-1's backup folder free, in one file.
    void FillPlainDisk(double ratio) {
        struct statvfs v {};
        ASSERT_EQ(::statvfs(plainBackup_.c_str(), &v), 0);
        const long long size = static_cast<long long>(v.f_blocks) * v.f_frsize;
        const long long free = static_cast<long long>(v.f_bavail) * v.f_frsize;
        const long long leave = static_cast<long long>(size * ratio);
        ASSERT_GT(free, leave);
        ASSERT_EQ(
            Shell("fallocate -l " + std::to_string(free - leave) + " '" + plainBackup_ + "filler'"),
            0);
    }

    // Figures of the monitors: what the healthy chain shows.
    std::string Health() {
        return Query("max by (branch) (zentamarket_backup_last_good_timestamp_seconds)") +
               Query("zentamarket_binlog_copy_up") + Query("zentamarket_standby_protected") +
               Query("zentamarket_offsite_up") + Query("zentamarket:cell_state >= 1") +
               "Alertmanager: " + Text(Alerts());
    }
    std::string Logs() {
        std::string text;
        for (const auto& [name, folder] :
             {std::pair{kPlain, plainFolder_.path()}, std::pair{kPair + " A", AppPath()},
              std::pair{kPair + " B", folderB_.path()},
              std::pair{kOffsite, offsiteFolder_.path()}}) {
            const std::string log = ReadFile(folder + "Log/ZentaMarketMonitor.log");
            text += "\n--- " + name + " (end of its log)\n" +
                    log.substr(log.size() > 3000 ? log.size() - 3000 : 0);
        }
        return text;
    }

    // Asks Alertmanager (its API v2) and Prometheus (its query API); prints one line a sample.
    static constexpr const char* kAsk = R"(import json, sys, urllib.parse, urllib.request
kind, base = sys.argv[1], sys.argv[2]
if kind == "ready":
    sys.exit(0 if urllib.request.urlopen(base, timeout=2).status == 200 else 1)
if kind == "alerts":
    for a in json.load(urllib.request.urlopen(base + "/api/v2/alerts", timeout=5)):
        labels = a["labels"]
        print(labels.get("alertname", "-"), labels.get("branch", "-"), labels.get("instance", "-"),
              a["status"]["state"])
if kind == "query":
    url = base + "/api/v1/query?" + urllib.parse.urlencode({"query": sys.argv[3]})
    for s in json.load(urllib.request.urlopen(url, timeout=5))["data"]["result"]:
        print(json.dumps(s["metric"], sort_keys=True, separators=(",", ":")).replace(" ", "_"),
              s["value"][1])
)";

    const int base_ = DbPort() + 50;
    const int plainPort_ = base_, offsitePort_ = base_ + 1, linePort_ = base_ + 3;
    const int exporterPort_ = base_ + 4; // four computers: +4 to +7
    const int prometheusPort_ = base_ + 8, alertmanagerPort_ = base_ + 9, nobodyPort_ = base_ + 10;

    TempDir head_{"headoffice"};
    TempDir plainFolder_{"branch-1-1"}, offsiteFolder_{"branch-1-3"};
    TempDir plainFigures_{"figures-1-1"}, pairFiguresA_{"figures-1-2a"},
        pairFiguresB_{"figures-1-2b"}, offsiteFigures_{"figures-1-3"};
    std::string plainBackup_ = plainFolder_.path() + "Backup/";
    SmallFileSystem plainDisk_{plainBackup_, "32M"};
    OwnServer plainServer_{"headoffice-1-1", plainPort_};
    OwnServer offsiteServer_{"headoffice-1-3", offsitePort_};
    S3Server s3_{base_ + 2};
    std::unique_ptr<DelayRelay> line_;
    std::unique_ptr<Program> plainMonitor_, offsiteMonitor_;
    Daemon exporters_[4];
    Daemon prometheus_, alertmanager_;
};

// A healthy chain pages no one; then each branch breaks in turn and exactly its alert pages,
// and it clears when mended. A branch closed now is paged for what loses data (its backup disk
// full), never for what only matters while it sells (its log's copy down), until it opens.
TEST_F(HeadOfficeDrill, EachBranchsFaultPagesForThatBranchAloneAndClearsWhenMended) {
    Phase("set-up: the pair, four monitors, their node_exporters, head office");
    MakePair(false);
    ASSERT_NO_FATAL_FAILURE(StartExporters());
    plainMonitor_ = StartMonitor(plainFolder_.path());
    offsiteMonitor_ = StartMonitor(offsiteFolder_.path());
    monitorA_ = StartMonitor(AppPath());
    monitorB_ = StartMonitor(folderB_.path());
    ASSERT_NO_FATAL_FAILURE(StartHeadOffice());

    // 1. Healthy: every branch's first backup made, its protections current, nothing pages.
    // Branch 1-3 sells throughout (its off-site copy sends only what the shop wrote).
    Phase("healthy");
    Tills tills(TillTarget{"127.0.0.1", offsitePort_, false, 250}, 1);
    auto healthy = [&] {
        for (const auto& branch : {kPlain, kPair, kOffsite})
            if (!Value("max(zentamarket_backup_last_good_timestamp_seconds{branch=\"" + branch +
                       "\"})"))
                return false;
        return ValueIs("max(zentamarket_binlog_copy_up{branch=\"1-1\"})",
                       [](double v) { return v == 1; }) &&
               ValueIs("max(zentamarket_standby_protected{branch=\"1-2\"})",
                       [](double v) { return v == 1; }) &&
               ValueIs("max(zentamarket_offsite_up{branch=\"1-3\"})",
                       [](double v) { return v == 1; }) &&
               Query("ALERTS").empty() && Alerts().empty();
    };
    ASSERT_TRUE(WaitFor(healthy, 240s)) << Health() << Logs();
    // Held for longer than the longest wait of an alert that could be pending at start.
    std::this_thread::sleep_for(12s);
    EXPECT_TRUE(healthy()) << Health();
    EXPECT_EQ(Query("zentamarket:cell_state == 2"), "") << "red cells in a healthy chain";
    for (const auto& [branch, cell] :
         {std::pair{kPlain, "3-logcopy"}, std::pair{kPair, "4-standby"},
          std::pair{kOffsite, "5-offsite"}, std::pair{kPlain, "7-disk"}})
        EXPECT_TRUE(ValueIs(Cell(branch, cell), [](double v) { return v == 0; }))
            << branch << " " << cell << ": " << Query(Cell(branch, cell));
    // Every computer tells how often it writes its figures; 1-1's backup disk is its own.
    EXPECT_EQ(Query("count(zentamarket_metrics_interval_seconds == 5)"), "{} 4\n")
        << Query("zentamarket_metrics_interval_seconds");
    EXPECT_TRUE(ValueIs("zentamarket_backup_folder_size_bytes{branch=\"1-1\"}", [](double v) {
        return v == 32 << 20;
    })) << Query("zentamarket_backup_folder_size_bytes");

    // 2. Branch 1-1 closed now: its database server stopped and its backup disk filled.
    Phase("1-1 closed: database server stopped, backup disk filled");
    ASSERT_NO_FATAL_FAILURE(ChangeBranchList(kPlain, kPlain));
    Shell("'" + SourceDir() + "/scripts/local-mariadb' stop '" + plainServer_.dir() +
          "' >/dev/null");
    ASSERT_NO_FATAL_FAILURE(FillPlainDisk(0.05));
    EXPECT_EQ(WaitFiring(kPlain, {"BranchBackupDiskFull"}, 90s), "") << Health();
    EXPECT_TRUE(ValueIs(Cell(kPlain, "7-disk"), [](double v) { return v == 2; }))
        << Query(Cell(kPlain, "7-disk"));
    EXPECT_TRUE(ValueIs("zentamarket:backup_disk_free_ratio{branch=\"1-1\"}",
                        [](double v) { return v < 0.1; }));
    // What the person on call reads (amtool): the branch named by its name and its id.
    const std::string told = CommandOutput(
        "/usr/bin/amtool --alertmanager.url=http://127.0.0.1:" + std::to_string(alertmanagerPort_) +
        " alert query -o json alertname=BranchBackupDiskFull 2>&1");
    EXPECT_TRUE(Has(told, "Valencia Centro (1-1)")) << told;
    EXPECT_TRUE(Has(told, "\"urgency\":\"any-hour\"")) << told;
    // The copy is down, for longer than its alert waits: no alert while the branch is closed.
    ASSERT_TRUE(WaitFor(
        [&] {
            return ValueIs("max(zentamarket_binlog_copy_up{branch=\"1-1\"})",
                           [](double v) { return v == 0; });
        },
        60s))
        << Health() << Logs();
    std::this_thread::sleep_for(10s);
    EXPECT_TRUE(ValueIs("max(zentamarket_binlog_copy_up{branch=\"1-1\"})",
                        [](double v) { return v == 0; }));
    EXPECT_TRUE(ValueIs(Cell(kPlain, "3-logcopy"), [](double v) { return v >= 1; }))
        << Query(Cell(kPlain, "3-logcopy"));
    EXPECT_EQ(Query("ALERTS{alertname=\"BranchLogCopyDown\"}"), "");
    EXPECT_EQ(WaitFiring(kPlain, {"BranchBackupDiskFull"}, 1s), "") << "while closed";

    Phase("1-1 open again");
    ASSERT_NO_FATAL_FAILURE(ChangeBranchList("", kPlain));
    EXPECT_EQ(WaitFiring(kPlain, {"BranchBackupDiskFull", "BranchLogCopyDown"}, 60s), "");

    Phase("1-1 mended");
    ASSERT_TRUE(plainServer_.Start());
    fs::remove(plainBackup_ + "filler");
    EXPECT_TRUE(
        WaitMended(120s,
                   [&] {
                       return ValueIs(Cell(kPlain, "7-disk"), [](double v) { return v == 0; }) &&
                              ValueIs(Cell(kPlain, "3-logcopy"), [](double v) { return v == 0; });
                   }))
        << Health() << Logs();

    // 3. Branch 1-2: the standby's server frozen.
    Phase("1-2: the standby's server frozen");
    Shell("kill -STOP $(cat '" + b_.dir() + "/mysqld.pid')");
    // Whichever the monitors say first: the standby away, or the sales not protected.
    EXPECT_EQ(WaitFiring(kPair, {"BranchStandbyAway", "BranchStandbyNotProtected"}, 90s, true), "")
        << Health();
    EXPECT_TRUE(ValueIs("max(" + Cell(kPair, "4-standby") + ")", [](double v) { return v >= 1; }))
        << Query(Cell(kPair, "4-standby"));
    EXPECT_NE(Query("zentamarket_standby_protected{branch=\"1-2\"} == 0 or "
                    "zentamarket_standby_partner_up{branch=\"1-2\"} == 0"),
              "");
    Phase("1-2 mended");
    Shell("kill -CONT $(cat '" + b_.dir() + "/mysqld.pid')");
    EXPECT_TRUE(WaitMended(120s,
                           [&] {
                               return ValueIs("max(" + Cell(kPair, "4-standby") + ")",
                                              [](double v) { return v == 0; });
                           }))
        << Health() << Logs();

    // 4. Branch 1-3, selling: its off-site storage gone (what the shop sees of a storage killed:
    // the endpoint refuses every connection).
    Phase("1-3: the off-site storage gone");
    line_->Cut();
    EXPECT_TRUE(tills.WaitForSales(20)) << "branch 1-3 does not sell";
    EXPECT_EQ(WaitFiring(kOffsite, {"BranchOffsiteBehind"}, 90s), "") << Health();
    EXPECT_TRUE(
        ValueIs("max(zentamarket_offsite_up{branch=\"1-3\"})", [](double v) { return v == 0; }));
    EXPECT_TRUE(ValueIs(Cell(kOffsite, "5-offsite"), [](double v) { return v >= 1; }))
        << Query(Cell(kOffsite, "5-offsite"));
    Phase("1-3 mended");
    line_->Start();
    EXPECT_TRUE(WaitMended(
        120s,
        [&] { return ValueIs(Cell(kOffsite, "5-offsite"), [](double v) { return v == 0; }); }))
        << Health() << Logs();

    // 5. The monitor of the pair's first computer hung: its figures are no longer rewritten.
    Phase("1-2: a monitor hung");
    monitorA_->Signal(SIGSTOP);
    EXPECT_EQ(WaitFiring(kPair, {"BranchMonitorHung"}, 90s), "") << Health();
    EXPECT_TRUE(Has(Text(Alerts()), "BranchMonitorHung{branch=1-2,instance=127.0.0.1:" +
                                        std::to_string(Computers()[1].port) + "}"))
        << "not the computer whose monitor hung: " << Text(Alerts());
    EXPECT_TRUE(ValueIs("max(time() - zentamarket_metrics_timestamp_seconds{branch=\"1-2\"})",
                        [](double v) { return v > 15; }));
    Phase("1-2 mended");
    monitorA_->Signal(SIGCONT);
    EXPECT_TRUE(WaitMended(
        120s,
        [&] {
            return ValueIs("max(time() - zentamarket_metrics_timestamp_seconds{branch=\"1-2\"})",
                           [](double v) { return v < 10; });
        }))
        << Health() << Logs();

    // 6. Branch 1-1 off the network: head office reaches nothing there.
    Phase("1-1: off the network");
    Exporter(0).Stop();
    EXPECT_EQ(WaitFiring(kPlain, {"BranchSilent"}, 60s), "") << Health();
    EXPECT_TRUE(ValueIs("up{branch=\"1-1\"}", [](double v) { return v == 0; }));
    EXPECT_TRUE(ValueIs("zentamarket:branch_worst{branch=\"1-1\"}", [](double v) {
        return v == 2;
    })) << Query("zentamarket:cell_state{branch=\"1-1\"}");
    Phase("1-1 mended");
    Exporter(0).Restart();
    EXPECT_TRUE(WaitMended(60s, [&] {
        return ValueIs("zentamarket:branch_worst{branch=\"1-1\"}", [](double v) { return v < 2; });
    })) << Health();
    tills.Stop();
    EXPECT_GT(tills.acknowledged(), 100);
    Phase("done");
}
