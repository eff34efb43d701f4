#pragma once

#include "TestSupport.h"
#include "clsDataBase.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace zenta::test {

// The suite's 18 tables.
const std::vector<std::string>& SuiteTables();
// Every suite table's row count and CHECKSUM TABLE in a database, one text to compare.
std::string CountsAndChecksums(const std::string& database);

// A program folder with zentamarket.ini naming the private server, a Log/ folder, and a fresh
// zentasupermarket database with the suite's schema.
class DbTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // A connected database object on the back-office account.
    std::unique_ptr<clsDataBase> Connected(const std::string& database = "");
    std::string AppPath() const { return app_->path(); }
    std::string NoRunSqlLog() const;

    std::unique_ptr<TempDir> app_;
};

// The same, with the program's own connection made as it starts (ConnectDataBase).
class ConnectedDbTest : public DbTest {
  protected:
    void SetUp() override;
};

} // namespace zenta::test
