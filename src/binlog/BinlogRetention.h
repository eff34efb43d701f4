#pragma once

#include <string>
#include <vector>

namespace zenta {

// Keeps the copied binary log back to the snapshot of the oldest of the `newest` whole archives
// of the backup folder (those the rotation keeps by MaxBackupFile: each of them can still be
// brought forward; weekly and monthly archives kept beyond them keep no log), here and in
// ZentaBackup/Binlog/ of each of `drives`, with a line in the log for each deletion:
// - in the chain that snapshot lies in, the log files wholly before it (their packed copies
//   and their records with them);
// - a whole chain only when it lies before every chain a kept archive's snapshot lies in.
// The chains' own records (BREAKS.txt, GAPS.txt, files.ini) stay with their chain. Nothing is
// deleted when the oldest kept archive's snapshot, or the chain it lies in, is not known.
// With `untilOffsite`, a file the off-site repository does not hold whole yet is kept here (and
// its chain with it), and said, until it does.
void PruneBinlogCopy(const std::string& backupFolder, long newest,
                     const std::vector<std::string>& drives = {}, bool untilOffsite = false);

} // namespace zenta
