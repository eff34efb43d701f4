#include "DbFixture.h"

#include "CodePage.h"
#include "Common.h"

using namespace zenta;
using namespace zenta::test;

class ResultArray : public DbTest {};

TEST_F(ResultArray, RowsHaveNoHeaderAndKeepTheirTypes) {
    Sql("INSERT INTO articulo (ArticuloID, NombreES, NombreCN, Precio, FechaCaducada, FechaAlta) "
        "VALUES "
        "('A1', '  Leche  ', '牛奶', 12.50, '2025-01-31', '2024-03-15 08:09:10'),"
        "('A2', 'Pan', NULL, 0.10, NULL, NULL);");
    auto db = Connected();
    db->CreatDatasArray("SELECT ArticuloID, NombreES, NombreCN, Precio, FechaCaducada, FechaAlta, "
                        "CantidadPorUnidad * 3 FROM articulo ORDER BY ArticuloID;");
    ASSERT_TRUE(db->ConnectionStatus()) << db->LastError().Text();
    auto a = db->DatasArray();
    EXPECT_EQ(a->Count(1), 2);
    EXPECT_EQ(a->UpperBound(2), 6);
    EXPECT_EQ(db->DatasArrayValue(0, 0).ToString(), "A1");
    EXPECT_EQ(db->DatasArrayValue(0, 1).ToString(), "  Leche  ");
    EXPECT_EQ(db->DatasArrayValue(0, 1, true).ToString(), "Leche");
    EXPECT_EQ(db->DatasArrayValue(0, 2).ToString(), "牛奶");
    EXPECT_EQ(db->DatasArrayValue(0, 3).ToString(), "12.50"); // exact decimal
    EXPECT_EQ(db->DatasArrayValue(1, 3).ToDouble(), 0.1);
    EXPECT_EQ(db->DatasArrayValue(0, 4).ToDate()->DateText(), "2025-01-31");
    EXPECT_EQ(db->DatasArrayValue(0, 5).ToDate()->StampText(), "2024-03-15 08:09:10");
    EXPECT_EQ(db->DatasArrayValue(0, 6).ToDouble(), 3);
    // Nulls outside column 0 stay: 0, or "" as text.
    EXPECT_EQ(db->DatasArrayValue(1, 2), Variant(std::int64_t{0}));
    EXPECT_EQ(db->DatasArrayValue(1, 2, true).ToString(), "");
    EXPECT_EQ(db->DatasArrayValueByField(1, "NombreES").ToString(), "Pan");
    EXPECT_TRUE(db->DatasArrayValueByField(0, "NoSuchField").IsNull());
    // Outside the bounds: the empty value, skipped in release mode.
    EXPECT_TRUE(db->DatasArrayValue(5, 0).IsEmpty());
    EXPECT_EQ(db->ArrayColTotal(3), 12.6);
    EXPECT_EQ(db->ArrayColTotal(9), 0);
}

TEST_F(ResultArray, RowsWhoseFirstColumnIsNullAreRemoved) {
    auto db = Connected();
    db->CreatDatasArray("SELECT MAX(IntegerValor) FROM opcion;");
    EXPECT_TRUE(db->ConnectionStatus());
    EXPECT_EQ(db->DatasArray()->Count(1), 0);
    Sql("INSERT INTO opcion (ID, IntegerValor, VarCharValor) VALUES ('a', NULL, 'x'), ('b', 2, "
        "NULL),"
        "('c', NULL, 'y'), ('d', 4, 'z');");
    db->CreatDatasArray("SELECT IntegerValor, VarCharValor FROM opcion ORDER BY ID;");
    auto a = db->DatasArray();
    ASSERT_EQ(a->Count(1), 2);
    EXPECT_EQ(db->DatasArrayValue(0, 0).ToInt64(), 2);
    EXPECT_EQ(db->DatasArrayValue(1, 0).ToInt64(), 4);
    EXPECT_EQ(db->DatasArrayValue(1, 1).ToString(), "z");
}

TEST_F(ResultArray, VariableBinaryIsDecodedInTheSuitesCodePageAndBlobsStayBytes) {
    const std::string gbk = ToAnsi("泽川超市");
    std::string hex;
    for (unsigned char c : gbk) {
        char b[3];
        std::snprintf(b, sizeof b, "%02X", c);
        hex += b;
    }
    Sql("INSERT INTO opcion (ID, EnDeCodeValor, BlobValor) VALUES ('g', 0x" + hex + ", 0x" + hex +
        "), ('n', NULL, NULL), ('p', ENCODE('secret', 'qoltavgrocerylane4826'), NULL);");
    auto db = Connected();
    db->CreatDatasArray(
        "SELECT EnDeCodeValor, BlobValor FROM opcion WHERE ID IN ('g','n') ORDER BY ID;");
    ASSERT_EQ(db->DatasArray()->Count(1), 2); // a null binary value is "" and not removed
    EXPECT_EQ(db->DatasArrayValue(0, 0).ToString(), "泽川超市");
    ASSERT_NE(db->DatasArrayValue(0, 1).get<Bytes>(), nullptr);
    EXPECT_EQ(db->DatasArrayValue(0, 1).get<Bytes>()->size(), gbk.size());
    EXPECT_EQ(db->DatasArrayValue(1, 0).ToString(), "");
    db->CreatDatasArray(
        "SELECT DEcode(EnDeCodeValor, 'qoltavgrocerylane4826') From opcion Where ID = 'p';");
    EXPECT_EQ(db->DatasArrayValue(0, 0, true).ToString(), "secret");
}

TEST_F(ResultArray, RejectedQueryLeavesNoRowsAndOneLogEntry) {
    auto db = Connected();
    db->CreatDatasArray("SELECT 1;");
    ASSERT_EQ(db->DatasArray()->Count(1), 1);
    db->CreatDatasArray("SELECT nonsense FROM nowhere;");
    EXPECT_FALSE(db->ConnectionStatus());
    EXPECT_EQ(db->DatasArray()->Count(1), 0);
    const std::string log = NoRunSqlLog();
    EXPECT_NE(log.find("=SELECT nonsense FROM nowhere;"), std::string::npos);
    EXPECT_EQ(log.find("SELECT nonsense"), log.rfind("SELECT nonsense"));
}

TEST_F(ResultArray, AResultKeptByTheCallerSurvivesTheNextQuery) {
    auto db = Connected();
    db->CreatDatasArray("SELECT 'first';");
    auto kept = db->DatasArray();
    db->CreatDatasArray("SELECT NOW();");
    EXPECT_EQ(kept->Value(0, 0).ToString(), "first");
    EXPECT_TRUE(db->DatasArrayValue(0, 0).ToDate().has_value());
}

TEST_F(ResultArray, FilterSelectsRowsAndABadFilterIsAFailedQuery) {
    Sql("INSERT INTO articulo (ArticuloID, NombreES, Precio, FechaAlta) VALUES "
        "('A1', 'Leche', 1.5, '2024-01-01'), ('A2', 'Leche Entera', 3, '2024-02-01'),"
        "('A3', 'Pan', 0.5, '2024-03-01');");
    auto db = Connected();
    db->CreatDatasArray(
        "SELECT ArticuloID, NombreES, Precio, FechaAlta FROM articulo ORDER BY ArticuloID;",
        "NombreES LIKE 'leche*' AND (Precio > 2 OR FechaAlta < #2024-01-15#)");
    ASSERT_TRUE(db->ConnectionStatus());
    ASSERT_EQ(db->DatasArray()->Count(1), 2);
    EXPECT_EQ(db->DatasArrayValue(0, 0).ToString(), "A1");
    EXPECT_EQ(db->DatasArrayValue(1, 0).ToString(), "A2");
    db->CreatDatasArray("SELECT ArticuloID FROM articulo;", "ArticuloID = 'none'");
    EXPECT_TRUE(db->ConnectionStatus());
    EXPECT_EQ(db->DatasArray()->Count(1), 0);
    db->CreatDatasArray("SELECT ArticuloID FROM articulo;", "Precio > 1"); // not a column here
    EXPECT_FALSE(db->ConnectionStatus());
    EXPECT_EQ(db->DatasArray()->Count(1), 0);
    EXPECT_NE(NoRunSqlLog().find("=SELECT ArticuloID FROM articulo;"), std::string::npos);
}

TEST_F(ResultArray, ProbesUseTheServersLikePatterns) {
    Sql("CREATE TABLE stockx1 (Zeta int, alpha int, Beta int);");
    auto db = Connected();
    EXPECT_TRUE(db->IsTableExists("articulo"));
    EXPECT_TRUE(db->IsTableExists(" articulo "));
    EXPECT_TRUE(db->IsTableExists("stock_1")); // "_" matches any one character
    EXPECT_FALSE(db->IsTableExists("nosuch"));
    EXPECT_FALSE(db->IsTableExists("it's"));
    EXPECT_TRUE(db->IsTableExists("opcion", "zentasupermarket"));
    EXPECT_FALSE(db->IsTableExists("opcion", "mysql"));
    EXPECT_TRUE(db->IsFieldExists("articulo", "Precio%"));
    EXPECT_FALSE(db->IsFieldExists("articulo", "Nope"));
    EXPECT_FALSE(db->IsFieldExists("nosuch", "ID"));
    EXPECT_EQ(db->TableFieldsList("stockx1"), "stockx1.Zeta, stockx1.alpha, stockx1.Beta");
    EXPECT_EQ(db->TableFieldsListOrdered("stockx1"), "stockx1.Beta, stockx1.Zeta, stockx1.alpha");
    EXPECT_EQ(db->TableFieldsList("zentasupermarket.stock"),
              "stock.AlmacenID, stock.ArticuloID, stock.Stock");
    EXPECT_EQ(db->TableFieldsList("nosuch"), "");
    // The probes leave the result array alone.
    db->CreatDatasArray("SELECT 'kept';");
    db->IsTableExists("articulo");
    EXPECT_EQ(db->DatasArrayValue(0, 0).ToString(), "kept");
}
