#include "StructureComparer.h"

#include <gtest/gtest.h>

using namespace zenta::dbstructure;

TEST(ComparerNormalForms, HowServersPrintADefinitionDoesNotCount) {
    EXPECT_EQ(NormalType("int(11)"), NormalType("int"));
    EXPECT_EQ(NormalType("BIGINT(20) unsigned"), NormalType("bigint unsigned"));
    EXPECT_NE(NormalType("int"), NormalType("bigint"));
    EXPECT_NE(NormalType("varchar(30)"), NormalType("varchar(31)"));
    EXPECT_NE(NormalType("decimal(12,2)"), NormalType("decimal(12,3)"));
    EXPECT_EQ(NormalType("integer(11)"), "int");
    EXPECT_EQ(NormalType("TinyInt(4) unsigned zerofill"), "tinyint unsigned zerofill");
    EXPECT_EQ(NormalType("mediumint(9)"), NormalType("mediumint"));
    EXPECT_NE(NormalType("smallint(6)"), NormalType("tinyint"));
    EXPECT_EQ(NormalType("int(x)"), "int(x)"); // not a display width: left as printed
    EXPECT_EQ(NormalDefault(std::string("'abc'"), true), NormalDefault(std::string("abc"), true));
    EXPECT_EQ(NormalDefault(std::string("NULL"), true), NormalDefault(std::nullopt, true));
    EXPECT_EQ(NormalDefault(std::string("current_timestamp()"), false),
              NormalDefault(std::string("CURRENT_TIMESTAMP"), false));
    EXPECT_NE(NormalDefault(std::string("'0'"), false), NormalDefault(std::nullopt, false));
    EXPECT_EQ(NormalExtra("DEFAULT_GENERATED on update CURRENT_TIMESTAMP"),
              NormalExtra("on update current_timestamp()"));
    EXPECT_EQ(NormalExtra("auto_increment"), "auto_increment");
    EXPECT_EQ(NormalCollation("utf8mb3_general_ci"), NormalCollation("utf8_general_ci"));
}

TEST(ComparerNormalForms, ExtrasAreListedNeverDropped) {
    Table ref{
        "t", "InnoDB", "utf8mb4_general_ci", {{"ID", "int(11)", false, std::nullopt, "", "", ""}},
        {},  ""};
    Table tgt = ref;
    tgt.columns.push_back({"Extra", "int(11)", true, std::nullopt, "", "", ""});
    tgt.indexes["ix"] = Index{"ix", false, "BTREE", {"Extra"}};
    Structure reference{{"t", ref}},
        target{{"t", tgt}, {"other", Table{"other", "InnoDB", "", {}, {}, ""}}};
    const auto d = Compare(reference, target);
    EXPECT_TRUE(d.statements.empty());
    ASSERT_EQ(d.comments.size(), 3u);
    for (const auto& c : d.comments)
        EXPECT_EQ(c.rfind("-- ", 0), 0u);
}
