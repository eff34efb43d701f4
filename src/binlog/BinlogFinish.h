#pragma once

#include <string>

namespace zenta {

// What becomes of each whole file of the copied binary log (BinlogChain.h), done again at the
// next look for whatever is not done yet, so that nothing is missed when a step fails, a drive
// is plugged in later or the program was stopped half-way:
// - its events' checksums checked (by the program's reader, then by mariadb-binlog), its first
//   and last event times recorded (files.ini of its chain);
// - packed beside it into <file>.7z, with the archives' password, and tested;
// - copied whole onto every plugged drive labelled `driveLabel` (ZentaBackup/Binlog/<chain>/),
//   what a copy cut off there left removed;
// - handed to [Monitor] PostBinlogCommand (or PostBackupCommand) until it succeeds.
// A file that fails its check goes nowhere. Stops after a few seconds of work; the next look
// goes on.
void FinishCopiedFiles(const std::string& folder, const std::string& driveLabel);

} // namespace zenta
