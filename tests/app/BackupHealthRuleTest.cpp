// The rule behind the tray's backup warning and the panel's backup lines, as a function of the
// job record and the settings: no display needed.
#include "BackupHealth.h"
#include "BinlogCopyRecord.h"
#include "Globals.h"
#include "JobOutcomes.h"
#include "PairState.h"
#include "Settings.h"
#include "TestSupport.h"

#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>

using namespace zenta;
using namespace zenta::test;

namespace {

std::string Stamp(std::time_t t) {
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&t));
    return text;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class BackupHealthRule : public ::testing::Test {
  protected:
    void SetUp() override {
        Globals::AppPath = folder_.path();
        std::filesystem::create_directories(folder_.path() + "Log");
    }
    void TearDown() override { Globals::AppPath.clear(); }
    TempDir folder_{"health"};
    const std::time_t now_ = std::time(nullptr);
};

} // namespace

TEST_F(BackupHealthRule, NoBackupYetAFailureAndAnOldBackupWarnAGoodRecentOneDoesNot) {
    BackupHealth h = CurrentBackupHealth(now_);
    EXPECT_TRUE(h.warn);
    EXPECT_EQ(h.reason, "备份警告：还没有成功的备份");
    EXPECT_EQ(h.panel, "最近一次成功的备份：无");

    RecordOutcome(
        "Backup",
        {{"Time", Stamp(now_ - 3600)}, {"Result", "good"}, {"LastGoodTime", Stamp(now_ - 3600)}});
    h = CurrentBackupHealth(now_);
    EXPECT_FALSE(h.warn) << h.reason;
    EXPECT_EQ(h.ageHours, 1);
    EXPECT_EQ(h.panel, "最近一次成功的备份：" + Stamp(now_ - 3600) + "（1 小时前）");

    // A failure says why, from the record.
    RecordOutcome(
        "Backup",
        {{"Time", Stamp(now_)}, {"Result", "failed"}, {"Failure", "no space left in /backup"}});
    h = CurrentBackupHealth(now_);
    EXPECT_TRUE(h.warn);
    EXPECT_EQ(h.reason,
              "备份警告：最近一次备份失败（" + Stamp(now_) + "）：no space left in /backup");

    // Three days old: warned after the default of 2 days, not after a shop's own 5.
    RecordOutcome("Backup", {{"Result", "good"}, {"LastGoodTime", Stamp(now_ - 3 * 86400)}});
    EXPECT_TRUE(Has(CurrentBackupHealth(now_).reason, "已经 3 天没有成功的备份"));
    SetSetting("Monitor", "BackupWarnDays", "5");
    EXPECT_FALSE(CurrentBackupHealth(now_).warn);
    // A value that is no number: the default, and the log says so.
    SetSetting("Monitor", "BackupWarnDays", "five");
    EXPECT_TRUE(CurrentBackupHealth(now_).warn);
    EXPECT_TRUE(Has(ReadFile(folder_.path() + "Log/ZentaMarketMonitor.log"),
                    "BackupWarnDays is \"five\", not a whole number of at least 1; 2 is used"));
}

TEST_F(BackupHealthRule, AShrunkBackupWarnsWithItsReasonsAndThePanelSaysItDidNotCount) {
    RecordOutcome("Backup", {{"Time", Stamp(now_)},
                             {"Result", "shrunk"},
                             {"Shrink", "articulo was emptied (200 rows before, none now)"},
                             {"LastGoodTime", Stamp(now_ - 3600)}});
    const BackupHealth h = CurrentBackupHealth(now_);
    EXPECT_TRUE(h.warn);
    EXPECT_TRUE(Has(h.reason, "数据库的数据比上次成功的备份少得多")) << h.reason;
    EXPECT_TRUE(Has(h.reason, "articulo was emptied")) << h.reason;
    EXPECT_TRUE(Has(h.panel, "数据明显减少，未计为备份")) << h.panel;
    EXPECT_FALSE(Has(h.panel, "备份盘")); // no drive label: nothing about drives
}

// The copy of the binary log on the panel and in the tray: streaming with how far it reaches;
// down said at once on the panel and warned after BinlogWarnMinutes; a full disk warned at
// once; a record the monitor stopped writing never says streaming.
TEST_F(BackupHealthRule, TheCopyIsStreamingOnlyWhileCurrentAndWarnsWhenDownLongOrItsDiskIsFull) {
    RecordOutcome("Backup",
                  {{"Time", Stamp(now_)}, {"Result", "good"}, {"LastGoodTime", Stamp(now_)}});
    RecordOutcome(
        "BinlogCopy",
        {{"Checked", Stamp(now_ - 2)}, {"State", "streaming"}, {"Reach", Stamp(now_ - 5)}});
    BackupHealth h = CurrentBackupHealth(now_);
    EXPECT_FALSE(h.warn) << h.reason;
    EXPECT_TRUE(Has(h.panel, "二进制日志复制：实时，已复制到 " + Stamp(now_ - 5) + " 的交易"))
        << h.panel;
    // The monitor stopped looking a while ago: no longer streaming, whatever the record said.
    h = CurrentBackupHealth(now_ + kBinlogRecordStaleSeconds + 5);
    EXPECT_TRUE(Has(h.panel, "二进制日志复制：中断（自 " + Stamp(now_ - 2) + "）")) << h.panel;

    // Down for five minutes: said on the panel, no warning yet; for eleven: a warning.
    RecordOutcome("BinlogCopy", {{"Checked", Stamp(now_)},
                                 {"State", "down"},
                                 {"Since", Stamp(now_ - 300)},
                                 {"Why", "the server does not answer"}});
    h = CurrentBackupHealth(now_);
    EXPECT_FALSE(h.warn) << h.reason;
    EXPECT_TRUE(Has(h.panel, "二进制日志复制：中断（自 " + Stamp(now_ - 300) +
                                 "）：the server does not answer"))
        << h.panel;
    RecordOutcome("BinlogCopy", {{"Since", Stamp(now_ - 660)}});
    h = CurrentBackupHealth(now_);
    EXPECT_TRUE(h.warn);
    EXPECT_TRUE(Has(h.reason, "二进制日志的复制已中断 11 分钟")) << h.reason;
    SetSetting("Monitor", "BinlogWarnMinutes", "15");
    EXPECT_FALSE(CurrentBackupHealth(now_).warn);
    // The copy's disk full: at once.
    RecordOutcome("BinlogCopy", {{"Since", Stamp(now_ - 4)},
                                 {"Problem", "the copy's disk is full (0.0 MB free in /copy/)"}});
    h = CurrentBackupHealth(now_);
    EXPECT_TRUE(h.warn);
    EXPECT_TRUE(Has(h.reason, "二进制日志的复制出错：the copy's disk is full")) << h.reason;
}

// A gap is covered by a backup whose snapshot was taken after it, by the order of events: in
// one second of the clock, a backup taken after the gap covers it, one whose snapshot came
// first (the gap happened while it was packed) does not.
TEST_F(BackupHealthRule, AGapIsCoveredOnlyByABackupWhoseSnapshotCameAfterIt) {
    const std::string second = Stamp(now_);
    const long long before = NextOutcomeSequence();
    const long long gap = NextOutcomeSequence();
    const long long after = NextOutcomeSequence();
    ASSERT_TRUE(before > 0 && before < gap && gap < after);
    RecordOutcome("BinlogCopy", {{"LastGap", second + " after binlog.000004"},
                                 {"LastGapTime", second},
                                 {"LastGapSequence", std::to_string(gap)}});
    RecordOutcome("Backup", {{"Result", "good"},
                             {"LastGoodTime", second},
                             {"LastGoodSequence", std::to_string(before)}});
    EXPECT_TRUE(BinlogCopyOutcome::Read().GapUncovered(BackupOutcome::Read()));
    EXPECT_TRUE(Has(CurrentBackupHealth(now_).reason, "复制的二进制日志有缺口"));
    RecordOutcome("Backup", {{"LastGoodSequence", std::to_string(after)}});
    EXPECT_FALSE(BinlogCopyOutcome::Read().GapUncovered(BackupOutcome::Read()));
    EXPECT_FALSE(Has(CurrentBackupHealth(now_).reason, "复制的二进制日志有缺口"));
}

// On a pair the standby's computer watches the pair, not backups made on the other computer;
// the primary's computer watches both.
TEST_F(BackupHealthRule, OnAPairTheStandbyWarnsOfThePairNotOfTheBackups) {
    WriteFile(folder_.path() + "zentamarket.ini", "[Standby]\r\nHost=127.0.0.2\r\n");
    PairState standby;
    standby.checked = Stamp(now_);
    standby.role = PairRole::Standby;
    standby.partnerReached = true;
    standby.semiSyncOn = true;
    standby.behind = 0;
    standby.behindSeconds = 0;
    standby.Record();
    BackupHealth h = CurrentBackupHealth(now_);
    EXPECT_FALSE(h.warn) << "no backup here is no warning on the standby: " << h.reason;
    EXPECT_TRUE(Has(h.panel, "双机：本机 standby")) << h.panel;
    EXPECT_FALSE(Has(h.panel, "备份")) << h.panel;

    standby.standbyProblem = "the standby's replication does not apply";
    standby.Record();
    h = CurrentBackupHealth(now_);
    EXPECT_TRUE(h.warn);
    EXPECT_TRUE(Has(h.reason, "does not apply")) << h.reason;

    PairState primary = standby;
    primary.role = PairRole::Primary;
    primary.standbyProblem.clear();
    primary.semiSyncOn = false;
    primary.Record();
    h = CurrentBackupHealth(now_);
    EXPECT_TRUE(Has(h.reason, "还没有成功的备份")) << h.reason;
    EXPECT_TRUE(Has(h.reason, "半同步")) << h.reason;
}
