#pragma once

#include "DbFixture.h"
#include "GlobalDatabase.h"
#include "Globals.h"

#include <filesystem>

namespace zenta::test {

// A program folder with Database/MySQLSetup.dat and MySQLCompare.ini, connected.
class DbCheckTest : public DbTest {
  protected:
    void SetUp() override {
        DbTest::SetUp();
        Sql("DROP DATABASE IF EXISTS zentasupermarketbasic;", "mysql");
        Prepare(AppPath());
        ConnectDataBase();
        ASSERT_TRUE(DataBase().ConnectionStatus());
    }
    static void Prepare(const std::string& app) {
        std::filesystem::create_directories(app + "Database");
        std::filesystem::create_directories(app + "Log");
        std::filesystem::copy_file(BinaryDir() + "/Database/MySQLSetup.dat",
                                   app + "Database/MySQLSetup.dat",
                                   std::filesystem::copy_options::overwrite_existing);
        WriteFile(app + "MySQLCompare.ini",
                  "[Etalon]\r\nHost=127.0.0.1\r\nDatabase=zentasupermarketbasic\r\n"
                  "[Target]\r\nHost=127.0.0.1\r\nDatabase=zentasupermarket\r\n");
        WriteFile(app + "zentamarket.ini", "[MySQL]\r\nMySQLHost=127.0.0.1\r\nMySQLPort=" +
                                               std::to_string(DbPort()) + "\r\n");
    }
};

} // namespace zenta::test
