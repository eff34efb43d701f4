// The files around an archive, without a database: the archive password file, the names of
// archives, and the rows of a server-written data file.
#include "ArchiveNames.h"
#include "ArchivePassword.h"
#include "Restore.h"
#include "TestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace zenta;
using namespace zenta::test;
namespace fs = std::filesystem;

TEST(PasswordFile, OnlyAPrivatePlainFileWithAPasswordOnItsFirstLineIsTaken) {
    TempDir dir;
    const std::string file = dir.path() + "password";
    WriteFile(file, "  the secret  \r\nsecond line\n");
    ::chmod(file.c_str(), 0600);
    const auto good = ReadPasswordFile(file);
    ASSERT_TRUE(good) << good.error();
    EXPECT_EQ(*good, "the secret");
    ::chmod(file.c_str(), 0400);
    EXPECT_TRUE(ReadPasswordFile(file));

    auto refused = [&](const std::string& path, const std::string& why) {
        const auto r = ReadPasswordFile(path);
        EXPECT_FALSE(r) << path;
        EXPECT_NE(r.error().find(why), std::string::npos) << r.error();
    };
    ::chmod(file.c_str(), 0640);
    refused(file, "is open to other users (mode 0640): chmod 600 " + file);
    ::chmod(file.c_str(), 0600);
    // A link is never followed: it could point anywhere.
    fs::create_symlink(file, dir.path() + "link");
    refused(dir.path() + "link", "cannot be read");
    fs::create_directory(dir.path() + "folder");
    ::chmod((dir.path() + "folder").c_str(), 0700);
    refused(dir.path() + "folder", "is not a plain file");
    ASSERT_EQ(::mkfifo((dir.path() + "fifo").c_str(), 0600), 0);
    refused(dir.path() + "fifo", "is not a plain file"); // never waited on for a writer
    WriteFile(dir.path() + "empty", "\n  \nsecret on line two\n");
    ::chmod((dir.path() + "empty").c_str(), 0600);
    refused(dir.path() + "empty", "holds no password on its first line");
    WriteFile(dir.path() + "long", std::string(1001, 'x') + "\n");
    ::chmod((dir.path() + "long").c_str(), 0600);
    refused(dir.path() + "long", "is longer than 1000 characters");
    refused(dir.path() + "missing", "cannot be read (No such file or directory)");
}

TEST(ArchiveNames, BuiltAndReadInOnePlace) {
    DateTime t;
    t.year = 2026;
    t.month = 12;
    t.day = 7;
    t.hour = 2;
    t.minute = 0;
    t.second = 9;
    const std::string stamp = ArchiveStamp(t);
    EXPECT_EQ(stamp, "20261207020009");
    EXPECT_EQ(ArchiveFileName(stamp, ArchiveKind::Good), "ZentaMarket20261207020009.ZTB");
    for (const auto kind : {ArchiveKind::Good, ArchiveKind::Incomplete, ArchiveKind::Shrunk}) {
        const auto parsed = ParseArchiveName("/some/folder/" + ArchiveFileName(stamp, kind));
        ASSERT_TRUE(parsed);
        EXPECT_EQ(parsed->kind, kind);
        EXPECT_EQ(parsed->time.StampText(), "2026-12-07 02:00:09");
    }
    for (const char* bad :
         {"ZentaMarket2026120702000.ZTB", "ZentaMarket20261307020009.ZTB",
          "ZentaMarket20261207020009.ZTB.partial", "zentamarket20261207020009.ztb",
          "ZentaMarket20261207020009-OTHER.ZTB", "Other20261207020009.ZTB"})
        EXPECT_FALSE(ParseArchiveName(bad)) << bad;
}

TEST(ArchiveNames, AnotherArchiveOfTheSameSecondIsSeenUnderAnyOfItsNames) {
    TempDir dir;
    EXPECT_FALSE(ArchiveNameTaken(dir.path(), "20261207020009"));
    WriteFile(dir.path() + "ZentaMarket20261207020009-SHRUNK.ZTB", "x");
    EXPECT_TRUE(ArchiveNameTaken(dir.path(), "20261207020009"));
    EXPECT_FALSE(ArchiveNameTaken(dir.path(), "20261207020010"));
}

TEST(OutfileRows, OnlyLineEndsTheServerDidNotEscapeCount) {
    TempDir dir;
    // A field holding an escaped CR LF, one holding a backslash before the real line end.
    WriteFile(dir.path() + "t.dat", "1,a\\\r\\\nb\r\n2,c\\\\\r\n3,\\N\r\n");
    EXPECT_EQ(CountOutfileRows(dir.path() + "t.dat"), 3);
    WriteFile(dir.path() + "empty.dat", "");
    EXPECT_EQ(CountOutfileRows(dir.path() + "empty.dat"), 0);
    EXPECT_EQ(CountOutfileRows(dir.path() + "missing.dat"), -1);
}
