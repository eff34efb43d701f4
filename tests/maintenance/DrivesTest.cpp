#include "RemovableDrives.h"
#include "TestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace zenta;
using zenta::test::Shell;
using zenta::test::TempDir;

TEST(Drives, MountInfoAndLabelEscapesAreRead) {
    const auto mounts = ParseMountInfo(
        "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
        "45 27 7:0 / /media/shop\\040usb rw,relatime - vfat /dev/sdb1 rw,fmask=0022\n"
        "50 27 0:40 / /proc rw - proc proc rw\n"
        "garbage line\n");
    ASSERT_EQ(mounts.size(), 3u);
    EXPECT_EQ(mounts[1].first, "/dev/sdb1");
    EXPECT_EQ(mounts[1].second, "/media/shop usb");
    EXPECT_EQ(UnescapeLabel("ZENTA\\x20BAK"), "ZENTA BAK");
}

TEST(Drives, LabelsMatchTrimmedAndWithoutCase) {
    SetVolumeSource([] {
        return std::vector<MountedVolume>{{" zentabak ", "/media/a"},
                                          {"ZENTABAK", "/media/b"},
                                          {"OTHER", "/media/c"},
                                          {"ZENTABAK2", "/media/d"}};
    });
    EXPECT_EQ(DrivesWithLabel("ZentaBak  "), (std::vector<std::string>{"/media/a", "/media/b"}));
    EXPECT_TRUE(DrivesWithLabel("nothing").empty());
    SetVolumeSource(nullptr);
}

TEST(Drives, ARealLabelledFileSystemIsFound) {
    TempDir dir;
    const std::string image = dir.path() + "usb.img", mount = dir.path() + "mnt";
    std::filesystem::create_directory(mount);
    if (::geteuid() != 0 ||
        Shell("truncate -s 8M '" + image + "' && mkfs.ext2 -q -L 'ZENTA BAK' '" + image +
              "' 2>/dev/null") != 0 ||
        Shell("mount -o loop '" + image + "' '" + mount + "' 2>/dev/null") != 0)
        GTEST_SKIP()
            << "this machine cannot loop-mount a file system (needs root and loop devices)";
    bool found = false;
    for (const auto& v : MountedLabelledVolumes())
        if (v.label == "ZENTA BAK" && v.mountPoint + "/" == mount + "/")
            found = true;
    Shell("umount '" + mount + "'");
    EXPECT_TRUE(found);
}
