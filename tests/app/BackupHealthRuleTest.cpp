// The rule behind the tray's backup warning and the panel's backup lines, as a function of the
// job record and the settings: no display needed.
#include "BackupHealth.h"
#include "Globals.h"
#include "JobOutcomes.h"
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
