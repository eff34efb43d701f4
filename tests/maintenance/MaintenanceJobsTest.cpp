#include "AutoBackupData.h"
#include "AutoTicket.h"
#include "CleanMasterData.h"
#include "DbFixture.h"
#include "GlobalDatabase.h"
#include "RenovarDatos.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <sstream>
#include <thread>

using namespace zenta;
using namespace zenta::test;

using Jobs = ConnectedDbTest;

TEST_F(Jobs, CleanMasterDataRemovesHalfFilledRecordsOnly) {
    Sql("INSERT INTO articulo (ArticuloID, NombreES, CantidadPorUnidad, CantidadPorUnidad2, "
        "FechaCaducada) VALUES "
        "('', 'sin id', 1, 1, NULL), ('A1', '', 1, 1, NULL), ('A2', NULL, 0, 0, '9999-12-31'),"
        "('A3', 'ok', 2, 0, '2025-01-01');"
        "INSERT INTO cliente (NombreES) VALUES (''), (NULL), ('Ana');"
        "INSERT INTO proveedor (NombreES) VALUES (''), ('Pro');");
    CleanMasterData();
    const std::string expected = "A2\tNULL\t1.000\t1.000\tNULL\nA3\tok\t2.000\t1.000\t2025-01-01\n";
    EXPECT_EQ(
        Sql("SELECT ArticuloID, NombreES, CantidadPorUnidad, CantidadPorUnidad2, FechaCaducada "
            "FROM articulo ORDER BY ArticuloID;"),
        expected);
    EXPECT_EQ(Sql("SELECT IFNULL(NombreES, 'NULL') FROM cliente ORDER BY ClienteID;"),
              "NULL\nAna\n");
    EXPECT_EQ(Sql("SELECT NombreES FROM proveedor;"), "Pro\n");
    CleanMasterData();
    EXPECT_EQ(
        Sql("SELECT ArticuloID, NombreES, CantidadPorUnidad, CantidadPorUnidad2, FechaCaducada "
            "FROM articulo ORDER BY ArticuloID;"),
        expected);
}

TEST_F(Jobs, RenewalFoldsEveryMovementIntoTheStock) {
    Sql("INSERT INTO stock VALUES (1, 'A', 10), (1, 'Z', 4);"
        "INSERT INTO stockcambio (AlmacenID, ArticuloID, Cantidad) VALUES (1, 'A', 5), (1, 'A', "
        "-2),"
        "(2, 'A', 1.25), (2, 'A', 0.5), (1, 'Z', 3), (1, 'Z', -3), (1, 'O''Brien\\\\x', 7);"
        "INSERT INTO stockextra VALUES ('A', 1);"
        "INSERT INTO stockextracambio (ArticuloID, Cantidad) VALUES ('A', 2), ('B''q', -1.5);");
    RenovarStock();
    EXPECT_EQ(Sql("SELECT AlmacenID, ArticuloID, Stock FROM stock ORDER BY AlmacenID, ArticuloID;"),
              "1\tA\t13.000\n1\tO'Brien\\\\x\t7.000\n1\tZ\t4.000\n2\tA\t1.750\n");
    EXPECT_EQ(Sql("SELECT ArticuloID, Stock FROM stockextra ORDER BY ArticuloID;"),
              "A\t3.000\nB'q\t-1.500\n");
    EXPECT_EQ(
        Sql("SELECT (SELECT COUNT(*) FROM stockcambio) + (SELECT COUNT(*) FROM stockextracambio);"),
        "0\n");
    EXPECT_EQ(NoRunSqlLog(), "");
    // Nothing pending: only the deletions run.
    RenovarStock();
    EXPECT_EQ(Sql("SELECT SUM(Stock) FROM stock;"), "25.750\n");
}

TEST_F(Jobs, ArticleIdsThatLookLikeTableOptionsKeepTheirStock) {
    Sql("INSERT INTO stock VALUES (1, 'XTYPE=1', 10), (1, 'XENGINE=1', 100);"
        "INSERT INTO stockcambio (AlmacenID, ArticuloID, Cantidad) VALUES (1, 'XTYPE=1', 5), "
        "(1, 'NEWTYPE=2', 2);"
        "INSERT INTO stockextracambio (ArticuloID, Cantidad) VALUES ('TYPE=X', 1);");
    RenovarStock();
    EXPECT_EQ(Sql("SELECT ArticuloID, Stock FROM stock ORDER BY ArticuloID;"),
              "NEWTYPE=2\t2.000\nXENGINE=1\t100.000\nXTYPE=1\t15.000\n");
    EXPECT_EQ(Sql("SELECT ArticuloID, Stock FROM stockextra;"), "TYPE=X\t1.000\n");
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM stockcambio;"), "0\n");
}

TEST_F(Jobs, WithStockKeepingOffTheMovementsAreDiscarded) {
    Sql("REPLACE INTO opcion (ID, IntegerValor) VALUES ('ContarStock', 0);"
        "INSERT INTO stock VALUES (1, 'A', 10);"
        "INSERT INTO stockcambio (AlmacenID, ArticuloID, Cantidad) VALUES (1, 'A', 5);"
        "INSERT INTO stockextracambio (ArticuloID, Cantidad) VALUES ('A', 2);");
    RenovarStock();
    EXPECT_EQ(Sql("SELECT Stock FROM stock;"), "10.000\n");
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM stockextra;"), "0\n");
    EXPECT_EQ(
        Sql("SELECT (SELECT COUNT(*) FROM stockcambio) + (SELECT COUNT(*) FROM stockextracambio);"),
        "0\n");
}

TEST_F(Jobs, AFailedRenewalLeavesStockAndMovementsAsTheyWere) {
    // The server refuses the update of Z: the result would not fit the column.
    Sql("INSERT INTO stock VALUES (1, 'A', 10), (1, 'Z', 99999999999.000);"
        "INSERT INTO stockcambio (AlmacenID, ArticuloID, Cantidad) VALUES (1, 'A', 5), (1, 'Z', 5),"
        "(1, 'B', 1);"
        "INSERT INTO stockextracambio (ArticuloID, Cantidad) VALUES ('A', 2);");
    RenovarStock();
    EXPECT_EQ(Sql("SELECT ArticuloID, Stock FROM stock ORDER BY ArticuloID;"),
              "A\t10.000\nZ\t99999999999.000\n");
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM stockcambio;"), "3\n");
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM stockextracambio;"), "1\n");
    EXPECT_NE(
        NoRunSqlLog().find(
            "UPDATE stock SET Stock = Stock + 5.000 WHERE AlmacenID = 1 AND ArticuloID = 'Z';"),
        std::string::npos);
    // Once the cause is gone, the same movements are applied exactly once.
    Sql("UPDATE stock SET Stock = 0 WHERE ArticuloID = 'Z';");
    RenovarStock();
    EXPECT_EQ(Sql("SELECT ArticuloID, Stock FROM stock ORDER BY ArticuloID;"),
              "A\t15.000\nB\t1.000\nZ\t5.000\n");
    EXPECT_EQ(Sql("SELECT Stock FROM stockextra;"), "2.000\n");
}

TEST_F(Jobs, NoMovementIsLostOrCountedTwiceWhileCashiersKeepSelling) {
    // A second connection keeps adding movements for the same articles while renewals run.
    std::atomic<bool> stop{false};
    std::atomic<int> inserted{0};
    std::map<std::string, long> expectedMilli, expectedExtraMilli;
    std::thread cashier([&] {
        clsDataBase other;
        other.Connect("127.0.0.1", DbPort(), "", kBackOfficeUser, kBackOfficePassword);
        std::mt19937 rng(42);
        while (!stop && inserted < 4000) {
            const std::string warehouse = std::to_string(1 + rng() % 2);
            const std::string article = "ART" + std::to_string(rng() % 25);
            const long milli = static_cast<long>(rng() % 20001) - 10000; // -10.000 … 10.000
            char qty[32];
            std::snprintf(qty, sizeof qty, "%.3f", milli / 1000.0);
            other.SQLExecute("INSERT INTO stockcambio (AlmacenID, ArticuloID, Cantidad) VALUES (" +
                             warehouse + ", '" + article + "', " + qty + ");");
            if (other.ConnectionStatus())
                expectedMilli[warehouse + "/" + article] += milli;
            other.SQLExecute("INSERT INTO stockextracambio (ArticuloID, Cantidad) VALUES ('" +
                             article + "', " + qty + ");");
            if (other.ConnectionStatus())
                expectedExtraMilli[article] += milli;
            ++inserted;
        }
    });
    int renewals = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (inserted < 4000 && std::chrono::steady_clock::now() < until) {
        RenovarStock();
        ++renewals;
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    stop = true;
    cashier.join();
    RenovarStock(); // the last one, after the cashier has stopped
    ASSERT_GT(inserted, 1000);
    EXPECT_GT(renewals, 10);
    auto read = [](const std::string& rows) {
        std::map<std::string, long> m;
        std::istringstream in(rows);
        std::string key;
        double value;
        while (in >> key >> value)
            m[key] = std::lround(value);
        return m;
    };
    auto actual = read(Sql("SELECT CONCAT(AlmacenID, '/', ArticuloID), Stock * 1000 FROM stock;"));
    auto actualExtra = read(Sql("SELECT ArticuloID, Stock * 1000 FROM stockextra;"));
    for (auto& [k, v] : expectedMilli)
        EXPECT_EQ(actual[k], v) << k;
    for (auto& [k, v] : expectedExtraMilli)
        EXPECT_EQ(actualExtra[k], v) << k;
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM stockcambio;"), "0\n");
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM stockextracambio;"), "0\n");
}

class TicketPurge : public Jobs {
  protected:
    // Rows dated on the cut-off day and on the day after, in every table the purge touches.
    void Fill(const DateTime& cutOff) {
        const DateTime next = cutOff.AddDays(1);
        const std::string nBound = std::to_string(TicketNumberBound(cutOff));
        const std::string nNext = std::to_string(TicketNumberBound(next) - 9999 + 1);
        const std::string c = cutOff.DateText(), d = next.DateText();
        Sql("INSERT INTO ticket (TicketNo, Fecha) VALUES (" + nBound + ", '" + c +
            " 23:59:59'), (" + nNext + ", '" + d +
            " 00:00:01');"
            "INSERT INTO ticketarticulo (TicketNo, ArticuloID) VALUES (" +
            nBound + ", 'A'), (" + nNext +
            ", 'A');"
            "INSERT INTO ticketcobro (TicketNo, Fecha) VALUES (1, '" +
            c + " 23:59:59'), (2, '" + d +
            " 00:00:00');"
            "INSERT INTO articuloeliminado (Fecha) VALUES ('" +
            c + " 12:00:00'), ('" + d +
            " 12:00:00');"
            "INSERT INTO ticketdiariototal (Fecha) VALUES ('" +
            c + "'), ('" + d +
            "');"
            "INSERT INTO ventadiariototal (Fecha, ArticuloID) VALUES ('" +
            c + "', 'A'), ('" + d +
            "', 'A');"
            "INSERT INTO gananciadiariototal (Fecha) VALUES ('" +
            c + "'), ('" + d + "');");
    }
    std::string Counts() {
        return Sql(
            "SELECT (SELECT COUNT(*) FROM ticket), (SELECT COUNT(*) FROM ticketarticulo),"
            "(SELECT COUNT(*) FROM ticketcobro), (SELECT COUNT(*) FROM articuloeliminado),"
            "(SELECT COUNT(*) FROM ticketdiariototal), (SELECT COUNT(*) FROM ventadiariototal),"
            "(SELECT COUNT(*) FROM gananciadiariototal);");
    }
};

TEST_F(TicketPurge, DeletesUpToTheCutOffDayAndNothingOfTheDayAfter) {
    const DateTime today = DateTime::Today();
    const DateTime cutOff = *TicketCutOffDay(1, today);
    Fill(cutOff);
    Sql("REPLACE INTO opcion (ID, IntegerValor) VALUES ('AutoEliminarTicket', 1), "
        "('AutoEliminarTicketPeriodo', 1);");
    AutoDeleteTickets();
    EXPECT_EQ(Counts(), "1\t1\t1\t1\t1\t1\t1\n");
    EXPECT_EQ(Sql("SELECT DATE(Fecha) FROM ticket;"), cutOff.AddDays(1).DateText() + "\n");
    EXPECT_EQ(Sql("SELECT IntegerValor = TO_DAYS(NOW()) FROM opcion WHERE ID = "
                  "'UltimaFechaAutoEliminarTicket';"),
              "1\n");
    // The same server day again: nothing more happens.
    Fill(cutOff.AddDays(-3));
    AutoDeleteTickets();
    EXPECT_EQ(Counts(), "3\t3\t3\t3\t3\t3\t3\n");
    EXPECT_EQ(NoRunSqlLog(), "");
}

TEST_F(TicketPurge, SwitchedOffOrUnknownCodeDeletesNothing) {
    const DateTime old = DateTime::Today().AddDays(-400);
    Fill(old);
    AutoDeleteTickets(); // no switch row
    Sql("REPLACE INTO opcion (ID, IntegerValor) VALUES ('AutoEliminarTicket', 0);");
    AutoDeleteTickets();
    EXPECT_EQ(Counts(), "2\t2\t2\t2\t2\t2\t2\n");
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM opcion WHERE ID = 'UltimaFechaAutoEliminarTicket';"),
              "0\n");
    Sql("REPLACE INTO opcion (ID, IntegerValor) VALUES ('AutoEliminarTicket', 1), "
        "('AutoEliminarTicketPeriodo', 9);");
    AutoDeleteTickets();
    EXPECT_EQ(Counts(), "2\t2\t2\t2\t2\t2\t2\n");
    EXPECT_EQ(Sql("SELECT IntegerValor = TO_DAYS(NOW()) FROM opcion WHERE ID = "
                  "'UltimaFechaAutoEliminarTicket';"),
              "1\n");
}

TEST_F(TicketPurge, AMarkerFromAnEarlierDayLetsThePurgeRun) {
    const DateTime today = DateTime::Today();
    Fill(*TicketCutOffDay(0, today));
    Sql("REPLACE INTO opcion (ID, IntegerValor) VALUES ('AutoEliminarTicket', 1), "
        "('UltimaFechaAutoEliminarTicket', TO_DAYS(NOW()) - 1);");
    AutoDeleteTickets(); // code 0 by default: everything before today
    EXPECT_EQ(Counts(), "1\t1\t1\t1\t1\t1\t1\n");
}
