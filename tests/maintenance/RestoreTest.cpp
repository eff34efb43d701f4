// Restore and verification against the private server and the real archiver.
#include "Restore.h"
#include "AutoBackupData.h"
#include "BackupAll.h"
#include "Common.h"
#include "DbFixture.h"
#include "GlobalDatabase.h"
#include "Settings.h"
#include "SevenZip.h"
#include "Verification.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>
#include <unistd.h>

using namespace zenta;
using namespace zenta::test;
namespace fs = std::filesystem;

namespace {

std::string Databases() {
    return Sql("SELECT GROUP_CONCAT(SCHEMA_NAME ORDER BY SCHEMA_NAME) FROM "
               "information_schema.SCHEMATA WHERE SCHEMA_NAME LIKE 'zenta%';",
               "mysql");
}

} // namespace

class Restoring : public ConnectedDbTest {
  protected:
    void SetUp() override {
        ConnectedDbTest::SetUp();
        fs::create_directories(AppPath() + "Backup");
        DropRestored();
        // Text in several character sets, NULLs, "\N" as text, line breaks, separators,
        // quotes, backslashes, decimals, dates and every byte value.
        Sql("INSERT INTO articulo (ArticuloID, NombreES, NombreCN, Precio, FechaCaducada, Nota) "
            "VALUES ('A,1', 'Leche, entera', '牛奶', 12.50, '2025-01-31', 'l1\\r\\nl2\\nl3\\r'),"
            "('A''2', 'O''Brien \\\\ back', '', 0, NULL, NULL),"
            "('A3', '\\\\N', 'NULL', -1.25, '2024-02-29', 'tab\\there'),"
            "('A4', '泽川超市 😀', 'ñandú', 99999.99, NULL, '');"
            "INSERT INTO articulodibujo SELECT 'A,1', CONCAT(GROUP_CONCAT(CHAR(seq) ORDER BY seq "
            "SEPARATOR ''), UNHEX(REPEAT('5C0D0A2C', 50))), NOW() FROM seq_0_to_255;"
            "INSERT INTO articulodibujo VALUES ('A''2', '', NULL), ('A3', NULL, NULL);"
            "INSERT INTO opcion (ID, IntegerValor, EnDeCodeValor) VALUES ('GBK', NULL, "
            "0xD4F3B4A8);"
            "INSERT INTO ticket (TicketNo, Fecha, Total) SELECT seq, NOW(), seq / 7 FROM "
            "seq_1_to_500;");
    }
    void TearDown() override {
        DropRestored();
        DbTest::TearDown();
    }
    void DropRestored() {
        const std::string names =
            Sql("SELECT GROUP_CONCAT(SCHEMA_NAME) FROM information_schema.SCHEMATA WHERE "
                "SCHEMA_NAME LIKE 'zentasupermarket\\_%' OR SCHEMA_NAME LIKE 'zentamarket\\_%' "
                "OR SCHEMA_NAME = 'elsewhere';",
                "mysql");
        size_t pos = 0;
        while (pos < names.size()) {
            size_t e = names.find_first_of(",\n", pos);
            const std::string name = names.substr(pos, e - pos);
            if (!name.empty() && name != "NULL" && name != "zentasupermarketbasic")
                Sql("DROP DATABASE IF EXISTS `" + name + "`;", "mysql");
            pos = e == std::string::npos ? names.size() : e + 1;
        }
    }
    std::string Backup() {
        std::string folder = AppPath() + "Backup/", label;
        BackupReport report;
        BackupAll(folder, label, &report);
        EXPECT_TRUE(report.complete);
        return folder + report.archiveName;
    }
    // The archive unpacked, changed by `change`, packed again under another name.
    std::string Repacked(const std::string& archive,
                         const std::function<void(const std::string&)>& change) {
        TempDir dir;
        EXPECT_EQ(Shell("cd '" + dir.path() + "' && 7zz x -y '" + archive + "' >/dev/null"), 0);
        change(dir.path());
        const std::string out = AppPath() + "Backup/ZentaMarket20200101000000.ZTB";
        fs::remove(out);
        EXPECT_EQ(
            Shell("cd '" + dir.path() + "' && 7zz a -y -t7z -mx1 '" + out + "' '*' >/dev/null"), 0);
        return out;
    }
};

TEST_F(Restoring, AnArchiveRestoresByteForByteIntoANewDatabaseAndVerifies) {
    // Enough tickets that their secondary index is built after the data.
    Sql("INSERT INTO ticket (TicketNo, Fecha, Nota) SELECT 1000 + seq, NOW() - INTERVAL seq "
        "MINUTE, REPEAT('n', 40) FROM seq_1_to_30000;");
    const std::string live = CountsAndChecksums("zentasupermarket");
    const std::string archive = Backup();
    std::vector<std::string> steps;
    RestoreOptions options;
    options.progress = [&](const std::string& s) { steps.push_back(s); };
    const RestoreReport report = RestoreArchive(archive, options);
    ASSERT_TRUE(report.ok) << report.error;
    const std::string stamp = fs::path(archive).filename().string().substr(11, 14);
    EXPECT_EQ(report.database, "zentasupermarket_restore_" + stamp);
    EXPECT_EQ(CountsAndChecksums(report.database), live);
    EXPECT_EQ(Sql("SELECT HEX(NombreCN), Nota IS NULL FROM " + report.database +
                  ".articulo WHERE ArticuloID = 'A4';"),
              Sql("SELECT HEX(NombreCN), Nota IS NULL FROM articulo WHERE ArticuloID = 'A4';"));
    EXPECT_GT(steps.size(), SuiteTables().size()); // a line per table and more
    EXPECT_NE(std::find(steps.begin(), steps.end(), "indexing ticket"), steps.end());
    for (const auto& t : SuiteTables())
        EXPECT_EQ(Sql("SHOW CREATE TABLE " + report.database + "." + t + ";").substr(t.size()),
                  Sql("SHOW CREATE TABLE zentasupermarket." + t + ";").substr(t.size()))
            << t;
    EXPECT_EQ(Databases().find("_restoring"), std::string::npos);
    // The live database was not touched, and the name is not taken twice.
    EXPECT_EQ(CountsAndChecksums("zentasupermarket"), live);
    const RestoreReport again = RestoreArchive(archive, options);
    EXPECT_FALSE(again.ok);
    EXPECT_NE(again.error.find("exists already"), std::string::npos);

    const VerifyReport verified = VerifyArchive(archive);
    EXPECT_TRUE(verified.ok) << verified.error;
    EXPECT_TRUE(verified.recorded);
    EXPECT_EQ(verified.tables.size(), SuiteTables().size());
    EXPECT_EQ(Databases().find("zentamarket_verify"), std::string::npos);
}

TEST_F(Restoring, VerificationCatchesOneChangedByteAndWorksWithoutRecordedFigures) {
    const std::string archive = Backup();
    const std::string changed = Repacked(archive, [](const std::string& dir) {
        std::string data = ReadFile(dir + "articulo.dat");
        const size_t at = data.find("Leche");
        ASSERT_NE(at, std::string::npos);
        data[at] = 'M';
        WriteFile(dir + "articulo.dat", data);
    });
    VerifyReport report = VerifyArchive(changed);
    EXPECT_FALSE(report.ok);
    bool named = false;
    for (const auto& [expected, found] : report.tables)
        if (expected.table == "articulo")
            named = expected.checksum != found.checksum && expected.rows == found.rows;
    EXPECT_TRUE(named);
    EXPECT_EQ(Databases().find("zentamarket_verify"), std::string::npos);

    // An archive of the suite's Windows programs carries no figures: the data files' rows count.
    const std::string plain =
        Repacked(archive, [](const std::string& dir) { fs::remove(dir + kTableChecksFile); });
    report = VerifyArchive(plain);
    EXPECT_TRUE(report.ok) << report.error;
    EXPECT_FALSE(report.recorded);
    const std::string rowsLost = Repacked(archive, [](const std::string& dir) {
        fs::remove(dir + kTableChecksFile);
        std::string data = ReadFile(dir + "ticket.dat");
        data.erase(data.find("\r\n") + 2,
                   data.find("\r\n", data.find("\r\n") + 2) - data.find("\r\n"));
        WriteFile(dir + "ticket.dat", data);
    });
    EXPECT_TRUE(VerifyArchive(rowsLost).ok); // both sides lost the row: the file is the truth
}

TEST_F(Restoring, BadArchivesAndRefusalsLeaveNoHalfRestoredDatabase) {
    const std::string archive = Backup();
    const std::string before = Databases();
    auto refused = [&](const std::string& path, const std::string& why,
                       const RestoreOptions& options = {}) {
        const RestoreReport r = RestoreArchive(path, options);
        EXPECT_FALSE(r.ok) << path;
        EXPECT_NE(r.error.find(why), std::string::npos) << r.error;
        EXPECT_EQ(Databases(), before) << why;
    };
    CopyCutShort(archive, AppPath() + "cut.ZTB", 300);
    refused(AppPath() + "cut.ZTB", "damaged");
    MakeSmallArchive(AppPath() + "foreign.ZTB");
    refused(AppPath() + "foreign.ZTB", "not a backup");
    refused(Repacked(archive, [](const std::string& dir) { fs::remove(dir + "cliente.dat"); }),
            "lacks the data file of the table cliente");
    RestoreOptions live;
    live.database = "zentasupermarket";
    refused(archive, "--into-live", live);
    RestoreOptions odd;
    odd.database = "x; DROP DATABASE zentasupermarket";
    refused(archive, "is not a database name", odd);
    // A server that refuses local files: said, and nothing stays.
    Sql("SET GLOBAL local_infile = 0;", "mysql");
    ReleaseDataBase();
    ConnectDataBase();
    refused(archive, "local_infile=1");
    Sql("SET GLOBAL local_infile = 1;", "mysql");
}

TEST_F(Restoring, IntoTheLiveDatabaseOnlyAfterABackupAndTheOldTablesAreKept) {
    const std::string archive = Backup();
    Sql("DELETE FROM ticket WHERE TicketNo > 10;"); // the mistake to undo
    sleep(1);                                       // the backup made first gets a name of its own
    const size_t archivesBefore =
        std::distance(fs::directory_iterator(AppPath() + "Backup"), fs::directory_iterator());
    RestoreOptions options;
    options.intoLive = true;
    const RestoreReport report = RestoreArchive(archive, options);
    ASSERT_TRUE(report.ok) << report.error;
    EXPECT_EQ(report.database, "zentasupermarket");
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM ticket;"), "500\n");
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM " + report.savedLive + ".ticket;"), "10\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(AppPath() + "Backup"), fs::directory_iterator()),
              static_cast<long>(archivesBefore) + 1); // the backup made first
}

namespace {

// Every command line of every process on the computer, as other users see them.
std::string AllCommandLines() {
    std::string all;
    for (const auto& e : fs::directory_iterator("/proc")) {
        const std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string line = ReadFile(e.path().string() + "/cmdline");
        std::replace(line.begin(), line.end(), '\0', ' ');
        all += line + "\n";
    }
    return all;
}

} // namespace

TEST_F(Restoring, AnEncryptedArchiveNeedsItsPasswordAndNeverShowsIt) {
    const std::string password = "Zeta pass\"word 9";
    const std::string secretFile = AppPath() + "archive-password";
    WriteFile(secretFile, "  " + password + "\n");
    fs::permissions(secretFile, fs::perms::owner_read | fs::perms::owner_write);
    SetSetting("Monitor", "ArchivePasswordFile", "archive-password");
    // Enough incompressible text that the archiver runs a while.
    Sql("INSERT INTO cliente (NombreES, Nota) SELECT CONCAT('C', seq), "
        "TO_BASE64(RANDOM_BYTES(700)) FROM seq_1_to_6000;");
    const std::string live = CountsAndChecksums("zentasupermarket");

    // The process list, sampled all through the backup.
    std::atomic<bool> done{false};
    std::atomic<int> archiverSeen{0}, passwordSeen{0};
    std::thread sampler([&] {
        while (!done) {
            const std::string lines = AllCommandLines();
            if (lines.find("7zz a") != std::string::npos &&
                lines.find("-mhe=on") != std::string::npos)
                ++archiverSeen;
            if (lines.find("pass\"word") != std::string::npos ||
                lines.find("Zeta pass") != std::string::npos)
                ++passwordSeen;
        }
    });
    const std::string archive = Backup();
    done = true;
    sampler.join();
    EXPECT_GT(archiverSeen, 0) << "the sampling never saw the archiver";
    EXPECT_EQ(passwordSeen, 0);
    EXPECT_TRUE(IsWhole7zArchive(archive));
    for (const auto& log : {"Log/ZentaMarketMonitor.log", "Log/JobOutcomes.ini"})
        EXPECT_EQ(ReadFile(AppPath() + log).find("Zeta pass"), std::string::npos) << log;

    // Without the password the archiver cannot even list the file names.
    TempDir out;
    EXPECT_NE(Shell("7zz l '" + archive + "' </dev/null >'" + out.path() + "list' 2>&1"), 0);
    EXPECT_EQ(ReadFile(out.path() + "list").find("articulo.dat"), std::string::npos);
    EXPECT_NE(Shell("cd '" + out.path() + "' && 7zz x -pwrong '" + archive + "' >/dev/null 2>&1"),
              0);
    EXPECT_FALSE(fs::exists(out.path() + "articulo.dat"));
    // With it, 7-Zip itself reads it (as the suite's Windows restore will).
    EXPECT_EQ(Shell("7zz l -p'" + password + "' '" + archive + "' | grep -q articulo.dat"), 0);

    // Restore and verify read the same setting; the data come back byte for byte.
    const RestoreReport restored = RestoreArchive(archive, {});
    ASSERT_TRUE(restored.ok) << restored.error;
    EXPECT_EQ(CountsAndChecksums(restored.database), live);
    EXPECT_TRUE(VerifyArchive(archive).ok);

    // A wrong or missing password: a clear error and no database, half-restored or not.
    const std::string before = Databases();
    WriteFile(AppPath() + "other-password", "not it\n");
    fs::permissions(AppPath() + "other-password", fs::perms::owner_read);
    RestoreOptions wrong;
    wrong.database = "zentasupermarket_wrong";
    wrong.passwordFile = AppPath() + "other-password";
    RestoreReport refused = RestoreArchive(archive, wrong);
    EXPECT_FALSE(refused.ok);
    EXPECT_NE(refused.error.find("password is not the one given"), std::string::npos)
        << refused.error;
    SetSetting("Monitor", "ArchivePasswordFile", "");
    wrong.passwordFile.clear();
    refused = RestoreArchive(archive, wrong);
    EXPECT_NE(refused.error.find("the archive is encrypted: give its password"), std::string::npos)
        << refused.error;
    EXPECT_FALSE(VerifyArchive(archive).ok);
    EXPECT_EQ(Databases(), before);
    // The file given on the command line opens it.
    RestoreOptions given;
    given.database = "zentasupermarket_given";
    given.passwordFile = secretFile;
    EXPECT_TRUE(RestoreArchive(archive, given).ok);
}
