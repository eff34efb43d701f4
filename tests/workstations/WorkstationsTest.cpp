#include "DbFixture.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "clsOrdenadorEjecutando.h"

#include <chrono>
#include <thread>

using namespace zenta;
using namespace zenta::test;

class Workstations : public DbTest {
  protected:
    void SetUp() override {
        DbTest::SetUp();
        Globals::LocalIP = "10.0.0.1";
        ConnectDataBase();
    }
    std::string Rows() {
        return Sql("SELECT MysqlID, ProgramaID, OrdenadorNombre FROM ordenadorejecutando ORDER BY "
                   "ProgramaID;");
    }
};

TEST_F(Workstations, OnlyTheThreeFrontEndsRegisterAndDeregister) {
    const std::string id = DataBase().ConnectionID();
    {
        clsOrdenadorEjecutando cashier("ZentaMarket");
        EXPECT_EQ(Rows(), id + "\tZentaMarket\t10.0.0.1\n");
        EXPECT_EQ(Sql("SELECT ABS(TIMESTAMPDIFF(SECOND, LoginTiempo, NOW())) < 60 FROM "
                      "ordenadorejecutando;"),
                  "1\n");
        clsOrdenadorEjecutando monitor("ZentaMarketMonitor");
        clsOrdenadorEjecutando wrongCase("zentamarket");
        EXPECT_EQ(Rows(), id + "\tZentaMarket\t10.0.0.1\n");
    }
    EXPECT_EQ(Rows(), "");
    // A stale row of the same program on this workstation goes too, whatever its id.
    Sql("INSERT INTO ordenadorejecutando VALUES ('999', 'ZentaMarketMan', '10.0.0.1', NOW()),"
        "('998', 'ZentaMarketMan', '10.0.0.9', NOW());");
    { clsOrdenadorEjecutando man("ZentaMarketMan"); }
    EXPECT_EQ(Rows(), "998\tZentaMarketMan\t10.0.0.9\n");
}

TEST_F(Workstations, CountsAndListsByWorkstation) {
    clsOrdenadorEjecutando reader;
    EXPECT_EQ(reader.Count(), 0);
    EXPECT_EQ(reader.List(), "");
    Sql("INSERT INTO ordenadorejecutando VALUES ('1', 'ZentaMarket', '10.0.0.1', NOW()),"
        "('2', 'ZentaMarketMan', '10.0.0.1', NOW());");
    EXPECT_EQ(reader.Count(), 1);
    EXPECT_EQ(reader.List(), "'10.0.0.1'");
    EXPECT_EQ(reader.ListWithoutLocal(), "");
    EXPECT_EQ(reader.LocalMainCount(), 1);
    Sql("INSERT INTO ordenadorejecutando VALUES ('3', 'ZentaMarketPriAdv', '10.0.0.2', NOW()),"
        "('4', 'ZentaMarket', '10.0.0.3', NOW());");
    EXPECT_EQ(reader.Count(), 3);
    EXPECT_EQ(reader.MainCount(), 2);
    EXPECT_EQ(reader.PriAdvCount(), 1);
    EXPECT_FALSE(reader.IsWorking("10.0.0.2")); // price program only
    EXPECT_TRUE(reader.IsWorking("10.0.0.3"));
    EXPECT_FALSE(reader.IsWorking("x' OR '1'='1"));
    const std::string list = reader.List();
    EXPECT_EQ(list.size(), std::string("'10.0.0.1', '10.0.0.2', '10.0.0.3'").size());
    EXPECT_NE(list.find("'10.0.0.2'"), std::string::npos);
    EXPECT_EQ(reader.ListWithoutLocal().find("10.0.0.1"), std::string::npos);
}

TEST_F(Workstations, ThePurgeRemovesExactlyTheRowsWhoseConnectionHasGone) {
    Sql("CREATE USER IF NOT EXISTS 'o''ne\\\\il'@'%' IDENTIFIED BY 'pw'; GRANT ALL ON *.* TO "
        "'o''ne\\\\il'@'%';",
        "mysql");
    clsDataBase alive, quoted;
    alive.Connect("127.0.0.1", DbPort(), "", kBackOfficeUser, kBackOfficePassword);
    quoted.Connect("127.0.0.1", DbPort(), "zentasupermarket", "o'ne\\il", "pw");
    ASSERT_TRUE(quoted.ConnectionStatus()) << quoted.LastError().Text();
    auto gone = std::make_unique<clsDataBase>();
    gone->Connect("127.0.0.1", DbPort(), "", kBackOfficeUser, kBackOfficePassword);
    const std::string goneId = gone->ConnectionID();
    Sql("INSERT INTO ordenadorejecutando VALUES ('" + alive.ConnectionID() +
        "', 'ZentaMarket', 'A', NOW()),"
        "('" +
        quoted.ConnectionID() +
        "', 'ZentaMarket', 'B', NOW()),"
        "('" +
        goneId + "', 'ZentaMarket', 'C', NOW()), ('99999999', 'ZentaMarketMan', 'D', NOW());");
    gone.reset();
    for (int i = 0;
         i < 50 &&
         !Sql("SELECT ID FROM information_schema.PROCESSLIST WHERE ID = " + goneId + ";").empty();
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    clsOrdenadorEjecutando reader;
    reader.ActualizarOrdenadoresEjecutandos();
    EXPECT_EQ(Sql("SELECT OrdenadorNombre FROM ordenadorejecutando ORDER BY OrdenadorNombre;"),
              "A\nB\n");
    EXPECT_EQ(NoRunSqlLog(), "");
    Sql("DROP USER 'o''ne\\\\il'@'%';", "mysql");
}
