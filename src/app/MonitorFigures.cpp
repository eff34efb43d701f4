#include "MonitorFigures.h"

#include "ErrorMode.h"
#include "GlobalDatabase.h"
#include "LocalTime.h"
#include "Metrics.h"
#include "Settings.h"

#include <algorithm>
#include <sys/statvfs.h>

namespace zenta {

namespace {

const char* const kSection = "Monitor";
std::time_t lastWritten = 0;
std::string lastProblem; // told once in the log, until it changes

// The exposure of a protection that was current until `since` and lagged `lag` then.
long long SinceCurrent(std::time_t now, long long since, long long lag) {
    if (since <= 0)
        return -1;
    return std::max<long long>(0, now - since) + std::max<long long>(0, lag);
}

std::string MonitorMetrics() {
    const std::time_t now = std::time(nullptr);
    // Kept in the job record, so that a command run beside the monitor writes them too.
    const std::string folder = JobOutcome::Read(kSection)["BackupFolder"];
    std::string out;
    AddMetric(out, "zentamarket_metrics_timestamp_seconds",
              "When the monitor wrote this file (it rewrites it every "
              "zentamarket_metrics_interval_seconds while it runs).",
              std::to_string(static_cast<long long>(now)));
    AddMetric(out, "zentamarket_metrics_interval_seconds",
              "How often the running monitor rewrites this file.",
              std::to_string(MetricsSeconds()));
    AddMetric(out, "zentamarket_backup_warn_days",
              "Days without a good backup before the monitor warns (BackupWarnDays).",
              std::to_string(GetSettingNumber("Monitor", "BackupWarnDays", 2, 1)));
    // A standby computer tells none of its own: the primary's counts.
    if (DatabaseJobsHere()) {
        const long long point =
            RecoveryPointSeconds(BackupOutcome::Read(), BinlogCopyOutcome::Read(),
                                 PairState::Read(), OffsiteOutcome::Read(), now);
        AddMetric(out, "zentamarket_recovery_point_seconds",
                  "How many seconds of acknowledged sales a loss of the database now would cost "
                  "(the smallest exposure of the binary log's copy, the standby, the off-site copy "
                  "and the last good backup).",
                  point < 0 ? std::string() : std::to_string(point));
    }
    struct statvfs fs {};
    if (!folder.empty() && ::statvfs(folder.c_str(), &fs) == 0 && fs.f_blocks > 0) {
        const unsigned long long unit = fs.f_frsize ? fs.f_frsize : fs.f_bsize;
        AddMetric(out, "zentamarket_backup_folder_free_bytes",
                  "Bytes free for the monitor on the backup folder's file system.",
                  std::to_string(static_cast<unsigned long long>(fs.f_bavail) * unit));
        AddMetric(out, "zentamarket_backup_folder_size_bytes",
                  "Size of the backup folder's file system.",
                  std::to_string(static_cast<unsigned long long>(fs.f_blocks) * unit));
    }
    return out;
}

[[maybe_unused]] const bool kMetricsAdded =
    AddMetricsSection(kMonitorMetrics, "monitor", MonitorMetrics);

} // namespace

long long RecoveryPointSeconds(const BackupOutcome& backup, const BinlogCopyOutcome& copy,
                               const PairState& pair, const OffsiteOutcome& offsite,
                               std::time_t now) {
    long long best = -1;
    auto consider = [&](long long exposure) {
        if (exposure >= 0 && (best < 0 || exposure < best))
            best = exposure;
    };
    if (const long long good = StampSeconds(backup.lastGoodTime); good > 0)
        consider(std::max<long long>(0, now - good));
    if (copy.On()) {
        if (copy.Streaming(now))
            consider(std::max<long long>(0, copy.lagSeconds));
        else if (const long long current = StampSeconds(copy.currentAt); current > 0)
            consider(std::max<long long>(0, now - current));
        else
            consider(SinceCurrent(now, StampSeconds(copy.DownSince(now)), copy.lagSeconds));
    }
    // A sale is acknowledged only once a protected standby holds it: what it has not applied
    // yet is already on its disk.
    if (pair.Is(PairRole::Primary) && pair.Fresh(now) && pair.partnerReached && pair.Protected())
        consider(0);
    if (offsite.state == RepositoryState::Current && offsite.Fresh(now))
        consider(std::max<long long>(0, offsite.lagSeconds));
    else if (offsite.state == RepositoryState::Behind || offsite.state == RepositoryState::Down ||
             (offsite.state == RepositoryState::Current && !offsite.Fresh(now)))
        consider(SinceCurrent(now, StampSeconds(offsite.since), offsite.lagSeconds));
    return best;
}

long MetricsSeconds() {
    return GetSettingNumber("Monitor", "MetricsSeconds", 60, 1);
}

void NoteBackupFolder(const std::string& folder) {
    if (JobOutcome::Read(kSection)["BackupFolder"] != folder)
        RecordOutcome(kSection, {{"BackupFolder", folder}});
}

bool MetricsDue(std::time_t now) {
    return lastWritten == 0 || now < lastWritten || now - lastWritten >= MetricsSeconds();
}

void RewriteMetrics(std::time_t now) {
    lastWritten = now;
    const auto written = WriteMetricsFile();
    const std::string problem = written ? std::string() : written.error();
    if (problem != lastProblem && !problem.empty())
        WriteProgramLog("the metrics file is not written: " + problem);
    lastProblem = problem;
}

} // namespace zenta
