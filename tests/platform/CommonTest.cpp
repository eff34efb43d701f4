#include "Common.h"
#include "CodePage.h"
#include "TestSupport.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <sys/stat.h>

using namespace zenta;
using zenta::test::TempDir;
using zenta::test::WriteFile;
namespace fs = std::filesystem;

TEST(Common, SQLEscapePlainAndLikeModes) {
    EXPECT_EQ(SQLEscape("O'Brien\\x"), "O\\'Brien\\\\x");
    EXPECT_EQ(SQLEscape("50%_off", true), "50\\%\\_off");
    EXPECT_EQ(SQLEscape("a\\b", true), "a\\\\\\\\b");
    EXPECT_EQ(SQLEscape("plain"), "plain");
}

TEST(Common, QuoteIfSpacedTrimsTheCallersText) {
    std::string path = "  /srv/my shop/a.ZTB  ";
    EXPECT_EQ(QuoteIfSpaced(path), "\"/srv/my shop/a.ZTB\"");
    EXPECT_EQ(path, "/srv/my shop/a.ZTB");
    std::string plain = " /srv/a ";
    EXPECT_EQ(QuoteIfSpaced(plain), "/srv/a");
}

TEST(Common, AnsiBytesToStringDecodesTheSuitesCodePage) {
    EXPECT_EQ(AnsiBytesToString(Variant(Bytes{0xB0, 0xA1})), "啊");
    EXPECT_EQ(AnsiBytesToString(Variant(Null{})), "");
    const std::string gbk = ToAnsi("超市ABC");
    EXPECT_EQ(AnsiBytesToString(Variant(Bytes(gbk.begin(), gbk.end()))), "超市ABC");
    setenv("ZENTA_CODEPAGE", "UTF-8", 1);
    EXPECT_EQ(AnsiBytesToString(Variant(Bytes{0xE5, 0x95, 0x8A})), "啊");
    unsetenv("ZENTA_CODEPAGE");
}

TEST(Common, CodePageConversionSurvivesInvalidBytes) {
    const std::string bad = std::string("ok\xff\x80", 4) + "x";
    const std::string out = FromAnsi(bad);
    EXPECT_TRUE(IsValidUtf8(out));
    EXPECT_EQ(out.substr(0, 2), "ok");
    EXPECT_EQ(out.back(), 'x');
}

TEST(Common, QuickSortStringsSortsByByteOrder) {
    std::vector<std::string> v = {"alpha", "Zeta", "beta", "Alpha", "_x", "a"};
    QuickSortStrings(v, 0, static_cast<int>(v.size()) - 1);
    EXPECT_EQ(v, (std::vector<std::string>{"Alpha", "Zeta", "_x", "a", "alpha", "beta"}));
    std::mt19937 rng(7);
    for (int round = 0; round < 50; ++round) {
        std::vector<std::string> w;
        for (int i = 0; i < 200; ++i)
            w.push_back(std::to_string(rng() % 50));
        auto expected = w;
        std::sort(expected.begin(), expected.end());
        QuickSortStrings(w, 0, static_cast<int>(w.size()) - 1);
        ASSERT_EQ(w, expected);
    }
    std::vector<std::string> part = {"d", "c", "b", "a"};
    QuickSortStrings(part, 1, 2);
    EXPECT_EQ(part, (std::vector<std::string>{"d", "b", "c", "a"}));
}

TEST(Common, FoldersAreCreatedAndRemovedWhole) {
    TempDir dir;
    const std::string deep = dir.path() + "a/b/c";
    EXPECT_TRUE(CreateFolderPath(deep));
    EXPECT_TRUE(CreateFolderPath(deep + "/"));
    EXPECT_TRUE(DirExists(deep));
    EXPECT_FALSE(DirExists(""));
    WriteFile(deep + "/f", "x");
    EXPECT_TRUE(DirExists(deep + "/f")); // a file passes, as it always did
    EXPECT_FALSE(CreateFolderPath(deep + "/f/g"));
    EXPECT_FALSE(CreateFolderPath("relative/path"));

    WriteFile(dir.path() + "a/.hidden", "x");
    WriteFile(dir.path() + "a/b/readonly", "x");
    ::chmod((dir.path() + "a/b/readonly").c_str(), 0444);
    ::chmod((dir.path() + "a/b").c_str(), 0555);
    EXPECT_TRUE(DeleteFolderTree(dir.path() + "a"));
    EXPECT_FALSE(fs::exists(dir.path() + "a"));
}

TEST(Common, FileExistsSeesHiddenFilesButNotFolders) {
    TempDir dir;
    WriteFile(dir.path() + ".dotfile", "x");
    fs::create_directory(dir.path() + "sub");
    EXPECT_TRUE(FileExists(dir.path() + ".dotfile"));
    EXPECT_FALSE(FileExists(dir.path() + "sub"));
    EXPECT_FALSE(FileExists(dir.path() + "none"));
    EXPECT_FALSE(FileExists(""));
}

TEST(Common, DiskFreeBytesIsMeasuredAndTheFolderNormalised) {
    TempDir dir;
    std::string folder = "  " + dir.path().substr(0, dir.path().size() - 1) + " ";
    double free = GetDiskFreeBytes(folder);
    EXPECT_GT(free, 0);
    EXPECT_EQ(folder, dir.path());
    std::string missing = dir.path() + "nowhere";
    EXPECT_EQ(GetDiskFreeBytes(missing), 0);
}

TEST(Common, ProcessorIdLooksLikeWindowsGivesIt) {
    const std::string id = GetProcessorID();
    ASSERT_EQ(id.size(), 16u);
    EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(id, GetProcessorID());
}
