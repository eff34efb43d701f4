#pragma once

#include "BinlogChain.h"
#include "Restore.h"
#include "Result.h"

#include <ctime>
#include <string>
#include <vector>

namespace zenta {

// What can be restored to a second: from the snapshot of an archive whose chain the copy holds
// to the last transaction copied after it in the same chain; a window ends at a gap (a file
// the copy lacks or holds short, a restore into the live database). Windows of one stretch of
// a chain are one window, from its oldest archive.
struct RestoreWindow {
    std::string chain;       // the chain's name
    std::string archive;     // the oldest archive it begins at (a file name)
    std::time_t from = 0;    // that archive's snapshot
    std::time_t to = 0;      // the last transaction copied after it
    bool reachesNow = false; // the copy streams into it and is current: it reaches the present
    std::string gapAfter;    // it ends at a gap after this file ("" when it reaches the copy's end)
    std::string why;         // what that gap is
};
// Where a restore to a second reads its archives and copied log: this computer's backup folder
// and copy, or folders of the same layout filled from elsewhere (the off-site repository).
struct RestoreSource {
    std::string backupFolder; // "": this computer's
    std::string copyFolder;   // "": the copy of that backup folder
    bool local = true;        // this computer's own copy: a running monitor's stream counts
};

// From the good archives of the backup folder and the snapshots recorded beside the copy
// (cheap: no archive is unpacked), oldest first.
std::vector<RestoreWindow> RestoreWindows(const std::string& backupFolder);
std::vector<RestoreWindow> RestoreWindows(const RestoreSource& source);
// "from 2026-12-07 02:00:14 +01:00 to 2026-12-07 16:59:58 +01:00 (chain-20261201020000)", and the
// gap that ends it.
std::string WindowText(const RestoreWindow& window);

struct UntilReport {
    RestoreReport restore;      // the archive's restore (restore.ok false: nothing left behind)
    std::string archive;        // the archive used
    std::time_t reached = 0;    // when the last transaction replayed was committed (0: none)
    long long transactions = 0; // replayed
    RestoreWindow window;       // the window it was restored in
    std::vector<RestoreWindow> others; // the copy's windows in other chains
};

// Restores an archive and replays the copied binary log from its snapshot position, in the
// chain its snapshot lies in, into the target database, never stopping inside a transaction:
// - `until` "latest": the archive given, or the newest good one; every transaction of its
//   window. A window that ends at a gap is refused (the time before the gap is named).
// - `until` a time (ParseInstant: this computer's clock, or with its UTC offset): the newest good
//   archive (or the one given) whose window holds that time; every transaction committed at
//   or before it.
// The replay runs with binary logging off for its session; the live database's name is
// rewritten to the target's. Whatever cannot be reached (no snapshot, its chain not in the
// copy, a time outside every window): a failure naming the windows, and no database left
// behind.
UntilReport RestoreUntil(const std::string& archive, const std::string& until,
                         const RestoreOptions& options, const RestoreSource& source = {});

// The copied log from an archive's snapshot on: every file checked (its events' checksums) and
// each continuing the one before.
struct ChainCheck {
    bool fault = false; // a file fails its check, or a gap
    std::string text;   // what was found, one line
};
ChainCheck CheckChainFrom(const std::string& archive, const std::string& passwordFile);

} // namespace zenta
