#include "OffsiteRecord.h"

#include "JobOutcomes.h"
#include "LocalTime.h"
#include "Metrics.h"

#include <cstdlib>

namespace zenta {

namespace {

constexpr const char* kSection = "Repository";
constexpr long kStaleSeconds = 120;

long long Number(const std::string& text, long long otherwise) {
    return text.empty() ? otherwise : std::atoll(text.c_str());
}

std::string Optional(long long value) {
    return value < 0 ? std::string() : std::to_string(value);
}

std::string Seconds(const std::string& stamp) {
    const long long s = StampSeconds(stamp);
    return s > 0 ? std::to_string(s) : std::string();
}

} // namespace

std::string RepositoryStateText(RepositoryState state) {
    switch (state) {
    case RepositoryState::Current:
        return "current";
    case RepositoryState::Behind:
        return "behind";
    case RepositoryState::Down:
        return "down";
    case RepositoryState::Off:
        return "off";
    case RepositoryState::NotStarted:
        break;
    }
    return {};
}

RepositoryState ParseRepositoryState(const std::string& text) {
    for (const RepositoryState s : {RepositoryState::Current, RepositoryState::Behind,
                                    RepositoryState::Down, RepositoryState::Off})
        if (text == RepositoryStateText(s))
            return s;
    return RepositoryState::NotStarted;
}

OffsiteOutcome OffsiteOutcome::Read() {
    const JobOutcome r = JobOutcome::Read(kSection);
    OffsiteOutcome o;
    o.checked = r["Checked"];
    o.state = ParseRepositoryState(r["State"]);
    o.since = r["Since"];
    o.why = r["Why"];
    o.where = r["Where"];
    o.reach = r["Reach"];
    o.lagSeconds = Number(r["LagSeconds"], -1);
    o.pendingBytes = Number(r["PendingBytes"], -1);
    o.lastArchive = r["LastArchive"];
    o.lastArchiveTime = r["LastArchiveTime"];
    o.encrypted = r["Encrypted"] == "1";
    o.conflict = r["Conflict"];
    o.logState = ParseRepositoryState(r["LogState"]);
    o.logWhy = r["LogWhy"];
    o.logRound = r["LogRound"];
    o.archiveWhy = r["ArchiveWhy"];
    return o;
}

void OffsiteOutcome::Record() const {
    RecordOutcome(kSection, {{"Checked", checked},
                             {"State", RepositoryStateText(state)},
                             {"Since", since},
                             {"Why", why},
                             {"Where", where},
                             {"Reach", reach},
                             {"LagSeconds", Optional(lagSeconds)},
                             {"PendingBytes", Optional(pendingBytes)},
                             {"LastArchive", lastArchive},
                             {"LastArchiveTime", lastArchiveTime},
                             {"Encrypted", encrypted ? "1" : "0"},
                             {"Conflict", conflict},
                             {"LogState", RepositoryStateText(logState)},
                             {"LogWhy", logWhy},
                             {"LogRound", logRound},
                             {"ArchiveWhy", archiveWhy}});
}

void OffsiteOutcome::Combine() {
    if (logState == RepositoryState::Down || archiveWhy.empty()) {
        state = logState == RepositoryState::NotStarted ? RepositoryState::Behind : logState;
        why = logWhy;
    } else {
        state = RepositoryState::Down;
        why = archiveWhy;
    }
}

bool OffsiteOutcome::Fresh(std::time_t now) const {
    const long long at = StampSeconds(checked);
    return at > 0 && now - at <= kStaleSeconds;
}

std::string OffsiteOutcome::Text(std::time_t now) const {
    switch (state) {
    case RepositoryState::NotStarted:
        return "not started";
    case RepositoryState::Off:
        return "off" + (why.empty() ? std::string() : ": " + why);
    default:
        break;
    }
    if (!Fresh(now))
        return "not sent since " + checked + ": the monitor has not tried since (is it running?)";
    if (state == RepositoryState::Current)
        return "current";
    return RepositoryStateText(state) + " since " + since + (why.empty() ? "" : ": " + why);
}

std::string OffsiteOutcome::Warning(std::time_t now, long warnMinutes) const {
    if (state == RepositoryState::NotStarted || state == RepositoryState::Off)
        return {};
    if (!conflict.empty())
        return "异地备份警告：存储中有不是本店写入的数据：" + conflict;
    const long long from = StampSeconds(since);
    const bool long_ = !Fresh(now) || (from > 0 && now - from >= warnMinutes * 60);
    if (state != RepositoryState::Current && long_)
        return "异地备份警告：异地副本落后或中断：" + Text(now);
    if (!Fresh(now))
        return "异地备份警告：" + Text(now);
    if (!encrypted)
        return "异地备份警告：本店数据未加密地送出本店（没有设置备份密码）";
    return {};
}

std::string OffsiteOutcome::MetricsText(std::time_t now) const {
    if (state == RepositoryState::NotStarted)
        return {};
    std::string out;
    const bool on = state != RepositoryState::Off;
    AddMetric(out, "zentamarket_offsite_up",
              "1 while the off-site repository holds everything the local copy of the binary "
              "log holds whole, 0 when it is behind, down or its record is stale.",
              on ? std::string(state == RepositoryState::Current && Fresh(now) ? "1" : "0")
                 : std::string());
    AddMetric(out, "zentamarket_offsite_lag_seconds",
              "How far the last transaction in the off-site repository is behind the local "
              "copy's.",
              on ? Optional(lagSeconds) : std::string());
    AddMetric(out, "zentamarket_offsite_reach_timestamp_seconds",
              "When the last transaction the off-site repository holds was committed.",
              Seconds(reach));
    AddMetric(out, "zentamarket_offsite_last_archive_timestamp_seconds",
              "When the newest archive in the off-site repository was made.",
              Seconds(lastArchiveTime));
    AddMetric(out, "zentamarket_offsite_encrypted",
              "1 when what leaves the shop is encrypted with the archive password.",
              on ? std::string(encrypted ? "1" : "0") : std::string());
    return out;
}

namespace {

// The repository's part of every metrics file this program writes.
[[maybe_unused]] const bool kMetricsAdded = AddMetricsSection(kRepositoryMetrics, "offsite", [] {
    return OffsiteOutcome::Read().MetricsText(std::time(nullptr));
});

} // namespace

} // namespace zenta
