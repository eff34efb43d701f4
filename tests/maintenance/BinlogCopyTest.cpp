// The continuous copy of the server's binary log against a MariaDB of the test's own that is
// restarted, killed and reset while sales go on, and a stream that is killed.
#include "BinlogCopy.h"
#include "DbFixture.h"
#include "GlobalDatabase.h"
#include "OwnServer.h"
#include "Settings.h"

#include <filesystem>
#include <map>
#include <thread>

using namespace zenta;
using namespace zenta::test;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

class BinlogCopy : public DbTest {
  protected:
    void SetUp() override {
        DbTest::SetUp();
        ASSERT_TRUE(server_.Start());
        ASSERT_TRUE(server_.Load("SELECT 1;"));
        server_.Use(AppPath());
        SetSetting("Monitor", "BinlogFolder", copy_.path());
        Connect();
    }
    void TearDown() override {
        copier_.Stop();
        ReleaseDataBase();
        DbTest::TearDown();
    }
    void Connect() {
        ReleaseDataBase();
        ConnectDataBase();
        ASSERT_TRUE(DataBase().ConnectionStatus());
        ASSERT_TRUE(ServerIsLocal);
    }
    std::string Client(const std::string& sql) { return Sql(sql); }
    void Sell(int from, int count) {
        Shell("mariadb --no-defaults -uroot --socket='" + server_.dir() +
              "/mysqld.sock' zentasupermarket -e \"INSERT INTO ticket (TicketNo, Fecha, Nota) "
              "SELECT " +
              std::to_string(from) + " + seq, NOW(), REPEAT('n', 100) FROM seq_1_to_" +
              std::to_string(count) + ";\"");
    }
    std::string ServerSql(const std::string& sql) {
        const std::string out = copy_.path() + "out.txt";
        Shell("mariadb --no-defaults -uroot -N --socket='" + server_.dir() + "/mysqld.sock' -e \"" +
              sql + "\" > '" + out + "'");
        return ReadFile(out);
    }
    // Ticks until the copy holds every byte the server's newest file holds.
    bool CaughtUp() {
        return WaitFor(
            [&] {
                copier_.Tick();
                const std::string status = ServerSql("SHOW MASTER STATUS;");
                const std::string file = status.substr(0, status.find('\t'));
                const long long position = std::atoll(status.c_str() + status.find('\t') + 1);
                const std::string chain = CurrentChain(copy_.path());
                for (const auto& f : ChainFiles(chain))
                    if (f.name == file)
                        return f.size >= position;
                return false;
            },
            30s);
    }
    // Every file of the chain is the server's, byte for byte: a file the server closed by
    // stopping lacks only its last event, which the stream never gets, and the server sends
    // the first event's "in use" flag cleared (byte 21) where its own file may still have it.
    void ChainMatchesServer(const std::string& chain) {
        const auto files = ChainFiles(chain);
        ASSERT_FALSE(files.empty());
        for (const auto& f : files) {
            std::string mine = ReadFile(f.path);
            std::string theirs = ReadFile(server_.dir() + "/data/" + f.name);
            ASSERT_GT(theirs.size(), 22u) << f.name;
            ASSERT_GT(mine.size(), 22u) << f.name;
            mine[21] = theirs[21] = 0;
            EXPECT_LE(mine.size(), theirs.size()) << f.name;
            EXPECT_LT(theirs.size() - mine.size(), 100u) << f.name;
            size_t at = 0;
            while (at < mine.size() && at < theirs.size() && mine[at] == theirs[at])
                ++at;
            EXPECT_EQ(at, mine.size()) << f.name << " differs at byte " << at;
        }
    }
    template <class F> static bool WaitFor(F condition, std::chrono::seconds limit) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < until) {
            if (condition())
                return true;
            std::this_thread::sleep_for(200ms);
        }
        return condition();
    }

    OwnServer server_{"mariadb-binlog-copy", DbPort() + 5};
    TempDir copy_{"binlog"};
    BinlogCopier copier_;
};

TEST_F(BinlogCopy, TheCopySurvivesAKilledStreamARestartedAndAKilledServer) {
    Sell(0, 200);
    copier_.Tick();
    ASSERT_TRUE(copier_.streaming()) << ReadFile(AppPath() + "Log/ZentaMarketMonitor.log")
                                     << ReadFile(AppPath() + "Log/binlog-copy.log");
    ASSERT_TRUE(CaughtUp());
    const std::string chain = CurrentChain(copy_.path());
    // No password on any command line (the process list is world-readable).
    bool seen = false;
    for (const auto& e : fs::directory_iterator("/proc")) {
        std::string line = ReadFile(e.path().string() + "/cmdline");
        if (line.rfind("mariadb-binlog", 0) != 0)
            continue;
        seen = true;
        EXPECT_EQ(line.find(kBackOfficePassword), std::string::npos);
    }
    EXPECT_TRUE(seen);

    // The stream killed: started again where the copy ends.
    Shell("pkill -9 -f 'result-file=" + chain + "'");
    Sell(1000, 200);
    ServerSql("FLUSH BINARY LOGS;");
    Sell(2000, 200);
    ASSERT_TRUE(CaughtUp());

    // The server restarted, then killed.
    ASSERT_TRUE(server_.Start());
    Connect();
    Sell(3000, 200);
    ASSERT_TRUE(CaughtUp());
    Shell(server_.KillCommand());
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(server_.Start());
    Connect();
    Sell(4000, 200);
    ASSERT_TRUE(CaughtUp());
    EXPECT_EQ(CurrentChain(copy_.path()), chain);
    ChainMatchesServer(chain);
    EXPECT_GE(ChainFiles(chain).size(), 4u);
}

TEST_F(BinlogCopy, AServerThatBeginsItsNumberingAgainStartsANewChainBesideTheOld) {
    Sell(0, 100);
    ServerSql("FLUSH BINARY LOGS;");
    Sell(100, 100);
    copier_.Tick();
    ASSERT_TRUE(CaughtUp());
    const std::string old = CurrentChain(copy_.path());
    copier_.Stop();
    copier_.Tick();                            // the finished files into the chain
    std::map<std::string, std::string> before; // name -> bytes
    for (const auto& f : ChainFiles(old))
        before[f.name] = ReadFile(f.path);
    ServerSql("RESET MASTER;");
    Sell(500, 50);
    ASSERT_TRUE(WaitFor(
        [&] {
            copier_.Tick();
            return CurrentChain(copy_.path()) != old;
        },
        30s));
    ASSERT_TRUE(CaughtUp());
    const std::string fresh = CurrentChain(copy_.path());
    std::map<std::string, std::string> after;
    for (const auto& f : ChainFiles(old))
        after[f.name] = ReadFile(f.path);
    EXPECT_TRUE(after == before) << "the old chain changed";
    ChainMatchesServer(fresh);
}
