#include "Metrics.h"

#include "JobOutcomes.h"
#include "Settings.h"

#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace zenta {

long long StampSeconds(const std::string& stamp) {
    std::tm t{};
    if (stamp.size() < 19 || std::sscanf(stamp.c_str(), "%d-%d-%d %d:%d:%d", &t.tm_year, &t.tm_mon,
                                         &t.tm_mday, &t.tm_hour, &t.tm_min, &t.tm_sec) != 6)
        return 0;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    t.tm_isdst = -1;
    const std::time_t seconds = std::mktime(&t);
    return seconds < 0 ? 0 : static_cast<long long>(seconds);
}

namespace {

void Metric(std::string& out, const char* name, const char* help, const std::string& value) {
    if (value.empty())
        return;
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n" + name +
           " " + value + "\n";
}

std::string Seconds(const std::string& stamp) {
    const long long s = StampSeconds(stamp);
    return s > 0 ? std::to_string(s) : std::string();
}

std::string Flag(const std::string& result, const char* good) {
    return result.empty() ? std::string() : std::string(result == good ? "1" : "0");
}

std::string Number(const std::string& value) {
    return value.find_first_not_of("0123456789.") == std::string::npos ? value : std::string();
}

} // namespace

std::string MetricsText() {
    std::string out;
    const std::string backup = OutcomeValue("Backup", "Result");
    Metric(out, "zentamarket_backup_last_good_timestamp_seconds",
           "When the last good (tested, complete) backup was made.",
           Seconds(OutcomeValue("Backup", "LastGoodTime")));
    Metric(out, "zentamarket_backup_last_attempt_timestamp_seconds",
           "When the last backup was attempted.", Seconds(OutcomeValue("Backup", "Time")));
    Metric(out, "zentamarket_backup_last_success",
           "1 when the last backup attempt gave a good archive.", Flag(backup, "good"));
    Metric(out, "zentamarket_backup_last_shrunk",
           "1 when the last backup was kept but not counted: the database held much less than at "
           "the last good backup.",
           backup.empty() ? std::string() : std::string(backup == "shrunk" ? "1" : "0"));
    if (!OutcomeValue("BackupDrive", "Label").empty()) {
        const std::string drive = OutcomeValue("BackupDrive", "LastResult");
        Metric(out, "zentamarket_drive_last_good_copy_timestamp_seconds",
               "When a whole archive last reached the backup drive.",
               Seconds(OutcomeValue("BackupDrive", "LastGoodCopyTime")));
        Metric(out, "zentamarket_drive_last_copy_success",
               "1 when the last copy onto the backup drive was whole, 0 when it failed or the "
               "drive was not plugged in.",
               drive.empty() ? std::string() : std::string(drive == "copied" ? "1" : "0"));
        const std::string free = OutcomeValue("BackupDrive", "FreeBytes");
        Metric(out, "zentamarket_drive_free_bytes",
               "Free bytes on the backup drive at the last copy.",
               free.empty() || free[0] == '-' ? std::string() : Number(free));
    }
    Metric(out, "zentamarket_backup_duration_seconds", "How long the last backup took.",
           Number(OutcomeValue("Backup", "Seconds")));
    Metric(out, "zentamarket_backup_archive_bytes", "Size of the last good archive.",
           Number(OutcomeValue("Backup", "LastGoodBytes")));
    Metric(out, "zentamarket_verify_last_timestamp_seconds", "When an archive was last verified.",
           Seconds(OutcomeValue("Verify", "Time")));
    Metric(out, "zentamarket_verify_last_success", "1 when the last verification matched.",
           Flag(OutcomeValue("Verify", "Result"), "good"));
    Metric(out, "zentamarket_ticket_purge_last_timestamp_seconds",
           "When old tickets were last purged.", Seconds(OutcomeValue("TicketPurge", "Time")));
    Metric(out, "zentamarket_ticket_purge_rows", "Rows the last ticket purge deleted.",
           Number(OutcomeValue("TicketPurge", "Total")));
    Metric(out, "zentamarket_stock_renewal_last_timestamp_seconds",
           "When the stock was last renewed.", Seconds(OutcomeValue("StockRenewal", "Time")));
    Metric(out, "zentamarket_stock_renewal_pairs",
           "Warehouse/article pairs the last stock renewal changed.",
           Number(OutcomeValue("StockRenewal", "Pairs")));
    Metric(out, "zentamarket_ip_report_last_timestamp_seconds",
           "When the branch's address was last reported.",
           Seconds(OutcomeValue("IPUpdate", "Time")));
    Metric(out, "zentamarket_ip_report_last_success", "1 when the last IP report was accepted.",
           Flag(OutcomeValue("IPUpdate", "Result"), "done"));
    Metric(out, "zentamarket_offsite_copy_last_timestamp_seconds",
           "When the post-backup command last ran.", Seconds(OutcomeValue("OffsiteCopy", "Time")));
    Metric(out, "zentamarket_offsite_copy_last_success",
           "1 when the last post-backup command succeeded.",
           Flag(OutcomeValue("OffsiteCopy", "Result"), "done"));
    return out;
}

void WriteMetricsFile() {
    std::string folder = GetSetting("Monitor", "MetricsFolder", "");
    if (folder.empty())
        return;
    if (folder.back() != '/')
        folder += '/';
    const std::string text = MetricsText();
    const std::string final = folder + "zentamarket.prom";
    // The collector reads every *.prom file: the file being written must not look like one.
    const std::string tmp = folder + ".zentamarket.prom." + std::to_string(::getpid());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(tmp.c_str(), final.c_str()) != 0)
        ::unlink(tmp.c_str());
}

} // namespace zenta
