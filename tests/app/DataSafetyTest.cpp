// A database that lost its data, run through the real program as a shop meets it: the server
// reinstalled, a table dropped, the articles deleted in bulk. The complete archives must
// survive any number of backups of the shrunken database; the shop's own ticket purges are
// no reason to warn.
#include "FolderListing.h"
#include "OneShot.h"
#include "SevenZip.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <unistd.h>

using namespace zenta;
using namespace zenta::test;
namespace fs = std::filesystem;

namespace {

// A small shop: articles, customers, suppliers, stock and a year of sales, 8 tickets a day.
void FillShop() {
    Sql("INSERT INTO articulo (ArticuloID, NombreES, Precio) SELECT CONCAT('A', seq), "
        "CONCAT('Articulo ', seq), seq % 50 + 0.5 FROM seq_1_to_200;"
        "INSERT INTO cliente (NombreES) SELECT CONCAT('Cliente ', seq) FROM seq_1_to_40;"
        "INSERT INTO proveedor (NombreES) SELECT CONCAT('Proveedor ', seq) FROM seq_1_to_30;"
        "INSERT INTO stock (AlmacenID, ArticuloID, Stock) SELECT 1, CONCAT('A', seq), 10 FROM "
        "seq_1_to_200;"
        "INSERT INTO ticket (TicketNo, Fecha, Total) SELECT DATE_FORMAT(CURDATE() - INTERVAL "
        "d.seq DAY, '%y%m%d') * 10000 + t.seq, CURDATE() - INTERVAL d.seq DAY + INTERVAL 10 "
        "HOUR, 12.5 FROM seq_0_to_364 d, seq_1_to_8 t;"
        "INSERT INTO ticketarticulo (TicketNo, ArticuloID, Cantidad, Precio) SELECT TicketNo, "
        "'A1', 1, 12.5 FROM ticket;"
        "INSERT INTO ticketcobro (TicketNo, Importe, Fecha) SELECT TicketNo, Total, Fecha FROM "
        "ticket;"
        "INSERT INTO ticketdiariototal (Fecha, NumeroTickets, Total) SELECT DATE(Fecha), "
        "COUNT(*), SUM(Total) FROM ticket GROUP BY DATE(Fecha);");
}

} // namespace

class DataSafety : public OneShotTest {
  protected:
    std::vector<std::string> Complete() {
        std::vector<std::string> names;
        for (const auto& n : DirNames(AppPath() + "Backup/ZentaMarket??????????????.ZTB"))
            if (IsWhole7zArchive(AppPath() + "Backup/" + n))
                names.push_back(n);
        std::sort(names.begin(), names.end());
        return names;
    }
    std::vector<std::string> Shrunk() {
        return DirNames(AppPath() + "Backup/ZentaMarket*-SHRUNK.ZTB");
    }
    std::string DayRecorded() {
        return Sql("SELECT COUNT(*) FROM opcion WHERE ID = 'LastDateAutoBackup';");
    }
};

TEST_F(DataSafety, AReinstalledEmptyDatabaseNeverRotatesTheCompleteArchivesAway) {
    TempDir metrics;
    WriteFile(AppPath() + "zentamarket.ini", ReadFile(AppPath() + "zentamarket.ini") +
                                                 "[Monitor]\r\nMetricsFolder=" + metrics.path() +
                                                 "\r\n");
    FillShop();
    Sql("INSERT INTO opcion (ID, IntegerValor) VALUES ('MaxBackupFile', 2);");
    for (int i = 0; i < 2; ++i) {
        const auto r = Run({"backup"});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
    }
    const auto real = Complete();
    ASSERT_EQ(real.size(), 2u);

    // A table dropped by mistake.
    Sql("DROP TABLE ticketarticulo;");
    auto r = Run({"backup"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(Has(r.out, "NOT counted as a backup")) << r.out;
    EXPECT_TRUE(Has(r.out, "the table ticketarticulo is missing (2920 rows in ")) << r.out;
    EXPECT_TRUE(Has(r.out, "backup --accept-shrink")) << r.out;

    // The server reinstalled and the suite's schema created again, empty, with the shop's
    // options: however many backups follow, the archives of the real data stay.
    ResetDatabase();
    Sql("INSERT INTO opcion (ID, IntegerValor) VALUES ('MaxBackupFile', 2), "
        "('AutoBackupOpcion', 1);");
    for (int i = 0; i < 3; ++i) {
        r = Run({"backup"});
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_TRUE(Has(r.out, "articulo was emptied (200 rows before, none now)")) << r.out;
        EXPECT_TRUE(Has(r.out, "ticket was emptied (2920 rows before, none now, and no ticket "
                               "purge ran since)"))
            << r.out;
    }
    r = Run({"run-cycle"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(Complete(), real);
    EXPECT_EQ(DayRecorded(), "0\n"); // the day is not taken as backed up
    // Only the newest archive of the shrunken database is kept beside them.
    const auto shrunk = Shrunk();
    ASSERT_EQ(shrunk.size(), 1u);
    EXPECT_GT(shrunk[0], real.back());
    EXPECT_EQ(Shell("7zz t '" + AppPath() + "Backup/" + shrunk[0] + "' >/dev/null"), 0);
    EXPECT_FALSE(Has(Log(), "RotateBackupFiles: deleted")) << Log();

    r = Run({"status"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.out, ", shrunk, " + AppPath() + "Backup/" + shrunk[0])) << r.out;
    EXPECT_TRUE(Has(r.out, "not counted as a backup, the database holds much less")) << r.out;
    EXPECT_TRUE(Has(r.out, "tested good")) << r.out;
    EXPECT_TRUE(Has(r.out, AppPath() + "Backup/" + real.back())) << r.out;
    EXPECT_TRUE(
        Has(ReadFile(metrics.path() + "zentamarket.prom"), "zentamarket_backup_last_shrunk 1\n"));
    EXPECT_TRUE(
        Has(ReadFile(metrics.path() + "zentamarket.prom"), "zentamarket_backup_last_success 0\n"));

    // The technician means it: the new size becomes the baseline, and backups are good again.
    r = Run({"backup", "--accept-shrink"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "Accepted as the new baseline")) << r.out;
    EXPECT_TRUE(Has(r.out, "  - articulo was emptied")) << r.out;
    Sql("INSERT INTO articulo (ArticuloID, NombreES) VALUES ('N1', 'new');");
    r = Run({"backup"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_FALSE(Has(r.out, "NOT counted")) << r.out;
    EXPECT_TRUE(
        Has(ReadFile(metrics.path() + "zentamarket.prom"), "zentamarket_backup_last_shrunk 0\n"));
    r = Run({"backup", "--accept-shrink"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Has(r.out, "Nothing to accept")) << r.out;
}

TEST_F(DataSafety, ADatabaseWithoutTheSuitesTablesIsNoBackup) {
    std::string drop = "DROP TABLE";
    for (const auto& t : SuiteTables())
        drop += std::string(drop.size() > 10 ? ", " : " ") + t;
    Sql(drop + ";");
    const auto r = Run({"backup"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "the database holds none of the suite's tables")) << r.out;
    EXPECT_TRUE(Complete().empty());
    EXPECT_EQ(Shrunk().size(), 1u);
}

TEST_F(DataSafety, TicketPurgesAreNoAlarmButAMassDeletionOfArticlesIs) {
    FillShop();
    Sql("INSERT INTO opcion (ID, IntegerValor) VALUES ('AutoEliminarTicket', 1), "
        "('AutoEliminarTicketPeriodo', 2);");
    auto r = Run({"backup"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;

    // The first purge of a year of tickets keeps one month: nine tenths of the sales go.
    r = Run({"run-cycle"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ASSERT_LT(std::stoi(Sql("SELECT COUNT(*) FROM ticket;")), 300);
    r = Run({"backup"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(Has(r.out, "NOT counted")) << r.out;

    // A shop closed today whose daily purge empties every sales table.
    Sql("DELETE FROM opcion WHERE ID = 'UltimaFechaAutoEliminarTicket';"
        "UPDATE opcion SET IntegerValor = 0 WHERE ID = 'AutoEliminarTicketPeriodo';"
        "DELETE FROM ticket WHERE Fecha >= CURDATE() - INTERVAL 1 DAY;");
    r = Run({"run-cycle"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ASSERT_EQ(Sql("SELECT COUNT(*) FROM ticket;"), "0\n");
    r = Run({"backup"});
    EXPECT_EQ(r.status, 0) << r.out;

    // Three articles in five deleted at once: kept, not counted, the reason named.
    const auto before = DirNames(AppPath() + "Backup/ZentaMarket??????????????.ZTB");
    Sql("DELETE FROM articulo WHERE CAST(SUBSTRING(ArticuloID, 2) AS UNSIGNED) > 80;");
    r = Run({"backup"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(Has(r.out, "articulo fell by more than half (200 rows before, 80 rows now)"))
        << r.out;
    EXPECT_EQ(DirNames(AppPath() + "Backup/ZentaMarket??????????????.ZTB"), before);
}

// The very first backup of a database that lacks some of the suite's tables: there is no good
// backup before it, so the words name what is missing against the suite, not a fall since one.
TEST_F(DataSafety, AFirstBackupLackingTheSuitesTablesSaysWhatIsMissingAndAgainstWhat) {
    FillShop();
    Sql("DROP TABLE ticketcobro;");
    auto r = Run({"backup"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(Has(r.out, "NOT counted as a backup: the database lacks what every database of "
                           "the suite holds (there is no earlier good backup"))
        << r.out;
    EXPECT_TRUE(Has(r.out, "ticketcobro is missing")) << r.out;
    EXPECT_FALSE(Has(r.out, "much less than at the last good backup")) << r.out;
    r = Run({"status"});
    EXPECT_TRUE(Has(r.out, "not counted as a backup, the database lacks what every database of "
                           "the suite holds"))
        << r.out;
    EXPECT_FALSE(Has(r.out, "much less")) << r.out;
}
