#pragma once

#include "BinlogCopy.h"
#include "Restore.h"
#include "Result.h"

#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zenta {

// Where a transaction ends in a chain of binary-log files: the position after its last event
// (its COMMIT, its Xid, or a statement that stands alone) and when it was committed.
struct TransactionEnd {
    size_t file = 0;        // index into the files read
    long long position = 0; // just after the transaction
    std::time_t committed = 0;
};

// Every transaction that ends in `files` (consecutive files of one chain), read from
// `startPosition` of the first one (a transaction boundary, such as a backup's snapshot
// position). A file cut short (the one being written) ends at its last whole event. A failure
// when a file is no binary log or does not continue the one before.
Result<std::vector<TransactionEnd>> ReadTransactionEnds(const std::vector<BinlogFile>& files,
                                                        long long startPosition);

// When the first and the last whole event of a binary-log file were written; nothing when it
// is no binary log or holds no event.
std::optional<std::pair<std::time_t, std::time_t>> BinlogEventSpan(const std::string& path);

// "yyyy-mm-dd hh:nn:ss" of this computer's local time, or "latest"; a failure that says why
// for anything else. For a time that a daylight-saving change makes twice, the first; for one
// it skips, the moment after the change.
Result<std::time_t> ParseUntil(const std::string& text);

struct UntilReport {
    RestoreReport restore;      // the archive's restore (restore.ok false: nothing left behind)
    std::string archive;        // the archive used
    std::time_t reached = 0;    // when the last transaction replayed was committed (0: none)
    long long transactions = 0; // replayed
};

// Restores the newest good archive whose snapshot is at or before `until` (or `archive` when
// given) and replays the copied binary log from its snapshot position up to the last
// transaction committed at or before `until` ("latest": every whole transaction copied), into
// the target database, never stopping inside a transaction. The replay runs with binary
// logging off for its session; the log's database name is rewritten to the target. A time
// outside what the archives and the log cover, a gap or a missing file: a failure naming what
// can be restored, and no database left behind.
UntilReport RestoreUntil(const std::string& archive, const std::string& until,
                         const RestoreOptions& options);

// What can be restored to a second: from the time of an archive whose snapshot the copy holds
// to the last transaction copied after it; a window ends where the copy has a gap.
struct RestoreWindow {
    std::time_t from = 0;
    std::time_t to = 0;
    std::string gapAfter; // the window ends at a gap after this file ("" when it reaches now)
};
// From the positions recorded beside the copy (cheap: no archive is unpacked), oldest first.
std::vector<RestoreWindow> RestoreWindows(const std::string& backupFolder);

// The copied log from an archive's snapshot on: every file checked (its events' checksums)
// and each continuing the one before.
struct ChainCheck {
    bool fault = false; // a file fails its check, or a gap
    std::string text;   // what was found, one line
};
ChainCheck CheckChainFrom(const std::string& archive, const std::string& passwordFile);

// Keeps the copied log back to the snapshot of the oldest of the `newest` whole archives in
// the backup folder (the ones the rotation keeps by MaxBackupFile, so each of them can still
// be brought forward; older weekly and monthly archives keep no log) and deletes what is
// older, whole chains included, here and in ZentaBackup/Binlog/ on each of `drives`, with a
// line in the log for each file. Deletes nothing when that archive's position cannot be read
// (it was made without a binary log, or cannot be opened).
void PruneBinlogCopy(const std::string& backupFolder, long newest,
                     const std::vector<std::string>& drives = {});

} // namespace zenta
