#include "BinlogCopyRecord.h"

#include "LocalTime.h"
#include "Metrics.h"
#include "Variant.h"

#include <cstdlib>

namespace zenta {

namespace {

constexpr const char* kSection = "BinlogCopy";

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

std::string CopyStateText(CopyState state) {
    switch (state) {
    case CopyState::Streaming:
        return "streaming";
    case CopyState::Down:
        return "down";
    case CopyState::Off:
        return "off";
    case CopyState::NotStarted:
        break;
    }
    return {};
}

CopyState ParseCopyState(const std::string& text) {
    for (const CopyState s : {CopyState::Streaming, CopyState::Down, CopyState::Off})
        if (text == CopyStateText(s))
            return s;
    return CopyState::NotStarted;
}

BinlogCopyOutcome BinlogCopyOutcome::Read() {
    const JobOutcome r = JobOutcome::Read(kSection);
    BinlogCopyOutcome c;
    c.checked = r["Checked"];
    c.state = ParseCopyState(r["State"]);
    c.since = r["Since"];
    c.why = r["Why"];
    c.problem = r["Problem"];
    c.reach = r["Reach"];
    c.currentAt = r["CurrentAt"];
    c.lagBytes = Number(r["LagBytes"], -1);
    c.lagSeconds = Number(r["LagSeconds"], -1);
    c.folder = r["Folder"];
    c.chain = r["Chain"];
    c.file = r["File"];
    c.lastGap = r["LastGap"];
    c.lastGapTime = r["LastGapTime"];
    c.lastGapSequence = Number(r["LastGapSequence"], 0);
    return c;
}

void BinlogCopyOutcome::RecordLook() const {
    RecordOutcome(kSection, {{"Checked", checked},
                             {"State", CopyStateText(state)},
                             {"Since", since},
                             {"Why", why},
                             {"Problem", problem},
                             {"Reach", reach},
                             {"CurrentAt", currentAt},
                             {"LagBytes", Optional(lagBytes)},
                             {"LagSeconds", Optional(lagSeconds)},
                             {"Folder", folder},
                             {"Chain", chain},
                             {"File", file}});
}

void BinlogCopyOutcome::RecordGap(const std::string& text) {
    const std::string now = DateTime::Now().StampText();
    RecordOutcome(kSection, {{"LastGap", now + " " + text},
                             {"LastGapTime", now},
                             {"LastGapSequence", std::to_string(NextOutcomeSequence())}});
}

bool BinlogCopyOutcome::Streaming(std::time_t now) const {
    const long long looked = StampSeconds(checked);
    return state == CopyState::Streaming && looked > 0 && now - looked <= kBinlogRecordStaleSeconds;
}

std::string BinlogCopyOutcome::DownSince(std::time_t now) const {
    if (state == CopyState::Streaming && !Streaming(now))
        return checked;
    return state == CopyState::Down ? since : std::string();
}

std::string BinlogCopyOutcome::DownWhy(std::time_t now) const {
    if (state == CopyState::Streaming && !Streaming(now))
        return "the monitor has not looked at the copy since (is it running?)";
    return state == CopyState::Down ? why : std::string();
}

long long BinlogCopyOutcome::DownSeconds(std::time_t now) const {
    const long long from = StampSeconds(DownSince(now));
    return from > 0 && now > from ? now - from : 0;
}

std::string BinlogCopyOutcome::Text(std::time_t now) const {
    if (state == CopyState::NotStarted)
        return "not started";
    if (state == CopyState::Off)
        return "off" + (why.empty() ? std::string() : ": " + why);
    if (Streaming(now))
        return "streaming";
    const std::string reason = DownWhy(now);
    return "down since " + DownSince(now) + (reason.empty() ? std::string() : ": " + reason);
}

bool BinlogCopyOutcome::GapUncovered(const BackupOutcome& backup) const {
    if (lastGapSequence > 0 || backup.lastGoodSequence > 0)
        return lastGapSequence > backup.lastGoodSequence;
    // Both recorded before the sequence was: by their clock times.
    return !lastGapTime.empty() && lastGapTime >= backup.lastGoodTime;
}

std::string BinlogCopyOutcome::MetricsText(const BackupOutcome& backup, std::time_t now) const {
    std::string out;
    auto onOnly = [&](const std::string& value) { return On() ? value : std::string(); };
    AddMetric(out, "zentamarket_binlog_copy_up",
              "1 while the binary log is copied and the copy is current with the server, 0 when "
              "it is down or behind.",
              onOnly(Streaming(now) ? "1" : "0"));
    AddMetric(out, "zentamarket_binlog_copy_lag_seconds",
              "How long ago the server stood where the copy of its binary log stands now.",
              onOnly(Optional(lagSeconds)));
    AddMetric(out, "zentamarket_binlog_copy_lag_bytes",
              "How many bytes of the server's binary log the copy lacks.",
              onOnly(Optional(lagBytes)));
    AddMetric(out, "zentamarket_binlog_copy_down_seconds",
              "How long the copy of the binary log has been down or behind (0 while it streams).",
              onOnly(std::to_string(DownSeconds(now))));
    AddMetric(out, "zentamarket_binlog_copy_disk_problem",
              "1 when the copy's disk cannot take the binary log (full, failing).",
              onOnly(problem.empty() ? "0" : "1"));
    AddMetric(out, "zentamarket_binlog_copy_reach_timestamp_seconds",
              "When the last transaction the copy holds was committed.", Seconds(reach));
    AddMetric(out, "zentamarket_binlog_gap",
              "1 when the copied binary log has a gap that no good backup's snapshot lies after.",
              lastGapTime.empty() && lastGapSequence == 0
                  ? std::string()
                  : std::string(GapUncovered(backup) ? "1" : "0"));
    return out;
}

namespace {

// The copy's part of every metrics file this program writes.
[[maybe_unused]] const bool kMetricsAdded =
    AddMetricsSection(kBinlogCopyMetrics, "binlog-copy", [] {
        return BinlogCopyOutcome::Read().MetricsText(BackupOutcome::Read(), std::time(nullptr));
    });

} // namespace

} // namespace zenta
