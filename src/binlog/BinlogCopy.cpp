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
    std::chrono::seconds(1);         // between tries to connect or start (less than a look)
constexpr long kCurrentSeconds = 10; // a copy this close is current
constexpr auto kRecordEvery = std::chrono::seconds(10); // the job record, when nothing changed
constexpr auto kFinishEvery = std::chrono::seconds(30); // the finishing of copied files
constexpr auto kStuckAfter = std::chrono::seconds(30);  // a stream that stopped copying
constexpr long long kDiskMargin = 1LL << 20;            // room a stream needs beyond a file
constexpr size_t kSamples = 900;                        // the server's positions remembered

std::string Now() {
    return DateTime::Now().StampText();
}

// A replica id of its own for this folder's stream, stable from one start to the next.
long StreamServerId(const std::string& folder) {
    return 100000 + static_cast<long>(std::hash<std::string>{}(folder) % 800000);
}

long long FreeBytes(const std::string& folder) {
    return DiskSpace(folder).free;
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

long long SizeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

const ServerLogFile* Listed(const std::vector<ServerLogFile>& logs, const std::string& name) {
    for (const auto& f : logs)
        if (f.name == name)
            return &f;
    return nullptr;
}

// What a file being written says so far, read on from where the last look stopped.
struct Followed {
    std::string path;
    BinlogFileFacts facts;
};
Followed& FollowedFile() {
    static Followed followed;
    return followed;
}
const BinlogFileFacts& Follow(const std::string& path) {
    Followed& f = FollowedFile();
    const bool same = f.path == path && f.facts.binaryLog;
    f.facts = ReadBinlogFile(path, same ? &f.facts : nullptr);
    f.path = path;
    return f.facts;
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
    if (state_ != "down")
        since_ = currentAt_.empty() ? Now() : currentAt_;
    state_ = "down";
    why_ = why;
}

void BinlogCopier::Off(const std::string& why) {
    Stop();
    state_ = "off";
    why_ = why;
}

void BinlogCopier::Tick() {
    BusyGuard guard(busy_);
    if (!guard.acquired() || !DatabaseJobsHere())
        return;
    if (state_.empty()) {
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
    if (!guard.acquired() || !ServerIsLocal || state_ == "off" || CopyFolder().empty())
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
        const std::string from = chain_->incoming() + name, to = chain_->path() + name;
        const ChainFile copy{name, from, number, SizeOf(from), false};
        if (Whole(copy, logs)) {
            // A whole copy in the chain already stays; one moved there before files had to be
            // whole to get there is replaced.
            std::error_code ec;
            if (FileExists(to) && !chain_->Record(name, "Whole").empty())
                fs::remove(from, ec);
            else
                fs::rename(from, to, ec);
            if (ec) {
                problem_ = "the finished " + name + " cannot be moved into " + chain_->path() +
                           ": " + ec.message();
                WriteProgramLog("binlog copy: " + problem_);
                continue;
            }
            fs::remove(chain_->shortCopies() + name, ec);
            WriteProgramLog("binlog copy: " + name + " finished (" + std::to_string(copy.size) +
                            " bytes, whole as the server's own)");
            chain_->WriteRecord(name, {{"Whole", Now()}});
            moved_ = true;
            continue;
        }
        const ServerLogFile* theirs = Listed(logs, name);
        if (!running || !theirs)
            continue; // the stream ended inside it: the next one fetches it again
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
        chain_->Record("Chain", "PurgedSaid") != logs.front().name) {
        SayBinlogGap(*chain_, "after " + files.back().name +
                                  " the server had purged its logs up to " + logs.front().name +
                                  " before they were copied");
        chain_->WriteRecord("Chain", {{"PurgedSaid", logs.front().name}});
    }
    for (const auto& f : files)
        if (!f.whole && f.number < firstListed && chain_->Record(f.name, "Lost").empty()) {
            SayBinlogGap(*chain_, "the copy of " + f.name + " is short (" + std::to_string(f.size) +
                                      " bytes) and the server no longer holds it");
            chain_->WriteRecord(f.name, {{"Lost", Now()}});
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
        if (it != files.end() && it->whole && !chain_->Record(it->name, "Whole").empty())
            continue;
        // Moved into the chain before files had to be whole to get there: measured now.
        if (it != files.end() && it->whole && Whole(*it, logs)) {
            chain_->WriteRecord(it->name, {{"Whole", Now()}});
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
    end.size = std::max(0LL, SizeOf(end.path));
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
        if (state_ != "streaming")
            since_ = Now();
        state_ = "streaming";
        why_.clear();
        if (free >= kDiskMargin)
            problem_.clear();
        return;
    }
    if (!running) {
        if (state_ != "down" || why_.empty())
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
    const std::string said = state_ + "|" + why_ + "|" + problem_;
    const auto now = Clock::now();
    if (!force && said == recorded_ && now - lastRecord_ < kRecordEvery)
        return;
    if (said != recorded_) {
        changed_ = true;
        if (state_ == "streaming")
            WriteProgramLog("binlog copy: streaming, current with the server");
        else
            WriteProgramLog("binlog copy: " + state_ + (why_.empty() ? "" : ": " + why_));
    }
    recorded_ = said;
    lastRecord_ = now;
    RecordOutcome("BinlogCopy",
                  {{"Checked", Now()},
                   {"State", state_},
                   {"Since", since_},
                   {"Why", why_},
                   {"Problem", problem_},
                   {"Reach", reach_},
                   {"CurrentAt", currentAt_},
                   {"LagBytes", lagBytes_ < 0 ? std::string() : std::to_string(lagBytes_)},
                   {"LagSeconds", lagSeconds_ < 0 ? std::string() : std::to_string(lagSeconds_)},
                   {"Folder", CopyFolder()},
                   {"Chain", chain_ ? chain_->name() : std::string()},
                   {"File", file_}});
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
