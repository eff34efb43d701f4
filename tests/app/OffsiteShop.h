#pragma once

// A shop with the off-site copy on, for the off-site drills and benchmark: its own durable
// server, the real monitor in a program folder of its own, a real S3 server (moto, with IAM keys
// and Object Lock) reached through a relay that stands for the shop's internet line; and the
// repository read back the way a restore reads it (the oldest version of each name).
#include "ArchiveNames.h"
#include "BinlogChain.h"
#include "DelayRelay.h"
#include "DrillShop.h"
#include "FolderListing.h"
#include "JobOutcomes.h"
#include "LocalTime.h"
#include "OffsiteRecord.h"
#include "OneShot.h"
#include "OwnServer.h"
#include "Repository.h"
#include "RepositoryReading.h"
#include "S3Client.h"
#include "S3Server.h"
#include "SevenZip.h"
#include "Tills.h"

#include <csignal>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

namespace zenta::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline const std::string kDurable = "LOCAL_MARIADB_OPTIONS='--sync-binlog=1 "
                                    "--innodb-flush-log-at-trx-commit=1'";

// Where the server's log stands, and when that was asked.
struct Point {
    double at = 0;
    std::string file;
    long long position = 0;
};

class OffsiteShop : public OneShotTest {
  protected:
    void SetUp() override {
        OneShotTest::SetUp();
        if (!s3_.Start())
            GTEST_FAIL() << s3_.why();
        line_ = std::make_unique<DelayRelay>(linePort_, "127.0.0.1", s3_.port(), 0ms);
        ASSERT_TRUE(shop_.StartFresh(kDurable));
        ASSERT_TRUE(shop_.Load(kShop));
        Key("shop");
        WriteFile(AppPath() + "archive-password", kPassword + "\n");
        fs::permissions(AppPath() + "archive-password",
                        fs::perms::owner_read | fs::perms::owner_write);
        Configure("");
    }
    void TearDown() override {
        if (monitor_) {
            monitor_->Signal(SIGTERM);
            monitor_->WaitExit(30s);
        }
        monitor_.reset();
        line_.reset();
        OneShotTest::TearDown();
    }
    // The credentials file with a user's key.
    void Key(const std::string& user) {
        const std::string file = AppPath() + "offsite-credentials";
        WriteFile(file, "AccessKey=" + s3_.key(user).access +
                            "\nSecretKey=" + s3_.key(user).secret + "\n");
        fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
    }
    void Configure(const std::string& more, const std::string& bucket = "shops") {
        WriteFile(AppPath() + "zentamarket.ini",
                  "[MySQL]\r\nMySQLHost=127.0.0.1\r\nMySQLPort=" + std::to_string(port_) +
                      "\r\n[Monitor]\r\nBinlogFolder=" + copy_.path() +
                      "\r\nMetricsFolder=" + metrics_.path() +
                      "\r\nArchivePasswordFile=archive-password\r\n[Offsite]\r\nEndpoint=http://"
                      "127.0.0.1:" +
                      std::to_string(linePort_) + "\r\nBucket=" + bucket + "\r\nPrefix=" + prefix_ +
                      "\r\nCredentialsFile=offsite-credentials\r\nLogSeconds=" +
                      std::to_string(logSeconds_) + "\r\n" + more);
    }
    void StartMonitor() {
        monitor_ = std::make_unique<Program>(AppPath(),
                                             std::vector<std::string>{"QT_QPA_PLATFORM=offscreen"});
    }
    S3Config Storage(const std::string& user) const {
        S3Config c;
        c.endpoint = s3_.endpoint();
        c.bucket = "shops";
        c.accessKey = s3_.key(user).access;
        c.secretKey = s3_.key(user).secret;
        return c;
    }
    OffsiteOutcome Record() const { return OffsiteOutcome::Read(); }
    Point ServerPosition() {
        Point p;
        p.at = WallNow();
        std::istringstream in(Output("SHOW MASTER STATUS;"));
        in >> p.file >> p.position;
        return p;
    }
    std::string Output(const std::string& sql) {
        TempDir dir;
        Shell("mariadb --no-defaults -uroot -N --socket='" + shop_.dir() + "/mysqld.sock' -e \"" +
              sql + "\" > '" + dir.path() + "out' 2>&1");
        return ReadFile(dir.path() + "out");
    }
    // Until the local copy holds the server's log as far as it stands now.
    bool WaitCopied(std::chrono::seconds limit) {
        const Point server = ServerPosition();
        return !server.file.empty() &&
               WaitFor(
                   [&] {
                       const auto chains = BinlogChain::All(copy_.path());
                       if (chains.empty())
                           return false;
                       for (const auto& f : chains.back().Files())
                           if (f.name == server.file && f.size >= server.position)
                               return true;
                       return false;
                   },
                   limit);
    }
    // Until a round of the log's sender that began after now says the repository is current.
    bool WaitCurrentFromNow(std::chrono::seconds limit) {
        const long long now = std::time(nullptr);
        return WaitFor(
            [&] {
                const OffsiteOutcome o = Record();
                return o.state == RepositoryState::Current && StampSeconds(o.logRound) > now;
            },
            limit);
    }
    // The tills stopped: until the local copy holds all they sold and a round of the sender
    // that began after that says the repository is current (a "current" from a round under
    // way before it proves nothing of the last sales).
    bool WaitAllSent(std::chrono::seconds limit) {
        return WaitCopied(60s) && WaitCurrentFromNow(limit);
    }
    bool WaitCurrent(std::chrono::seconds limit) {
        return WaitFor(
            [&] {
                const OffsiteOutcome o = Record();
                return o.state == RepositoryState::Current && o.Fresh(std::time(nullptr));
            },
            limit);
    }
    std::string Tail() { return "\n" + Log(); }

    // Every copied file as the repository holds it (see ReadRepository).
    std::map<std::string, RepositoryFile> FromRepository(const std::string& user = "shop") {
        S3Client client(Storage(user));
        return ReadRepository(client, prefix_);
    }
    // Every file of the local copy against the repository's: the repository holds a start of
    // each, byte for byte (all of it once the copy is current); what differs, "" when nothing.
    std::string AgainstTheLocalCopy(const std::map<std::string, RepositoryFile>& there,
                                    bool whole) {
        std::string wrong;
        int compared = 0;
        for (const auto& chain : BinlogChain::All(copy_.path()))
            for (const auto& file : chain.Files()) {
                ++compared;
                const auto it = there.find(chain.name() + "/" + file.name);
                const std::string local = ReadFile(file.path);
                if (it == there.end()) {
                    wrong += file.name + " is not in the repository\n";
                    continue;
                }
                if (!it->second.joined)
                    wrong += file.name + "'s segments do not join: " + it->second.why + "\n";
                if (local.compare(0, it->second.bytes.size(), it->second.bytes) != 0)
                    wrong += file.name + " differs from the local copy\n";
                else if (whole && it->second.bytes.size() < local.size() && file.whole)
                    wrong += file.name + ": " + std::to_string(it->second.bytes.size()) + " of " +
                             std::to_string(local.size()) + " bytes\n";
            }
        if (compared == 0)
            wrong += "the local copy holds no file";
        return wrong;
    }
    std::set<long> TicketsThere(const std::map<std::string, RepositoryFile>& there) {
        return TicketsIn(there);
    }

    int port_ = DbPort() + 30, linePort_ = DbPort() + 42;
    OwnServer shop_{"offsite-shop", DbPort() + 30};
    S3Server s3_{DbPort() + 41};
    std::unique_ptr<DelayRelay> line_;
    long logSeconds_ = 2;
    std::string prefix_ = "branch-7"; // the branch's part of the bucket
    TempDir copy_{"offsite-copy"}, metrics_{"offsite-metrics"};
    std::unique_ptr<Program> monitor_;
};

} // namespace zenta::test
