#include "CompararDBEstructura.h"
#include "DbCheckFixture.h"
#include "IniFile.h"
#include "StructureComparer.h"
#include "TodoSobreDB.h"

#include <sstream>

using namespace zenta;
using namespace zenta::test;
namespace fs = std::filesystem;

class Comparer : public DbCheckTest {
  protected:
    void SetUp() override {
        DbCheckTest::SetUp();
        InstallBasicDataBase(DataBase(), false);
        const std::string port = std::to_string(DbPort());
        IniFile::Write(AppPath() + "MySQLCompare.ini", "Etalon", "Port", port);
        IniFile::Write(AppPath() + "MySQLCompare.ini", "Target", "Port", port);
        Sql("INSERT INTO stockcambio (AlmacenID, ArticuloID, Cantidad) VALUES (1, 'A', 1), (1, "
            "'B', 2);"
            "INSERT INTO stock VALUES (1, 'A', 5);");
    }
    // The statements of the difference script (comments left out).
    std::vector<std::string> Statements() {
        EXPECT_EQ(MySQLRepair(AppPath() + "MySQLCompare.ini"), 0) << MySQLRepairLastError();
        std::vector<std::string> out;
        if (!fs::exists(AppPath() + "MySQLCompare.sql"))
            return out;
        std::istringstream in(ReadFile(AppPath() + "MySQLCompare.sql"));
        std::string line;
        while (std::getline(in, line))
            if (!line.empty() && line.rfind("--", 0) != 0)
                out.push_back(line);
        return out;
    }
    void ApplyScript() { Sql(ReadFile(AppPath() + "MySQLCompare.sql")); }
};

TEST_F(Comparer, IdenticalStructuresWriteNothing) {
    WriteFile(AppPath() + "MySQLCompare.sql", "old");
    EXPECT_TRUE(Statements().empty());
    EXPECT_FALSE(fs::exists(AppPath() + "MySQLCompare.sql"));
}

TEST_F(Comparer, EveryKindOfDifferenceIsRepairedAndTheRepairConverges) {
    const std::vector<std::string> mutations = {
        "ALTER TABLE articulo DROP COLUMN Nota;",
        "ALTER TABLE articulo MODIFY Precio decimal(10,2) NOT NULL DEFAULT 0.00;",
        "ALTER TABLE cliente MODIFY NombreES varchar(100) NOT NULL DEFAULT '';",
        "ALTER TABLE articulo ALTER CantidadPorUnidad SET DEFAULT 2.000;",
        "ALTER TABLE stockcambio MODIFY ID bigint(20) NOT NULL;",
        "ALTER TABLE stockcambio MODIFY ID bigint(20) NOT NULL, DROP PRIMARY KEY;",
        "ALTER TABLE ticket DROP INDEX Fecha;",
        "ALTER TABLE stockcambio DROP INDEX AlmacenArticulo, ADD INDEX AlmacenArticulo "
        "(ArticuloID);",
        "DROP TABLE ventadiariototal;",
        "ALTER TABLE proveedor ENGINE=MyISAM;",
        "ALTER TABLE cliente DEFAULT CHARSET=latin1;",
        "ALTER TABLE articulo MODIFY NombreCN varchar(100) CHARACTER SET latin1 DEFAULT NULL;",
        "ALTER TABLE stock DROP PRIMARY KEY;",
        "ALTER TABLE opcion MODIFY VarCharValor varchar(100) DEFAULT 'x' COMMENT 'changed';",
    };
    for (const auto& m : mutations) {
        ResetDatabase();
        Sql("INSERT INTO stockcambio (AlmacenID, ArticuloID, Cantidad) VALUES (1, 'A', 1), (1, "
            "'B', 2);");
        Sql(m);
        const auto first = Statements();
        EXPECT_FALSE(first.empty()) << m;
        ApplyScript();
        EXPECT_EQ(Statements(), std::vector<std::string>{}) << m;
        EXPECT_EQ(Sql("SELECT COUNT(*) FROM stockcambio;"), "2\n") << m;
    }
    // All at once.
    ResetDatabase();
    for (const auto& m : mutations)
        if (m.find("MODIFY ID bigint(20) NOT NULL;") == std::string::npos)
            Sql(m);
    EXPECT_GT(Statements().size(), 5u);
    ApplyScript();
    EXPECT_EQ(Statements(), std::vector<std::string>{});
}

TEST_F(Comparer, AMissingTableIsCreatedWithoutTheReferencesCounter) {
    Sql("ALTER TABLE zentasupermarketbasic.ticketcobro AUTO_INCREMENT = 777;"
        "DROP TABLE ticketcobro;");
    const auto statements = Statements();
    Sql("ALTER TABLE zentasupermarketbasic.ticketcobro AUTO_INCREMENT = 1;");
    ASSERT_EQ(statements.size(), 1u);
    EXPECT_EQ(statements[0].rfind("CREATE TABLE `ticketcobro`", 0), 0u) << statements[0];
    EXPECT_EQ(statements[0].find("AUTO_INCREMENT=777"), std::string::npos) << statements[0];
    EXPECT_NE(statements[0].find("AUTO_INCREMENT,"), std::string::npos) << statements[0];
}

TEST_F(Comparer, WhatOnlyTheTargetHasIsListedAndLeftAlone) {
    Sql("CREATE TABLE custom_report (a int); INSERT INTO custom_report VALUES (1);"
        "ALTER TABLE articulo ADD COLUMN Custom int, ADD INDEX ix_custom (Custom);");
    EXPECT_TRUE(Statements().empty());
    const std::string script = ReadFile(AppPath() + "MySQLCompare.sql");
    EXPECT_NE(script.find("-- table custom_report"), std::string::npos);
    EXPECT_NE(script.find("-- column articulo.Custom"), std::string::npos);
    EXPECT_NE(script.find("-- index articulo.ix_custom"), std::string::npos);
    ApplyScript();
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM custom_report;"), "1\n");
}

TEST_F(Comparer, TheStructureCheckAnswersAndCleansUp) {
    WriteFile(AppPath() + "MySQLCompare.sql", "left from an earlier check");
    EXPECT_TRUE(CompareDBStructure());
    EXPECT_FALSE(fs::exists(AppPath() + "LibMySQLRepair.log"));
    EXPECT_EQ(IniFile::Read(AppPath() + "MySQLCompare.ini", "Etalon", "Port"),
              std::to_string(DbPort()));
    EXPECT_EQ(IniFile::Read(AppPath() + "MySQLCompare.ini", "Target", "Port"),
              std::to_string(DbPort()));
    Sql("ALTER TABLE ticket DROP INDEX Fecha;");
    EXPECT_FALSE(CompareDBStructure());
    EXPECT_NE(ReadFile(AppPath() + "MySQLCompare.sql").find("ADD KEY `Fecha`"), std::string::npos);
    WriteFile(AppPath() + "MySQLCompare.sql", "");
}

TEST_F(Comparer, AComparisonThatCannotRunIsNoMatch) {
    IniFile::Write(AppPath() + "MySQLCompare.ini", "Target", "Password", "wrong");
    EXPECT_FALSE(CompareDBStructure());
    EXPECT_NE(
        ReadFile(AppPath() + "Log/ZentaMarketMonitor.log").find("could not run: cannot connect"),
        std::string::npos);
    // No port in the settings: 3306 is written for both, where nothing answers here.
    WriteFile(AppPath() + "zentamarket.ini", "[MySQL]\r\nMySQLHost=127.0.0.1\r\n");
    EXPECT_FALSE(CompareDBStructure());
    EXPECT_EQ(IniFile::Read(AppPath() + "MySQLCompare.ini", "Etalon", "Port"), "3306");
}
