// Weekly and monthly retention: a year of daily backups rotated day by day, with damaged
// archives and a closed fortnight in between, on real archive files.
#include "Retention.h"
#include "ArchiveNames.h"
#include "AutoBackupData.h"
#include "Globals.h"
#include "TestSupport.h"
#include "Variant.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>

using namespace zenta;
using namespace zenta::test;
namespace fs = std::filesystem;

namespace {

std::string ArchiveName(const DateTime& day) {
    char name[64];
    std::snprintf(name, sizeof name, "ZentaMarket%04d%02d%02d020000.ZTB", day.year, day.month,
                  day.day);
    return name;
}

std::set<std::string> ArchivesIn(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(folder))
        names.insert(e.path().filename().string());
    return names;
}

class Retention : public ::testing::Test {
  protected:
    void SetUp() override {
        Globals::AppPath = app_.path();
        fs::create_directories(app_.path() + "Log");
        fs::create_directories(folder_);
        MakeSmallArchive(app_.path() + "good.7z");
        good_ = ReadFile(app_.path() + "good.7z");
    }
    void Settings(const std::string& monitor) {
        WriteFile(app_.path() + "zentamarket.ini", "[Monitor]\r\n" + monitor);
    }
    // Daily backups at 02:00 from 2025-12-07 to 2026-12-06, the rotation after each one. The
    // shop was closed from 2026-10-26 to 2026-11-08; the archives of Sunday 2026-11-15 and of
    // Monday 2026-11-30 were cut short.
    void SimulateYear(long maximum) {
        DateTime day;
        day.year = 2025;
        day.month = 12;
        day.day = 7;
        for (int i = 0; i < 365; ++i, day = day.AddDays(1)) {
            const std::string date = day.DateText();
            if (date >= "2026-10-26" && date <= "2026-11-08")
                continue;
            const std::string path = folder_ + ArchiveName(day);
            if (date == "2026-11-15" || date == "2026-11-30")
                WriteFile(path, good_.substr(0, good_.size() / 2));
            else
                WriteFile(path, good_);
            std::string folder = folder_;
            DeleteOldBackupFiles(folder, maximum);
        }
    }
    std::string Log() { return ReadFile(app_.path() + "Log/ZentaMarketMonitor.log"); }

    TempDir app_;
    std::string folder_ = app_.path() + "Backup/";
    std::string good_;
};

} // namespace

TEST(RetentionRules, IsoWeeksAcrossYearEnds) {
    EXPECT_EQ(IsoWeekText(2026, 12, 6), "2026-W49");
    EXPECT_EQ(IsoWeekText(2026, 11, 30), "2026-W49");
    EXPECT_EQ(IsoWeekText(2025, 12, 29), "2026-W01"); // a Monday: its Thursday is in 2026
    EXPECT_EQ(IsoWeekText(2027, 1, 1), "2026-W53");
    EXPECT_EQ(IsoWeekText(2021, 1, 3), "2020-W53");
    EXPECT_EQ(IsoWeekText(2024, 12, 30), "2025-W01");
    // Sunday and the next Monday are in different weeks.
    EXPECT_EQ(IsoWeekText(2026, 3, 1), "2026-W09");
    EXPECT_EQ(IsoWeekText(2026, 3, 2), "2026-W10");
}

TEST_F(Retention, AYearOfDailyBackupsKeepsTheNewestOfEachWeekAndMonth) {
    Settings("KeepWeekly=8\r\nKeepMonthly=12\r\n");
    // Besides the archives: files the rotation must never touch.
    WriteFile(folder_ + "readme.txt", "the shop's notes");
    fs::create_directories(folder_ + "old");
    WriteFile(folder_ + "old/ZentaMarket20250101020000.ZTB", good_);
    SimulateYear(5);
    WriteFile(folder_ + "ZentaMarket20261206120000-INCOMPLETE.ZTB", good_);
    std::string folder = folder_;
    DeleteOldBackupFiles(folder, 5);

    const std::set<std::string> expected = {
        // the 5 newest
        "ZentaMarket20261206020000.ZTB", "ZentaMarket20261205020000.ZTB",
        "ZentaMarket20261204020000.ZTB", "ZentaMarket20261203020000.ZTB",
        "ZentaMarket20261202020000.ZTB",
        // the newest good one of the last 8 weeks that have archives: the week of the damaged
        // Sunday keeps its Saturday, the closed weeks do not count
        "ZentaMarket20261129020000.ZTB", "ZentaMarket20261122020000.ZTB",
        "ZentaMarket20261114020000.ZTB", "ZentaMarket20261025020000.ZTB",
        "ZentaMarket20261018020000.ZTB", "ZentaMarket20261011020000.ZTB",
        "ZentaMarket20261004020000.ZTB",
        // the newest good one of the last 12 months (November's last day was damaged)
        "ZentaMarket20260930020000.ZTB", "ZentaMarket20260831020000.ZTB",
        "ZentaMarket20260731020000.ZTB", "ZentaMarket20260630020000.ZTB",
        "ZentaMarket20260531020000.ZTB", "ZentaMarket20260430020000.ZTB",
        "ZentaMarket20260331020000.ZTB", "ZentaMarket20260228020000.ZTB",
        "ZentaMarket20260131020000.ZTB",
        // damaged: never counted, never deleted
        "ZentaMarket20261130020000.ZTB", "ZentaMarket20261115020000.ZTB",
        // not archives of the rotation
        "ZentaMarket20261206120000-INCOMPLETE.ZTB", "readme.txt", "old"};
    EXPECT_EQ(ArchivesIn(folder_), expected);
    EXPECT_EQ(ReadFile(folder_ + "ZentaMarket20260131020000.ZTB"), good_);
    EXPECT_EQ(ReadFile(folder_ + "readme.txt"), "the shop's notes");
    EXPECT_TRUE(fs::exists(folder_ + "old/ZentaMarket20250101020000.ZTB"));

    // The log says why each one went, and why each kept one stays.
    const std::string log = Log();
    EXPECT_NE(log.find("deleted " + folder_ +
                       "ZentaMarket20251231020000.ZTB (beyond the 5 newest, and not the newest "
                       "of one of the last 8 weeks or 12 months that have archives)"),
              std::string::npos);
    EXPECT_NE(log.find("kept " + folder_ +
                       "ZentaMarket20261129020000.ZTB (the newest of week 2026-W48; the newest "
                       "of month 2026-11)"),
              std::string::npos);
    EXPECT_NE(log.find("kept " + folder_ +
                       "ZentaMarket20261206020000.ZTB (one of the 5 newest; the newest of "
                       "week 2026-W49; the newest of month 2026-12)"),
              std::string::npos);

    // What status shows is the same decision, archive by archive.
    const FolderRetention plan = PlanFolderRetention(folder_, 5);
    ASSERT_EQ(plan.archives.size(), 23u);
    for (const auto& a : plan.archives)
        EXPECT_TRUE(a.keep) << a.name;
    EXPECT_EQ(plan.archives.front().why,
              "one of the 5 newest; the newest of week 2026-W49; the newest of month 2026-12");
}

TEST_F(Retention, WithoutLongerRetentionOnlyTheNewestStayAsBefore) {
    Settings("");
    SimulateYear(5);
    EXPECT_EQ(
        ArchivesIn(folder_),
        (std::set<std::string>{"ZentaMarket20261206020000.ZTB", "ZentaMarket20261205020000.ZTB",
                               "ZentaMarket20261204020000.ZTB", "ZentaMarket20261203020000.ZTB",
                               "ZentaMarket20261202020000.ZTB", "ZentaMarket20261130020000.ZTB",
                               "ZentaMarket20261115020000.ZTB"}));
    EXPECT_EQ(Log().find("kept "), std::string::npos);
    EXPECT_NE(Log().find("ZentaMarket20261201020000.ZTB (beyond the 5 newest)"), std::string::npos);
}

TEST_F(Retention, AnUnreadableRetentionKeyDeletesNothing) {
    Settings("KeepWeekly=four\r\n");
    for (int day = 1; day <= 9; ++day)
        WriteFile(folder_ + "ZentaMarket2026120" + std::to_string(day) + "020000.ZTB", good_);
    std::string folder = folder_;
    DeleteOldBackupFiles(folder, 2);
    EXPECT_EQ(ArchivesIn(folder_).size(), 9u);
    EXPECT_NE(Log().find("KeepWeekly is \"four\", not a whole number of weeks; no archive deleted"),
              std::string::npos);
    Settings("KeepWeekly=-1\r\n");
    DeleteOldBackupFiles(folder, 2);
    EXPECT_EQ(ArchivesIn(folder_).size(), 9u);
    // Once it reads, the rotation goes on.
    Settings("KeepWeekly=1\r\nKeepMonthly=0\r\n");
    DeleteOldBackupFiles(folder, 2);
    // 2026-12-09 and -08 are the newest; the week of the 7th to the 13th is theirs already.
    EXPECT_EQ(ArchivesIn(folder_), (std::set<std::string>{"ZentaMarket20261209020000.ZTB",
                                                          "ZentaMarket20261208020000.ZTB"}));
}

// With the off-site copy on, the rotation keeps an archive the repository does not hold yet
// (a line down for days), and lets it go once it does.
TEST_F(Retention, AnArchiveNotYetOffSiteIsKeptUntilItIs) {
    Settings("");
    for (int day = 1; day <= 4; ++day)
        WriteFile(folder_ + "ZentaMarket2026120" + std::to_string(day) + "020000.ZTB", good_);
    ASSERT_TRUE(MarkArchiveOffsite(folder_, "ZentaMarket20261201020000.ZTB"));
    ASSERT_TRUE(MarkArchiveOffsite(folder_, "ZentaMarket20261204020000.ZTB"));
    std::string folder = folder_;
    DeleteOldBackupFiles(folder, 1, true);
    EXPECT_EQ(
        ArchivesIn(folder_),
        (std::set<std::string>{".offsite", "ZentaMarket20261202020000.ZTB",
                               "ZentaMarket20261203020000.ZTB", "ZentaMarket20261204020000.ZTB"}));
    EXPECT_NE(Log().find("kept " + folder_ +
                         "ZentaMarket20261203020000.ZTB (not in the off-site repository yet"),
              std::string::npos)
        << Log();
    ASSERT_TRUE(MarkArchiveOffsite(folder_, "ZentaMarket20261202020000.ZTB"));
    ASSERT_TRUE(MarkArchiveOffsite(folder_, "ZentaMarket20261203020000.ZTB"));
    DeleteOldBackupFiles(folder, 1, true);
    EXPECT_EQ(ArchivesIn(folder_),
              (std::set<std::string>{".offsite", "ZentaMarket20261204020000.ZTB"}));
    // Without the off-site copy, as ever.
    WriteFile(folder_ + "ZentaMarket20261205020000.ZTB", good_);
    DeleteOldBackupFiles(folder, 1);
    EXPECT_EQ(ArchivesIn(folder_),
              (std::set<std::string>{".offsite", "ZentaMarket20261205020000.ZTB"}));
}
