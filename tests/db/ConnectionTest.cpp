#include "DbFixture.h"

#include "Common.h"
#include "ComputerIdentity.h"
#include "ErrorMode.h"
#include "GlobalDatabase.h"
#include "Registry.h"
#include "Settings.h"
#include "Text.h"
#include "TodoSobreMySQLServer.h"

#include <chrono>
#include <unistd.h>

using namespace zenta;
using namespace zenta::test;

class Connection : public DbTest {};

TEST_F(Connection, StringHasTheSuitesExactForm) {
    EXPECT_EQ(clsDataBase::BuildConnectionString("MySQL ODBC Driver 3.51.28", "shop", 3306,
                                                 "zentasupermarket", "u", "p"),
              "Driver={MySQL ODBC Driver 3.51.28};Server=shop;Port=3306;DataBase=zentasupermarket;"
              "UID=u;PWD=p;Option=268453931");
}

TEST_F(Connection, DriverIsChosenFromTheRecordedVersionAndTheVersionWrittenBack) {
    // Nothing recorded: the first attempt uses "ultimate"; the server (10.x) is then recorded
    // and the connection re-applied with the driver for its version.
    auto db = Connected();
    EXPECT_EQ(db->ODBCDriverName(), "MySQL ODBC Driver 3.51.17");
    const std::string version = db->MySQLVersion();
    ASSERT_EQ(version.rfind("10.11.", 0), 0u) << version;
    EXPECT_EQ(GetSetting("MySQL", "MySQLVersion", ""), "10.11");
    EXPECT_EQ(
        db->ConnectionString(),
        "Driver={MySQL ODBC Driver 3.51.17};Server=127.0.0.1;Port=" + std::to_string(DbPort()) +
            ";DataBase=zentasupermarket;UID=zentamarketback;PWD=lotusbay200311170844;"
            "Option=268453931");
    EXPECT_FALSE(db->IsMySQL5());

    // The next start finds 10.11 recorded: "ultimate", and no re-apply.
    auto second = Connected();
    EXPECT_EQ(second->ODBCDriverName(), "MySQL ODBC Driver 3.51.ultimate");

    // A recorded 5.1 starts on ".28", then moves to the server's driver and records 10.11.
    SetSetting("MySQL", "MySQLVersion", "5.1");
    auto third = Connected();
    EXPECT_EQ(third->ODBCDriverName(), "MySQL ODBC Driver 3.51.17");
    EXPECT_EQ(GetSetting("MySQL", "MySQLVersion", ""), "10.11");
}

TEST_F(Connection, OdbcVersionComesFromTheRegistryOfTheDriverInUse) {
    clsRegistryRoutines reg;
    reg.hkey(HKEY_LOCAL_MACHINE);
    reg.KeyRoot("SOFTWARE\\MySQL AB\\MySQL ODBC Driver 3.51.17");
    ASSERT_TRUE(reg.SetRegistryValue("Version", std::string("3.1.15"), REG_SZ));
    auto db = Connected();
    EXPECT_EQ(db->ODBCVersion(), "3.1.15");
}

TEST_F(Connection, AFailedFirstAttemptIsRetriedOnceWithTheOldestDriver) {
    clsDataBase db;
    db.Connect("127.0.0.1", 1, "", "zentamarketback", "lotusbay200311170844");
    EXPECT_FALSE(db.ConnectionStatus());
    EXPECT_EQ(db.ODBCDriverName(), "MySQL ODBC Driver 3.51.17");
    EXPECT_NE(db.ConnectionString().find("Driver={MySQL ODBC Driver 3.51.17}"), std::string::npos);
    EXPECT_EQ(db.ODBCVersion(), "");
    EXPECT_EQ(GetSetting("MySQL", "MySQLVersion", "untouched"), "untouched");
    // A failed connection writes nothing, and above all no password, to the failure log.
    EXPECT_EQ(NoRunSqlLog().find("lotusbay"), std::string::npos);
}

TEST_F(Connection, DefaultAccountAlwaysSendsItsBuiltInPassword) {
    clsDataBase db;
    db.Connect("127.0.0.1", DbPort(), "", "zentasupermarket", "wrong-password");
    EXPECT_TRUE(db.ConnectionStatus()) << db.LastError().Text();
    EXPECT_NE(db.ConnectionString().find(";DataBase=zentasupermarket;UID=zentasupermarket;"
                                         "PWD=mavokert204715638290;"),
              std::string::npos);
}

TEST_F(Connection, ServerFactsAreLoadedAndCached) {
    auto db = Connected();
    const std::string id = db->ConnectionID();
    ASSERT_FALSE(id.empty());
    EXPECT_NE(Sql("SELECT ID FROM information_schema.PROCESSLIST WHERE ID = " + id + ";"), "");
    EXPECT_EQ(db->DataPath(), DbDir() + "/data/");
    // Released: the connection is closed on the server.
    db.reset();
    for (int i = 0; i < 50; ++i) {
        if (Sql("SELECT ID FROM information_schema.PROCESSLIST WHERE ID = " + id + ";").empty())
            break;
        usleep(20000);
    }
    EXPECT_EQ(Sql("SELECT ID FROM information_schema.PROCESSLIST WHERE ID = " + id + ";"), "");
}

TEST_F(Connection, LocalServerTest) {
    EXPECT_TRUE(IsMySQLServerLocal("LOCALHOST"));
    EXPECT_TRUE(IsMySQLServerLocal("127.0.0.1"));
    EXPECT_TRUE(IsMySQLServerLocal(AsciiUpperCase(GetLocalComputerName())));
    if (GetLocalIP() != "255.255.255.255") {
        EXPECT_TRUE(IsMySQLServerLocal(GetLocalIP()));
    }
    EXPECT_FALSE(IsMySQLServerLocal("192.0.2.10"));
    EXPECT_FALSE(IsMySQLServerLocal("another-shop-pc"));
}

TEST_F(Connection, ConnectDataBaseReadsTheSettingsAndDecidesServerIsLocal) {
    ServerIsLocal = false;
    ConnectDataBase();
    ASSERT_TRUE(DataBase().ConnectionStatus());
    EXPECT_TRUE(ServerIsLocal);
    EXPECT_EQ(DataBase().MySQLUserName(), "zentamarketback");
    // A failed reconnect leaves ServerIsLocal as it was.
    SetSetting("MySQL", "MySQLPort", "1");
    ConnectDataBase();
    EXPECT_FALSE(DataBase().ConnectionStatus());
    EXPECT_TRUE(ServerIsLocal);
    for (auto [text, port] : std::vector<std::pair<std::string, long>>{{"3307abc", 3307},
                                                                       {"", 3306},
                                                                       {"0", 3306},
                                                                       {"abc", 3306},
                                                                       {" 23306 ", 23306},
                                                                       {"65535", 65535},
                                                                       {"70000", 3306},
                                                                       {"-1", 3306}}) {
        SetSetting("MySQL", "MySQLPort", text);
        EXPECT_EQ(ConfiguredMySQLPort(), port) << text;
    }
}

TEST_F(Connection, APortThatIsNoPortIsNeverWrappedRoundAndTheLogSaysSo) {
    SetSetting("MySQL", "MySQLPort", "89842"); // 89842 - 65536 would be the private server's
    ConnectDataBase();
    EXPECT_EQ(DataBase().MySQLPort(), 3306);
    EXPECT_NE(ReadFile(AppPath() + "Log/ZentaMarketMonitor.log")
                  .find("MySQLPort=89842 in zentamarket.ini is not a port"),
              std::string::npos);
}

TEST_F(Connection, AHostThatAcceptsButNeverAnswersIsGivenUp) {
    SilentListener listener;
    SetSetting("MySQL", "MySQLPort", std::to_string(listener.port()));
    const auto started = std::chrono::steady_clock::now();
    ConnectDataBase(); // two attempts, one per driver name
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_FALSE(DataBase().ConnectionStatus());
    EXPECT_LT(took, std::chrono::seconds(3 * kConnectTimeoutSeconds));
    EXPECT_NE(DataBase().LastError().Text().find("handshake"), std::string::npos)
        << DataBase().LastError().Text();
}

TEST_F(Connection, TheDriverGetsTimeOutsButTheConnectionStringKeepsItsForm) {
    EXPECT_EQ(WithTimeouts("Driver={X};Server=h;Port=1;Option=3"),
              "Driver={X};Server=h;Port=1;Option=3;CONN_TIMEOUT=10;READ_TIMEOUT=900;"
              "WRITE_TIMEOUT=120");
    EXPECT_EQ(WithTimeouts("Driver={X};read_timeout=5;"),
              "Driver={X};read_timeout=5;CONN_TIMEOUT=10;WRITE_TIMEOUT=120");
    auto db = Connected();
    EXPECT_EQ(db->ConnectionString().find("TIMEOUT"), std::string::npos);
}
