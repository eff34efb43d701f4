// The copy's state, from the copier's looks: how far behind the server it is, what it is to be
// called, the seal of the server's current file, and its record.
#include "BinlogCopy.h"

#include "Common.h"
#include "ErrorMode.h"
#include "Globals.h"
#include "LocalTime.h"
#include "Settings.h"

#include <algorithm>

namespace zenta {

namespace {

using Clock = std::chrono::steady_clock;
constexpr long kCurrentSeconds = 10;                    // a copy this close is current
constexpr auto kRecordEvery = std::chrono::seconds(10); // the job record, when nothing changed
constexpr auto kStuckAfter = std::chrono::seconds(30);  // a stream that stopped copying
constexpr size_t kSamples = 900;                        // the server's positions remembered

std::string Now() {
    return DateTime::Now().StampText();
}

// How many bytes of the server's log a copy ending at (`number`, `size`) lacks; -1 when the
// copy has no file yet.
long long BytesBehind(long number, long long size, const std::vector<ServerLogFile>& logs,
                      const ServerLogPosition& server) {
    const long serverNumber = LogFileNumber(server.file);
    if (number < 0)
        return -1;
    if (number >= serverNumber)
        return number == serverNumber ? std::max(0LL, server.position - size) : 0;
    long long behind = server.position - size;
    for (const auto& f : logs) {
        const long n = LogFileNumber(f.name);
        if (n >= number && n < serverNumber)
            behind += f.size;
    }
    return behind;
}

} // namespace

BinlogCopier::CopyEnd BinlogCopier::WhereTheCopyEnds() const {
    CopyEnd end;
    // The file being written, else the chain's newest.
    if (const auto incoming = LogFilesIn(chain_->incoming()); !incoming.empty()) {
        end.name = incoming.rbegin()->second;
        end.path = chain_->incoming() + end.name;
    } else if (const auto files = chain_->Files(); !files.empty()) {
        end.name = files.back().name;
        end.path = files.back().path;
    }
    // Nothing written yet: the copy stands at the start of the file the stream began with.
    end.number = end.name.empty() ? LogFileNumber(streamFrom_) : LogFileNumber(end.name);
    end.size = std::max(0LL, FileLength(end.path));
    return end;
}

// How long the copy has lacked something the server had: since the oldest look at which the
// server stood beyond the copy's end. A server that was down wrote nothing meanwhile: the time
// it was away is not counted as the copy's lag.
long long BinlogCopier::SecondsBehind(const CopyEnd& end, Clock::time_point now) const {
    const Sample* oldestAhead = nullptr;
    for (auto it = samples_.rbegin(); it != samples_.rend(); ++it) {
        if (end.number > it->file || (end.number == it->file && end.size >= it->position))
            break;
        oldestAhead = &*it;
    }
    return oldestAhead
               ? std::chrono::duration_cast<std::chrono::seconds>(now - oldestAhead->at).count()
               : 0;
}

// How far the copy reaches: the last transaction it holds whole.
void BinlogCopier::UpdateReach(const CopyEnd& end) {
    const bool written = end.path.find("/.incoming/") != std::string::npos;
    const std::time_t last = written ? Follow(end.path).lastCommitted : 0;
    if (last > 0) {
        reach_ = LocalStampText(last);
        return;
    }
    if (!reach_.empty() && written)
        return; // a file just begun: the reach is the one before
    const auto files = chain_->Files();
    for (auto it = files.rbegin(); it != files.rend(); ++it)
        if (const auto facts = chain_->Facts(*it); facts.lastCommitted > 0) {
            reach_ = LocalStampText(facts.lastCommitted);
            return;
        }
}

void BinlogCopier::Measure(const std::vector<ServerLogFile>& logs,
                           const ServerLogPosition& server) {
    const auto now = Clock::now();
    samples_.push_back({now, std::time(nullptr), LogFileNumber(server.file), server.position});
    while (samples_.size() > kSamples)
        samples_.pop_front();
    if (!chain_)
        return;
    const CopyEnd end = WhereTheCopyEnds();
    if (end.name != file_ || end.size != copiedBytes_)
        lastGrowth_ = now;
    file_ = end.name;
    copiedBytes_ = end.size;
    lagBytes_ = BytesBehind(end.number, end.size, logs, server);
    // How long ago the server stood where the copy stands now.
    lagSeconds_ = lagBytes_ == 0 ? 0 : SecondsBehind(end, now);
    if (lagBytes_ == 0)
        currentAt_ = Now();
    UpdateReach(end);
    JudgeState(now);
}

void BinlogCopier::JudgeState(Clock::time_point now) {
    const bool running = child_.Running();
    const long long free = FreeBytes(chain_->path());
    if (running && lagBytes_ >= 0 && lagSeconds_ <= kCurrentSeconds) {
        if (state_ != CopyState::Streaming)
            since_ = Now();
        state_ = CopyState::Streaming;
        why_.clear();
        if (free >= kDiskMargin)
            problem_.clear();
        return;
    }
    if (!running) {
        if (state_ != CopyState::Down || why_.empty())
            Down(problem_.empty() ? "the stream is not running" : problem_);
        return;
    }
    if (free >= 0 && free < kDiskMargin)
        problem_ =
            "the copy's disk is full (" + Megabytes(free) + " free in " + chain_->path() + ")";
    Down((problem_.empty() ? std::string() : problem_ + "; ") +
         (lagBytes_ < 0 ? std::string("the stream has copied nothing yet")
                        : "the copy is " + Megabytes(lagBytes_) + " (" +
                              std::to_string(lagSeconds_) + " s) behind the server"));
    const long stuck = std::chrono::duration_cast<std::chrono::seconds>(now - lastGrowth_).count();
    if (now - lastGrowth_ >= kStuckAfter) {
        WriteProgramLog("binlog copy: the stream has copied nothing for " + std::to_string(stuck) +
                        " s while the server went on; it starts again");
        child_.Stop();
    }
}

void BinlogCopier::Seal(const ServerLogPosition& server) {
    const long minutes = GetSettingNumber("Monitor", "BinlogSealMinutes", 5, 1);
    const auto now = Clock::now();
    if (now - lastSeal_ < std::chrono::minutes(minutes))
        return;
    lastSeal_ = now;
    const std::string position = server.file + ":" + std::to_string(server.position);
    if (position == sealedAt_)
        return; // nothing written since: no empty file
    if (FlushBinaryLogs(*db_))
        sealedAt_ = position;
}

void BinlogCopier::Record(bool force) {
    const std::string said = CopyStateText(state_) + "|" + why_ + "|" + problem_;
    const auto now = Clock::now();
    if (!force && said == recorded_ && now - lastRecord_ < kRecordEvery)
        return;
    if (said != recorded_) {
        changed_ = true;
        if (state_ == CopyState::Streaming)
            WriteProgramLog("binlog copy: streaming, current with the server");
        else
            WriteProgramLog("binlog copy: " + CopyStateText(state_) +
                            (why_.empty() ? "" : ": " + why_));
    }
    recorded_ = said;
    lastRecord_ = now;
    BinlogCopyOutcome look;
    look.checked = Now();
    look.state = state_;
    look.since = since_;
    look.why = why_;
    look.problem = problem_;
    look.reach = reach_;
    look.currentAt = currentAt_;
    look.lagBytes = lagBytes_;
    look.lagSeconds = lagSeconds_;
    look.folder = CopyFolder();
    look.chain = chain_ ? chain_->name() : std::string();
    look.file = file_;
    look.RecordLook();
}

} // namespace zenta
