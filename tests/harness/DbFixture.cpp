#include "DbFixture.h"

#include "GlobalDatabase.h"
#include "Globals.h"

#include <filesystem>

namespace zenta::test {

const std::vector<std::string>& SuiteTables() {
    static const std::vector<std::string> tables = {"articulo",
                                                    "articulodibujo",
                                                    "articuloeliminado",
                                                    "cliente",
                                                    "gananciadiariototal",
                                                    "informeespecial",
                                                    "opcion",
                                                    "ordenadorejecutando",
                                                    "proveedor",
                                                    "stock",
                                                    "stockcambio",
                                                    "stockextra",
                                                    "stockextracambio",
                                                    "ticket",
                                                    "ticketarticulo",
                                                    "ticketcobro",
                                                    "ticketdiariototal",
                                                    "ventadiariototal"};
    return tables;
}

std::string CountsAndChecksums(const std::string& database) {
    std::string out;
    for (const auto& t : SuiteTables())
        out += Sql("SELECT '" + t + "', COUNT(*) FROM " + database + "." + t + ";") +
               Sql("CHECKSUM TABLE " + database + "." + t + ";").substr(database.size() + 1);
    return out;
}

void DbTest::SetUp() {
    app_ = std::make_unique<TempDir>("app");
    std::filesystem::create_directory(app_->path() + "Log");
    Globals::AppPath = app_->path();
    Globals::ExecutableName = "ZentaMarketMonitor";
    Globals::ReleaseVersion = true;
    WriteFile(app_->path() + "zentamarket.ini",
              "[MySQL]\r\nMySQLHost=127.0.0.1\r\nMySQLPort=" + std::to_string(DbPort()) + "\r\n");
    ResetDatabase();
    // Every test starts without a reference database; those that need one build it.
    Sql("DROP DATABASE IF EXISTS zentasupermarketbasic;", "mysql");
}

void ConnectedDbTest::SetUp() {
    DbTest::SetUp();
    ConnectDataBase();
    ASSERT_TRUE(DataBase().ConnectionStatus()) << DataBase().LastError().Text();
}

void DbTest::TearDown() {
    ReleaseDataBase();
    app_.reset();
}

std::unique_ptr<clsDataBase> DbTest::Connected(const std::string& database) {
    auto db = std::make_unique<clsDataBase>();
    db->Connect("127.0.0.1", DbPort(), database, kBackOfficeUser, kBackOfficePassword);
    EXPECT_TRUE(db->ConnectionStatus()) << db->LastError().Text();
    return db;
}

std::string DbTest::NoRunSqlLog() const {
    return ReadFile(app_->path() + "Log/ZentaMarketMonitor-NoRunSQL.log");
}

} // namespace zenta::test
