#include "BinlogCopy.h"

#include "BackupFolders.h"
#include "BinlogFinish.h"
#include "BinlogServer.h"
#include "BusyFlag.h"
#include "Common.h"
#include "ErrorMode.h"
#include "FolderListing.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "JobOutcomes.h"
#include "LocalTime.h"
#include "Opcion.h"
#include "PairRecord.h"
#include "Settings.h"
#include "Text.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <sys/stat.h>
#include <sys/statvfs.h>

namespace zenta {

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPause =
    std::chrono::seconds(1); // between tries to connect or start (less than a look)
constexpr auto kFinishEvery = std::chrono::seconds(30); // the finishing of copied files

std::string Now() {
    return DateTime::Now().StampText();
}

// A replica id of its own for this folder's stream, stable from one start to the next.
long StreamServerId(const std::string& folder) {
    return 100000 + static_cast<long>(std::hash<std::string>{}(folder) % 800000);
}

// Whether a server whose logs begin after `server` has gone on from `copy`: every domain and
// server the copy holds transactions of, as far or further.
bool Covers(const GtidState& server, const GtidState& copy) {
    for (const auto& [key, sequence] : copy) {
        const auto it = server.find(key);
        if (it == server.end() || it->second < sequence)
            return false;
    }
    return true;
}

const ServerLogFile* Listed(const std::vector<ServerLogFile>& logs, const std::string& name) {
    for (const auto& f : logs)
        if (f.name == name)
            return &f;
    return nullptr;
}

// A chain of its own for a server whose logs do not go on from the copy's (`why`); the one
// before stays as it is.
Result<BinlogChain> NewChain(const std::string& folder, const std::optional<BinlogChain>& before,
                             const std::string& why) {
    if (before)
        WriteProgramLog("binlog copy: " + why +
                        ": the server was installed anew or its logs begin again; a new chain "
                        "begins, " +
                        before->path() + " stays as it is");
    auto begun = BinlogChain::Begin(folder);
    if (begun)
        WriteProgramLog("binlog copy: a chain begins in " + begun->path());
    return begun;
}

} // namespace

bool OnTheServersDataDisk(const std::string& folder) {
    DataBase().CreatDatasArray("SELECT @@datadir;");
    if (!DataBase().ConnectionStatus() || DataBase().DatasArray()->Count(1) == 0)
        return false;
    const std::string datadir = DataBase().DatasArrayValue(0, 0).ToString();
    std::error_code ec;
    fs::path there = folder;
    while (!fs::exists(there, ec) && there.has_relative_path())
        there = there.parent_path();
    struct stat data {
    }, copied{};
    return ::stat(datadir.c_str(), &data) == 0 && ::stat(there.c_str(), &copied) == 0 &&
           data.st_dev == copied.st_dev;
}

BinlogCopier::BinlogCopier() = default;

const BinlogFileFacts& BinlogCopier::Follow(const std::string& path) {
    const bool same = followed_.path == path && followed_.facts.binaryLog;
    followed_.facts = ReadBinlogFile(path, same ? &followed_.facts : nullptr);
    followed_.path = path;
    return followed_.facts;
}

long long BinlogCopier::FreeBytes(const std::string& folder) {
    return DiskSpace(folder).free;
}

BinlogCopier::~BinlogCopier() {
    Stop();
}

void BinlogCopier::Stop() {
    child_.Stop();
    streamFrom_.clear();
}

bool BinlogCopier::EnsureConnected() {
    if (db_ && db_->ConnectionStatus())
        return true;
    const auto now = Clock::now();
    if (db_ && now - lastConnect_ < kPause)
        return false;
    lastConnect_ = now;
    const std::string host = ConfiguredMySQLHost();
    // The shop's database for its options; a server installed anew may not have it yet, and
    // its log is copied all the same.
    for (const char* database : {clsDataBase::kDefaultDatabase, "mysql"}) {
        db_ = std::make_unique<clsDataBase>();
        db_->Connect(host, ConfiguredMySQLPort(), database, kBackOfficeUser, kBackOfficePassword);
        if (db_->ConnectionStatus()) {
            shopDatabase_ = database == std::string(clsDataBase::kDefaultDatabase);
            lastOptions_ = {};
            return true;
        }
    }
    Down("the server does not answer at " + host + ":" + std::to_string(ConfiguredMySQLPort()) +
         " (" + db_->LastError().Text() + ")");
    return false;
}

void BinlogCopier::Disconnect(const std::string& why) {
    db_.reset();
    lastConnect_ = Clock::now();
    Down(why);
}

void BinlogCopier::Down(const std::string& why) {
    if (state_ != CopyState::Down)
        since_ = currentAt_.empty() ? Now() : currentAt_;
    state_ = CopyState::Down;
    why_ = why;
}

void BinlogCopier::Off(const std::string& why) {
    Stop();
    state_ = CopyState::Off;
    why_ = why;
}

void BinlogCopier::Tick() {
    BusyGuard guard(busy_);
    if (!guard.acquired() || !DatabaseJobsHere())
        return;
    if (state_ == CopyState::NotStarted) {
        // The last look of an earlier run: the copy has been down since it was last current.
        currentAt_ = BinlogCopyOutcome::Read().currentAt;
    }
    if (CopyFolder().empty()) {
        Off("[Monitor] BinlogFolder is off");
    } else if (EnsureConnected()) {
        Look();
        // The connection was lost: a server that restarted answers a new one at once.
        if (!db_ && EnsureConnected())
            Look();
    } else {
        child_.Running(); // a stream that ended with its server is not left a zombie
    }
    Record(false);
}

void BinlogCopier::Look() {
    ReadShopOptions();
    const std::string folder = CopyFolder();
    auto failed = [&](const std::string& why) {
        if (ServerWentAway(*db_))
            Disconnect("the server went away: " + db_->LastError().Text());
        else
            Down(why);
    };
    const auto settings = ReadBinaryLogSettings(*db_);
    if (!settings)
        return failed(settings.error());
    if (!settings->logBin)
        return Off("the server keeps no binary log (log_bin is OFF)");
    const auto logs = ServerLogFiles(*db_);
    if (!logs)
        return failed(logs.error());
    const auto server = ServerCurrentPosition(*db_);
    if (!server)
        return failed(server.error());
    if (child_.Running())
        MoveWhole(*logs);
    if (!child_.Running())
        StartAgain(folder, *logs);
    Measure(*logs, *server);
    if (child_.Running())
        Seal(*server);
}

void BinlogCopier::FinishCopied() {
    BusyGuard guard(finishing_);
    if (!guard.acquired() || !ServerIsLocal || state_ == CopyState::Off || CopyFolder().empty())
        return;
    if (!moved_ && Clock::now() - lastFinish_ < kFinishEvery)
        return;
    moved_ = false;
    lastFinish_ = Clock::now();
    FinishCopiedFiles(CopyFolder(), label_);
}

void BinlogCopier::StartAgain(const std::string& folder, const std::vector<ServerLogFile>& logs) {
    if (!streamFrom_.empty()) {
        WriteProgramLog("binlog copy: the stream ended (status " +
                        std::to_string(child_.exitStatus()) +
                        "); it starts again where the copy is whole");
        streamFrom_.clear();
    }
    if (Clock::now() - lastStart_ < kPause)
        return;
    lastStart_ = Clock::now();
    if (const auto started = StartStream(folder, logs); !started) {
        WriteProgramLog("binlog copy: not started: " + started.error());
        Down(started.error());
    } else {
        lastRecord_ = {}; // the record says at once that the copy goes on
    }
}

bool BinlogCopier::Whole(const ChainFile& copy, const std::vector<ServerLogFile>& logs) {
    const ServerLogFile* theirs = Listed(logs, copy.name);
    if (!theirs || theirs == &logs.back())
        return false; // purged, or still being written
    if (copy.size > theirs->size)
        return false;
    const BinlogFileFacts facts = ReadBinlogFile(copy.path);
    if (!facts.binaryLog || facts.stop == BinlogReader::Stop::Damaged ||
        facts.wholeEnd != copy.size)
        return false;
    if (copy.size == theirs->size)
        return true;
    // Short by the event that closed the server's file only: a stream ends when its server
    // stops, before the server writes that event.
    const auto closing = ClosingEventEnd(*db_, copy.name, copy.size);
    if (!db_->ConnectionStatus() && ServerWentAway(*db_))
        return false;
    return closing && *closing == theirs->size;
}

void BinlogCopier::IntoTheChain(const ChainFile& copy) {
    // A whole copy in the chain already stays; one moved there before files had to be whole to
    // get there is replaced.
    const std::string to = chain_->path() + copy.name;
    std::error_code ec;
    if (FileExists(to) && chain_->StepOf(copy.name, BinlogChain::Step::Whole).done)
        fs::remove(copy.path, ec);
    else
        fs::rename(copy.path, to, ec);
    if (ec) {
        problem_ = "the finished " + copy.name + " cannot be moved into " + chain_->path() + ": " +
                   ec.message();
        WriteProgramLog("binlog copy: " + problem_);
        return;
    }
    fs::remove(chain_->shortCopies() + copy.name, ec);
    WriteProgramLog("binlog copy: " + copy.name + " finished (" + std::to_string(copy.size) +
                    " bytes, whole as the server's own)");
    chain_->MarkDone(copy.name, BinlogChain::Step::Whole);
    moved_ = true;
}

void BinlogCopier::MoveWhole(const std::vector<ServerLogFile>& logs) {
    if (!chain_)
        return;
    const auto files = LogFilesIn(chain_->incoming());
    const bool running = child_.Running();
    size_t index = 0;
    for (const auto& [number, name] : files) {
        ++index;
        if (running && index == files.size()) {
            // Being written: only a file the stream damaged stops it.
            const BinlogFileFacts& facts = Follow(chain_->incoming() + name);
            if (facts.stop == BinlogReader::Stop::Damaged) {
                problem_ = "the copy of " + name + " is damaged (" + facts.problem +
                           "): the copy's disk failed to take it";
                WriteProgramLog("binlog copy: " + problem_ + "; it is fetched again");
                restartAt_ = name;
                child_.Stop();
            }
            break;
        }
        const ChainFile copy{name, chain_->incoming() + name, number,
                             FileLength(chain_->incoming() + name), false};
        if (Whole(copy, logs)) {
            IntoTheChain(copy);
            continue;
        }
        const ServerLogFile* theirs = Listed(logs, name);
        if (!running || !theirs)
            continue; // the stream ended inside it: the next one fetches it again
        // The server was still writing it when its files were listed (it went on to the next
        // one since): its size then says nothing; the next look judges it.
        if (theirs == &logs.back())
            continue;
        // The stream went past it, yet it is short or damaged: the disk did not take it.
        const long long free = FreeBytes(chain_->path());
        problem_ = "the copy of " + name + " is short (" + std::to_string(copy.size) + " of " +
                   (theirs ? std::to_string(theirs->size) : std::string("?")) + " bytes)" +
                   (free >= 0 && free < kDiskMargin
                        ? ": the copy's disk is full (" + Megabytes(free) + " free)"
                        : std::string(": the copy's disk failed to take it"));
        WriteProgramLog("binlog copy: " + problem_ + "; it is fetched again");
        restartAt_ = name;
        child_.Stop();
        break;
    }
    if (moved_)
        chain_->ChainOpening(); // recorded with the chain's first whole file
}

Result<BinlogChain> BinlogCopier::ChainForServer(const std::string& folder,
                                                 const std::vector<ServerLogFile>& logs) {
    auto current = BinlogChain::Current(folder);
    if (!current)
        return NewChain(folder, std::nullopt, "");
    // The newest file of the copy that the server lists too: the same file, or another
    // server's of the same name?
    const auto files = current->Files();
    bool anyOpening = false;
    for (auto it = files.rbegin(); it != files.rend(); ++it) {
        const auto facts = current->Facts(*it);
        anyOpening = anyOpening || facts.opening.has_value();
        if (!facts.opening || !Listed(logs, it->name))
            continue;
        const auto theirs = ServerFileOpening(it->name);
        if (!theirs)
            return Result<BinlogChain>::Failure(
                "it cannot be told whether the server is the one the copy comes from: " +
                theirs.error());
        // The same opening, and the copy's last event where the server has one of that length
        // (two files opened within one second by servers set up alike open alike).
        const ServerLogFile* listed = Listed(logs, it->name);
        if (theirs->key == facts.opening->key && listed->size >= facts.wholeEnd &&
            ServerEventAt(*db_, it->name, facts.lastEventAt, facts.wholeEnd))
            return *current;
        if (!db_->ConnectionStatus() && ServerWentAway(*db_))
            return Result<BinlogChain>::Failure("the server went away: " + db_->LastError().Text());
        const std::string differs = theirs->key != facts.opening->key
                                        ? "it opened " + InstantText(theirs->time) +
                                              ", the copy's " + InstantText(facts.opening->time)
                                        : std::string("its events are not the copy's");
        return NewChain(folder, *current,
                        "the server's " + it->name + " is not the one copied (" + differs + ")");
    }
    if (!anyOpening)
        return *current; // nothing copied yet: the chain takes this server's logs
    // None of the copy's files is on the server: the same server, which purged them (its logs
    // then begin after at least what the copy ends with), or another one.
    const BinlogFileFacts last = current->Facts(files.back());
    const auto begins = ServerFileBegins(*db_, logs.front().name);
    if (LogFileNumber(logs.back().name) >= files.back().number && begins &&
        Covers(*begins, last.ends))
        return *current;
    return NewChain(folder, *current,
                    "the server's logs (" + logs.front().name + " to " + logs.back().name +
                        ", beginning after " +
                        (begins ? GtidStateText(*begins) : std::string("?")) +
                        ") do not go on from the copy's (" + files.back().name + ", ending after " +
                        GtidStateText(last.ends) + ")");
}

// The copy's files the server no longer holds, and files it never got: gaps, said once.
void BinlogCopier::SayWhatIsLost(const std::vector<ChainFile>& files,
                                 const std::vector<ServerLogFile>& logs) {
    const long firstListed = LogFileNumber(logs.front().name);
    if (!files.empty() && firstListed > files.back().number + 1 &&
        chain_->PurgeSaidAt() != logs.front().name) {
        SayBinlogGap(*chain_, "after " + files.back().name +
                                  " the server had purged its logs up to " + logs.front().name +
                                  " before they were copied");
        chain_->SayPurgeAt(logs.front().name);
    }
    for (const auto& f : files)
        if (!f.whole && f.number < firstListed &&
            !chain_->StepOf(f.name, BinlogChain::Step::Lost).done) {
            SayBinlogGap(*chain_, "the copy of " + f.name + " is short (" + std::to_string(f.size) +
                                      " bytes) and the server no longer holds it");
            chain_->MarkDone(f.name, BinlogChain::Step::Lost);
        }
}

// The first of the server's files that the copy lacks whole (the one being written at least).
std::string BinlogCopier::FirstNotWhole(const std::vector<ChainFile>& files,
                                        const std::vector<ServerLogFile>& logs) {
    const long first = files.empty() ? LogFileNumber(logs.front().name) : files.front().number;
    for (const auto& theirs : logs) {
        if (LogFileNumber(theirs.name) < first)
            continue;
        const auto it = std::find_if(files.begin(), files.end(),
                                     [&](const ChainFile& f) { return f.name == theirs.name; });
        if (it != files.end() && it->whole &&
            chain_->StepOf(it->name, BinlogChain::Step::Whole).done)
            continue;
        // Moved into the chain before files had to be whole to get there: measured now.
        if (it != files.end() && it->whole && Whole(*it, logs)) {
            chain_->MarkDone(it->name, BinlogChain::Step::Whole);
            continue;
        }
        return theirs.name;
    }
    return logs.back().name;
}

// .incoming/ holds only what the stream writes: the copies cut short that are left there (the
// stream writes its files anew, shorter at first) are kept aside, and stay whenever they reach
// further than a new copy.
// A copy that cannot be put aside stops the stream from starting: the stream would write over it.
Result<Done> BinlogCopier::PutCopiesAside() {
    CreateFolderPath(chain_->shortCopies());
    for (const auto& [number, name] : LogFilesIn(chain_->incoming())) {
        const std::string at = chain_->incoming() + name, aside = chain_->shortCopies() + name;
        std::error_code ec;
        if (FileExists(aside) && ReadBinlogFile(aside).wholeEnd >= ReadBinlogFile(at).wholeEnd)
            fs::remove(at, ec);
        else
            fs::rename(at, aside, ec);
        if (ec)
            return Result<Done>::Failure("the copy " + at + " cannot be put aside into " +
                                         chain_->shortCopies() + ": " + ec.message());
    }
    return Done{};
}

Result<Done> BinlogCopier::StartStream(const std::string& folder,
                                       const std::vector<ServerLogFile>& logs) {
    auto failed = [](const std::string& why) { return Result<Done>::Failure(why); };
    if (logs.empty())
        return failed("the server lists no binary log");
    // Which chain this server's logs go on: only then are the copies it cut short measured
    // against its files (another server's file of the same name is not theirs).
    auto chain = ChainForServer(folder, logs);
    if (!chain)
        return failed(chain.error());
    if (!chain_ || !(*chain_ == *chain))
        samples_.clear();
    chain_ = *chain;
    MoveWhole(logs);
    const auto files = chain_->Files();
    SayWhatIsLost(files, logs);
    const std::string from = FirstNotWhole(files, logs);
    if (auto aside = PutCopiesAside(); !aside)
        return aside;
    // Room for at least the file it begins with.
    const ServerLogFile* theirs = Listed(logs, from);
    const long long free = FreeBytes(chain_->path());
    const long long need = (theirs ? theirs->size : 0) + kDiskMargin;
    if (free >= 0 && free < need) {
        problem_ = "the copy's disk is full: " + Megabytes(free) + " free in " + chain_->path() +
                   ", " + Megabytes(need) + " needed to go on";
        return failed(problem_);
    }
    if (!CreateFolderPath(chain_->incoming()))
        return failed("the folder " + chain_->incoming() + " cannot be made");
    const auto settings = WriteClientSettings("binlog-client.cnf");
    if (!settings)
        return failed(settings.error());
    if (!child_.Start(BinlogProgram(),
                      {"--defaults-extra-file=" + *settings, "--read-from-remote-server", "--raw",
                       "--stop-never",
                       "--stop-never-slave-server-id=" + std::to_string(StreamServerId(folder)),
                       "--result-file=" + chain_->incoming(), from},
                      Globals::AppPath + "Log/binlog-copy.log"))
        return failed(BinlogProgram() + " cannot be started: " + ProgramStartError());
    streamFrom_ = from;
    restartAt_.clear();
    lastGrowth_ = Clock::now();
    WriteProgramLog("binlog copy: streaming " + from + " on into " + chain_->path());
    return Done{};
}

std::string BinlogCopier::CopyFolder() const {
    return BinlogFolder(backupFolder_.empty() ? Globals::AppPath + "Backup/" : backupFolder_);
}

void BinlogCopier::ReadShopOptions() {
    const auto now = Clock::now();
    if (!shopDatabase_ ||
        (lastOptions_ != Clock::time_point{} && now - lastOptions_ < std::chrono::minutes(5)))
        return;
    lastOptions_ = now;
    if (const auto folder = ResolveBackupFolder(*db_))
        backupFolder_ = *folder;
    if (const auto label = ReadOpcion(*db_, "MobilBackupRestoreVolumeName", "VarCharValor"))
        label_ = TrimSpaces(label->ToString());
    else if (db_->ConnectionStatus())
        label_.clear();
}

} // namespace zenta
