// The shop's backup drive as a real labelled file system on a loop device, found by the real
// program by its label: full, read-only, missing, and its state in status, the metrics and the
// tray's rule.
#include "BackupHealth.h"
#include "FolderListing.h"
#include "Globals.h"
#include "JobOutcomes.h"
#include "OneShot.h"
#include "Settings.h"
#include "SevenZip.h"

#include <ctime>
#include <filesystem>

using namespace zenta;
using namespace zenta::test;
namespace fs = std::filesystem;

namespace {

// 3 MB of goods pictures that no archiver can make smaller.
void AddPictures() {
    std::string parts;
    for (int i = 0; i < 32; ++i)
        parts += std::string(i ? ", " : "") + "RANDOM_BYTES(1024)";
    Sql("INSERT INTO articulodibujo (ArticuloID, Dibujo) SELECT CONCAT('P', seq), CONCAT(" + parts +
        ") FROM seq_1_to_96;");
}

std::string Stamp(std::time_t t) {
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&t));
    return text;
}

} // namespace

class BackupDrive : public OneShotTest {
  protected:
    void SetUp() override {
        OneShotTest::SetUp();
        drive_ = std::make_unique<LabelledDrive>("ZTB");
        if (!drive_->mounted())
            GTEST_SKIP() << "a labelled drive needs root, loop devices and mkfs.ext4";
        Sql("INSERT INTO opcion (ID, VarCharValor) VALUES ('MobilBackupRestoreVolumeName', '" +
            drive_->label() + "');");
        Globals::AppPath = AppPath();
    }
    void TearDown() override {
        drive_.reset();
        OneShotTest::TearDown();
    }
    std::string Folder() const { return drive_->mountPoint() + "ZentaBackup/"; }
    // The files on the drive under an archive's name.
    std::vector<std::string> OnDrive() const { return DirNames(Folder() + "ZentaMarket*"); }

    std::unique_ptr<LabelledDrive> drive_;
};

TEST_F(BackupDrive, AFullDriveGetsNothingUnderTheArchivesNameAndIsSaidUntilACopyWorks) {
    AddPictures();
    drive_->FillLeaving(512 * 1024);
    auto r = Run({"backup"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "NOT copied to the backup drive at " +
                               drive_->mountPoint().substr(0, drive_->mountPoint().size() - 1) +
                               ": no space on the drive: the archive needs 3."))
        << r.out;
    EXPECT_TRUE(OnDrive().empty());
    // The archive on the computer counts all the same.
    const auto kept = DirNames(AppPath() + "Backup/ZentaMarket??????????????.ZTB");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_TRUE(Has(Log(), "backup made: ")) << Log();
    EXPECT_TRUE(Has(Log(), "no space on the drive")) << Log();

    r = Run({"status"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "Backup drive:       " + drive_->label() + ", plugged in at ")) << r.out;
    EXPECT_TRUE(Has(r.out, "  last good copy:   none recorded\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "  last copy FAILED: ")) << r.out;
    EXPECT_TRUE(Has(r.out, "no space on the drive")) << r.out;
    BackupHealth health = CurrentBackupHealth(std::time(nullptr));
    EXPECT_TRUE(health.warn);
    EXPECT_TRUE(Has(health.reason, "备份盘警告：最近一次复制到备份盘 " + drive_->label() + " 失败"))
        << health.reason;
    EXPECT_TRUE(Has(health.reason, "no space on the drive")) << health.reason;
    EXPECT_TRUE(Has(health.panel, "上次复制失败")) << health.panel;

    // Room again: the next backup's copy is whole, and the warning clears.
    drive_->Unfill();
    r = Run({"backup"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "copied to " + Folder() + "ZentaMarket")) << r.out;
    const auto copies = OnDrive();
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_TRUE(IsWhole7zArchive(Folder() + copies[0]));
    EXPECT_EQ(ReadFile(Folder() + copies[0]), ReadFile(AppPath() + "Backup/" + copies[0]));
    health = CurrentBackupHealth(std::time(nullptr));
    EXPECT_FALSE(health.warn) << health.reason;
    EXPECT_TRUE(Has(health.panel, "备份盘 " + drive_->label() + "：最近一次复制 ")) << health.panel;
    r = Run({"status"});
    EXPECT_TRUE(
        Has(r.out, "  last good copy:   " + JobOutcome::Read("BackupDrive")["LastGoodCopyTime"]))
        << r.out;
    EXPECT_FALSE(Has(r.out, "FAILED")) << r.out;

    // Not plugged in for longer than DriveWarnDays: warned; a shop's own threshold; no label,
    // nothing about drives at all.
    RecordOutcome("BackupDrive", {{"LastGoodCopyTime", Stamp(std::time(nullptr) - 8 * 86400)}});
    health = CurrentBackupHealth(std::time(nullptr));
    EXPECT_TRUE(Has(health.reason, "已经 8 天没有复制到备份盘 " + drive_->label()))
        << health.reason;
    SetSetting("Monitor", "DriveWarnDays", "10");
    EXPECT_FALSE(CurrentBackupHealth(std::time(nullptr)).warn);
    SetSetting("Monitor", "DriveWarnDays", "ten");
    EXPECT_TRUE(CurrentBackupHealth(std::time(nullptr)).warn); // the default of 7
    EXPECT_TRUE(Has(
        Log(), "[Monitor] DriveWarnDays is \"ten\", not a whole number of at least 1; 7 is used"))
        << Log();
    Sql("DELETE FROM opcion WHERE ID = 'MobilBackupRestoreVolumeName';");
    r = Run({"backup"});
    EXPECT_EQ(r.status, 0) << r.out;
    health = CurrentBackupHealth(std::time(nullptr));
    EXPECT_FALSE(health.warn) << health.reason;
    EXPECT_FALSE(Has(health.panel, "备份盘")) << health.panel;
    r = Run({"status"});
    EXPECT_FALSE(Has(r.out, "Backup drive")) << r.out;
}

TEST_F(BackupDrive, AReadOnlyOrMissingDriveCostsNothingAlreadyOnItAndTheBackupCounts) {
    // An older archive on the drive, then the drive mounted read-only.
    fs::create_directories(Folder());
    MakeSmallArchive(Folder() + "ZentaMarket20240101120000.ZTB");
    const std::string old = ReadFile(Folder() + "ZentaMarket20240101120000.ZTB");
    ASSERT_TRUE(drive_->Mount("ro"));
    auto r = Run({"backup"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "Read-only file system")) << r.out;
    EXPECT_EQ(OnDrive(), std::vector<std::string>{"ZentaMarket20240101120000.ZTB"});
    EXPECT_EQ(ReadFile(Folder() + "ZentaMarket20240101120000.ZTB"), old);
    EXPECT_EQ(DirNames(AppPath() + "Backup/ZentaMarket??????????????.ZTB").size(), 1u);

    // Pulled out: the backup is good, the drive's absence is said, nothing failed.
    ASSERT_TRUE(drive_->Unmount());
    r = Run({"backup"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "The backup drive " + drive_->label() + " is not plugged in")) << r.out;
    r = Run({"status"});
    EXPECT_TRUE(Has(r.out, drive_->label() + ", not plugged in")) << r.out;
    EXPECT_TRUE(Has(r.out, "the drive was not plugged in")) << r.out;
    EXPECT_TRUE(Has(r.out, "last copy FAILED")) << r.out; // the read-only one, still the last

    // Back again, writable: the next copy works and the old archive is still there.
    ASSERT_TRUE(drive_->Mount());
    r = Run({"backup"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(OnDrive().size(), 2u);
    EXPECT_EQ(ReadFile(Folder() + "ZentaMarket20240101120000.ZTB"), old);

    // A drive whose ZentaBackup folder cannot be made (a file holds the name).
    fs::remove_all(Folder());
    WriteFile(drive_->mountPoint() + "ZentaBackup", "not a folder");
    r = Run({"backup"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "ZentaBackup/ cannot be made: File exists")) << r.out;
    EXPECT_EQ(ReadFile(drive_->mountPoint() + "ZentaBackup"), "not a folder");
}
