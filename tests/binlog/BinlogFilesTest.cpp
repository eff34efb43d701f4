// The copied binary log read from canned files, without a server: the event reader (whole
// events, checksums, a file cut short or with a hole), the chain's rules (which copy of a file
// counts, which chain an archive's snapshot lies in, where a window ends) and the rotation's
// pruning, which must never take a chain's records or a chain an archive still needs.
// tests/data/binlog/a/ is three files of one server; b/ two files of another server set up
// alike (same server_id, both begin with binlog.000001).
#include "BinlogChain.h"
#include "BinlogEvents.h"
#include "BinlogRetention.h"
#include "Common.h"
#include "Globals.h"
#include "ReplayFilter.h"
#include "TestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace zenta;
using namespace zenta::test;
namespace fs = std::filesystem;

namespace {

std::string Canned(const std::string& server, int n) {
    return SourceDir() + "/tests/data/binlog/" + server + "/binlog.00000" + std::to_string(n);
}

// A copy's folder laid out as the copy leaves it, in a program folder of its own.
class CopyFolder : public ::testing::Test {
  protected:
    void SetUp() override {
        Globals::AppPath = app_.path();
        fs::create_directories(app_.path() + "Log");
        fs::create_directories(backups_);
        WriteFile(app_.path() + "zentamarket.ini",
                  "[Monitor]\r\nBinlogFolder=" + copy_.path() + "\r\n");
    }
    void TearDown() override { Globals::AppPath.clear(); }
    // Puts canned file `n` of `server` into `chain` (its root: whole; or a subfolder).
    std::string Put(const std::string& chain, const std::string& server, int n,
                    const std::string& where = "") {
        const std::string folder = copy_.path() + chain + "/" + where;
        fs::create_directories(folder);
        const std::string to = folder + "binlog.00000" + std::to_string(n);
        fs::copy_file(Canned(server, n), to, fs::copy_options::overwrite_existing);
        return to;
    }
    BinlogChain Chain(const std::string& name) { return BinlogChain(copy_.path(), name); }
    // An archive made at `stamp` whose snapshot lies in canned file `n` of `server`.
    void Archive(const std::string& stamp, const std::string& server, int n, bool withOpening) {
        const std::string name = "ZentaMarket" + stamp + ".ZTB";
        MakeSmallArchive(backups_ + name);
        SnapshotRecord s;
        s.archive = name;
        s.file = "binlog.00000" + std::to_string(n);
        s.position = 256; // just after the opening event
        if (withOpening)
            s.fileOpening = ReadBinlogFile(Canned(server, n)).opening->key;
        ASSERT_TRUE(RecordSnapshot(copy_.path(), s));
    }
    TempDir app_{"app"}, copy_{"copy"};
    std::string backups_ = app_.path() + "Backup/";
};

} // namespace

TEST(BinlogEvents, AFilesFactsSayWhereItsTransactionsEndAndWhatTheNextFileBeginsAfter) {
    const auto a1 = ReadBinlogFile(Canned("a", 1));
    const auto a2 = ReadBinlogFile(Canned("a", 2));
    const auto a3 = ReadBinlogFile(Canned("a", 3)); // still being written: "in use"
    for (const auto* f : {&a1, &a2, &a3}) {
        EXPECT_TRUE(f->binaryLog);
        EXPECT_EQ(f->stop, BinlogReader::Stop::End) << f->problem;
        EXPECT_EQ(f->wholeEnd, f->size);
        ASSERT_TRUE(f->opening);
        EXPECT_EQ(f->opening->serverId, 1u);
    }
    EXPECT_TRUE(a1.closed);
    EXPECT_TRUE(a2.closed);
    EXPECT_FALSE(a3.closed);
    EXPECT_TRUE(a1.ContinuedBy(a2));
    EXPECT_TRUE(a2.ContinuedBy(a3));
    EXPECT_FALSE(a1.ContinuedBy(a3)); // a2's transactions are not in a1
    EXPECT_EQ(GtidStateText(a2.begins), "0-1-7");
    EXPECT_EQ(GtidStateText(a3.ends), "0-1-12");
    EXPECT_EQ(a1.lastCommitted, 1796700003); // the sales were made "at" a set time
    EXPECT_EQ(a3.committedEnd, a3.size);
    // Another server's file of the same name, the same server id and no transaction before
    // it: only its opening tells it apart.
    const auto b1 = ReadBinlogFile(Canned("b", 1));
    ASSERT_TRUE(b1.opening);
    EXPECT_EQ(b1.opening->serverId, 1u);
    EXPECT_EQ(b1.begins, a1.begins);
    EXPECT_NE(b1.opening->key, a1.opening->key);

    const auto ends = ReadTransactionEnds({Canned("a", 1), Canned("a", 2), Canned("a", 3)}, 4);
    ASSERT_TRUE(ends) << ends.error();
    EXPECT_EQ(ends->size(), 12u); // the table's creation and every sale, each once
    EXPECT_EQ(ends->back().file, 2u);
    EXPECT_EQ(ends->back().committed, 1796700008);
    // From a transaction's end on, only what follows it.
    const auto later = ReadTransactionEnds({Canned("a", 1), Canned("a", 2)}, (*ends)[5].position);
    ASSERT_TRUE(later);
    EXPECT_EQ(later->size(), 3u);
}

TEST(BinlogEvents, ACopyCutShortDamagedOrWithAHoleIsToldFromAWholeOne) {
    TempDir dir("events");
    const std::string whole = ReadFile(Canned("a", 2));
    const auto facts = ReadBinlogFile(Canned("a", 2));
    // Cut inside an event (a stream that stopped, a disk that filled): whole up to the event
    // before, and no transaction counted that is not whole.
    WriteFile(dir.path() + "cut", whole.substr(0, facts.committedEnd - 10));
    const auto cut = ReadBinlogFile(dir.path() + "cut");
    EXPECT_EQ(cut.stop, BinlogReader::Stop::CutShort);
    EXPECT_LT(cut.wholeEnd, facts.committedEnd - 10);
    EXPECT_LT(cut.committedEnd, facts.committedEnd);
    EXPECT_FALSE(cut.ContinuedBy(ReadBinlogFile(Canned("a", 3))));
    // One byte changed inside a row: its event's checksum.
    std::string changed = whole;
    changed[facts.committedEnd - 60] ^= 0x01;
    WriteFile(dir.path() + "changed", changed);
    const auto damaged = ReadBinlogFile(dir.path() + "changed");
    EXPECT_EQ(damaged.stop, BinlogReader::Stop::Damaged);
    EXPECT_NE(damaged.problem.find("fails its checksum"), std::string::npos) << damaged.problem;
    // A stretch the disk never got, then later events (a full disk freed again).
    WriteFile(dir.path() + "hole", whole.substr(0, 400) + whole.substr(700));
    const auto hole = ReadBinlogFile(dir.path() + "hole");
    EXPECT_EQ(hole.stop, BinlogReader::Stop::Damaged) << hole.problem;
    EXPECT_LE(hole.wholeEnd, 400);
    // Nothing but zeros, or nothing at all: no binary log.
    WriteFile(dir.path() + "zeros", std::string(4096, '\0'));
    WriteFile(dir.path() + "empty", "");
    EXPECT_FALSE(ReadBinlogFile(dir.path() + "zeros").binaryLog);
    EXPECT_FALSE(ReadBinlogFile(dir.path() + "empty").binaryLog);
    // A damaged file before the last one stops a read of transactions; the last one counts
    // up to its last whole, good transaction.
    EXPECT_FALSE(ReadTransactionEnds({dir.path() + "changed", Canned("a", 3)}, 4));
    const auto upTo = ReadTransactionEnds({Canned("a", 1), dir.path() + "changed"}, 4);
    ASSERT_TRUE(upTo) << upTo.error();
    EXPECT_EQ(upTo->size(), 8u); // a1's seven and the first sale of a2
    // A file being written, followed from where the last look stopped, says what a read of
    // the whole says.
    WriteFile(dir.path() + "growing", whole.substr(0, cut.committedEnd + 5));
    const auto first = ReadBinlogFile(dir.path() + "growing");
    WriteFile(dir.path() + "growing", whole);
    const auto followed = ReadBinlogFile(dir.path() + "growing", &first);
    EXPECT_EQ(followed.ends, facts.ends);
    EXPECT_EQ(followed.committedEnd, facts.committedEnd);
    EXPECT_EQ(followed.lastCommitted, facts.lastCommitted);
    EXPECT_EQ(followed.closed, facts.closed);
}

TEST_F(CopyFolder, ASnapshotLiesInTheChainHoldingItsFileAsTheServerOpenedIt) {
    Put("chain-20261201020000", "a", 1);
    Put("chain-20261201020000", "a", 2, ".incoming/");
    Put("chain-20261207153000", "b", 1);
    Archive("20261207100000", "a", 1, true);
    Archive("20261207160000", "b", 1, true);
    const auto a = RecordedSnapshot(copy_.path(), "ZentaMarket20261207100000.ZTB");
    const auto b = RecordedSnapshot(copy_.path(), "ZentaMarket20261207160000.ZTB");
    ASSERT_TRUE(a && b);
    EXPECT_FALSE(a->gtidTrusted); // no GTID recorded with it
    // Both chains hold a binlog.000001, the newer one too: the opening decides.
    ASSERT_TRUE(ChainOfSnapshot(copy_.path(), *a) && ChainOfSnapshot(copy_.path(), *b));
    EXPECT_EQ(ChainOfSnapshot(copy_.path(), *a)->name(), "chain-20261201020000");
    EXPECT_EQ(ChainOfSnapshot(copy_.path(), *b)->name(), "chain-20261207153000");
    // Recorded before openings were kept: the copy of the file the server opened last before
    // the archive was made (server a's file was opened before b's).
    SnapshotRecord legacy = *a;
    legacy.fileOpening.clear();
    legacy.taken = ReadBinlogFile(Canned("b", 1)).opening->time - 60;
    auto found = ChainOfSnapshot(copy_.path(), legacy);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->name(), "chain-20261201020000");
    legacy.taken += 120;
    found = ChainOfSnapshot(copy_.path(), legacy);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->name(), "chain-20261207153000");
    // An opening no chain holds: the snapshot lies nowhere (never in the file of that name).
    SnapshotRecord stranger = *a;
    stranger.fileOpening = "1-1-00000000";
    EXPECT_FALSE(ChainOfSnapshot(copy_.path(), stranger));
}

TEST_F(CopyFolder, ACopyCountsWhereItIsWholeAndAWindowStopsAtEveryHole) {
    const std::string name = "chain-20261201020000";
    Put(name, "a", 1);
    Put(name, "a", 2);
    Put(name, "a", 3, ".incoming/");
    const BinlogChain chain = Chain(name);
    auto stretch = StretchFrom(chain, "binlog.000001");
    ASSERT_TRUE(stretch);
    EXPECT_EQ(stretch->files.size(), 3u);
    EXPECT_EQ(stretch->gapAfter, "");
    // A longer copy kept aside counts over a shorter one the stream is writing anew.
    const std::string full = ReadFile(Canned("a", 3));
    WriteFile(chain.incoming() + "binlog.000003", full.substr(0, 500));
    Put(name, "a", 3, ".short/");
    auto files = chain.Files();
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[2].path, chain.shortCopies() + "binlog.000003");
    EXPECT_FALSE(files[2].whole);
    EXPECT_TRUE(files[0].whole);
    // A middle file that lacks its last transactions (copied before files had to be whole):
    // the window stops after it, named.
    const auto a2 = ReadBinlogFile(Canned("a", 2));
    WriteFile(chain.path() + "binlog.000002", ReadFile(Canned("a", 2)).substr(0, 700));
    stretch = StretchFrom(Chain(name), "binlog.000001");
    ASSERT_TRUE(stretch);
    EXPECT_EQ(stretch->gapAfter, "binlog.000002");
    EXPECT_NE(stretch->why.find("lacks transactions"), std::string::npos) << stretch->why;
    // A file missing.
    fs::remove(chain.path() + "binlog.000002");
    stretch = StretchFrom(Chain(name), "binlog.000001");
    EXPECT_EQ(stretch->gapAfter, "binlog.000001");
    EXPECT_NE(stretch->why.find("lacks the file after"), std::string::npos) << stretch->why;
    // A restore into the live database after a file: nothing replays across it, even while
    // it is the last file copied.
    Put(name, "a", 2);
    ASSERT_TRUE(chain.AddBreak("binlog.000003"));
    stretch = StretchFrom(Chain(name), "binlog.000002");
    EXPECT_EQ(stretch->files.size(), 2u);
    EXPECT_EQ(stretch->gapAfter, "binlog.000003");
    EXPECT_NE(stretch->why.find("replaced by a restore"), std::string::npos);
    (void)a2;
}

TEST_F(CopyFolder, PruningDeletesLogFilesBeforeTheOldestKeptSnapshotInItsOwnChainAndNoRecord) {
    const std::string old = "chain-20261125020000", a = "chain-20261201020000",
                      b = "chain-20261207153000";
    Put(old, "a", 1);
    Put(a, "a", 1);
    Put(a, "a", 2);
    Put(a, "a", 3, ".incoming/");
    WriteFile(copy_.path() + a + "/binlog.000001.7z", "packed");
    WriteFile(copy_.path() + a + "/BREAKS.txt", "binlog.000001\n");
    WriteFile(copy_.path() + a + "/GAPS.txt", "2026-12-01 10:00:00 a gap\n");
    ASSERT_TRUE(Chain(a).MarkDone("binlog.000001", BinlogChain::Step::Checked));
    ASSERT_TRUE(Chain(a).MarkDone("binlog.000002", BinlogChain::Step::Checked));
    // The server installed anew: its chain holds a binlog.000001 of its own, newer.
    Put(b, "b", 1);
    Put(b, "b", 2, ".incoming/");
    // The same on the backup drive.
    TempDir drive("drive");
    for (const auto& [chain, file] :
         std::vector<std::pair<std::string, std::string>>{{old, "binlog.000001"},
                                                          {a, "binlog.000001"},
                                                          {a, "binlog.000002"},
                                                          {b, "binlog.000001"}}) {
        fs::create_directories(DriveBinlogFolder(drive.path()) + chain);
        WriteFile(DriveBinlogFolder(drive.path()) + chain + "/" + file + ".7z", "packed");
    }
    Archive("20261201100000", "a", 1, true);
    Archive("20261202100000", "a", 2, true);
    PruneBinlogCopy(backups_, 5, {drive.path()});
    // The oldest kept archive's snapshot lies in a's binlog.000001: nothing of a goes, however
    // many binlog.000001 a newer chain has; the chain before it goes whole.
    EXPECT_FALSE(fs::exists(copy_.path() + old));
    EXPECT_FALSE(fs::exists(DriveBinlogFolder(drive.path()) + old));
    for (const std::string f : {"binlog.000001", "binlog.000001.7z", "binlog.000002", "BREAKS.txt",
                                "GAPS.txt", "files.ini", ".incoming/binlog.000003"})
        EXPECT_TRUE(fs::exists(copy_.path() + a + "/" + f)) << f;
    EXPECT_TRUE(fs::exists(copy_.path() + b + "/binlog.000001"));

    // MaxBackupFile 1: the oldest kept archive's snapshot is in a's binlog.000002; only the
    // log file before it goes (with its packed copy and its record), every record stays.
    PruneBinlogCopy(backups_, 1, {drive.path()});
    EXPECT_FALSE(fs::exists(copy_.path() + a + "/binlog.000001"));
    EXPECT_FALSE(fs::exists(copy_.path() + a + "/binlog.000001.7z"));
    EXPECT_FALSE(fs::exists(DriveBinlogFolder(drive.path()) + a + "/binlog.000001.7z"));
    EXPECT_TRUE(fs::exists(DriveBinlogFolder(drive.path()) + a + "/binlog.000002.7z"));
    EXPECT_FALSE(Chain(a).StepOf("binlog.000001", BinlogChain::Step::Checked).done);
    EXPECT_TRUE(Chain(a).StepOf("binlog.000002", BinlogChain::Step::Checked).done);
    for (const std::string f :
         {"binlog.000002", "BREAKS.txt", "GAPS.txt", "files.ini", ".incoming/binlog.000003"})
        EXPECT_TRUE(fs::exists(copy_.path() + a + "/" + f)) << f;
    EXPECT_TRUE(fs::exists(copy_.path() + b + "/binlog.000001"));
    EXPECT_NE(ReadFile(app_.path() + "Log/ZentaMarketMonitor.log")
                  .find("binlog copy: deleted " + copy_.path() + a + "/binlog.000001"),
              std::string::npos);

    // Once the newest kept archive is the new server's, the older chain goes whole, the new
    // one stays whole.
    Archive("20261207170000", "b", 1, true);
    PruneBinlogCopy(backups_, 1, {drive.path()});
    EXPECT_FALSE(fs::exists(copy_.path() + a));
    EXPECT_FALSE(fs::exists(DriveBinlogFolder(drive.path()) + a));
    EXPECT_TRUE(fs::exists(copy_.path() + b + "/binlog.000001"));
    EXPECT_TRUE(fs::exists(copy_.path() + b + "/.incoming/binlog.000002"));
}

TEST_F(CopyFolder, NothingIsPrunedWhileTheOldestKeptArchivesSnapshotLiesInNoChain) {
    const std::string a = "chain-20261201020000";
    Put(a, "a", 1);
    Put(a, "a", 2);
    Archive("20261201100000", "b", 1, true); // its file's opening is in no chain here
    Archive("20261202100000", "a", 2, true);
    PruneBinlogCopy(backups_, 2);
    EXPECT_TRUE(fs::exists(copy_.path() + a + "/binlog.000001"));
    EXPECT_NE(
        ReadFile(app_.path() + "Log/ZentaMarketMonitor.log").find("nothing of the copy deleted"),
        std::string::npos);
}

TEST(ReplayFilterText, RowEventsOfATransactionGoTogetherAndGroupsAreCommittedOnce) {
    TempDir dir("replay");
    // As the replay reads them: the live database's name rewritten to the target's.
    ASSERT_EQ(Shell("mariadb-binlog --rewrite-db='zentasupermarket->zentasupermarket_back' '" +
                    Canned("a", 1) + "' '" + Canned("a", 2) + "' > '" + dir.path() + "text.sql'"),
              0);
    ReplayFilter filter("zentasupermarket_back");
    std::string out;
    const std::string text = ReadFile(dir.path() + "text.sql");
    size_t from = 0;
    for (size_t end; (end = text.find('\n', from)) != std::string::npos; from = end + 1)
        filter.Line(std::string_view(text).substr(from, end - from), out);
    filter.Finish(out);
    EXPECT_EQ(filter.transactions(), 5); // the five sales; the DDL stands alone
    EXPECT_EQ(filter.file(), 1u);        // the second file was reached
    // One transaction open for the sales of each file, committed once, and one BINLOG
    // statement per sale (its rows together).
    size_t begins = 0, commits = 0, blocks = 0;
    for (size_t at = 0; (at = out.find("START TRANSACTION", at)) != std::string::npos; ++at)
        ++begins;
    for (size_t at = 0; (at = out.find("\nCOMMIT", at)) != std::string::npos; ++at)
        ++commits;
    for (size_t at = 0; (at = out.find("BINLOG '", at)) != std::string::npos; ++at)
        ++blocks;
    EXPECT_EQ(begins, 2u) << out;
    EXPECT_EQ(commits, 2u) << out;
    EXPECT_EQ(blocks, 5u + 2u) << out; // the sales, and each file's opening event
    EXPECT_EQ(out.find("# at "), std::string::npos);
    EXPECT_EQ(out.find("SET @@session.gtid_seq_no"), std::string::npos);

    // What concerns another database or the server's accounts stays out: a replay beside the
    // live server changes its own database and nothing else.
    ReplayFilter other("zentasupermarket_back");
    std::string kept;
    for (const char* line :
         {"DELIMITER /*!*/;",
          "use `zentasupermarketbasic`/*!*/;",
          "SET TIMESTAMP=1796700000/*!*/;",
          "DROP TABLE articulo",
          "/*!*/;",
          "GRANT ALL PRIVILEGES ON *.* TO 'u'@'%'",
          "/*!*/;",
          "SET PASSWORD FOR 'u'@'%' = PASSWORD('x')",
          "/*!*/;",
          "#261208  3:20:01 server id 1  end_log_pos 1272 CRC32 0xb4c3f59b \tTable_map: "
          "`mysql`.`global_priv` mapped to number 9",
          "BINLOG '",
          "FOREIGNROWS",
          "'/*!*/;",
          "use `zentasupermarket_back`/*!*/;",
          "ALTER TABLE ticket ADD Extra int",
          "/*!*/;",
          "FLUSH PRIVILEGES",
          "/*!*/;",
          "#261208  3:20:01 server id 1  end_log_pos 1272 CRC32 0xb4c3f59b \tTable_map: "
          "`zentasupermarket_back`.`ticket` mapped to number 26",
          "BINLOG '",
          "OURROWS",
          "'/*!*/;",
          "COMMIT/*!*/;"})
        other.Line(line, kept);
    other.Finish(kept);
    for (const char* gone :
         {"articulo", "GRANT", "PASSWORD", "FOREIGNROWS", "FLUSH", "zentasupermarketbasic"})
        EXPECT_EQ(kept.find(gone), std::string::npos) << gone << " in:\n" << kept;
    for (const char* there : {"use `zentasupermarket_back`", "ALTER TABLE ticket ADD Extra int",
                              "OURROWS", "SET TIMESTAMP="})
        EXPECT_NE(kept.find(there), std::string::npos) << there << " not in:\n" << kept;

    // Names of the live database as a statement writes them become the target's; longer names
    // and other databases stay.
    EXPECT_EQ(filter.Renamed("ALTER TABLE `zentasupermarket`.`ticket` ADD x int;"),
              "ALTER TABLE `zentasupermarket_back`.`ticket` ADD x int;");
    EXPECT_EQ(filter.Renamed("DROP TABLE zentasupermarket.quitada;"),
              "DROP TABLE zentasupermarket_back.quitada;");
    EXPECT_EQ(filter.Renamed("CREATE DATABASE IF NOT EXISTS zentasupermarket;"),
              "CREATE DATABASE IF NOT EXISTS zentasupermarket_back;");
    for (const std::string same :
         {"DROP TABLE zentasupermarketbasic.x;", "DROP TABLE zentasupermarket_old.x;",
          "SELECT 1 AS zentasupermarket;"})
        EXPECT_EQ(filter.Renamed(same), same);
}
