#pragma once

#include "BinaryLog.h"
#include "BinlogChain.h"
#include "BinlogCopyRecord.h"
#include "Process.h"
#include "Result.h"
#include "clsDataBase.h"

#include <chrono>
#include <ctime>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zenta {

// The continuous copy of the database server's binary log, byte for byte, into the copy's
// folder (BinlogChain.h), made by MariaDB's own mariadb-binlog as a child process the monitor
// watches over, on a connection of its own: it follows the server through restarts without
// waiting for the maintenance cycle.
//
// A file counts as copied (it moves into its chain) only when it is whole: as long as the
// server's own file, or short of it by the event that closed it. A copy cut short (the stream
// ended, the disk was full) is fetched again from the same server while that server holds the
// file; one the server purged is a gap. The chain is known by its files' openings: a server
// whose files open otherwise (installed anew, RESET MASTER) begins a new chain, and the old one
// is never written again.

// Whether `folder`, or before it is made the nearest folder above it, lies on the disk that
// holds the server's data (a dead disk then takes both). False when it cannot be told.
bool OnTheServersDataDisk(const std::string& folder);

class BinlogCopier {
  public:
    BinlogCopier();
    ~BinlogCopier();
    BinlogCopier(const BinlogCopier&) = delete;
    BinlogCopier& operator=(const BinlogCopier&) = delete;

    // One look at the copy (every two seconds on the database computer, during the jobs too):
    // follows the server on its own connection, (re)starts the stream where the copy is whole,
    // moves whole files into their chain, says how far behind the server the copy is, and closes
    // the server's current file every [Monitor] BinlogSealMinutes (5) when it was written to.
    void Tick();
    // Finishes the files copied, when one became whole or every 30 s: checked, packed, onto the
    // drive and off-site (not while a job runs). That takes its time: the caller runs it apart
    // from the looks (another timer), so that every wait lets the looks go on meanwhile.
    void FinishCopied();
    // Ends the stream (the program is ending, or the copy is turned off).
    void Stop();
    // The stream runs and the copy holds what the server had written a few seconds ago.
    bool streaming() const { return state_ == CopyState::Streaming; }
    // Whether what the copy says (its state, why, its disk's trouble) changed since the last
    // call: the tray looks again.
    bool StateChanged() {
        const bool changed = changed_;
        changed_ = false;
        return changed;
    }

  private:
    // Room a stream needs beyond a file; what the copy's disk has free.
    static constexpr long long kDiskMargin = 1LL << 20;
    static long long FreeBytes(const std::string& folder);
    // What the file being written says so far, read on from where the last look stopped.
    const BinlogFileFacts& Follow(const std::string& path);
    struct Followed {
        std::string path;
        BinlogFileFacts facts;
    } followed_;
    struct Sample {
        std::chrono::steady_clock::time_point at;
        std::time_t wall = 0;
        long file = 0;
        long long position = 0;
    };
    bool EnsureConnected();
    void Off(const std::string& why);
    // The look itself, connected: the server's log, the stream, the files, the state.
    void Look();
    void StartAgain(const std::string& folder, const std::vector<ServerLogFile>& logs);
    void Disconnect(const std::string& why);
    void Down(const std::string& why);
    Result<Done> StartStream(const std::string& folder, const std::vector<ServerLogFile>& logs);
    void SayWhatIsLost(const std::vector<ChainFile>& files, const std::vector<ServerLogFile>& logs);
    std::string FirstNotWhole(const std::vector<ChainFile>& files,
                              const std::vector<ServerLogFile>& logs);
    Result<Done> PutCopiesAside();
    Result<BinlogChain> ChainForServer(const std::string& folder,
                                       const std::vector<ServerLogFile>& logs);
    bool Whole(const ChainFile& copy, const std::vector<ServerLogFile>& logs);
    void MoveWhole(const std::vector<ServerLogFile>& logs);
    // A whole copy from the stream's folder into its chain.
    void IntoTheChain(const ChainFile& copy);
    // Where the copy ends: its newest file and size.
    struct CopyEnd {
        std::string name, path;
        long number = -1;
        long long size = 0;
    };
    CopyEnd WhereTheCopyEnds() const;
    long long SecondsBehind(const CopyEnd& end, std::chrono::steady_clock::time_point now) const;
    void UpdateReach(const CopyEnd& end);
    // How far behind the server the copy is, and what it is to be called.
    void Measure(const std::vector<ServerLogFile>& logs, const ServerLogPosition& server);
    void JudgeState(std::chrono::steady_clock::time_point now);
    void Seal(const ServerLogPosition& server);
    void Record(bool force);
    // The shop's options the copy needs (the backup folder, the backup drive's label), read now
    // and then on its own connection.
    void ReadShopOptions();
    std::string CopyFolder() const;

    std::unique_ptr<clsDataBase> db_;
    ChildProcess child_;
    std::optional<BinlogChain> chain_; // the chain the stream writes into
    std::string streamFrom_;
    bool busy_ = false;      // a look is under way
    bool finishing_ = false; // the finishing of copied files is under way
    std::chrono::steady_clock::time_point lastConnect_{}, lastStart_{}, lastRecord_{},
        lastFinish_{}, lastOptions_{};
    std::chrono::steady_clock::time_point lastSeal_ = std::chrono::steady_clock::now();
    std::string sealedAt_;  // the server's position at the last seal
    std::string restartAt_; // a file the stream must fetch again (it was cut short)
    std::deque<Sample> samples_;
    bool shopDatabase_ = false; // connected to the shop's database (its options can be read)
    std::string backupFolder_;  // "" until read: <program>/Backup/
    std::string label_;         // the backup drive's label
    // The state as said; since when; why; the disk's trouble.
    CopyState state_ = CopyState::NotStarted;
    std::string since_, why_, problem_, recorded_;
    std::string currentAt_, reach_, file_;
    long long copiedBytes_ = -1;
    std::chrono::steady_clock::time_point lastGrowth_{};
    long long lagBytes_ = -1, lagSeconds_ = -1;
    bool moved_ = false;   // a file became whole since the last finishing
    bool changed_ = false; // what it says changed
};

} // namespace zenta
