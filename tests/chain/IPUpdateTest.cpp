#include "IPUpdate.h"
#include "CodePage.h"
#include "DbFixture.h"
#include "GlobalDatabase.h"
#include "IniFile.h"
#include "Settings.h"
#include "TestServers.h"

using namespace zenta;
using namespace zenta::test;

class IPUpdate : public DbTest {
  protected:
    void SetUp() override {
        DbTest::SetUp();
        server_ = std::make_unique<HeadOfficeServer>();
        setenv("ZENTA_HEADOFFICE_PRIMARY", server_->Host().c_str(), 1);
        setenv("ZENTA_HEADOFFICE_SECONDARY", "127.0.0.1:1", 1);
        server_->Answer("/tools/getserverstatus.php", "0");
        server_->Answer("/tools/updateip.php", "0:198.51.100.23");
        Sql(std::string("INSERT INTO opcion (ID, IntegerValor, VarCharValor, EnDeCodeValor) VALUES "
                        "('CadenaFunciona', 1, NULL, NULL), ('SubTiendaIPFija', 0, NULL, NULL),"
                        "('CadenaID', NULL, ' 12 ', NULL), ('SubTiendaID', NULL, '7', NULL),"
                        "('SubTiendaPassword', NULL, NULL, ENCODE(' p&ss ', '") +
            kSubTiendaPasswordKey + "'));");
        ConnectDataBase();
    }
    void TearDown() override {
        unsetenv("ZENTA_HEADOFFICE_PRIMARY");
        unsetenv("ZENTA_HEADOFFICE_SECONDARY");
        DbTest::TearDown();
    }
    // The log is in the suite's code page.
    std::string Log() { return FromAnsi(ReadFile(AppPath() + "Log/IPUpdate.log")); }
    std::unique_ptr<HeadOfficeServer> server_;
};

TEST_F(IPUpdate, ReportsTheBranchAndLogsEveryRun) {
    EXPECT_EQ(IPUpdateProc(), "");
    EXPECT_EQ(server_->Requests().back(),
              "/tools/updateip.php?compid=12&branchid=7&password=p%26ss");
    server_->Answer("/tools/updateip.php", "4");
    IPUpdateProc();
    const std::string log = Log();
    const std::string first = "[IPUpdate]\r\n####-##-## ##:##:##=12:7  IP更新成功！本机 IP: "
                              "198.51.100.23\r\n";
    // The second entry in the same second gets a key of its own.
    EXPECT_TRUE(EndsWithShape(log, first + "####-##-## ##:##:##=密码错误.\r\n") ||
                EndsWithShape(log, first + "####-##-## ##:##:## (2)=密码错误.\r\n"))
        << log;
}

TEST_F(IPUpdate, NothingIsSentForAFixedAddressANonChainShopOrARemoteDatabase) {
    // Each case says which one it is and the setting behind it.
    Sql("UPDATE opcion SET IntegerValor = 1 WHERE ID = 'SubTiendaIPFija';");
    EXPECT_EQ(IPUpdateProc(), "the branch's address is fixed (option SubTiendaIPFija is 1): "
                              "head office knows it");
    Sql("UPDATE opcion SET IntegerValor = 0 WHERE ID = 'SubTiendaIPFija';"
        "DELETE FROM opcion WHERE ID = 'CadenaFunciona';");
    EXPECT_EQ(IPUpdateProc(),
              "the shop is not part of a chain (option CadenaFunciona is 0 or missing)");
    Sql("INSERT INTO opcion (ID, IntegerValor) VALUES ('CadenaFunciona', 1);");
    ServerIsLocal = false; // this workstation's database is on another computer
    DataBase();
    EXPECT_EQ(IPUpdateProc(), "this computer does not hold the database; the report is made "
                              "there");
    EXPECT_TRUE(server_->Requests().empty());
    EXPECT_EQ(Log(), "");
}

TEST_F(IPUpdate, AnUnreachableHeadOfficeIsLoggedAsOffline) {
    setenv("ZENTA_HEADOFFICE_PRIMARY", "127.0.0.1:1", 1);
    IPUpdateProc();
    EXPECT_NE(Log().find("=网络故障或服务器离线...\r\n"), std::string::npos);
}

TEST_F(IPUpdate, ALostConnectionIsReopenedFirst) {
    ReleaseDataBase();
    ServerIsLocal = false;
    IPUpdateProc();
    EXPECT_TRUE(ServerIsLocal);
    EXPECT_EQ(server_->Requests().size(), 2u);
}
