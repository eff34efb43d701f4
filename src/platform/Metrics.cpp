#include "Metrics.h"

#include "Common.h"
#include "JobOutcomes.h"
#include "LocalTime.h"
#include "Settings.h"

#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace zenta {

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

void BackupMetrics(std::string& out, const BackupOutcome& b) {
    const std::string& backup = b.result;
    Metric(out, "zentamarket_backup_last_good_timestamp_seconds",
           "When the last good (tested, complete) backup was made.", Seconds(b.lastGoodTime));
    Metric(out, "zentamarket_backup_last_attempt_timestamp_seconds",
           "When the last backup was attempted.", Seconds(b.time));
    Metric(out, "zentamarket_backup_last_success",
           "1 when the last backup attempt gave a good archive.", Flag(backup, "good"));
    Metric(out, "zentamarket_backup_last_shrunk",
           "1 when the last backup was kept but not counted: the database held much less than at "
           "the last good backup.",
           backup.empty() ? std::string() : std::string(backup == "shrunk" ? "1" : "0"));
    Metric(out, "zentamarket_backup_duration_seconds", "How long the last backup took.",
           Number(b.seconds));
    Metric(out, "zentamarket_backup_archive_bytes", "Size of the last good archive.",
           b.lastGoodBytes > 0 ? std::to_string(b.lastGoodBytes) : std::string());
}

void DriveMetrics(std::string& out) {
    const DriveOutcome drive = DriveOutcome::Read();
    if (drive.label.empty())
        return;
    Metric(out, "zentamarket_drive_last_good_copy_timestamp_seconds",
           "When a whole archive last reached the backup drive.", Seconds(drive.lastGoodCopyTime));
    Metric(out, "zentamarket_drive_last_copy_success",
           "1 when the last copy onto the backup drive was whole, 0 when it failed or the drive "
           "was not plugged in.",
           drive.lastResult.empty() ? std::string()
                                    : std::string(drive.lastResult == "copied" ? "1" : "0"));
    Metric(out, "zentamarket_drive_free_bytes", "Free bytes on the backup drive at the last copy.",
           drive.freeBytes < 0 ? std::string() : std::to_string(drive.freeBytes));
}

void BinlogMetrics(std::string& out, const BackupOutcome& b) {
    const std::string logBin = JobOutcome::Read("BinaryLog")["LogBin"];
    Metric(out, "zentamarket_binlog_enabled",
           "1 when the database server keeps a binary log (point-in-time restore possible), 0 "
           "when a failure loses everything since the last backup.",
           logBin.empty() ? std::string() : std::string(logBin == "1" ? "1" : "0"));
    const BinlogCopyOutcome copy = BinlogCopyOutcome::Read();
    const std::time_t now = std::time(nullptr);
    const bool copyOn = !copy.state.empty() && copy.state != "off";
    Metric(out, "zentamarket_binlog_copy_up",
           "1 while the binary log is copied and the copy is current with the server, 0 when it is "
           "down or behind.",
           copyOn ? std::string(copy.Streaming(now) ? "1" : "0") : std::string());
    Metric(out, "zentamarket_binlog_copy_lag_seconds",
           "How long ago the server stood where the copy of its binary log stands now.",
           copyOn && copy.lagSeconds >= 0 ? std::to_string(copy.lagSeconds) : std::string());
    Metric(out, "zentamarket_binlog_copy_lag_bytes",
           "How many bytes of the server's binary log the copy lacks.",
           copyOn && copy.lagBytes >= 0 ? std::to_string(copy.lagBytes) : std::string());
    Metric(out, "zentamarket_binlog_copy_down_seconds",
           "How long the copy of the binary log has been down or behind (0 while it streams).",
           copyOn ? std::to_string(copy.DownSeconds(now)) : std::string());
    Metric(out, "zentamarket_binlog_copy_disk_problem",
           "1 when the copy's disk cannot take the binary log (full, failing).",
           copyOn ? std::string(copy.problem.empty() ? "0" : "1") : std::string());
    Metric(out, "zentamarket_binlog_copy_reach_timestamp_seconds",
           "When the last transaction the copy holds was committed.", Seconds(copy.reach));
    Metric(out, "zentamarket_binlog_gap",
           "1 when the copied binary log has a gap that no good backup's snapshot lies after.",
           copy.lastGapTime.empty() && copy.lastGapSequence == 0
               ? std::string()
               : std::string(copy.GapUncovered(b) ? "1" : "0"));
}

void JobMetrics(std::string& out) {
    const JobOutcome verify = JobOutcome::Read("Verify");
    const JobOutcome purge = JobOutcome::Read("TicketPurge");
    const JobOutcome stock = JobOutcome::Read("StockRenewal");
    const JobOutcome ip = JobOutcome::Read("IPUpdate");
    const JobOutcome offsite = JobOutcome::Read("OffsiteCopy");
    Metric(out, "zentamarket_verify_last_timestamp_seconds", "When an archive was last verified.",
           Seconds(verify.time()));
    Metric(out, "zentamarket_verify_last_success", "1 when the last verification matched.",
           Flag(verify.result(), "good"));
    Metric(out, "zentamarket_ticket_purge_last_timestamp_seconds",
           "When old tickets were last purged.", Seconds(purge.time()));
    Metric(out, "zentamarket_ticket_purge_rows", "Rows the last ticket purge deleted.",
           Number(purge["Total"]));
    Metric(out, "zentamarket_stock_renewal_last_timestamp_seconds",
           "When the stock was last renewed.", Seconds(stock.time()));
    Metric(out, "zentamarket_stock_renewal_pairs",
           "Warehouse/article pairs the last stock renewal changed.", Number(stock["Pairs"]));
    Metric(out, "zentamarket_ip_report_last_timestamp_seconds",
           "When the branch's address was last reported.", Seconds(ip.time()));
    Metric(out, "zentamarket_ip_report_last_success", "1 when the last IP report was accepted.",
           Flag(ip.result(), "done"));
    Metric(out, "zentamarket_offsite_copy_last_timestamp_seconds",
           "When the post-backup command last ran.", Seconds(offsite.time()));
    Metric(out, "zentamarket_offsite_copy_last_success",
           "1 when the last post-backup command succeeded.", Flag(offsite.result(), "done"));
}

// The pair of servers as the monitor last saw it (nothing without a pair).
void StandbyMetrics(std::string& out) {
    const JobOutcome pair = JobOutcome::Read("Standby");
    if (pair["Role"].empty())
        return;
    const std::string role = pair["Role"];
    Metric(out, "zentamarket_standby_primary",
           "1 when this computer's server is the pair's primary, open for sales.",
           role == "primary" ? "1" : "0");
    Metric(out, "zentamarket_standby_fenced",
           "1 when this computer's server is the recorded primary but kept read-only (the other "
           "server cannot be seen agreeing), or the old primary after a promotion.",
           role == "fenced" || role == "old primary" ? "1" : "0");
    Metric(out, "zentamarket_standby_partner_up", "1 when the other server of the pair answers.",
           pair["PartnerReached"] == "1" ? "1" : "0");
    Metric(out, "zentamarket_standby_protected",
           "1 when a sale is acknowledged only once the standby holds it (semi-synchronous on, the "
           "standby replicating without error).",
           pair["SemiSync"] == "on" && pair["StandbyProblem"].empty() ? "1" : "0");
    Metric(out, "zentamarket_standby_behind_transactions",
           "Transactions of the primary the standby has not applied yet.",
           pair["Behind"] == "-1" ? std::string() : Number(pair["Behind"]));
    Metric(out, "zentamarket_standby_behind_seconds",
           "How long ago the primary committed the oldest transaction the standby has not applied.",
           pair["BehindSeconds"] == "-1" ? std::string() : Number(pair["BehindSeconds"]));
}

} // namespace

std::string MetricsText() {
    std::string out;
    const BackupOutcome b = BackupOutcome::Read();
    BackupMetrics(out, b);
    DriveMetrics(out);
    BinlogMetrics(out, b);
    JobMetrics(out);
    StandbyMetrics(out);
    return out;
}

Result<Done> WriteMetricsFile() {
    std::string folder = GetSetting("Monitor", "MetricsFolder", "");
    if (folder.empty())
        return Done{};
    if (folder.back() != '/')
        folder += '/';
    // The collector reads every *.prom file: the file being written never looks like one.
    return ReplaceFileWhole(folder + "zentamarket.prom", MetricsText(), 0644);
}

} // namespace zenta
