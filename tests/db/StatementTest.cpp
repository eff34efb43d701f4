#include "DbFixture.h"

#include "CodePage.h"
#include "IniFile.h"

#include <filesystem>

using namespace zenta;
using namespace zenta::test;

class Statements : public DbTest {};

TEST_F(Statements, FailedStatementIsLoggedOnceUnderItsTimeAndStatusTellsTheOutcome) {
    auto db = Connected();
    db->SQLExecute("INSERT INTO opcion (ID, IntegerValor) VALUES ('A', 1);");
    EXPECT_TRUE(db->ConnectionStatus());
    db->SQLExecute("INSERT INTO no_such_table VALUES (1);");
    EXPECT_FALSE(db->ConnectionStatus());
    EXPECT_EQ(db->LastError().records.at(0).native, 1146);
    const std::string log = NoRunSqlLog();
    // Entries written after a connection stand in the section with an empty name.
    const size_t at =
        FindShape(log, "[]\r\n####-##-## ##:##:##=INSERT INTO no_such_table VALUES (1);\r\n");
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_EQ(IniFile::Read(clsDataBase::NoRunSQLLogPath(), "", log.substr(at + 4, 19)),
              "INSERT INTO no_such_table VALUES (1);");
    db->SQLExecute("SELECT 1;");
    EXPECT_TRUE(db->ConnectionStatus());
    EXPECT_EQ(Sql("SELECT IntegerValor FROM opcion WHERE ID='A';"), "1\n");
}

TEST_F(Statements, WithoutALogFolderTheEntryIsLostButTheStatusStillSaysSo) {
    std::filesystem::remove_all(AppPath() + "Log");
    auto db = Connected();
    db->SQLExecute("DELETE FROM no_such_table;");
    EXPECT_FALSE(db->ConnectionStatus());
    EXPECT_FALSE(std::filesystem::exists(AppPath() + "Log"));
}

TEST_F(Statements, OldTableOptionsAreRewrittenForCurrentServers) {
    auto db = Connected();
    db->SQLExecute("CREATE TABLE oldstyle (ID int, Stamp timestamp(14) NOT NULL) TYPE=InnoDB;");
    EXPECT_TRUE(db->ConnectionStatus()) << db->LastError().Text();
    EXPECT_EQ(db->LastSQL(), "CREATE TABLE oldstyle (ID int, Stamp timestamp NOT NULL DEFAULT "
                             "'0000-00-00 00:00:00') ENGINE=InnoDB;");
    EXPECT_NE(Sql("SHOW CREATE TABLE oldstyle;").find("ENGINE=InnoDB"), std::string::npos);
    // The latin1 removal belongs to servers before 5 only.
    db->SQLExecute("CREATE TABLE l1 (a varchar(5)) ENGINE=InnoDB DEFAULT CHARSET=latin1;");
    EXPECT_TRUE(db->ConnectionStatus());
    EXPECT_NE(Sql("SHOW CREATE TABLE l1;").find("latin1"), std::string::npos);
}

TEST_F(Statements, OldSpellingsInDataAndQuotedNamesReachTheServerAsWritten) {
    auto db = Connected();
    // Values and quoted identifiers are data, in any statement and inside a definition too.
    db->SQLExecute("INSERT INTO stockcambio (AlmacenID, ArticuloID, Cantidad) VALUES (1, "
                   "'XTYPE=1', 2), (1, 'timestamp(14) NOT NULL', 1);");
    ASSERT_TRUE(db->ConnectionStatus());
    EXPECT_EQ(Sql("SELECT ArticuloID FROM stockcambio ORDER BY Cantidad;"),
              "timestamp(14) NOT NULL\nXTYPE=1\n");
    db->SQLExecute("CREATE TABLE t2 (`TYPE=` int, Nota varchar(20) DEFAULT 'TYPE=A', "
                   "XTYPE int) TYPE=InnoDB COMMENT='TYPE=old';");
    ASSERT_TRUE(db->ConnectionStatus()) << db->LastError().Text();
    EXPECT_EQ(db->LastSQL(), "CREATE TABLE t2 (`TYPE=` int, Nota varchar(20) DEFAULT 'TYPE=A', "
                             "XTYPE int) ENGINE=InnoDB COMMENT='TYPE=old';");
    db->SQLExecute("ALTER TABLE t2 TYPE=MyISAM;");
    EXPECT_TRUE(db->ConnectionStatus()) << db->LastError().Text();
    EXPECT_NE(Sql("SHOW CREATE TABLE t2;").find("ENGINE=MyISAM"), std::string::npos);

    EXPECT_EQ(clsDataBase::RewriteForServer("UPDATE stock SET Nota='TYPE=' WHERE 1;", 10),
              "UPDATE stock SET Nota='TYPE=' WHERE 1;");
    EXPECT_EQ(clsDataBase::RewriteForServer(
                  "/* old */ create temporary table x (a int) TYPE=HEAP COMMENT 'it''s TYPE=';", 5),
              "/* old */ create temporary table x (a int) ENGINE=HEAP COMMENT 'it''s TYPE=';");
    EXPECT_EQ(clsDataBase::RewriteForServer(
                  "CREATE TABLE y (n varchar(9) DEFAULT 'DEFAULT CHARSET=latin1') DEFAULT "
                  "CHARSET=latin1",
                  4),
              "CREATE TABLE y (n varchar(9) DEFAULT 'DEFAULT CHARSET=latin1') ");
    EXPECT_EQ(clsDataBase::RewriteForServer("CREATE TABLE z (a int) TYPE=MyISAM", 4),
              "CREATE TABLE z (a int) TYPE=MyISAM");
}

TEST_F(Statements, ScriptLinesAreGluedAsTheSuitesScriptsExpect) {
    auto db = Connected();
    TempDir dir;
    const std::string script =
        "CREATE TABLE s1 (\r\n"
        " ID int,\r\n"
        "-- a comment inside the statement\r\n"
        "\r\n"
        " Name varchar(20));\r\n"
        "INSERT INTO s1 VALUES (1, 'a;b'); INSERT INTO s1 VALUES (2, 'same line');\r\n"
        "INSERT INTO s1 VALUES (3, 'glued'\r\n"
        ");\n"
        "INSERT INTO missing_table VALUES (1);\r\n"
        "INSERT INTO s1 VALUES (4, '" +
        ToAnsi("中文") +
        "');\r\n"
        "INSERT INTO s1\rVALUES (5, 'x');";
    WriteFile(dir.path() + "s.sql", script);
    db->SQLExecuteFromFile(dir.path() + "s.sql");
    EXPECT_TRUE(db->ConnectionStatus());
    // A ";" inside a line does not split it: that line is one statement the server refuses.
    EXPECT_EQ(Sql("SELECT ID, Name FROM s1 ORDER BY ID;"), "3\tglued\n4\t中文\n");
    const std::string log = NoRunSqlLog();
    EXPECT_NE(log.find("INSERT INTO missing_table VALUES (1);"), std::string::npos);
    EXPECT_NE(log.find("INSERT INTO s1 VALUES (1, 'a;b'); INSERT INTO s1 VALUES (2, 'same line');"),
              std::string::npos);
    // "INSERT INTO s1" + "VALUES" glued without a blank: a run-together word the server refuses.
    EXPECT_NE(log.find("INSERT INTO s1VALUES (5, 'x');"), std::string::npos);
}

TEST_F(Statements, AFirstLineCommentStartsTheNextStatementAndAnEmptyScriptIsFine) {
    auto db = Connected();
    TempDir dir;
    WriteFile(dir.path() + "c.sql",
              "-- header\r\nCREATE TABLE c1 (a int);\r\nCREATE TABLE c2 (a int);\r\n");
    db->SQLExecuteFromFile(dir.path() + "c.sql");
    EXPECT_TRUE(db->ConnectionStatus());
    // "-- headerCREATE TABLE c1 (a int);" is all comment to the server: c1 is never made.
    EXPECT_EQ(Sql("SHOW TABLES LIKE 'c_';"), "c2\n");

    WriteFile(dir.path() + "empty.sql", "");
    db->SQLExecute("SELECT * FROM nothing_here;");
    ASSERT_FALSE(db->ConnectionStatus());
    db->SQLExecuteFromFile(dir.path() + "empty.sql");
    EXPECT_TRUE(db->ConnectionStatus());
    // A script that cannot be opened is a failure, not a success.
    db->SQLExecuteFromFile(dir.path() + "missing.sql");
    EXPECT_FALSE(db->ConnectionStatus());
}

TEST_F(Statements, EveryFailureOfABurstIsLogged) {
    auto db = Connected();
    TempDir dir;
    std::string script;
    for (int i = 0; i < 500; ++i)
        script += "INSERT INTO missing_table VALUES (" + std::to_string(i) + ");\r\n";
    WriteFile(dir.path() + "burst.sql", script);
    db->SQLExecuteFromFile(dir.path() + "burst.sql");
    const std::string log = NoRunSqlLog();
    for (int i = 0; i < 500; ++i)
        ASSERT_NE(log.find("=INSERT INTO missing_table VALUES (" + std::to_string(i) + ");"),
                  std::string::npos)
            << i;
}

TEST_F(Statements, TheSuitesSchemaLoadsThroughTheScriptRunner) {
    Sql("DROP DATABASE zentasupermarket; CREATE DATABASE zentasupermarket;", "mysql");
    auto db = Connected();
    db->SQLExecuteFromFile(SourceDir() + "/schema/zentasupermarket.sql");
    EXPECT_TRUE(db->ConnectionStatus());
    EXPECT_EQ(NoRunSqlLog(), "");
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = "
                  "'zentasupermarket';"),
              "18\n");
}

TEST_F(Statements, TransactionsCommitOrRollBack) {
    auto db = Connected();
    db->StartTrans();
    EXPECT_TRUE(db->ConnectionStatus());
    db->SQLExecute("INSERT INTO opcion (ID, IntegerValor) VALUES ('T1', 1);");
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM opcion WHERE ID='T1';"), "0\n"); // not yet visible
    db->RollbackTrans();
    EXPECT_TRUE(db->ConnectionStatus());
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM opcion WHERE ID='T1';"), "0\n");

    db->StartTrans();
    db->SQLExecute("INSERT INTO opcion (ID, IntegerValor) VALUES ('T2', 2);");
    db->SQLExecute("INSERT INTO opcion (ID, IntegerValor) VALUES ('T2', 3);"); // duplicate: fails
    EXPECT_FALSE(db->ConnectionStatus());
    db->CommitTrans(); // what succeeded is committed
    EXPECT_TRUE(db->ConnectionStatus());
    EXPECT_EQ(Sql("SELECT IntegerValor FROM opcion WHERE ID='T2';"), "2\n");
    // Back in autocommit: a single statement is visible at once.
    db->SQLExecute("INSERT INTO opcion (ID, IntegerValor) VALUES ('T3', 3);");
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM opcion WHERE ID='T3';"), "1\n");
}
