// The pair's rules on what the servers say, without servers: positions and lag, the accounts'
// grants, the settings a pair needs, each server's role and when it may be opened, what the tray
// warns of, and the command line of `standby`.
#include "Pair.h"
#include "PairState.h"
#include "Parse.h"
#include "StandbyActions.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace zenta;

namespace {

ServerView Server(long id, bool readOnly, std::optional<long> recordedPrimary,
                  const std::string& promotedAt = "") {
    ServerView v;
    v.address = "server" + std::to_string(id);
    v.reached = true;
    v.side.serverId = id;
    v.side.readOnly = readOnly;
    if (recordedPrimary) {
        PairRecord r;
        r.primaryServerId = *recordedPrimary;
        r.promotedAt = promotedAt;
        v.record = r;
    }
    return v;
}

ServerView Away() {
    ServerView v;
    v.address = "server2";
    v.why = "cannot be reached: refused";
    return v;
}

Result<cli::Options> ParseLine(std::vector<std::string> words) {
    words.insert(words.begin(), "ZentaMarketMonitor");
    std::vector<char*> argv;
    for (auto& w : words)
        argv.push_back(w.data());
    return cli::Parse(static_cast<int>(argv.size()), argv.data());
}

} // namespace

TEST(StandbyRules, PositionsAndTheTransactionsAStandbyLacks) {
    const auto p = ParseGtidPosition("0-1-105,1-2-7");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->at(0), 105u);
    EXPECT_EQ(p->at(1), 7u);
    // Two servers in one domain (a promotion): the domain's last number counts.
    EXPECT_EQ(ParseGtidPosition("0-1-5,\n0-2-9")->at(0), 9u);
    EXPECT_TRUE(ParseGtidPosition("")->empty());
    EXPECT_FALSE(ParseGtidPosition("0-1"));
    EXPECT_FALSE(ParseGtidPosition("binlog.000001"));
    // A domain the standby lacks counts whole; a domain where it is ahead counts nothing.
    EXPECT_EQ(
        TransactionsBehind(*ParseGtidPosition("0-1-105,1-2-7"), *ParseGtidPosition("0-1-100")),
        12u);
    EXPECT_EQ(TransactionsBehind(*ParseGtidPosition("0-1-100"), *ParseGtidPosition("0-1-105")), 0u);
}

TEST(StandbyRules, GrantsThatLetAnAccountWriteOnAReadOnlyServer) {
    AccountPrivileges all;
    AddGrantLine("GRANT ALL PRIVILEGES ON *.* TO `zentasupermarket`@`%` IDENTIFIED BY PASSWORD "
                 "'*B2A6'",
                 all);
    EXPECT_TRUE(all.all && all.readOnlyAdmin && all.super);
    AccountPrivileges some;
    AddGrantLine("GRANT SELECT, INSERT, READ ONLY ADMIN ON *.* TO `x`@`%`", some);
    EXPECT_TRUE(some.readOnlyAdmin);
    EXPECT_FALSE(some.super || some.replication || some.all);
    AccountPrivileges replication;
    AddGrantLine("GRANT REPLICATION SLAVE ADMIN ON *.* TO `x`@`%`", replication);
    EXPECT_FALSE(replication.replication) << "REPLICATION SLAVE ADMIN is not REPLICATION SLAVE";
    AddGrantLine("grant replication slave, super on *.* to `x`@`%`", replication);
    EXPECT_TRUE(replication.replication && replication.super);
    // Database-level grants give nothing on the server.
    AccountPrivileges database;
    AddGrantLine("GRANT ALL PRIVILEGES ON `zentasupermarket`.* TO `x`@`%`", database);
    EXPECT_FALSE(database.all || database.readOnlyAdmin);
}

TEST(StandbyRules, EachSettingAPairNeedsIsNamedWithItsFix) {
    PairServerSettings good;
    good.serverId = 1;
    good.logBin = true;
    good.binlogFormat = "ROW";
    good.logSlaveUpdates = good.gtidStrictMode = true;
    good.syncBinlog = good.flushAtCommit = 1;
    good.semiSyncMaster = good.semiSyncSlave = true;
    good.waitPoint = "AFTER_SYNC";
    good.semiSyncTimeoutMs = 1000;
    good.waitNoSlave = false;
    good.relayLog = "shop-relay-bin";
    EXPECT_TRUE(good.Problems().empty());
    PairServerSettings bad = good;
    bad.waitNoSlave = true;
    bad.waitPoint = "AFTER_COMMIT";
    bad.semiSyncTimeoutMs = 10000;
    bad.relayLog.clear();
    const auto problems = bad.Problems();
    ASSERT_EQ(problems.size(), 4u);
    EXPECT_NE(problems[0].find("rpl_semi_sync_master_wait_point = AFTER_SYNC"), std::string::npos);
    EXPECT_NE(problems[1].find("rpl_semi_sync_master_timeout = 1000"), std::string::npos);
    EXPECT_NE(problems[2].find("rpl_semi_sync_master_wait_no_slave = OFF"), std::string::npos);
    EXPECT_NE(problems[3].find("relay_log = "), std::string::npos);
}

// Debian's own settings make a server listen on 127.0.0.1 only: the other computer cannot reach
// it. Said when the other computer is elsewhere, not when both servers share this computer; a
// server bound to its own address refuses the tills' floating address.
TEST(StandbyRules, AServerTheOtherComputerCannotReachIsNamed) {
    PairServerSettings s;
    s.bindAddress = "127.0.0.1";
    ASSERT_EQ(s.ListenProblems("192.168.1.11", "").size(), 1u);
    EXPECT_NE(s.ListenProblems("192.168.1.11", "")[0].find("bind_address = 0.0.0.0"),
              std::string::npos);
    EXPECT_TRUE(s.ListenProblems("127.0.0.2", "").empty());
    s.bindAddress = "127.0.0.1, ::1";
    EXPECT_EQ(s.ListenProblems("shop-b", "").size(), 1u);
    for (const char* every : {"0.0.0.0", "*", "::", "", "127.0.0.1,0.0.0.0"}) {
        s.bindAddress = every;
        EXPECT_TRUE(s.ListenProblems("192.168.1.11", "192.168.1.20").empty()) << every;
    }
    s.bindAddress = "192.168.1.10";
    EXPECT_TRUE(s.ListenProblems("192.168.1.11", "").empty());
    ASSERT_EQ(s.ListenProblems("192.168.1.11", "192.168.1.20").size(), 1u);
    EXPECT_NE(s.ListenProblems("192.168.1.11", "192.168.1.20")[0].find("floating address"),
              std::string::npos);
    s.bindAddress = "192.168.1.10,192.168.1.20";
    EXPECT_TRUE(s.ListenProblems("192.168.1.11", "192.168.1.20").empty());
    s.bindAddress = "0.0.0.0";
    s.skipNetworking = true;
    EXPECT_EQ(s.ListenProblems("127.0.0.2", "").size(), 1u);
}

TEST(StandbyRules, ARecordedPrimaryOpensOnlyWhenItSeesTheOtherAgree) {
    PairView v;
    v.self = Server(1, true, 1);
    v.partner = Server(2, true, 1);
    EXPECT_EQ(v.Role(), PairRole::Fenced);
    EXPECT_TRUE(MayOpen(v));
    // The other cannot be seen: never opened for that (it might have been promoted).
    v.partner = Away();
    EXPECT_EQ(v.Role(), PairRole::Fenced);
    EXPECT_FALSE(MayOpen(v));
    EXPECT_NE(v.FencedWhy().find("might have been promoted"), std::string::npos);
    // The other is open, or names another primary, or has no record.
    v.partner = Server(2, false, 1);
    EXPECT_FALSE(MayOpen(v));
    v.partner = Server(2, true, 3);
    EXPECT_FALSE(MayOpen(v));
    v.partner = Server(2, true, std::nullopt);
    EXPECT_FALSE(MayOpen(v));
    // Promoted since on the other computer: this is the old primary, whatever its own record.
    v.self = Server(1, true, 1, "2026-12-01 08:00:00");
    v.partner = Server(2, false, 2, "2026-12-07 10:00:00");
    EXPECT_EQ(v.Role(), PairRole::OldPrimary);
    EXPECT_TRUE(v.PartnerPromotedSince());
    EXPECT_FALSE(MayOpen(v));
    EXPECT_EQ(v.Primary(), &v.partner);
    // An older claim of the other does not make this one old.
    v.self = Server(1, false, 1, "2026-12-07 10:00:00");
    v.partner = Server(2, true, 2, "2026-12-01 08:00:00");
    EXPECT_EQ(v.Role(), PairRole::Primary);
    v.self = Server(1, true, 2);
    EXPECT_EQ(v.Role(), PairRole::Standby);
    v.self = Server(1, true, std::nullopt);
    EXPECT_EQ(v.Role(), PairRole::NotPaired);
}

TEST(StandbyRules, ProtectedOnlyWithAStandbyAcknowledging) {
    PairView v;
    v.self = Server(1, false, 1);
    v.partner = Server(2, true, 1);
    v.self.side.semiSyncMasterOn = true;
    v.self.side.semiSyncClients = 0; // on, but nobody acknowledges: not waiting for anyone
    EXPECT_FALSE(v.SemiSyncOn());
    v.self.side.semiSyncClients = 1;
    EXPECT_TRUE(v.SemiSyncOn());
    v.self.side.binlogPos = "0-1-120";
    v.partner.side.currentPos = "0-1-100";
    EXPECT_EQ(v.TransactionsBehind(), 20u);
    EXPECT_NE(v.StandbyProblem().find("does not replicate"), std::string::npos);
    v.partner.side.replica.configured = true;
    v.partner.side.replica.ioRunning = true;
    v.partner.side.replica.sqlErrno = 1062;
    v.partner.side.replica.sqlError = "Duplicate entry";
    EXPECT_NE(v.StandbyProblem().find("1062"), std::string::npos);
    v.partner.side.replica.sqlErrno = 0;
    v.partner.side.replica.sqlRunning = true;
    EXPECT_EQ(v.StandbyProblem(), "");
}

TEST(StandbyRules, TheTrayWarnsOfAnUnprotectedOrFencedPair) {
    PairState s;
    EXPECT_EQ(s.Warning(60), "") << "no pair, no warning";
    s.role = PairRole::Primary;
    s.semiSyncOn = true;
    s.behind = 3;
    s.behindSeconds = 2;
    EXPECT_EQ(s.Warning(60), "");
    s.behindSeconds = 61;
    EXPECT_NE(s.Warning(60).find("61"), std::string::npos);
    s.behindSeconds = 0;
    s.semiSyncOn = false;
    EXPECT_NE(s.Warning(60).find("半同步"), std::string::npos);
    s.standbyProblem = "the standby cannot be reached";
    EXPECT_NE(s.Warning(60).find("the standby cannot be reached"), std::string::npos);
    s = PairState{};
    s.role = PairRole::Fenced;
    s.fencedWhy = "the other server cannot be reached";
    EXPECT_NE(s.Warning(60).find("只读"), std::string::npos);
    s.role = PairRole::OldPrimary;
    EXPECT_NE(s.Warning(60), "");
}

TEST(StandbyRules, TheCommandLineOfStandby) {
    const auto promote = ParseLine({"standby", "promote", "--wait", "30", "--force"});
    ASSERT_TRUE(promote) << promote.error();
    EXPECT_EQ(promote->action, "promote");
    EXPECT_TRUE(promote->force);
    EXPECT_EQ(promote->waitSeconds, 30);
    EXPECT_TRUE(promote->archive.empty()) << "the action is no archive";
    EXPECT_FALSE(ParseLine({"standby"}));
    EXPECT_FALSE(ParseLine({"standby", "switch"}));
    const auto switchover = ParseLine({"standby", "switchover", "--wait", "5"});
    ASSERT_TRUE(switchover) << switchover.error();
    EXPECT_EQ(switchover->action, "switchover");
    EXPECT_FALSE(ParseLine({"backup", "--replace"}));
    EXPECT_FALSE(ParseLine({"standby", "seed", "extra"}));
    const auto seed = ParseLine({"standby", "seed", "--replace"});
    ASSERT_TRUE(seed) << seed.error();
    EXPECT_TRUE(seed->replace);
}

// The keepalived settings the README gives for both computers are ones keepalived takes: read by
// keepalived's own configuration test (it names every line it does not take).
TEST(StandbyRules, TheReadmesKeepalivedSettingsAreKeepalivedsOwn) {
    const std::string readme = test::ReadFile(test::SourceDir() + "/README.md");
    const size_t at = readme.find("# /etc/keepalived/keepalived.conf");
    ASSERT_NE(at, std::string::npos);
    const std::string settings = readme.substr(at, readme.find("```", at) - at);
    EXPECT_NE(settings.find("ZentaMarketMonitor standby check"), std::string::npos);
    test::TempDir dir("keepalived");
    test::WriteFile(dir.path() + "keepalived.conf", settings);
    ASSERT_EQ(test::Shell("command -v keepalived >/dev/null"), 0)
        << "keepalived is not installed (scripts/setup installs it)";
    // The test ends by a signal of its own: its words are the answer.
    test::Shell("keepalived --config-test -l -D -f '" + dir.path() + "keepalived.conf' > '" +
                dir.path() + "said.txt' 2>&1");
    const std::string said = test::ReadFile(dir.path() + "said.txt");
    EXPECT_EQ(said.find("Line"), std::string::npos) << said;
    // And it does tell: a misspelt keyword is named.
    test::WriteFile(dir.path() + "wrong.conf", settings.substr(0, settings.find("interval")) +
                                                   "intervall" +
                                                   settings.substr(settings.find("interval") + 8));
    test::Shell("keepalived --config-test -l -D -f '" + dir.path() + "wrong.conf' > '" +
                dir.path() + "said.txt' 2>&1");
    EXPECT_NE(test::ReadFile(dir.path() + "said.txt").find("Unknown keyword"), std::string::npos);
}
