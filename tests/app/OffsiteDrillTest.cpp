// Drills of the off-site copy from outside: the real program started once as the service starts
// it, a real S3 server (moto, with IAM keys and Object Lock) reached through a relay that stands
// for the shop's internet line, tills selling. The storage goes away and comes back, the line is
// cut and slow, ransomware with the shop's own key deletes and overwrites everything; what is in
// the repository is read back the way a restore reads it (the oldest version of each name) and
// judged byte for byte against the local copy, and sale by sale against what the tills were told.
#include "OffsiteShop.h"

using namespace zenta;
using namespace zenta::test;
using namespace std::chrono_literals;

class OffsiteDrill : public OffsiteShop {};

// The line cut for a minute under selling tills, then back: the copy says it is behind at once,
// sends everything in order once the line is back, and the repository holds the local copy byte
// for byte, every acknowledged sale in it.
TEST_F(OffsiteDrill, EverySaleReachesTheRepositoryThroughACutLine) {
    StartMonitor();
    ASSERT_TRUE(WaitFor([&] { return !Record().lastArchive.empty(); }, 120s))
        << "no archive went off-site" << Tail();
    ASSERT_TRUE(WaitCurrent(60s)) << Record().Text(std::time(nullptr)) << Tail();
    Tills tills(port_, 4);
    ASSERT_TRUE(tills.WaitForSales(300));
    EXPECT_TRUE(WaitFor(
        [&] { return StampSeconds(Record().reach) >= static_cast<long long>(WallNow()) - 6; }, 20s))
        << "the repository lags: " << Record().reach << Tail();

    line_->Cut();
    EXPECT_TRUE(WaitFor([&] { return Record().state != RepositoryState::Current; }, 20s))
        << "not said behind while the line is cut";
    ASSERT_TRUE(tills.WaitForSales(400));
    const std::string said = Run({"status"}).out;
    EXPECT_NE(said.find("Off-site copy:"), std::string::npos) << said;
    std::this_thread::sleep_for(45s);
    line_->Start();
    ASSERT_TRUE(tills.WaitForSales(200));
    tills.Stop();
    ASSERT_TRUE(WaitAllSent(90s)) << Record().Text(std::time(nullptr)) << Tail();

    const auto there = FromRepository();
    EXPECT_EQ(AgainstTheLocalCopy(there, true), "");
    const std::set<long> tickets = TicketsThere(there);
    const SalesThere judged = JudgeSales(tills.Sales(), tickets);
    EXPECT_EQ(judged.missing, 0) << "of " << judged.acknowledged << " acknowledged sales";
    EXPECT_GT(judged.acknowledged, 800);
}

// Ransomware with the shop's key (one careless enough to allow everything on the bucket):
// every object deleted and every name written over. What was sent before is still there, the
// original of every name, byte for byte; and the copy goes on sending after the attack.
TEST_F(OffsiteDrill, RansomwareWithTheShopsOwnKeyLeavesEveryOriginalReadable) {
    Key("careless");
    StartMonitor();
    ASSERT_TRUE(WaitFor([&] { return !Record().lastArchive.empty(); }, 120s)) << Tail();
    Tills tills(port_, 2);
    ASSERT_TRUE(tills.WaitForSales(300));
    tills.Stop();
    ASSERT_TRUE(WaitAllSent(60s)) << Tail();
    const auto before = FromRepository("careless");
    ASSERT_EQ(AgainstTheLocalCopy(before, true), "");

    const S3Server::Key key = s3_.key("careless");
    ASSERT_EQ(Shell("python3 '" + SourceDir() + "/tests/offsite/attack.py' " +
                    std::to_string(s3_.port()) + " " + key.access + " " + key.secret + " shops " +
                    prefix_ + " > /dev/null"),
              0);
    S3Client careless(Storage("careless"));
    const S3Answer garbage = careless.Get(prefix_ + "/archives/" + Record().lastArchive);
    EXPECT_NE(garbage.body.find("ransomware"), std::string::npos) << "the attack did not happen";

    const auto after = FromRepository("careless");
    EXPECT_EQ(AgainstTheLocalCopy(after, true), "");
    for (const auto& [name, file] : before)
        EXPECT_EQ(after.at(name).bytes.substr(0, file.bytes.size()), file.bytes) << name;
    // The archive too: its original version is the archive as made.
    const auto versions = careless.ListVersions(prefix_ + "/archives/" + Record().lastArchive);
    ASSERT_TRUE(versions && !versions->empty());
    const S3Answer original =
        careless.Get(prefix_ + "/archives/" + Record().lastArchive, versions->front().versionId);
    EXPECT_EQ(original.body, ReadFile(AppPath() + "Backup/" + Record().lastArchive));

    Tills more(port_, 2, 7000000);
    ASSERT_TRUE(more.WaitForSales(200));
    more.Stop();
    ASSERT_TRUE(WaitAllSent(60s)) << Tail();
    EXPECT_EQ(AgainstTheLocalCopy(FromRepository("careless"), true), "");
}

// What technicians get wrong, each told by doctor in its own words; the monitor run with it
// sends nothing and says why; nothing reaches the bucket.
TEST_F(OffsiteDrill, EachBadSettingIsToldAndChangesNothing) {
    auto doctor = [&] { return Run({"doctor"}).out; };
    auto has = [&](const std::string& out, const std::string& words) {
        return out.find(words) != std::string::npos;
    };
    // The secret wrong.
    WriteFile(AppPath() + "offsite-credentials",
              "AccessKey=" + s3_.key("shop").access + "\nSecretKey=wrong\n");
    std::string out = doctor();
    EXPECT_TRUE(has(out, "FAULT   offsite: storage: the storage refuses the secret key")) << out;
    // The file open to others.
    fs::permissions(AppPath() + "offsite-credentials",
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
    out = doctor();
    EXPECT_TRUE(has(out, "is open to other users")) << out;
    Key("shop");
    // A bucket of no one, and one that keeps no versions.
    Configure("", "nobodys-bucket");
    out = doctor();
    EXPECT_TRUE(has(out, "FAULT   offsite: storage: the storage refuses the key for this request"))
        << out;
    Configure("", "plain");
    out = doctor();
    EXPECT_TRUE(has(out, "keeps no versions: anyone with the shop's key can delete or overwrite"))
        << out;
    // No route: the line down.
    Configure("");
    line_->Cut();
    out = doctor();
    EXPECT_TRUE(has(out, "FAULT   offsite: storage: no route to the storage")) << out;
    line_->Start();
    // Set right: good.
    out = doctor();
    EXPECT_TRUE(has(out, "good    offsite: storage:")) << out;
    EXPECT_TRUE(has(out, "good    offsite: bucket: shops keeps every version, locked 1 days "
                         "(COMPLIANCE)"))
        << out;

    // The monitor with a wrong secret: off-site down with why, nothing in the bucket.
    WriteFile(AppPath() + "offsite-credentials",
              "AccessKey=" + s3_.key("shop").access + "\nSecretKey=wrong\n");
    fs::permissions(AppPath() + "offsite-credentials",
                    fs::perms::owner_read | fs::perms::owner_write);
    StartMonitor();
    EXPECT_TRUE(WaitFor([&] { return Record().state == RepositoryState::Down; }, 60s)) << Tail();
    EXPECT_NE(Record().why.find("secret key"), std::string::npos) << Record().why;
    S3Client headoffice(Storage("headoffice"));
    for (const char* bucket : {"shops", "plain"}) {
        S3Config c = Storage("headoffice");
        c.bucket = bucket;
        S3Client client(c);
        const auto listed = client.List(prefix_);
        ASSERT_TRUE(listed) << listed.error();
        EXPECT_TRUE(listed->empty()) << bucket << " holds " << listed->size() << " objects";
    }
}

// A shop that sells nothing still finds out that its storage went away (it asks something now
// and then), and says so; a round that crawls on a line slower than the shop sells is said
// behind while it runs, not "current" from the round before it; every sale arrives once the
// line is good again.
TEST_F(OffsiteDrill, AQuietShopAndACrawlingRoundAreToldAsTheyAre) {
    StartMonitor();
    ASSERT_TRUE(WaitFor([&] { return !Record().lastArchive.empty(); }, 120s)) << Tail();
    ASSERT_TRUE(WaitCurrent(60s)) << Record().Text(std::time(nullptr)) << Tail();
    line_->Cut();
    EXPECT_TRUE(WaitFor([&] { return Record().state == RepositoryState::Down; }, 40s))
        << "a quiet shop's storage gone is not said: " << Record().Text(std::time(nullptr));
    EXPECT_NE(Record().why.find("no route to the storage"), std::string::npos) << Record().why;
    line_->Start();
    EXPECT_TRUE(WaitFor([&] { return Record().state == RepositoryState::Current; }, 40s))
        << Record().Text(std::time(nullptr));

    line_.reset(); // 2 KB/s: one segment takes minutes
    line_ = std::make_unique<DelayRelay>(linePort_, "127.0.0.1", s3_.port(), 0ms, 2000);
    Tills tills(port_, 2);
    ASSERT_TRUE(tills.WaitForSales(100));
    EXPECT_TRUE(WaitFor(
        [&] {
            const OffsiteOutcome o = Record();
            return o.state == RepositoryState::Behind &&
                   o.why.find("a round of sending has run") != std::string::npos &&
                   o.lagSeconds > 0;
        },
        60s))
        << Record().Text(std::time(nullptr));
    const std::string said = Run({"status"}).out;
    EXPECT_NE(said.find("behind since"), std::string::npos) << said;
    tills.Stop();
    line_.reset();
    line_ = std::make_unique<DelayRelay>(linePort_, "127.0.0.1", s3_.port(), 0ms);
    ASSERT_TRUE(WaitAllSent(120s)) << Record().Text(std::time(nullptr)) << Tail();
    const auto there = FromRepository();
    EXPECT_EQ(AgainstTheLocalCopy(there, true), "");
    const SalesThere judged = JudgeSales(tills.Sales(), TicketsThere(there));
    EXPECT_EQ(judged.missing, 0) << "of " << judged.acknowledged;
}

// A slow line (1 MiB/s) cut again and again in the middle of uploads: nothing is counted sent
// that the storage did not acknowledge (the local record never runs ahead of the storage), and
// once the line holds, everything arrives in order, byte for byte.
TEST_F(OffsiteDrill, ALineCutMidUploadCountsNothingTheStorageDidNotTake) {
    line_.reset(); // the line slow from now on
    line_ = std::make_unique<DelayRelay>(linePort_, "127.0.0.1", s3_.port(), 20ms, 1 << 20);
    StartMonitor();
    ASSERT_TRUE(WaitFor([&] { return !Record().lastArchive.empty(); }, 120s)) << Tail();
    Tills tills(port_, 4);
    ASSERT_TRUE(tills.WaitForSales(3000, 120));
    // What the local record says is sent, against what the storage holds, file by file.
    auto aheadOfTheStorage = [&] {
        S3Client client(Storage("headoffice"));
        const auto listed = client.List(prefix_);
        std::map<std::string, long long> held;
        if (listed)
            for (const auto& o : *listed)
                if (const auto s = repository::ParseSegmentKey(prefix_, o.key))
                    held[s->chain + "/" + s->file] =
                        std::max(held[s->chain + "/" + s->file], s->end);
        std::string ahead;
        for (const auto& chain : BinlogChain::All(copy_.path()))
            for (const auto& f : chain.Files())
                if (chain.RepositorySent(f.name) > held[chain.name() + "/" + f.name])
                    ahead += f.name + ": " + std::to_string(chain.RepositorySent(f.name)) +
                             " counted, " + std::to_string(held[chain.name() + "/" + f.name]) +
                             " held\n";
        return ahead;
    };
    int cuts = 0;
    for (int i = 0; i < 6; ++i) {
        std::this_thread::sleep_for(2500ms);
        line_->Cut();
        ++cuts;
        EXPECT_EQ(aheadOfTheStorage(), "") << "after cut " << cuts;
        std::this_thread::sleep_for(1s);
        line_->Start();
    }
    tills.Stop();
    line_.reset();
    line_ = std::make_unique<DelayRelay>(linePort_, "127.0.0.1", s3_.port(), 0ms);
    ASSERT_TRUE(WaitAllSent(180s)) << Record().Text(std::time(nullptr)) << Tail();
    EXPECT_EQ(aheadOfTheStorage(), "");
    const auto there = FromRepository();
    EXPECT_EQ(AgainstTheLocalCopy(there, true), "");
    const std::set<long> tickets = TicketsThere(there);
    EXPECT_EQ(JudgeSales(tills.Sales(), tickets).missing, 0);
}

// The monitor killed where the storage has taken segments its record does not count yet (here
// every file's record set back to nothing while it is down), tills selling on: started again, it
// takes what the storage holds as sent instead of cutting the grown file anew, so no two segments
// overlap and the repository still joins byte for byte.
TEST_F(OffsiteDrill, AMonitorKilledBeforeItsRecordSendsNoSegmentTwice) {
    StartMonitor();
    ASSERT_TRUE(WaitFor([&] { return !Record().lastArchive.empty(); }, 120s)) << Tail();
    Tills tills(port_, 4);
    ASSERT_TRUE(tills.WaitForSales(300));
    ASSERT_TRUE(WaitFor(
        [&] { return StampSeconds(Record().reach) >= static_cast<long long>(WallNow()) - 6; }, 30s))
        << "the repository lags: " << Record().Text(std::time(nullptr)) << Tail();
    monitor_->Signal(SIGKILL);
    ASSERT_NE(monitor_->WaitExit(30s), -1);
    monitor_.reset();
    int rewound = 0;
    for (const auto& chain : BinlogChain::All(copy_.path()))
        for (const auto& f : chain.Files())
            if (chain.RepositorySent(f.name) > 0) {
                ASSERT_TRUE(chain.MarkRepositorySent(f.name, 0));
                ++rewound;
            }
    ASSERT_GT(rewound, 0);
    ASSERT_TRUE(tills.WaitForSales(300)); // the file grows while no monitor runs
    StartMonitor();
    ASSERT_TRUE(tills.WaitForSales(300));
    tills.Stop();
    ASSERT_TRUE(WaitCopied(60s)) << Tail();
    ASSERT_TRUE(WaitCurrentFromNow(120s)) << Record().Text(std::time(nullptr)) << Tail();
    const auto there = FromRepository();
    EXPECT_EQ(AgainstTheLocalCopy(there, true), "");
    const std::set<long> tickets = TicketsThere(there);
    EXPECT_EQ(JudgeSales(tills.Sales(), tickets).missing, 0);
}

// The server killed and started again, then replaced by a fresh one (its log begins again),
// under one monitor that nobody restarts, tills selling: the repository holds every local chain
// with its opening, each file byte for byte, and every sale acknowledged on either server.
TEST_F(OffsiteDrill, TheRepositoryFollowsAServerRestartedAndAFreshOne) {
    StartMonitor();
    ASSERT_TRUE(WaitFor([&] { return !Record().lastArchive.empty(); }, 120s)) << Tail();
    std::vector<Sale> sales;
    {
        Tills tills(port_, 3);
        ASSERT_TRUE(tills.WaitForSales(200));
        Shell(shop_.KillCommand());
        ASSERT_TRUE(shop_.Start(kDurable));
        ASSERT_TRUE(tills.WaitForSales(200, 120)) << Tail();
        tills.Stop();
        sales = tills.Sales();
        ASSERT_TRUE(WaitCopied(60s)) << Tail(); // a technician replaces it later than that
    }
    ASSERT_TRUE(shop_.StartFresh(kDurable));
    ASSERT_TRUE(shop_.Load(kShop));
    {
        Tills tills(port_, 3, 5000000); // numbers the first server never gave
        ASSERT_TRUE(tills.WaitForSales(300, 120)) << Tail();
        tills.Stop();
        const auto more = tills.Sales();
        sales.insert(sales.end(), more.begin(), more.end());
    }
    ASSERT_TRUE(WaitCopied(60s)) << Tail();
    EXPECT_GE(BinlogChain::All(copy_.path()).size(), 2u);
    ASSERT_TRUE(WaitCurrentFromNow(180s)) << Record().Text(std::time(nullptr)) << Tail();
    S3Client client(Storage("headoffice"));
    for (const auto& chain : BinlogChain::All(copy_.path())) {
        const S3Answer opening = client.Get(repository::ChainKey(prefix_, chain.name()));
        EXPECT_TRUE(opening.Ok()) << chain.name() << ": " << client.Why(opening);
    }
    const auto there = FromRepository();
    EXPECT_EQ(AgainstTheLocalCopy(there, true), "");
    const std::set<long> tickets = TicketsThere(there);
    const SalesThere judged = JudgeSales(sales, tickets);
    EXPECT_EQ(judged.missing, 0) << "of " << judged.acknowledged;
}
