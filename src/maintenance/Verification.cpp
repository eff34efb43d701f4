#include "Verification.h"

#include "Common.h"
#include "DatabaseTools.h"
#include "ErrorMode.h"
#include "GlobalDatabase.h"
#include "JobNotes.h"
#include "JobOutcomes.h"
#include "LocalTime.h"
#include "Settings.h"

#include <ctime>
#include <unistd.h>

namespace zenta {

VerifyReport VerifyArchive(const std::string& archive,
                           const std::function<void(const std::string&)>& progress,
                           const std::string& passwordFile) {
    VerifyReport report;
    RestoreOptions options;
    options.database = "zentamarket_verify_" + std::to_string(::getpid());
    options.progress = progress;
    options.passwordFile = passwordFile;
    RestoreReport restored = RestoreArchive(archive, options);
    if (!restored.ok) {
        report.failure = restored.failure;
        report.error = restored.error;
        return report;
    }
    report.recorded = restored.recorded;
    clsDataBase& db = DataBase();
    bool all = true;
    for (size_t i = 0; i < restored.tables.size(); ++i) {
        const TableFigures& expected = restored.expected[i];
        TableFigures found = restored.tables[i];
        if (expected.checksum != -1) {
            db.CreatDatasArray("CHECKSUM TABLE " + QuotedName(restored.database) + "." +
                               QuotedName(found.table) + ";");
            if (!db.ConnectionStatus() || db.DatasArray()->Count(1) == 0) {
                // Not a difference: the check could not finish, and says so.
                const std::string why = db.LastError().Text();
                db.SQLExecute("DROP DATABASE IF EXISTS " + QuotedName(restored.database) + ";");
                report.failure = RestoreFailure::Server;
                report.error = "the checksum of " + found.table + " could not be read (" + why +
                               "): the check could not finish";
                report.tables.clear();
                return report;
            }
            found.checksum = db.DatasArrayValue(0, 1).ToInt64();
        }
        if (!expected.Matches(found))
            all = false;
        report.tables.push_back({expected, found});
    }
    db.SQLExecute("DROP DATABASE IF EXISTS " + QuotedName(restored.database) + ";");
    report.ok = all;
    if (!all)
        report.error = "the restored tables differ from what the archive recorded";
    return report;
}

void AutoVerifyArchive() {
    if (!GetSettingBool("Monitor", "VerifyWeekly", "0")) {
        NoteJob("verification", "not due: the weekly verification is off ([Monitor] "
                                "VerifyWeekly)");
        return;
    }
    const long long last = StampSeconds(JobOutcome::Read("Verify").time());
    if (last > 0 && std::time(nullptr) - last < 7 * 24 * 3600) {
        NoteJob("verification", "not due: the last one is less than a week old");
        return;
    }
    const std::string archive = BackupOutcome::Read().lastGoodArchive;
    if (archive.empty() || !FileExists(archive)) {
        NoteJob("verification", "not done: there is no good archive to verify");
        return;
    }
    const VerifyReport report = VerifyArchive(archive);
    if (report.tables.empty() && report.failure != RestoreFailure::Damaged) {
        // No verdict on the archive: the last verification stays as it was.
        WriteProgramLog("weekly verification of " + archive + " could not run: " + report.error);
        NoteJob("verification", "could not run: " + report.error);
        return;
    }
    const std::string why = RecordVerification(archive, report);
    WriteProgramLog("weekly verification of " + archive + ": " +
                    (report.ok ? "every table restores as it was made" : "FAILED, " + why));
    NoteJob("verification", (report.ok ? "ran: " : "ran, FAILED: ") + archive +
                                (report.ok ? " restores as it was made" : ": " + why));
}

std::string RecordVerification(const std::string& archive, const VerifyReport& report) {
    std::string differing;
    for (const auto& [expected, found] : report.tables)
        if (!expected.Matches(found))
            differing += (differing.empty() ? "" : ", ") + expected.table;
    const std::string why =
        report.ok ? std::string() : report.error + (differing.empty() ? "" : ": " + differing);
    RecordOutcome("Verify", {{"Time", DateTime::Now().StampText()},
                             {"Result", report.ok ? "good" : "bad"},
                             {"Archive", archive},
                             {"Error", why}});
    return why;
}

} // namespace zenta
