#include "JobOutcomes.h"

#include "Common.h"
#include "ErrorMode.h"
#include "Globals.h"
#include "IniFile.h"
#include "LocalTime.h"
#include "Metrics.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <pwd.h>
#include <sstream>
#include <sys/file.h>
#include <unistd.h>

namespace zenta {

namespace {

long long Number(const std::string& text, long long otherwise) {
    return text.empty() ? otherwise : std::atoll(text.c_str());
}

std::mutex problemLock;
std::string problem;

// A failure said once in the log, not at every job, and kept for RecordProblem.
void Problem(const std::string& why) {
    std::lock_guard<std::mutex> guard(problemLock);
    if (why == problem)
        return;
    problem = why;
    if (!why.empty())
        WriteProgramLog(why);
}

std::string CurrentUserName() {
    if (const passwd* pw = ::getpwuid(::geteuid()))
        return pw->pw_name;
    return std::to_string(::geteuid());
}

} // namespace

std::string JobOutcomesPath() {
    return Globals::AppPath + "Log/JobOutcomes.ini";
}

void RecordOutcome(const std::string& job, const OutcomeValues& values) {
    if (Globals::AppPath.empty())
        return;
    if (!IniFile::WriteMany(JobOutcomesPath(), job, values)) {
        Problem("the job record " + JobOutcomesPath() + " cannot be written by the user " +
                CurrentUserName() + " (the outcome of " + job + " is not kept)");
        return;
    }
    const auto metrics = WriteMetricsFile();
    Problem(metrics ? std::string() : "the metrics file is not written: " + metrics.error());
}

std::string RecordProblem() {
    std::lock_guard<std::mutex> guard(problemLock);
    return problem;
}

JobOutcome JobOutcome::Read(const std::string& job) {
    JobOutcome outcome;
    const std::string text = ReadWholeFile(JobOutcomesPath()).value_or("");
    std::istringstream in(text);
    std::string line;
    bool inside = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && line[0] == '[') {
            inside = line.substr(1, line.find(']') - 1) == job;
            continue;
        }
        const size_t eq = line.find('=');
        if (!inside || eq == std::string::npos)
            continue;
        const std::string key = line.substr(0, eq);
        if (!outcome.values_.count(key)) // the first one wins, as for the suite's files
            outcome.values_[key] = IniFile::ReadFrom(text, job, key);
    }
    return outcome;
}

const std::string& JobOutcome::operator[](const std::string& key) const {
    static const std::string none;
    const auto it = values_.find(key);
    return it == values_.end() ? none : it->second;
}

BackupOutcome BackupOutcome::Read() {
    const JobOutcome r = JobOutcome::Read("Backup");
    BackupOutcome b;
    b.time = r.time();
    b.result = r.result();
    b.archive = r["Archive"];
    b.failure = r["Failure"];
    b.missing = r["Missing"];
    b.shrink = r["Shrink"];
    b.shrinkBaseline = r["ShrinkBaseline"];
    b.accepted = r["Accepted"];
    b.seconds = r["Seconds"];
    b.bytes = Number(r["Bytes"], 0);
    b.lastGoodArchive = r["LastGoodArchive"];
    b.lastGoodTime = r["LastGoodTime"];
    b.lastGoodBytes = Number(r["LastGoodBytes"], 0);
    b.lastGoodSequence = Number(r["LastGoodSequence"], 0);
    return b;
}

DriveOutcome DriveOutcome::Read() {
    const JobOutcome r = JobOutcome::Read("BackupDrive");
    DriveOutcome d;
    d.label = r["Label"];
    d.labelSince = r["LabelSince"];
    d.mount = r["Mount"];
    d.lastResult = r["LastResult"];
    d.lastAttemptTime = r["LastAttemptTime"];
    d.lastGoodCopyTime = r["LastGoodCopyTime"];
    d.lastGoodCopy = r["LastGoodCopy"];
    d.lastFailure = r["LastFailure"];
    d.lastFailureTime = r["LastFailureTime"];
    d.freeBytes = Number(r["FreeBytes"], -1);
    d.totalBytes = Number(r["TotalBytes"], -1);
    return d;
}

long long NextOutcomeSequence() {
    if (Globals::AppPath.empty())
        return 0;
    const std::string path = Globals::AppPath + "Log/JobOutcomes.sequence";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0660);
    if (fd < 0)
        return 0;
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    const long long next = (n > 0 ? std::atoll(text) : 0) + 1;
    const std::string out = std::to_string(next) + "\n";
    const bool written =
        ::pwrite(fd, out.data(), out.size(), 0) == static_cast<ssize_t>(out.size()) &&
        ::ftruncate(fd, static_cast<off_t>(out.size())) == 0;
    ::close(fd);
    return written ? next : 0;
}

namespace {

// The job record's own parts of the metrics file.
std::string Seconds(const std::string& stamp) {
    const long long s = StampSeconds(stamp);
    return s > 0 ? std::to_string(s) : std::string();
}

std::string Flag(const std::string& result, const char* good) {
    return result.empty() ? std::string() : std::string(result == good ? "1" : "0");
}

std::string MetricNumber(const std::string& value) {
    return value.find_first_not_of("0123456789.") == std::string::npos ? value : std::string();
}

std::string BackupMetrics() {
    std::string out;
    const BackupOutcome b = BackupOutcome::Read();
    const std::string& backup = b.result;
    AddMetric(out, "zentamarket_backup_last_good_timestamp_seconds",
              "When the last good (tested, complete) backup was made.", Seconds(b.lastGoodTime));
    AddMetric(out, "zentamarket_backup_last_attempt_timestamp_seconds",
              "When the last backup was attempted.", Seconds(b.time));
    AddMetric(out, "zentamarket_backup_last_success",
              "1 when the last backup attempt gave a good archive.", Flag(backup, "good"));
    AddMetric(
        out, "zentamarket_backup_last_shrunk",
        "1 when the last backup was kept but not counted: the database held much less than at "
        "the last good backup.",
        backup.empty() ? std::string() : std::string(backup == "shrunk" ? "1" : "0"));
    AddMetric(out, "zentamarket_backup_duration_seconds", "How long the last backup took.",
              MetricNumber(b.seconds));
    AddMetric(out, "zentamarket_backup_archive_bytes", "Size of the last good archive.",
              b.lastGoodBytes > 0 ? std::to_string(b.lastGoodBytes) : std::string());
    return out;
}

std::string DriveMetrics() {
    std::string out;
    const DriveOutcome drive = DriveOutcome::Read();
    if (drive.label.empty())
        return out;
    AddMetric(out, "zentamarket_drive_last_good_copy_timestamp_seconds",
              "When a whole archive last reached the backup drive.",
              Seconds(drive.lastGoodCopyTime));
    AddMetric(out, "zentamarket_drive_last_copy_success",
              "1 when the last copy onto the backup drive was whole, 0 when it failed or the drive "
              "was not plugged in.",
              drive.lastResult.empty() ? std::string()
                                       : std::string(drive.lastResult == "copied" ? "1" : "0"));
    AddMetric(out, "zentamarket_drive_free_bytes",
              "Free bytes on the backup drive at the last copy.",
              drive.freeBytes < 0 ? std::string() : std::to_string(drive.freeBytes));
    return out;
}

std::string BinaryLogMetrics() {
    std::string out;
    const std::string logBin = JobOutcome::Read("BinaryLog")["LogBin"];
    AddMetric(out, "zentamarket_binlog_enabled",
              "1 when the database server keeps a binary log (point-in-time restore possible), 0 "
              "when a failure loses everything since the last backup.",
              logBin.empty() ? std::string() : std::string(logBin == "1" ? "1" : "0"));
    return out;
}

std::string JobMetrics() {
    std::string out;
    const JobOutcome verify = JobOutcome::Read("Verify");
    const JobOutcome purge = JobOutcome::Read("TicketPurge");
    const JobOutcome stock = JobOutcome::Read("StockRenewal");
    const JobOutcome ip = JobOutcome::Read("IPUpdate");
    const JobOutcome offsite = JobOutcome::Read("OffsiteCopy");
    AddMetric(out, "zentamarket_verify_last_timestamp_seconds",
              "When an archive was last verified.", Seconds(verify.time()));
    AddMetric(out, "zentamarket_verify_last_success", "1 when the last verification matched.",
              Flag(verify.result(), "good"));
    AddMetric(out, "zentamarket_ticket_purge_last_timestamp_seconds",
              "When old tickets were last purged.", Seconds(purge.time()));
    AddMetric(out, "zentamarket_ticket_purge_rows", "Rows the last ticket purge deleted.",
              MetricNumber(purge["Total"]));
    AddMetric(out, "zentamarket_stock_renewal_last_timestamp_seconds",
              "When the stock was last renewed.", Seconds(stock.time()));
    AddMetric(out, "zentamarket_stock_renewal_pairs",
              "Warehouse/article pairs the last stock renewal changed.",
              MetricNumber(stock["Pairs"]));
    AddMetric(out, "zentamarket_ip_report_last_timestamp_seconds",
              "When the branch's address was last reported.", Seconds(ip.time()));
    AddMetric(out, "zentamarket_ip_report_last_success", "1 when the last IP report was accepted.",
              Flag(ip.result(), "done"));
    AddMetric(out, "zentamarket_offsite_copy_last_timestamp_seconds",
              "When the post-backup command last ran.", Seconds(offsite.time()));
    AddMetric(out, "zentamarket_offsite_copy_last_success",
              "1 when the last post-backup command succeeded.", Flag(offsite.result(), "done"));
    return out;
}

[[maybe_unused]] const bool kMetricsAdded =
    AddMetricsSection(kBackupMetrics, "backup", BackupMetrics) &&
    AddMetricsSection(kDriveMetrics, "drive", DriveMetrics) &&
    AddMetricsSection(kBinaryLogMetrics, "binary-log", BinaryLogMetrics) &&
    AddMetricsSection(kJobMetrics, "jobs", JobMetrics);

} // namespace

} // namespace zenta
