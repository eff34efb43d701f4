#pragma once

// The copy of the server's binary log as the monitor last looked at it: the section BinlogCopy
// of the job record, kept here and only here. The copier writes its looks and the chain its
// gaps; status, the panel, the tray, doctor, the restore's windows and the metrics read it.
#include "JobOutcomes.h"

#include <ctime>
#include <optional>
#include <string>

namespace zenta {

// The copy's state as the copier last said it.
enum class CopyState {
    NotStarted, // never looked at (no database computer, or not yet)
    Streaming,  // the stream runs and the copy holds what the server wrote a few seconds ago
    Down,       // behind, the stream not running, or the copy's disk in trouble: `why`
    Off,        // turned off ([Monitor] BinlogCopy=0), or no binary log to copy: `why`
};
// "streaming", "down", "off" ("" for NotStarted): the record's words.
std::string CopyStateText(CopyState state);
CopyState ParseCopyState(const std::string& text);

struct BinlogCopyOutcome {
    std::string checked; // when the monitor last looked ("" never)
    CopyState state = CopyState::NotStarted;
    std::string since;     // since when it is in that state
    std::string why;       // why it is down, or off
    std::string problem;   // the copy's own disk cannot take it (full, failing): said at once
    std::string reach;     // when the last transaction copied was committed
    std::string currentAt; // when the copy last held everything the server had written
    long long lagBytes = -1, lagSeconds = -1;
    std::string folder, chain, file;
    std::string lastGap, lastGapTime;
    long long lastGapSequence = 0;

    static BinlogCopyOutcome Read();
    // The copier's look (everything but the gap, which stays as the chain said it).
    void RecordLook() const;
    // A gap in a chain, said by the chain (SayBinlogGap).
    static void RecordGap(const std::string& text);

    // Streaming and current at the last look, and that look recent: a record the monitor has
    // stopped writing (it was killed, or hangs) never says so.
    bool Streaming(std::time_t now) const;
    // Said by a monitor (not off, not never started).
    bool On() const { return state == CopyState::Streaming || state == CopyState::Down; }
    // Since when it has been down, and why (a stale record: since the monitor's last look).
    std::string DownSince(std::time_t now) const;
    std::string DownWhy(std::time_t now) const;
    // How long it has been down (0 when streaming or never seen).
    long long DownSeconds(std::time_t now) const;
    // "streaming" or "down since T: why" or "off: why", as of `now`.
    std::string Text(std::time_t now) const;
    // A gap in the copy that no good backup's snapshot lies after: a restore to a second
    // cannot cross it, and the next cycle makes a full backup so that a window starts again.
    bool GapUncovered(const BackupOutcome& backup) const;
    // The copy's part of the metrics file.
    std::string MetricsText(const BackupOutcome& backup, std::time_t now) const;
};
// How long the monitor may go without looking at the copy before its record is stale.
constexpr long kBinlogRecordStaleSeconds = 60;

} // namespace zenta
