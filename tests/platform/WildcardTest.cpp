#include "Wildcard.h"
#include "FolderListing.h"
#include "TestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace zenta;
using zenta::test::TempDir;
using zenta::test::WriteFile;

TEST(Wildcard, DayFolderPatternOfTheRecordings) {
    const std::string p = "2?????????";
    EXPECT_TRUE(WildcardMatch(p, "2012-05-31"));
    EXPECT_TRUE(WildcardMatch(p, "2012"));
    EXPECT_TRUE(WildcardMatch(p, "2x"));
    EXPECT_TRUE(WildcardMatch(p, "2"));
    EXPECT_FALSE(WildcardMatch(p, "2012.old"));
    EXPECT_FALSE(WildcardMatch(p, "backup"));
    EXPECT_FALSE(WildcardMatch(p, "2012-05-31a"));
    EXPECT_FALSE(WildcardMatch(p, "12012-05-3"));
}

TEST(Wildcard, BackupArchivePattern) {
    const std::string p = "ZentaMarket??????????????.ZTB";
    EXPECT_TRUE(WildcardMatch(p, "ZentaMarket20240315142530.ZTB"));
    EXPECT_TRUE(WildcardMatch(p, "zentamarket20240315142530.ztb"));
    EXPECT_FALSE(WildcardMatch(p, "ZentaMarket20240315142530.ZTB.bak"));
    EXPECT_FALSE(WildcardMatch(p, "ZentaMarket202403151425301.ZTB"));
    EXPECT_FALSE(WildcardMatch(p, "OtherMarket20240315142530.ZTB"));
    EXPECT_FALSE(WildcardMatch(p, "ZentaMarket20240315142530.ZIP"));
    // A shorter name matches too: the question marks stop at the period.
    EXPECT_TRUE(WildcardMatch(p, "ZentaMarket2024.ZTB"));
}

TEST(Wildcard, StarForms) {
    EXPECT_TRUE(WildcardMatch("*.asf", "cam1.asf"));
    EXPECT_TRUE(WildcardMatch("*.asf", "a.b.ASF"));
    EXPECT_FALSE(WildcardMatch("*.asf", "cam1.asf.part"));
    EXPECT_FALSE(WildcardMatch("*.asf", "asf"));
    EXPECT_TRUE(WildcardMatch("*.*", "no-dot"));
    EXPECT_TRUE(WildcardMatch("*.*", "a.b"));
    EXPECT_TRUE(WildcardMatch("*", ""));
    EXPECT_TRUE(WildcardMatch("a*c", "abbbc"));
    EXPECT_FALSE(WildcardMatch("a*c", "abbbd"));
}

TEST(DirListing, AttributesDecideWhatIsListed) {
    TempDir dir;
    WriteFile(dir.path() + "a.asf", "x");
    WriteFile(dir.path() + ".hidden.asf", "x");
    std::filesystem::create_directory(dir.path() + "2012-05-31");
    std::filesystem::create_directory(dir.path() + "dir.asf");
    EXPECT_EQ(DirNames(dir.path() + "*.asf"), (std::vector<std::string>{"a.asf"}));
    EXPECT_EQ(DirNames(dir.path() + "*.asf", vbHidden),
              (std::vector<std::string>{".hidden.asf", "a.asf"}));
    EXPECT_EQ(DirNames(dir.path() + "*.asf", vbDirectory),
              (std::vector<std::string>{"a.asf", "dir.asf"}));
    EXPECT_EQ(DirNames(dir.path() + "2?????????", vbDirectory),
              (std::vector<std::string>{"2012-05-31"}));
    EXPECT_EQ(DirNames(dir.path() + "a.asf"), (std::vector<std::string>{"a.asf"}));
    EXPECT_TRUE(DirNames(dir.path() + "missing/*.*").empty());
}
