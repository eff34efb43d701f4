#pragma once

#include "BinlogEvents.h"
#include "Result.h"

#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zenta {

// The copy of the server's binary log on this computer: its folders, file names and records,
// in one place. The copy, its finishing, the rotation, the windows, verify and the restore to
// a second read and write a chain only through this.
//
//   <BinlogFolder>/chain.ini         [Chain] Current: the chain being written
//   <BinlogFolder>/snapshots.ini     one section per archive: where its snapshot lies
//   <BinlogFolder>/chain-<stamp>/    one chain per run of one server's numbering
//       binlog.000012                a whole file: it matched the server's own
//       binlog.000012.7z             packed, with the archives' password
//       files.ini                    [Chain] the chain's opening; one section per file
//       BREAKS.txt                   files after which the chain cannot be replayed
//       GAPS.txt                     each gap, as said when it was found
//       .incoming/                   what the stream writes
//       .short/                      copies cut short, kept until a whole one replaces them
//   <drive>/ZentaBackup/Binlog/chain-<stamp>/binlog.000012.7z   the packed copies on a drive

// The folder of the copy ([Monitor] BinlogFolder; by default Binlog/ in the backup folder),
// ending in "/"; "" when the copy is off.
std::string BinlogFolder(const std::string& backupFolder);

// A log file's number: "binlog.000012" gives 12; -1 for any other name (a record, a packed
// copy, a folder).
long LogFileNumber(const std::string& name);
// The log files of a folder (ending in "/"), by number.
std::map<long, std::string> LogFilesIn(const std::string& folder);

struct ChainFile {
    std::string name; // "binlog.000012"
    std::string path; // its best copy
    long number = 0;
    long long size = 0;
    bool whole = false; // in the chain itself (it matched the server's own file)
};

class BinlogChain {
  public:
    BinlogChain() = default;
    BinlogChain(const std::string& folder, const std::string& name);
    // The chains in a copy's folder, oldest first.
    static std::vector<BinlogChain> All(const std::string& folder);
    // The names of the chains in a folder of this layout (a drive's too), oldest first.
    static std::vector<std::string> Names(const std::string& folder);
    // The chain being written, when there is one.
    static std::optional<BinlogChain> Current(const std::string& folder);
    // A new chain, made the one being written.
    static Result<BinlogChain> Begin(const std::string& folder);
    // Makes this the chain being written.
    bool MakeCurrent() const;

    const std::string& name() const { return name_; } // "chain-20261207101500"
    std::string path() const { return folder_ + name_ + "/"; }
    std::string incoming() const { return path() + ".incoming/"; }
    std::string shortCopies() const { return path() + ".short/"; }
    bool operator==(const BinlogChain& other) const { return path() == other.path(); }

    // Each log file's best copy, in order: the whole one in the chain, else the copy of it
    // (being written, or cut short) whose whole events reach furthest.
    std::vector<ChainFile> Files() const;
    // What a file's events say: kept in files.ini for a whole file once read (it never
    // changes), read anew for any other.
    BinlogFileFacts Facts(const ChainFile& file) const;
    // Whether the chain holds that file as the server opened it (BinlogOpening::key).
    bool Holds(const std::string& file, const std::string& openingKey) const;

    // The chain's own opening: its first file, as the server opened it.
    struct Opening {
        std::string firstFile;
        std::uint32_t serverId = 0;
        std::time_t time = 0;
        bool known() const { return !firstFile.empty(); }
    };
    Opening ChainOpening() const;
    bool RecordOpening(const std::string& file, const BinlogOpening& opening) const;

    // What became of each file, step by step, in files.ini (its words are this class's own):
    // whole as the server's own, lost (short, and the server no longer holds it), checked,
    // packed, onto the drive, handed to the post-backup command.
    enum class Step { Whole, Lost, Checked, Packed, Drive, Offsite };
    struct StepOutcome {
        bool done = false;   // the step was done
        bool failed = false; // it was tried and failed (why)
        std::string what;    // what it left: the packed file, the drive's copy; when, for Whole
        std::string why;
    };
    StepOutcome StepOf(const std::string& file, Step step) const;
    // The step done (`what`: the packed file, the drive's copy; nothing: now), or failed, with
    // more of the file's figures beside it (its first and last events, its size).
    using Figures = std::vector<std::pair<std::string, std::string>>;
    bool MarkDone(const std::string& file, Step step, const std::string& what = "",
                  const Figures& figures = {}) const;
    bool MarkFailed(const std::string& file, Step step, const std::string& why,
                    const Figures& figures = {}) const;
    bool RemoveRecords(const std::vector<std::string>& files) const;
    // How much of each file (bytes from its start) the off-site repository holds, and whether
    // it holds the chain's opening.
    long long RepositorySent(const std::string& file) const;
    bool MarkRepositorySent(const std::string& file, long long end) const;
    bool RepositoryOpeningSent() const;
    bool MarkRepositoryOpeningSent() const;
    // The server's first listed file when the copy last said that the server had purged files
    // it never copied ("" never): said once for each.
    std::string PurgeSaidAt() const;
    bool SayPurgeAt(const std::string& firstListed) const;

    // The files after which the chain cannot be replayed (the live database was replaced).
    std::vector<std::string> Breaks() const;
    bool AddBreak(const std::string& file) const;
    // The gaps said, oldest first; a new one.
    std::vector<std::string> Gaps() const;
    bool AddGap(const std::string& line) const;

    // Where a drive keeps this chain's packed files.
    std::string DriveFolder(const std::string& mount) const;

  private:
    // A file's record in files.ini.
    std::string Record(const std::string& file, const std::string& key) const;
    bool WriteRecord(const std::string& file, const Figures& values) const;
    using Records = std::map<std::string, std::map<std::string, std::string>>;
    const Records& AllRecords() const; // files.ini, read again only when it changed
    std::string folder_;               // the copy's folder, ending in "/"
    std::string name_;
    mutable std::shared_ptr<Records> records_;
    mutable std::string recordsStamp_; // files.ini's inode, size and time when read
};

// ZentaBackup/Binlog/ of a drive.
std::string DriveBinlogFolder(const std::string& mount);

// Where an archive's snapshot lies in the log, kept beside the copy when the archive is made
// (the archive holds the same in its checks file), so that nothing is unpacked to find it.
struct SnapshotRecord {
    std::string archive; // the archive's file name
    std::string file;    // the server's log file, and the position in it
    long long position = 0;
    std::string gtid;         // the GTID position of that point
    bool gtidTrusted = false; // false for archives that recorded the server's position instead
    std::string chain;        // the chain it was copied into, when known then
    std::string fileOpening;  // the file's opening (BinlogOpening::key), "" when not known
    std::time_t taken = 0;    // the server's clock in the snapshot (0: not recorded)
    bool known() const { return !file.empty() && position > 0; }
};
bool RecordSnapshot(const std::string& folder, const SnapshotRecord& snapshot);
std::optional<SnapshotRecord> RecordedSnapshot(const std::string& folder,
                                               const std::string& archive);
// The same figures as an archive's checks file keeps them (section [Binlog]).
std::vector<std::pair<std::string, std::string>> SnapshotValues(const SnapshotRecord& snapshot);
SnapshotRecord SnapshotFromIni(const std::string& contents, const std::string& section,
                               const std::string& archive);

// An archive's snapshot: as recorded beside the copy, else from the archive's own checks file
// (unpacked with `password`). Why not, when it records none or cannot be read.
Result<SnapshotRecord> SnapshotOfArchive(const std::string& folder, const std::string& archive,
                                         const std::string& password);
// When an archive was made: its snapshot's moment when recorded, else the time in its name
// (the server's clock); 0 when neither is known.
std::time_t SnapshotTime(const SnapshotRecord& snapshot);

// The chain a snapshot lies in: the one that holds its file as the server opened it. For a
// snapshot recorded without the file's opening (an archive made before openings were kept), the
// chain whose copy of the file the server opened last before the archive was made.
std::optional<BinlogChain> ChainOfSnapshot(const std::string& folder,
                                           const SnapshotRecord& snapshot);

// From a file of a chain on, the files that follow each other without a hole: consecutive
// numbers, each beginning after exactly the transactions the one before ends with, none after
// which the live database was replaced, none damaged before the last.
struct Stretch {
    std::vector<ChainFile> files;
    std::vector<BinlogFileFacts> facts; // of each file
    std::string gapAfter;               // the last file before a hole ("" when none)
    std::string why;                    // what the hole is
};
// Nothing when the chain does not hold the file.
std::optional<Stretch> StretchFrom(const BinlogChain& chain, const std::string& file);

// Records a gap in a chain: the log, GAPS.txt, and the job record (the tray, status and the
// metrics say it until a good backup's snapshot lies after it).
void SayBinlogGap(const BinlogChain& chain, const std::string& text);

} // namespace zenta
