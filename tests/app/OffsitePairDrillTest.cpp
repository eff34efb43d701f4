// The off-site copy on a pair of servers, from outside: the real program started once on each
// computer, two real servers, a real S3 server (moto, with IAM keys and Object Lock), tills
// selling. Only the open primary's monitor sends; after the primary's computer loses its power
// and the standby is promoted, the new primary's monitor goes on under the same branch, its
// first backup off-site at once. Judged sale by sale against the repository's own log.
#include "BinlogChain.h"
#include "LocalTime.h"
#include "RepositoryReading.h"
#include "S3Server.h"
#include "StandbyPair.h"

using namespace zenta;
using namespace zenta::test;
using namespace std::chrono_literals;

class OffsitePairDrill : public StandbyDrill {
  protected:
    void SetUp() override {
        StandbyDrill::SetUp();
        if (HasFatalFailure())
            return;
        if (!s3_.Start())
            GTEST_FAIL() << s3_.why();
        Computer(AppPath(), "127.0.0.1", portA_, relayToB_);
        Computer(folderB_.path(), "127.0.0.2", portB_, relayToA_);
    }
    // The pair's settings with the off-site copy on, the shop's key and the archive password.
    void Computer(const std::string& folder, const std::string& host, int port, int partnerPort) {
        namespace fs = std::filesystem;
        WriteFile(folder + "zentamarket.ini",
                  "[MySQL]\r\nMySQLHost=" + host + "\r\nMySQLPort=" + std::to_string(port) +
                      "\r\n[Standby]\r\nHost=127.0.0.1\r\nPort=" + std::to_string(partnerPort) +
                      "\r\n[Monitor]\r\nBinlogFolder=" + folder +
                      "Binlog\r\nMetricsFolder=" + folder +
                      "\r\nArchivePasswordFile=archive-password\r\n[Offsite]\r\n"
                      "Endpoint=" +
                      s3_.endpoint() + "\r\nBucket=shops\r\nPrefix=" + prefix_ +
                      "\r\nCredentialsFile=offsite-credentials\r\nLogSeconds=" +
                      std::to_string(logSeconds_) + "\r\n");
        WriteFile(folder + "offsite-credentials", "AccessKey=" + s3_.key("shop").access +
                                                      "\nSecretKey=" + s3_.key("shop").secret +
                                                      "\n");
        WriteFile(folder + "archive-password", kPassword + "\n");
        for (const char* file : {"offsite-credentials", "archive-password"})
            fs::permissions(folder + file, fs::perms::owner_read | fs::perms::owner_write);
    }
    // What a computer's monitor last recorded of the off-site copy.
    static std::string Sent(const std::string& folder, const std::string& key) {
        const std::string text = ReadFile(folder + "Log/JobOutcomes.ini");
        const size_t section = text.find("[Repository]");
        if (section == std::string::npos)
            return {};
        const size_t end = text.find("\n[", section + 1);
        const size_t at = text.find("\n" + key + "=", section);
        if (at == std::string::npos || at > end)
            return {};
        const size_t from = at + key.size() + 2;
        return text.substr(from, text.find_first_of("\r\n", from) - from);
    }
    // Until a round that began after now says the repository holds all of the computer's copy.
    bool WaitSentFromNow(const std::string& folder, std::chrono::seconds limit) {
        const long long now = std::time(nullptr);
        return WaitFor(
            [&] {
                return Sent(folder, "State") == "current" &&
                       StampSeconds(Sent(folder, "Checked")) > now + logSeconds_;
            },
            limit);
    }
    std::string Tail(const std::string& folder) {
        return "\n" + ReadFile(folder + "Log/ZentaMarketMonitor.log");
    }
    S3Config HeadOffice() const {
        S3Config c;
        c.endpoint = s3_.endpoint();
        c.bucket = "shops";
        c.accessKey = s3_.key("headoffice").access;
        c.secretKey = s3_.key("headoffice").secret;
        return c;
    }

    S3Server s3_{DbPort() + 44};
    std::string prefix_ = "branch-7";
    long logSeconds_ = 2;
};

// The primary sends and the standby does not; the primary's computer loses its power under
// selling tills (its server and its monitor killed at once) and the standby is promoted: the
// new primary's monitor sends its first backup and its log under the same branch. Every sale
// acknowledged before the last LogSeconds + 5 s ahead of the cut, and every sale on the new
// primary, is in the repository's log; every file there joins byte for byte. Then both
// computers burn: on a fresh server the latest comes back from the new primary's chain (every
// acknowledged sale), and a second before the cut from the old primary's.
TEST_F(OffsitePairDrill, APromotedStandbyGoesOnSendingUnderTheSameBranchAndBothCanBurn) {
    monitorA_ = StartMonitor(AppPath());
    monitorB_ = StartMonitor(folderB_.path());
    MakePair(true);
    ASSERT_TRUE(WaitFor([&] { return !Sent(AppPath(), "LastArchive").empty(); }, 120s))
        << "the opened primary sent no archive" << Tail(AppPath());
    const std::string firstArchive = Sent(AppPath(), "LastArchive");
    ASSERT_TRUE(tills_->WaitForSales(300));
    EXPECT_TRUE(WaitFor(
        [&] {
            return StampSeconds(Sent(AppPath(), "Reach")) >=
                   static_cast<long long>(WallNow()) - logSeconds_ - 4;
        },
        30s))
        << "the primary's log does not reach the repository: " << Sent(AppPath(), "Reach")
        << Tail(AppPath());
    // Only the open primary sends: every chain the repository's log holds is one of its copy.
    {
        S3Client client(HeadOffice());
        const auto listed = client.List(prefix_ + "/log/");
        ASSERT_TRUE(listed) << listed.error();
        std::set<std::string> ours;
        for (const auto& chain : BinlogChain::All(AppPath() + "Binlog/"))
            ours.insert(chain.name());
        for (const auto& o : *listed) {
            const auto s = repository::ParseSegmentKey(prefix_, o.key);
            EXPECT_TRUE(!s || ours.count(s->chain)) << o.key << " is not of the primary's copy";
        }
        EXPECT_FALSE(listed->empty());
    }

    // The primary's computer loses its power mid-sale.
    const double cutAt = WallNow();
    PowerCut(a_, *toA_);
    monitorA_->Signal(SIGKILL);
    monitorA_->WaitExit(30s);
    monitorA_.reset();
    const Result promote = RunIn(folderB_.path(), {"standby", "promote"});
    ASSERT_EQ(promote.status, 0) << promote.out << promote.err;
    const double promotedAt = WallNow();
    tills_->Redirect("127.0.0.2", portB_);
    ASSERT_TRUE(tills_->WaitForSales(300)) << "the tills do not sell on the new primary";
    tills_->Stop();

    ASSERT_TRUE(WaitFor(
        [&] {
            const std::string sent = Sent(folderB_.path(), "LastArchive");
            return !sent.empty() && sent != firstArchive;
        },
        120s))
        << "the new primary's first backup did not go off-site" << Tail(folderB_.path());
    ASSERT_TRUE(WaitSentFromNow(folderB_.path(), 120s))
        << Sent(folderB_.path(), "State") << " " << Sent(folderB_.path(), "Why")
        << Tail(folderB_.path());

    S3Client client(HeadOffice());
    // The new primary's chain is in the repository with its opening and an archive in it.
    const auto chains = BinlogChain::All(folderB_.path() + "Binlog/");
    ASSERT_FALSE(chains.empty());
    const std::string newest = chains.back().name();
    EXPECT_TRUE(client.Get(repository::ChainKey(prefix_, newest)).Ok()) << newest;
    const auto archives = client.List(prefix_ + "/archives/");
    ASSERT_TRUE(archives) << archives.error();
    bool archiveInIt = false;
    for (const auto& o : *archives)
        if (o.key.size() > 9 && o.key.compare(o.key.size() - 9, 9, ".manifest") == 0)
            if (const auto m = repository::ParseManifest(client.Get(o.key).body))
                archiveInIt = archiveInIt || m->snapshot.chain == newest;
    EXPECT_TRUE(archiveInIt) << "no archive of " << newest << " in the repository";

    const auto there = ReadRepository(client, prefix_);
    for (const auto& [name, file] : there)
        EXPECT_TRUE(file.joined) << name << ": " << file.why;
    const std::set<long> tickets = TicketsIn(there);
    long early = 0, late = 0, between = 0, acknowledged = 0;
    for (const auto& s : tills_->Sales()) {
        if (s.acknowledged <= 0)
            continue;
        ++acknowledged;
        if (tickets.count(s.number))
            continue;
        if (s.acknowledged < cutAt - logSeconds_ - 5)
            ++early;
        else if (s.acknowledged > promotedAt)
            ++late;
        else
            ++between;
    }
    EXPECT_EQ(early, 0) << "acknowledged sales missing from before the cut, of " << acknowledged;
    EXPECT_EQ(late, 0) << "acknowledged sales on the new primary missing";
    std::cout << "the repository lacks " << between << " of " << acknowledged
              << " acknowledged sales, all within " << logSeconds_ + 5 << " s before the cut\n";

    // Both computers burn: every process killed, every folder of the program gone; a new
    // computer, one server, the settings and keys put back.
    namespace fs = std::filesystem;
    monitorB_->Signal(SIGKILL);
    monitorB_->WaitExit(30s);
    monitorB_.reset();
    Shell(b_.KillCommand());
    for (const std::string& folder : {AppPath(), folderB_.path()})
        for (const char* part : {"Backup", "Binlog", "Log", "Temp"})
            fs::remove_all(folder + part);
    ASSERT_TRUE(a_.StartFresh(PairServer(1)));
    WriteFile(AppPath() + "zentamarket.ini",
              "[MySQL]\r\nMySQLHost=127.0.0.1\r\nMySQLPort=" + std::to_string(portA_) +
                  "\r\n[Monitor]\r\nArchivePasswordFile=archive-password\r\n[Offsite]\r\n"
                  "Endpoint=" +
                  s3_.endpoint() + "\r\nBucket=shops\r\nPrefix=" + prefix_ +
                  "\r\nCredentialsFile=offsite-credentials\r\n");
    const Result latest =
        RunIn(AppPath(), {"restore", "--from-offsite", "--until", "latest", "--into-live"});
    ASSERT_EQ(latest.status, 0) << latest.out << latest.err;
    EXPECT_NE(latest.out.find(newest), std::string::npos)
        << "the latest was not restored in the new primary's chain " << newest << ": "
        << latest.out;
    EXPECT_EQ(JudgeRestore(tills_->Sales(),
                           ReadRestored(a_.dir() + "/mysqld.sock", "zentasupermarket"),
                           std::nullopt, WallNow()),
              "");
    const std::time_t before = static_cast<std::time_t>(cutAt) - 10;
    const Result older = RunIn(AppPath(), {"restore", "--from-offsite", "--until",
                                           InstantText(before), "--database", "pair_before"});
    ASSERT_EQ(older.status, 0) << older.out << older.err;
    EXPECT_EQ(older.out.find(newest), std::string::npos)
        << "a second before the cut was restored in the new primary's chain: " << older.out;
    EXPECT_EQ(JudgeRestore(tills_->Sales(), ReadRestored(a_.dir() + "/mysqld.sock", "pair_before"),
                           before),
              "");
}
