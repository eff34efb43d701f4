// What a chain's IT sees of a shop: the metrics file (read by a real Prometheus text parser),
// the post-backup command for off-site copies, and the weekly verification.
#include "AutoBackupData.h"
#include "AutoTicket.h"
#include "BackupAll.h"
#include "DbFixture.h"
#include "GlobalDatabase.h"
#include "JobOutcomes.h"
#include "Metrics.h"
#include "RenovarDatos.h"
#include "Restore.h"
#include "Settings.h"
#include "Verification.h"

#include <ctime>
#include <filesystem>
#include <map>
#include <sstream>

using namespace zenta;
using namespace zenta::test;
namespace fs = std::filesystem;

namespace {

// The samples of a metrics file as prometheus_client's own parser reads them.
std::map<std::string, double> ParsedMetrics(const std::string& file) {
    TempDir dir;
    WriteFile(dir.path() + "parse.py",
              "import sys\nfrom prometheus_client.parser import text_string_to_metric_families\n"
              "for family in text_string_to_metric_families(open(sys.argv[1]).read()):\n"
              "    for sample in family.samples:\n"
              "        print(sample.name, repr(sample.value))\n");
    EXPECT_EQ(Shell("/usr/bin/python3 '" + dir.path() + "parse.py' '" + file + "' > '" +
                    dir.path() + "out' 2> '" + dir.path() + "err'"),
              0)
        << ReadFile(dir.path() + "err");
    std::map<std::string, double> samples;
    std::istringstream in(ReadFile(dir.path() + "out"));
    std::string name;
    double value;
    while (in >> name >> value)
        samples[name] = value;
    return samples;
}

} // namespace

class Monitoring : public ConnectedDbTest {
  protected:
    void SetUp() override {
        ConnectedDbTest::SetUp();
        Sql("INSERT INTO opcion (ID, IntegerValor) VALUES ('AutoBackupOpcion', 1), "
            "('AutoEliminarTicket', 1), ('AutoEliminarTicketPeriodo', 0);"
            "INSERT INTO ticket (TicketNo, Fecha) VALUES (1001010001, '2010-01-01 10:00:00');"
            "INSERT INTO stockcambio (AlmacenID, ArticuloID, Cantidad) VALUES (1, 'A', 2);");
    }
    std::string Log() { return ReadFile(AppPath() + "Log/ZentaMarketMonitor.log"); }
};

TEST_F(Monitoring, TheMetricsFileIsWhatAPrometheusParserReadsAndOnlyWhereAsked) {
    // No folder named: nothing written anywhere.
    AutoBackup();
    EXPECT_FALSE(fs::exists(AppPath() + "zentamarket.prom"));

    TempDir textfiles;
    SetSetting("Monitor", "MetricsFolder", textfiles.path());
    Sql("DELETE FROM opcion WHERE ID = 'LastDateAutoBackup';");
    sleep(1);
    RenovarStock();
    AutoBackup();
    AutoDeleteTickets();
    const std::string file = textfiles.path() + "zentamarket.prom";
    ASSERT_TRUE(fs::exists(file));
    // Written whole and renamed: nothing else in the collector's folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(textfiles.path()), fs::directory_iterator()), 1);
    const auto m = ParsedMetrics(file);
    const double now = static_cast<double>(std::time(nullptr));
    EXPECT_EQ(m.at("zentamarket_backup_last_success"), 1);
    EXPECT_NEAR(m.at("zentamarket_backup_last_good_timestamp_seconds"), now, 120);
    EXPECT_GT(m.at("zentamarket_backup_archive_bytes"), 500);
    // The duration is the backup's own, as its record says (the archiver ran: not zero).
    EXPECT_EQ(m.at("zentamarket_backup_duration_seconds"),
              std::stod(JobOutcome::Read("Backup")["Seconds"]));
    EXPECT_GT(m.at("zentamarket_backup_duration_seconds"), 0);
    EXPECT_EQ(m.at("zentamarket_stock_renewal_pairs"), 1);
    EXPECT_GE(m.at("zentamarket_ticket_purge_rows"), 1);
    EXPECT_NEAR(m.at("zentamarket_ticket_purge_last_timestamp_seconds"), now, 120);
    EXPECT_EQ(m.count("zentamarket_ip_report_last_success"), 0u); // never reported: no sample

    // A failed backup: the success flag drops, the last good one stays.
    const double good = m.at("zentamarket_backup_last_good_timestamp_seconds");
    Sql("DELETE FROM opcion WHERE ID = 'LastDateAutoBackup';");
    setenv("ZENTA_7ZIP", "/bin/false", 1);
    AutoBackup();
    unsetenv("ZENTA_7ZIP");
    const auto after = ParsedMetrics(file);
    EXPECT_EQ(after.at("zentamarket_backup_last_success"), 0);
    EXPECT_EQ(after.at("zentamarket_backup_last_good_timestamp_seconds"), good);
}

TEST_F(Monitoring, ThePostBackupCommandGetsTheArchiveAndItsFailureNeverFailsTheBackup) {
    TempDir offsite;
    SetSetting("Monitor", "PostBackupCommand",
               "cp -v --target-directory='" + offsite.path() + "' --");
    AutoBackup();
    const std::string archive = JobOutcome::Read("Backup")["LastGoodArchive"];
    ASSERT_FALSE(archive.empty()) << Log();
    const std::string copy = offsite.path() + fs::path(archive).filename().string();
    EXPECT_EQ(ReadFile(copy), ReadFile(archive));
    EXPECT_EQ(JobOutcome::Read("OffsiteCopy")["Result"], "done");
    EXPECT_NE(JobOutcome::Read("OffsiteCopy")["Output"].find(archive), std::string::npos);
    EXPECT_NE(Log().find("post-backup command done"), std::string::npos);

    // Failing and hanging commands: the backup is still good and recorded, nothing deleted.
    for (const auto& [line, detail] : std::vector<std::pair<std::string, std::string>>{
             {"echo no route to the copy host >&2; exit 3; true", "failed: exit status 3"},
             {"sleep 30; true", "failed: ended after 1 s"}}) {
        SetSetting("Monitor", "PostBackupCommand", line);
        SetSetting("Monitor", "PostBackupTimeout", "1");
        Sql("DELETE FROM opcion WHERE ID = 'LastDateAutoBackup';");
        sleep(1);
        AutoBackup();
        EXPECT_EQ(JobOutcome::Read("Backup")["Result"], "good") << line;
        EXPECT_EQ(Sql("SELECT COUNT(*) FROM opcion WHERE ID = 'LastDateAutoBackup';"), "1\n");
        EXPECT_EQ(JobOutcome::Read("OffsiteCopy")["Result"], "failed") << line;
        EXPECT_EQ(JobOutcome::Read("OffsiteCopy")["Detail"], detail) << line;
        EXPECT_TRUE(fs::exists(archive));
    }
    EXPECT_NE(Log().find("no route to the copy host"), std::string::npos);
}

TEST_F(Monitoring, TheWeeklyVerificationRunsOnlyWhenAskedAndOncePerWeek) {
    AutoBackup();
    AutoVerifyArchive(); // not asked for
    EXPECT_EQ(JobOutcome::Read("Verify")["Time"], "");
    SetSetting("Monitor", "VerifyWeekly", "1");
    AutoVerifyArchive();
    EXPECT_EQ(JobOutcome::Read("Verify")["Result"], "good") << JobOutcome::Read("Verify")["Error"];
    const std::string first = JobOutcome::Read("Verify")["Time"];
    sleep(1);
    AutoVerifyArchive(); // within the week: not again
    EXPECT_EQ(JobOutcome::Read("Verify")["Time"], first);
    RecordOutcome("Verify", {{"Time", "2020-01-01 00:00:00"}});
    AutoVerifyArchive();
    EXPECT_NE(JobOutcome::Read("Verify")["Time"], "2020-01-01 00:00:00");
    EXPECT_NE(Log().find("weekly verification of"), std::string::npos);
}
