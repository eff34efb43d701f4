#include "SevenZip.h"
#include "Globals.h"
#include "TestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

using namespace zenta;
using zenta::test::ReadFile;
using zenta::test::TempDir;
using zenta::test::WriteFile;

TEST(SevenZipCommands, CompressLinesCharacterForCharacter) {
    std::string archive = "/srv/Bak/A.ZTB", source = "/srv/W", pw;
    EXPECT_EQ(SevenZipCompressCommand(archive, source, true, pw, 5),
              "a -y -t7z -mx5 /srv/Bak/A.ZTB /srv/W/* -hide");
    EXPECT_EQ(source, "/srv/W/");
    // The same line whether or not the folder had its separator.
    EXPECT_EQ(SevenZipCompressCommand(archive, source, true, pw, 5),
              "a -y -t7z -mx5 /srv/Bak/A.ZTB /srv/W/* -hide");
    std::string secret = " my secret ";
    std::string spaced = "  /srv/my backups/A.ZTB ";
    EXPECT_EQ(SevenZipCompressCommand(spaced, source, false, secret, 0),
              "a -y -tzip -mx0  -p\"my secret\" \"/srv/my backups/A.ZTB\" /srv/W/* -hide");
    EXPECT_EQ(spaced, "/srv/my backups/A.ZTB");
    EXPECT_EQ(secret, "my secret");
}

TEST(SevenZipCommands, ExtractLinesAlwaysCarryThePasswordSwitch) {
    std::string archive = "/srv/S.dat", dest = "/tmp/T", pw;
    EXPECT_EQ(SevenZipExtractCommand(archive, dest, pw, false),
              "x -y  -aoa  -p -o/tmp/T/ /srv/S.dat -hide");
    std::string pw2 = "abc";
    EXPECT_EQ(SevenZipExtractCommand(archive, dest, pw2, true),
              "x -y  -aos  -pabc -o/tmp/T/ /srv/S.dat -hide");
}

TEST(SevenZipCommands, SplittingFollowsSevenZipQuoting) {
    EXPECT_EQ(SplitSevenZipCommandLine("a -y  -p\"my secret\" \"/a b/c.7z\" x\"y z\"w"),
              (std::vector<std::string>{"a", "-y", "-pmy secret", "/a b/c.7z", "xy zw"}));
    EXPECT_EQ(SplitSevenZipCommandLine("x -p \"\" end"),
              (std::vector<std::string>{"x", "-p", "", "end"}));
}

TEST(SevenZipArchives, RoundTripsWithPasswordsFormatsAndOverwriteModes) {
    TempDir dir;
    std::filesystem::create_directories(dir.path() + "src dir");
    WriteFile(dir.path() + "src dir/a file.txt", "alpha");
    WriteFile(dir.path() + "src dir/data.dat", std::string(100000, 'x') + "end");
    for (bool sevenZ : {true, false}) {
        for (std::string pw : {std::string(), std::string("pass word")}) {
            std::string archive = dir.path() + "out put." + (sevenZ ? "7z" : "zip");
            std::string source = dir.path() + "src dir";
            std::string password = pw;
            ASSERT_EQ(SevenZipCompress(archive, source, sevenZ, password, 5), 0);
            ASSERT_TRUE(std::filesystem::exists(archive));
            EXPECT_EQ(SevenZipTest(archive, pw), 0);
            if (!pw.empty()) {
                EXPECT_NE(SevenZipTest(archive, "wrong"), 0);
            }
            std::string dest = dir.path() + "dest";
            std::filesystem::remove_all(dest);
            std::string pw2 = pw;
            ASSERT_EQ(SevenZipExtract(archive, dest, pw2, false), 0);
            EXPECT_EQ(ReadFile(dest + "/a file.txt"), "alpha");
            EXPECT_EQ(ReadFile(dest + "/data.dat"), std::string(100000, 'x') + "end");
            // Keep existing files, or overwrite them.
            WriteFile(dest + "/a file.txt", "changed");
            pw2 = pw;
            EXPECT_EQ(SevenZipExtract(archive, dest, pw2, true), 0);
            EXPECT_EQ(ReadFile(dest + "/a file.txt"), "changed");
            pw2 = pw;
            EXPECT_EQ(SevenZipExtract(archive, dest, pw2, false), 0);
            EXPECT_EQ(ReadFile(dest + "/a file.txt"), "alpha");
        }
    }
}

TEST(SevenZipArchives, AFailedPackingLeavesNoOldArchiveBehind) {
    TempDir dir;
    WriteFile(dir.path() + "old.7z", "an older archive");
    std::string archive = dir.path() + "old.7z", source = dir.path() + "missing-folder", pw;
    EXPECT_NE(SevenZipCompress(archive, source, true, pw, 5), 0);
    // 7-Zip may leave an empty archive with its warning, but never the older one.
    EXPECT_NE(ReadFile(dir.path() + "old.7z"), "an older archive");
    std::string bad = dir.path() + "none.7z", dest = dir.path() + "d";
    EXPECT_NE(SevenZipExtract(bad, dest, pw, false), 0);
}

TEST(SevenZipArchives, APasswordReachesTheArchiverOnItsInputNeverOnItsCommandLineOrInTheLog) {
    TempDir dir;
    Globals::AppPath = dir.path();
    std::filesystem::create_directories(dir.path() + "Log");
    // An archiver that writes down what it was given, then fails (so the line is logged).
    const std::string fake = dir.path() + "fake7z";
    WriteFile(fake, "#!/bin/sh\necho \"$@\" >>'" + dir.path() + "args'\ncat >>'" + dir.path() +
                        "input'\nexit 2\n");
    std::filesystem::permissions(fake, std::filesystem::perms::owner_all);
    ::setenv("ZENTA_7ZIP", fake.c_str(), 1);
    std::string archive = dir.path() + "a.ZTB", source = dir.path(), pw = " top secret ";
    EXPECT_EQ(SevenZipCompress(archive, source, true, pw, 5), 2);
    EXPECT_EQ(SevenZip("x -y -psecond-secret " + archive + " -hide"), 2);
    EXPECT_EQ(SevenZipTest(archive, ""), 2);
    ::unsetenv("ZENTA_7ZIP");
    EXPECT_EQ(ReadFile(dir.path() + "args"),
              "a -p -mhe=on -y -t7z -mx5 " + archive + " " + dir.path() + "*\n" + // packing
                  "x -y " + archive + "\n" +                                      // asks
                  "t -p -y " + archive + "\n"); // none: an empty one, no question
    EXPECT_EQ(ReadFile(dir.path() + "input"),
              "top secret\ntop secret\nsecond-secret\nsecond-secret\n");
    const std::string log = ReadFile(dir.path() + "Log/ZentaMarketMonitor.log");
    EXPECT_NE(log.find("7-Zip ended with status 2"), std::string::npos);
    EXPECT_EQ(log.find("secret"), std::string::npos);
}
