#include "Common.h"
#include "DbCheckFixture.h"
#include "TodoSobreDB.h"

using namespace zenta;
using namespace zenta::test;
namespace fs = std::filesystem;

class ReferenceDatabase : public DbCheckTest {
  protected:
    std::string Options() {
        return Sql("SELECT ID, IFNULL(IntegerValor, ''), IFNULL(VarCharValor, '') FROM "
                   "zentasupermarketbasic.opcion ORDER BY ID;");
    }
    std::string CurrentDatabase() {
        DataBase().CreatDatasArray("SELECT DATABASE();");
        return DataBase().DatasArrayValue(0, 0).ToString();
    }
};

TEST_F(ReferenceDatabase, IsBuiltFromTheShippedPackageAndBackOnTheWorkingDatabase) {
    fs::create_directories(AppPath() + "Database/Temp");
    WriteFile(AppPath() + "Database/Temp/leftover.dat", "from an earlier run");
    InstallBasicDataBase(DataBase(), false);
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = "
                  "'zentasupermarketbasic';"),
              "18\n");
    const std::string days = Sql("SELECT TO_DAYS(NOW());");
    EXPECT_EQ(Options(), "FechaInstalacion\t" + days.substr(0, days.size() - 1) +
                             "\t\nInstallPath\t\t" + AppPath() + "\nVersion\t" +
                             std::to_string(ProgramVersionNumber()) + "\t\n");
    EXPECT_EQ(CurrentDatabase(), "zentasupermarket");
    EXPECT_TRUE(fs::is_empty(AppPath() + "Database/Temp"));
    EXPECT_EQ(NoRunSqlLog(), "");
}

TEST_F(ReferenceDatabase, IsRebuiltOnlyForAnOlderOrMissingVersion) {
    InstallBasicDataBase(DataBase(), false);
    auto marked = [&] {
        return Sql("SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = "
                   "'zentasupermarketbasic' AND TABLE_NAME = 'marker';") == "1\n";
    };
    const int version = ProgramVersionNumber();
    Sql("CREATE TABLE zentasupermarketbasic.marker (a int);");
    InstallBasicDataBase(DataBase(), false); // equal
    EXPECT_TRUE(marked());
    Sql("UPDATE zentasupermarketbasic.opcion SET IntegerValor = " + std::to_string(version + 1) +
        " WHERE ID = 'Version';");
    InstallBasicDataBase(DataBase(), false); // higher
    EXPECT_TRUE(marked());
    Sql("UPDATE zentasupermarketbasic.opcion SET IntegerValor = " + std::to_string(version - 1) +
        " WHERE ID = 'Version';");
    InstallBasicDataBase(DataBase(), false); // lower
    EXPECT_FALSE(marked());
    EXPECT_EQ(Sql("SELECT IntegerValor FROM zentasupermarketbasic.opcion WHERE ID = 'Version';"),
              std::to_string(version) + "\n");
    Sql("CREATE TABLE zentasupermarketbasic.marker (a int); DELETE FROM "
        "zentasupermarketbasic.opcion WHERE ID = 'Version';");
    InstallBasicDataBase(DataBase(), false); // no Version row
    EXPECT_FALSE(marked());
    Sql("CREATE TABLE zentasupermarketbasic.marker (a int);");
    InstallBasicDataBase(DataBase(), true); // forced
    EXPECT_FALSE(marked());
}

TEST_F(ReferenceDatabase, AProgramFolderWithAQuoteStillBuildsAndIsStoredUnchanged) {
    TempDir app("shop's \\app");
    Prepare(app.path());
    Globals::AppPath = app.path();
    InstallBasicDataBase(DataBase(), true);
    EXPECT_EQ(
        Sql("SELECT VarCharValor FROM zentasupermarketbasic.opcion WHERE ID = 'InstallPath';"),
        ReplaceAll(app.path(), "\\", "\\\\") + "\n");
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM zentasupermarketbasic.opcion;"), "3\n");
}
