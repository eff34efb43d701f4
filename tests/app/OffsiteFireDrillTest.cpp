// Drills of a shop lost whole and brought back from its off-site repository, from outside: the
// real program started once as the service starts it, tills selling, the repository on a real
// S3 server (moto, with IAM keys and Object Lock); then every process of the shop killed at
// once, the server's data, the program's folders and the local copy deleted. On a fresh server
// and program folder one command brings the shop back, judged sale by sale against what the
// tills were told; and the new computer's monitor goes on protecting it.
#include "OffsiteShop.h"

#include <cmath>
#include <ctime>

using namespace zenta;
using namespace zenta::test;
using namespace std::chrono_literals;

namespace {

constexpr long kFirstTicket = 5000000; // the drill's tills; the shop's own tickets are below

std::string LocalSecond(double t) {
    const std::time_t s = static_cast<std::time_t>(t);
    std::tm tm{};
    localtime_r(&s, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

} // namespace

class OffsiteFire : public OffsiteShop {
  protected:
    // Tickets of the drill's tills in a database, with how many lines each has.
    std::map<long, int> TicketsIn(const std::string& database) {
        std::map<long, int> tickets;
        std::istringstream in(Output("SELECT t.TicketNo, COUNT(a.TicketNo) FROM " + database +
                                     ".ticket t LEFT JOIN " + database +
                                     ".ticketarticulo a ON a.TicketNo = t.TicketNo WHERE "
                                     "t.TicketNo >= " +
                                     std::to_string(kFirstTicket) + " GROUP BY t.TicketNo;"));
        long number = 0;
        int lines = 0;
        while (in >> number >> lines)
            tickets[number] = lines;
        return tickets;
    }
    // Everything of the shop gone at once: the monitor and the server killed, the server's data,
    // the program's folders and the local copy deleted; a fresh server started in its place
    // (the accounts and an empty database, as the README sets a new computer up).
    void Fire() {
        monitor_->Signal(SIGKILL);
        Shell(shop_.KillCommand());
        monitor_->WaitExit(10s);
        monitor_.reset();
        for (const char* folder : {"Backup", "Log", "Temp"})
            fs::remove_all(AppPath() + folder);
        for (const auto& e : fs::directory_iterator(copy_.path()))
            fs::remove_all(e.path());
        for (const auto& e : fs::directory_iterator(metrics_.path()))
            fs::remove_all(e.path());
        ASSERT_TRUE(shop_.StartFresh(kDurable));
        ASSERT_EQ(Output("SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = "
                         "'zentasupermarket';"),
                  "0\n");
    }
    // Sells until the repository holds an archive and a stretch of log, with a second in the
    // middle of it; the tills still selling at the fire.
    struct Selling {
        std::vector<Sale> sales;
        double middle = 0, fire = 0;
    };
    Selling SellThenFire(const std::function<void()>& beforeTheFire = {}) {
        Selling s;
        StartMonitor();
        EXPECT_TRUE(WaitFor([&] { return !Record().lastArchive.empty(); }, 120s))
            << "no archive went off-site" << Tail();
        Tills tills(port_, 4, kFirstTicket);
        EXPECT_TRUE(tills.WaitForSales(400));
        std::this_thread::sleep_for(8s);
        s.middle = std::floor(WallNow()) + 1;
        std::this_thread::sleep_for(12s);
        EXPECT_TRUE(WaitCurrent(60s)) << Record().Text(std::time(nullptr)) << Tail();
        std::this_thread::sleep_for(15s); // selling on: the last seconds are the stake
        if (beforeTheFire)
            beforeTheFire();
        s.fire = WallNow();
        Fire();
        tills.Stop();
        s.sales = tills.Sales();
        return s;
    }
    // Every sale acknowledged longer than the bound before the fire (LogSeconds and 5 s for a
    // round under way) is in the live database with its lines; nothing there that no till
    // tried; each ticket whole.
    void JudgeLatest(const Selling& s) {
        const auto there = TicketsIn("zentasupermarket");
        std::set<long> tried;
        long before = 0, missing = 0;
        for (const auto& sale : s.sales) {
            tried.insert(sale.number);
            if (sale.acknowledged > 0 && sale.acknowledged < s.fire - (logSeconds_ + 5)) {
                ++before;
                missing += !there.count(sale.number);
            }
        }
        EXPECT_GT(before, 800);
        EXPECT_EQ(missing, 0) << "of " << before << " sales acknowledged " << logSeconds_ + 5
                              << " s before the fire";
        for (const auto& [number, lines] : there) {
            EXPECT_TRUE(tried.count(number)) << "ticket " << number << " was never sold";
            EXPECT_EQ(lines, Tills::kLines) << "ticket " << number << " is not whole";
        }
    }
    // Restored to the middle second into a database of its own: every sale committed before
    // it, none begun after it.
    void JudgeMiddle(const Selling& s) {
        const auto r = Run({"restore", "--from-offsite", "--until", LocalSecond(s.middle),
                            "--database", "zentasupermarket_middle"});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        const auto there = TicketsIn("zentasupermarket_middle");
        long committedBefore = 0, missing = 0, after = 0;
        for (const auto& sale : s.sales) {
            if (sale.acknowledged > 0 && sale.acknowledged < s.middle) {
                ++committedBefore;
                missing += !there.count(sale.number);
            }
            if (sale.begun >= s.middle + 1)
                after += there.count(sale.number);
        }
        EXPECT_GT(committedBefore, 200);
        EXPECT_EQ(missing, 0) << "of " << committedBefore << " committed before "
                              << LocalSecond(s.middle);
        EXPECT_EQ(after, 0) << "sales begun after " << LocalSecond(s.middle) << " are there";
    }
};

// The fire: the shop back on a fresh server from the repository alone, to the latest and to a
// second in the middle; then the new computer's monitor makes a full backup and the off-site
// copy goes on from it.
TEST_F(OffsiteFire, AShopBurntDownSellsAgainFromItsRepository) {
    const Selling s = SellThenFire();
    // What is left of the shop is its repository: whole, and said so.
    const auto listed = Run({"offsite", "list"});
    EXPECT_EQ(listed.status, 0) << listed.out << listed.err;
    EXPECT_TRUE(Has(listed.out, ".ZTB, snapshot ")) << listed.out;
    const auto checked = Run({"offsite", "check"});
    EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
    EXPECT_TRUE(Has(checked.out, prefix_ + ": whole")) << checked.out;
    // The nightly drill of head office on the same repository: the newest archive and window
    // restored into scratch databases, and recorded for the metrics.
    const auto tested = Run({"offsite", "check", "--restore-test"});
    EXPECT_EQ(tested.status, 0) << tested.out << tested.err;
    EXPECT_TRUE(Has(tested.out, prefix_ + ": restore test good")) << tested.out;
    EXPECT_TRUE(Has(ReadFile(metrics_.path() + "zentamarket_repository.prom"),
                    "zentamarket_repository_restore_test_good{branch=\"" + prefix_ + "\"} 1"));
    EXPECT_EQ(Output("SELECT COUNT(*) FROM information_schema.SCHEMATA WHERE SCHEMA_NAME LIKE "
                     "'zentasupermarket_%';"),
              "0\n")
        << "the restore test left a database behind";
    const auto r = Run({"restore", "--from-offsite", "--until", "latest", "--into-live"});
    ASSERT_EQ(r.status, 0) << r.out << r.err << Tail();
    EXPECT_TRUE(Has(r.out, "from the off-site repository (" + prefix_ + ")")) << r.out;
    JudgeLatest(s);
    JudgeMiddle(s);
    EXPECT_FALSE(fs::exists(AppPath() + "Temp/offsite-restore/" + prefix_))
        << "the downloaded files were left behind";

    // The new computer protects the shop again: a backup of its own, off-site at once.
    StartMonitor();
    ASSERT_TRUE(WaitFor([&] { return !Record().lastArchive.empty(); }, 180s))
        << "the restored shop's first archive did not go off-site" << Tail();
    Tills more(port_, 2, kFirstTicket + 3000000);
    ASSERT_TRUE(more.WaitForSales(200));
    more.Stop();
    ASSERT_TRUE(WaitAllSent(60s)) << Record().Text(std::time(nullptr)) << Tail();
    EXPECT_EQ(AgainstTheLocalCopy(FromRepository(), true), "");
}

// Ransomware with the shop's key before the fire: every object deleted and written over, and
// new names written (a newest manifest of its own, a segment that goes on from the last). The
// restore reads the originals, leaves the thief's names aside and says so, and gets the same
// sales.
TEST_F(OffsiteFire, AfterRansomwareTheOriginalsBringTheSameSalesBack) {
    Key("careless");
    const Selling s = SellThenFire([&] {
        const S3Server::Key key = s3_.key("careless");
        ASSERT_EQ(Shell("python3 '" + SourceDir() + "/tests/offsite/attack.py' " +
                        std::to_string(s3_.port()) + " " + key.access + " " + key.secret +
                        " shops " + prefix_ + " > /dev/null"),
                  0);
        S3Client thief(Storage("careless"));
        const std::string fake = "ZentaMarket29991231235959.ZTB";
        EXPECT_TRUE(thief.PutNew(prefix_ + "/archives/" + fake, "not an archive").Ok());
        EXPECT_TRUE(thief
                        .PutNew(prefix_ + "/archives/" + fake + ".manifest",
                                "[Archive]\r\nName=" + fake +
                                    "\r\nSize=14\r\nSha256=00\r\nEncrypted=1\r\n[Binlog]\r\n"
                                    "File=binlog.000001\r\nPosition=4\r\n")
                        .Ok());
        const auto there = FromRepository("careless");
        ASSERT_FALSE(there.empty());
        const auto& [last, file] = *there.rbegin();
        const std::string chain = last.substr(0, last.find('/')),
                          name = last.substr(last.find('/') + 1);
        const long long end = static_cast<long long>(file.bytes.size());
        EXPECT_TRUE(thief
                        .PutNew(repository::SegmentKey(prefix_, chain, name, end, end + 100, true),
                                std::string(100, 'x'), {{"sha256", "00"}})
                        .Ok());
    });
    // The thief's names make the repository not whole, and each is said.
    const auto checked = Run({"offsite", "check"});
    EXPECT_EQ(checked.status, 1) << checked.out << checked.err;
    EXPECT_TRUE(Has(checked.out, "NOT WHOLE")) << checked.out;
    const auto r = Run({"restore", "--from-offsite", "--until", "latest", "--into-live"});
    ASSERT_EQ(r.status, 0) << r.out << r.err << Tail();
    EXPECT_TRUE(Has(r.err, "Left aside: ")) << "the thief's names were not said: " << r.err;
    JudgeLatest(s);
}

// What goes wrong at a restore, each told and nothing left behind: a branch the bucket does not
// hold, a password that opens nothing, a damaged archive (in a bucket without versions, where
// the original itself can be written over), a time before every archive.
TEST_F(OffsiteFire, EachBadObjectIsToldAndLeavesNothingBehind) {
    Configure("", "plain");
    Key("headoffice");
    StartMonitor();
    ASSERT_TRUE(WaitFor([&] { return !Record().lastArchive.empty(); }, 120s)) << Tail();
    {
        Tills tills(port_, 2, kFirstTicket);
        ASSERT_TRUE(tills.WaitForSales(300));
    }
    ASSERT_TRUE(WaitAllSent(60s)) << Record().Text(std::time(nullptr)) << Tail();
    monitor_->Signal(SIGTERM);
    monitor_->WaitExit(30s);
    monitor_.reset();
    const std::string databases =
        "SELECT COUNT(*) FROM information_schema.SCHEMATA WHERE SCHEMA_NAME LIKE "
        "'zentasupermarket_%';";
    const std::string before = Output(databases);
    auto refused = [&](const std::vector<std::string>& args, const std::string& said) {
        const auto r = Run(args);
        EXPECT_EQ(r.status, 2) << r.out << r.err;
        EXPECT_TRUE(Has(r.err, said)) << "not said: " << said << "\n" << r.err;
        EXPECT_EQ(Output(databases), before) << "a database was left behind";
        EXPECT_FALSE(fs::exists(AppPath() + "Temp/offsite-restore/" + prefix_ + "/log"));
    };
    refused({"restore", "--from-offsite", "--until", "latest", "--branch", "branch-8"},
            "the repository holds no archive of branch-8 (the bucket holds the branches branch-7)");
    refused({"restore", "--from-offsite", "--until", "2001-01-01 00:00:00"},
            "is before every archive the repository holds whole");
    WriteFile(AppPath() + "wrong-password", "not the shop's password\n");
    fs::permissions(AppPath() + "wrong-password", fs::perms::owner_read | fs::perms::owner_write);
    refused({"restore", "--from-offsite", "--until", "latest", "--password-file",
             AppPath() + "wrong-password"},
            "not a segment this password opens");
    // An archive downloaded whole is kept for the next run (it goes on from it); a new computer
    // has none.
    EXPECT_TRUE(fs::exists(AppPath() + "Temp/offsite-restore/" + prefix_ + "/archives/" +
                           Record().lastArchive));
    fs::remove_all(AppPath() + "Temp/offsite-restore");
    // The archive written over: no version keeps the original here.
    S3Config plain = Storage("headoffice");
    plain.bucket = "plain";
    S3Client client(plain);
    const std::string archive = repository::ArchiveKey(prefix_, Record().lastArchive);
    ASSERT_TRUE(client.Delete(archive).Ok());
    ASSERT_TRUE(client.PutNew(archive, "damaged").Ok());
    refused({"restore", "--from-offsite", "--until", "latest"}, "is damaged");
    const auto checked = Run({"offsite", "check"});
    EXPECT_EQ(checked.status, 1) << checked.out << checked.err;
    EXPECT_TRUE(Has(checked.out, "DAMAGED: the archive " + Record().lastArchive)) << checked.out;
}

// A technician's slip: the shop sent under another branch's prefix. What is restored from that
// prefix holds this shop's own numbers, not the prefix's: refused, nothing left behind.
TEST_F(OffsiteFire, AnotherBranchsDataIsNeverTakenForThePrefixsOwn) {
    Output("INSERT INTO zentasupermarket.opcion (ID, VarCharValor) VALUES ('CadenaID', '3'), "
           "('SubTiendaID', '17');");
    prefix_ = "zentamarket-3-18";
    Configure("");
    StartMonitor();
    ASSERT_TRUE(WaitFor([&] { return !Record().lastArchive.empty(); }, 120s)) << Tail();
    ASSERT_TRUE(WaitCurrentFromNow(60s)) << Record().Text(std::time(nullptr)) << Tail();
    monitor_->Signal(SIGTERM);
    monitor_->WaitExit(30s);
    monitor_.reset();
    const auto r =
        Run({"restore", "--from-offsite", "--until", "latest", "--database", "other_branch"});
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_TRUE(Has(r.err, "holds the data of another branch (zentamarket-3-17)")) << r.err;
    EXPECT_EQ(Output("SHOW DATABASES LIKE 'other_branch';"), "");
    EXPECT_EQ(Output("SELECT COUNT(*) FROM information_schema.SCHEMATA WHERE SCHEMA_NAME LIKE "
                     "'zentasupermarket_until_%';"),
              "0\n");
}

// The shop closed: the last sale of the day, then nothing written while the monitor runs on (a
// minute here for the night's hours); the fire at night. Every sale of the day comes back.
TEST_F(OffsiteFire, AClosedShopBurntAtNightLosesNoSaleOfTheDay) {
    StartMonitor();
    ASSERT_TRUE(WaitFor([&] { return !Record().lastArchive.empty(); }, 120s)) << Tail();
    std::vector<Sale> sales;
    {
        Tills tills(port_, 2, kFirstTicket);
        ASSERT_TRUE(tills.WaitForSales(300));
        tills.Stop();
        sales = tills.Sales();
    }
    std::this_thread::sleep_for(60s);
    EXPECT_EQ(Record().state, RepositoryState::Current) << Record().Text(std::time(nullptr));
    Fire();
    const auto r = Run({"restore", "--from-offsite", "--until", "latest", "--into-live"});
    ASSERT_EQ(r.status, 0) << r.out << r.err << Tail();
    const auto there = TicketsIn("zentasupermarket");
    long acknowledged = 0, missing = 0;
    for (const auto& s : sales)
        if (s.acknowledged > 0) {
            ++acknowledged;
            missing += !there.count(s.number);
        }
    EXPECT_GE(acknowledged, 300);
    EXPECT_EQ(missing, 0) << "of " << acknowledged << " sales of the day";
}
