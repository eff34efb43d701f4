#pragma once

#include "Process.h"
#include "Result.h"

#include <chrono>
#include <string>
#include <vector>

namespace zenta {

// The continuous copy of the database server's binary log, byte for byte, into
// [Monitor] BinlogFolder of zentamarket.ini (by default the folder Binlog inside the backup
// folder; "off" turns it off), made by MariaDB's own mariadb-binlog as a child process that
// the monitor watches over. The password reaches it in a file only the program's user reads,
// never on its command line.
//
// The folder holds one chain per numbering of the server's logs (chain-<yyyymmddhhnnss>/): a
// server that begins its numbering again (installed anew, RESET MASTER) starts a new chain and
// the old one stays as it is. In a chain the stream writes into .incoming/; a file is moved
// into the chain once the stream has gone past it, and never over a longer copy.

// The back-office account's settings for MariaDB's own programs, in Temp/<name> (mode 0600):
// the password reaches them there, never on a command line. The file's path.
Result<std::string> WriteClientSettings(const std::string& name);

// The folder; "" when the copy is off.
std::string BinlogFolder(const std::string& backupFolder);

// Whether `folder`, or before it is made the nearest folder above it, lies on the disk that
// holds the server's data (a dead disk then takes both). False when it cannot be told.
bool OnTheServersDataDisk(const std::string& folder);

// One file of a chain and its size.
struct BinlogFile {
    std::string name; // "binlog.000012"
    std::string path;
    long long size = 0;
};
// Whether the copied log has a gap that no archive made since covers: the next cycle then
// makes a full backup even on a day that has one, so that a window starts again.
bool BinlogGapSinceLastGoodBackup();

// Before the live database's tables are replaced by a restore (which the server's log does
// not hold): closes the server's current file and records that the copied log cannot be
// replayed past it (<chain>/BREAKS.txt), as a gap, so that the next cycle makes a full backup
// and a window starts again. Nothing when there is no copy.
class clsDataBase;
void NoteLiveDatabaseReplaced(clsDataBase& admin);
// The files after which the chain cannot be replayed (the live database was replaced).
std::vector<std::string> ChainBreaks(const std::string& chainFolder);

// A chain's files in order, from the chain and its .incoming/ (the longer copy of each).
std::vector<BinlogFile> ChainFiles(const std::string& chainFolder);
// The chain being written, "" when none.
std::string CurrentChain(const std::string& folder);

// What is done with a file once the stream has gone past it: its events' checksums checked,
// its first and last event times recorded (<chain>/files.ini), packed beside it into a 7z
// archive (with the archives' password when one is set) and tested, copied onto the backup
// drive (ZentaBackup/Binlog/<chain>/), and handed to [Monitor] PostBinlogCommand (or
// PostBackupCommand) for an off-site copy. A file that fails its check goes nowhere.
void SealFinished(const std::string& chain, const std::string& name);

class BinlogCopier {
  public:
    ~BinlogCopier() { Stop(); }
    // One step of the watch (every few seconds, on the database computer): (re)starts the
    // stream where the copy ends, moves finished files into the chain, and closes the server's
    // current file every [Monitor] BinlogSealMinutes (5) when it was written to, so that a
    // finished file exists for every few minutes.
    void Tick();
    // Ends the stream (the program is ending).
    void Stop();
    bool streaming() { return child_.Running(); }

  private:
    void MoveFinished(const std::string& chain);
    Result<Done> StartStream(const std::string& folder);
    void Seal();

    ChildProcess child_;
    std::string chain_;
    std::chrono::steady_clock::time_point lastStart_{};
    std::chrono::steady_clock::time_point lastSeal_ = std::chrono::steady_clock::now();
    std::string sealedAt_; // the server's position at the last seal
};

} // namespace zenta
