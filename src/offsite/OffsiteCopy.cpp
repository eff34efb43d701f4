#include "OffsiteCopy.h"

#include "ArchiveNames.h"
#include "ArchivePassword.h"
#include "BinlogChain.h"
#include "BinlogCopyRecord.h"
#include "BinlogEvents.h"
#include "Common.h"
#include "ErrorMode.h"
#include "Globals.h"
#include "LocalTime.h"
#include "OffsiteRecord.h"
#include "Process.h"
#include "Repository.h"
#include "SegmentPacking.h"
#include "Variant.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <unistd.h>

namespace zenta {

namespace {

constexpr long long kMaxSegment = 16LL << 20; // a segment's bytes at most
constexpr int kVariants = 9;                  // names tried when other bytes took one
constexpr auto kArchivesEvery = std::chrono::seconds(30);
// A log round this much past LogSeconds is said behind while it runs (and again as often).
constexpr long kRoundSlackSeconds = 10;
// A shop that sells nothing asks the storage something every this many LogSeconds, so that a
// storage gone away is said while the shop is quiet, not at the next sale.
constexpr long kProbeRounds = 6;

// Where a segment is packed: a folder of this run's own in memory (/dev/shm, owner only) when
// there is one, so that packing every few seconds writes nothing to the disk the server syncs
// its log to; else the program's Temp folder.
std::string SegmentFolder() {
    std::string pattern = "/dev/shm/zentamarket-offsite-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr)
        return pattern + "/";
    const std::string temp = Globals::AppPath + "Temp/offsite-log/";
    CreateFolderPath(temp);
    return temp;
}

std::string Now() {
    return DateTime::Now().StampText();
}

// How far the repository's last transaction is behind the local copy's (-1: not known).
long long LagSeconds(const std::string& localReach, const std::string& repositoryReach) {
    const long long local = StampSeconds(localReach), there = StampSeconds(repositoryReach);
    return local > 0 && there > 0 ? std::max(0LL, local - there) : -1;
}

Result<std::string> ReadRange(const std::string& path, long long first, long long end) {
    std::string bytes(static_cast<size_t>(end - first), '\0');
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return Result<std::string>::Failure("cannot read " + path + ": " + std::strerror(errno));
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pread(fd, bytes.data() + done, bytes.size() - done,
                                  static_cast<off_t>(first + static_cast<long long>(done)));
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    if (done != bytes.size())
        return Result<std::string>::Failure(path + " is shorter than " + std::to_string(end));
    return bytes;
}

// Where the next segment of a file ends: after the last whole, checksum-good event that ends
// within kMaxSegment of `first` (one event at least) and by `limit`, and when that event was
// written.
struct Cut {
    long long end = 0;
    std::time_t lastEvent = 0;
};
std::optional<Cut> NextCut(const std::string& path, long long first, long long limit) {
    BinlogReader reader(path);
    if (!reader.IsBinaryLog())
        return std::nullopt;
    if (first > kBinlogFirstEvent)
        reader.Seek(first);
    Cut cut;
    for (BinlogEvent e; reader.Next(e);) {
        if (e.end() > limit || (cut.end > 0 && e.end() - first > kMaxSegment))
            break;
        cut.end = e.end();
        cut.lastEvent = static_cast<std::time_t>(e.when);
    }
    if (cut.end <= first)
        return std::nullopt;
    return cut;
}

// What the storage holds under `key` says of the shop's bytes with `sha256` (a repeat after a
// lost answer holds the same).
bool HoldsSame(S3Client& client, const std::string& key, const std::string& sha256, bool encrypted,
               const std::string& password, const std::string& temp) {
    const S3Answer held = client.Get(key);
    if (!held.Ok())
        return false;
    if (!encrypted)
        return Sha256Hex(held.body) == sha256;
    const auto plain = UnpackSegment(held.body, password, temp);
    return plain && Sha256Hex(*plain) == sha256;
}

// Written once: under `key`, or where the storage holds the same bytes already, or under the
// first free variant when other bytes took the name (said in `conflict`).
struct Written {
    std::string key, conflict;
};
template <class Put, class Same>
Result<Written> PutOnce(S3Client& client, const std::string& key, const Put& put,
                        const Same& same) {
    Written w;
    for (int n = 1; n <= kVariants; ++n) {
        const std::string name = repository::Variant(key, n);
        const S3Answer answer = put(name);
        if (answer.Ok() || (answer.status == 412 && same(name))) {
            w.key = name;
            return w;
        }
        if (answer.status != 412)
            return Result<Written>::Failure(client.Why(answer));
        w.conflict = name + " holds bytes that are not the shop's (the original is kept; the "
                            "shop's went under another name)";
        WriteProgramLog("offsite: " + w.conflict);
    }
    return Result<Written>::Failure("every name for " + key + " is taken by other bytes");
}

} // namespace

OffsiteCopy::~OffsiteCopy() {
    Stop();
}

void OffsiteCopy::Stop() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stop_ = true;
    }
    stopping_ = true;
    wake_.notify_all();
    for (auto* t : {&log_, &archives_})
        if (t->joinable())
            t->join();
}

std::optional<OffsiteCopy::Work> OffsiteCopy::Current() {
    std::lock_guard<std::mutex> hold(lock_);
    return work_;
}

void OffsiteCopy::Say(const std::function<void(OffsiteOutcome&)>& change) {
    std::lock_guard<std::mutex> hold(lock_);
    SayHeld(change);
}

void OffsiteCopy::SayHeld(const std::function<void(OffsiteOutcome&)>& change) {
    OffsiteOutcome o = OffsiteOutcome::Read();
    const RepositoryState was = o.state;
    const std::string wasWhy = o.why;
    change(o);
    o.checked = Now();
    if (o.state != was || o.since.empty())
        o.since = o.checked;
    if (o.state != was || (o.why != wasWhy && o.state != RepositoryState::Current))
        WriteProgramLog("offsite: " + RepositoryStateText(o.state) +
                        (o.why.empty() ? std::string() : ": " + o.why));
    o.Record();
}

void OffsiteCopy::Look(clsDataBase& db, bool here, const std::string& backupFolder,
                       const std::string& copyFolder) {
    if (!OffsiteConfigured())
        return;
    std::optional<Work> work;
    std::string off;
    if (!here) {
        off = "this computer's server is not the open primary: the database computer sends";
    } else if (auto settings = ReadOffsiteSettings(db); !settings) {
        off = settings.error();
    } else if (auto password = ConfiguredArchivePassword(); !password) {
        off = password.error();
    } else {
        work = Work{*settings, *password, backupFolder, copyFolder};
    }
    {
        std::lock_guard<std::mutex> hold(lock_);
        work_ = work;
        off_ = off;
    }
    if (!off.empty())
        return Say([&](OffsiteOutcome& o) {
            o.state = here ? RepositoryState::Off : RepositoryState::NotStarted;
            o.why = off;
            o.logState = RepositoryState::NotStarted;
            o.logWhy.clear();
            o.archiveWhy.clear();
        });
    if (!log_.joinable())
        log_ = std::thread([this] { LogLoop(); });
    if (!archives_.joinable())
        archives_ = std::thread([this] { ArchiveLoop(); });
}

void OffsiteCopy::Watch() {
    using Clock = std::chrono::steady_clock;
    std::lock_guard<std::mutex> hold(lock_);
    const Clock::time_point now = Clock::now();
    if (roundBegan_ == Clock::time_point{} ||
        now - roundBegan_ < std::chrono::seconds(roundSeconds_ + kRoundSlackSeconds) ||
        now - roundWatched_ < std::chrono::seconds(kRoundSlackSeconds))
        return;
    roundWatched_ = now;
    const long long lag = LagSeconds(BinlogCopyOutcome::Read().reach, OffsiteOutcome::Read().reach);
    if (lag <= 0)
        return; // nothing the repository lacks: its "current" still holds
    SayHeld([&](OffsiteOutcome& o) {
        o.lagSeconds = lag;
        if (o.logState == RepositoryState::Current) {
            o.logState = RepositoryState::Behind;
            // The same words for as long as the round runs: the program's log says it once.
            o.logWhy = "a round of sending has run since " + roundBeganAt_ +
                       " and is not done (a slow line, a busy computer, or a storage that "
                       "does not answer)";
        }
        o.Combine();
    });
}

namespace {

// What one round of the log's sender came to.
struct LogRound {
    std::string failure;        // why it stopped ("" when it went through)
    long long pendingBytes = 0; // what the repository still lacks of the local copy
    std::time_t reach = 0;      // the last event sent, this round
    std::string conflict;
    bool asked = false; // the storage was asked something, this round
};

// A segment put whose answer was lost may have landed, and a program that ended between the
// storage's answer and the record did not count what it sent. Segments are cut where the file
// ended at the time, so a new cut from the same place would end elsewhere and the file's
// segments would overlap: what the storage holds from `sent` on is taken first, where its bytes
// are the local copy's. A failure with the storage's words, else where the file stands now.
Result<long long> TakeHeld(S3Client& client, const BinlogChain& chain, const ChainFile& file,
                           long long sent, const std::string& prefix, const std::string& password,
                           const std::string& temp) {
    for (;;) {
        const auto listed =
            client.List(repository::SegmentsFrom(prefix, chain.name(), file.name, sent));
        if (!listed)
            return Result<long long>::Failure(listed.error());
        std::vector<repository::SegmentName> held;
        for (const auto& o : *listed)
            if (const auto s = repository::ParseSegmentKey(prefix, o.key);
                s && s->first == sent && s->end > sent && (password.size() || !s->encrypted))
                held.push_back(*s);
        std::sort(held.begin(), held.end(), [](const auto& a, const auto& b) {
            return a.end > b.end || (a.end == b.end && a.variant < b.variant);
        });
        bool taken = false;
        for (const auto& s : held) {
            const auto bytes = ReadRange(file.path, sent, s.end);
            if (!bytes)
                continue; // more than the local copy holds: not the shop's
            const std::string key = repository::Variant(
                repository::SegmentKey(prefix, chain.name(), file.name, sent, s.end, s.encrypted),
                s.variant);
            if (HoldsSame(client, key, Sha256Hex(*bytes), s.encrypted, password, temp)) {
                chain.MarkRepositorySent(file.name, s.end);
                sent = s.end;
                taken = true;
                break;
            }
        }
        if (!taken)
            return sent;
    }
}

// The rest of one file after what the repository holds, segment by segment, up to where it
// ended when the round began (under busy tills a round ends, and says how far it came).
// `checked`: the storage was asked, this run, what it holds of the file beyond the record.
void SendFile(S3Client& client, const BinlogChain& chain, const ChainFile& file,
              const std::string& prefix, const std::string& password, const std::string& temp,
              const std::atomic<bool>& stop, bool& checked, LogRound& round) {
    long long sent = chain.RepositorySent(file.name);
    if (file.whole && sent >= file.size)
        return;
    if (!checked) {
        round.asked = true;
        const auto held = TakeHeld(client, chain, file, sent, prefix, password, temp);
        if (!held) {
            round.failure = held.error();
            return;
        }
        sent = *held;
        checked = true;
    }
    while (!stop && round.failure.empty()) {
        const auto cut = NextCut(file.path, sent, file.size);
        if (!cut)
            break;
        auto bytes = ReadRange(file.path, sent, cut->end);
        if (!bytes) {
            round.failure = bytes.error();
            break;
        }
        const std::string sha = Sha256Hex(*bytes);
        const bool encrypted = !password.empty();
        auto payload =
            encrypted ? PackSegment(*bytes, password, temp) : Result<std::string>(*bytes);
        if (!payload) {
            round.failure = payload.error();
            break;
        }
        const std::string key =
            repository::SegmentKey(prefix, chain.name(), file.name, sent, cut->end, encrypted);
        round.asked = true;
        const auto written = PutOnce(
            client, key,
            [&](const std::string& name) {
                return client.PutNew(
                    name, *payload,
                    {{"sha256", sha},
                     {"last-event", std::to_string(static_cast<long long>(cut->lastEvent))}});
            },
            [&](const std::string& name) {
                return HoldsSame(client, name, sha, encrypted, password, temp);
            });
        if (!written) {
            round.failure = written.error();
            checked = false; // it may have landed all the same
            break;
        }
        if (!written->conflict.empty())
            round.conflict = written->conflict;
        chain.MarkRepositorySent(file.name, cut->end);
        sent = cut->end;
        round.reach = std::max(round.reach, cut->lastEvent);
    }
    const long long have = file.whole ? file.size : std::max(sent, file.size);
    round.pendingBytes += std::max(0LL, have - sent);
}

// Every chain of the copy, oldest first, each file after what the repository holds; a chain's
// opening with its first bytes.
LogRound SendLog(const OffsiteSettings& settings, const std::string& copyFolder,
                 const std::string& password, const std::string& temp,
                 const std::atomic<bool>& stop, std::set<std::string>& checked) {
    LogRound round;
    S3Config storage = settings.storage;
    storage.cancel = &stop;
    S3Client client(storage);
    for (const auto& chain : BinlogChain::All(copyFolder)) {
        if (!chain.RepositoryOpeningSent())
            if (const auto opening = chain.ChainOpening(); opening.known()) {
                round.asked = true;
                const std::string text = repository::ChainText(opening, chain.name());
                const auto sent = PutOnce(
                    client, repository::ChainKey(settings.prefix, chain.name()),
                    [&](const std::string& name) { return client.PutNew(name, text); },
                    [&](const std::string& name) { return client.Get(name).body == text; });
                if (!sent) {
                    round.failure = sent.error();
                    return round;
                }
                chain.MarkRepositoryOpeningSent();
            }
        for (const auto& file : chain.Files()) {
            const std::string id = chain.name() + "/" + file.name;
            bool known = checked.count(id) > 0;
            SendFile(client, chain, file, settings.prefix, password, temp, stop, known, round);
            if (known)
                checked.insert(id);
            else
                checked.erase(id);
            if (!round.failure.empty() || stop)
                return round;
        }
    }
    return round;
}

// The storage asked something small while the shop sells nothing: the newest chain's opening,
// which the shop wrote (a delete marker over it answers too: the storage is there). Why it
// cannot be asked, "" when it answers.
std::string Probe(const OffsiteSettings& settings, const std::string& copyFolder,
                  const std::atomic<bool>& stop) {
    S3Config storage = settings.storage;
    storage.cancel = &stop;
    S3Client client(storage);
    const auto chains = BinlogChain::All(copyFolder);
    const std::string key =
        repository::ChainKey(settings.prefix, chains.empty() ? "" : chains.back().name());
    const S3Answer answer = client.Head(key);
    return answer.Ok() || answer.status == 404 ? std::string() : client.Why(answer);
}

// What a round of the log's sender came to, into the record: how far, and the log's state.
void TellRound(OffsiteOutcome& o, const LogRound& round, const std::string& localReach) {
    if (round.reach > 0)
        o.reach = LocalStampText(round.reach);
    if (!round.conflict.empty())
        o.conflict = round.conflict;
    o.pendingBytes = round.pendingBytes;
    o.lagSeconds = round.pendingBytes == 0 ? 0 : LagSeconds(localReach, o.reach);
    if (!round.failure.empty()) {
        o.logState = RepositoryState::Down;
        o.logWhy = round.failure;
    } else {
        o.logState = round.pendingBytes == 0 ? RepositoryState::Current : RepositoryState::Behind;
        o.logWhy = round.pendingBytes == 0
                       ? std::string()
                       : Megabytes(round.pendingBytes) + " of the copied log not sent yet";
    }
    o.Combine();
}

} // namespace

void OffsiteCopy::LogLoop() {
    ThisThreadRunsLow();
    const std::string temp = SegmentFolder();
    std::set<std::string> checked; // files the storage was asked about, this run
    int quiet = 0;                 // rounds in a row that asked the storage nothing
    bool away = false;             // the last round found the storage away
    std::unique_lock<std::mutex> hold(lock_);
    while (!stop_) {
        const std::optional<Work> work = work_;
        auto wait = std::chrono::milliseconds(2000);
        if (work && !work->copyFolder.empty()) {
            // Every LogSeconds from the start of one round to the next: a round that took
            // longer (a slow line, a backlog) is followed at once.
            const auto began = std::chrono::steady_clock::now();
            const std::string beganAt = Now();
            roundBegan_ = began;
            roundBeganAt_ = beganAt;
            roundWatched_ = {};
            roundSeconds_ = work->settings.logSeconds;
            hold.unlock();
            LogRound round =
                SendLog(work->settings, work->copyFolder, work->password, temp, stopping_, checked);
            // Nothing to send: the storage asked all the same now and then, and every round
            // while it was last found away (else a quiet round would say it is back).
            quiet = round.asked ? 0 : quiet + 1;
            if (!round.asked && round.failure.empty() && (away || quiet >= kProbeRounds)) {
                quiet = 0;
                round.failure = Probe(work->settings, work->copyFolder, stopping_);
            }
            away = !round.failure.empty();
            const BinlogCopyOutcome copy = BinlogCopyOutcome::Read();
            Say([&](OffsiteOutcome& o) {
                roundBegan_ = {};
                o.logRound = beganAt;
                o.where = work->settings.storage.endpoint + ", bucket " +
                          work->settings.storage.bucket + ", " + work->settings.prefix + "/";
                o.encrypted = !work->password.empty();
                TellRound(o, round, copy.reach);
            });
            const auto every = std::chrono::milliseconds(work->settings.logSeconds * 1000);
            const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - began);
            // After a failure the whole interval, not a request after another.
            wait = round.failure.empty() ? std::max(std::chrono::milliseconds(0), every - took)
                                         : every;
        }
        if (!hold.owns_lock())
            hold.lock();
        wake_.wait_for(hold, wait, [this] { return stop_; });
    }
    if (temp.rfind("/dev/shm/", 0) == 0) {
        std::error_code ignored;
        std::filesystem::remove_all(temp, ignored);
    }
}

namespace {

// One archive and then its manifest into the repository. The manifest's name when done.
Result<std::string> SendArchive(S3Client& client, const std::string& prefix,
                                const std::string& folder, const std::string& name,
                                const std::string& copyFolder, bool encrypted,
                                const std::string& temp) {
    const std::string path = folder + name;
    const FileDigests digests = DigestsOfFile(path);
    if (digests.size < 0)
        return Result<std::string>::Failure("cannot read " + path);
    const auto archive = PutOnce(
        client, repository::ArchiveKey(prefix, name),
        [&](const std::string& key) {
            return client.PutNewFile(key, path, {{"sha256", digests.sha256Hex}});
        },
        [&](const std::string& key) {
            const S3Answer got = client.GetToFile(key, "", temp + "held.ZTB");
            const bool same =
                got.Ok() && DigestsOfFile(temp + "held.ZTB").sha256Hex == digests.sha256Hex;
            std::remove((temp + "held.ZTB").c_str());
            return same;
        });
    if (!archive)
        return Result<std::string>::Failure(archive.error());
    repository::Manifest m;
    m.archive = archive->key.substr(archive->key.rfind('/') + 1);
    m.size = digests.size;
    m.sha256 = digests.sha256Hex;
    m.encrypted = encrypted;
    m.made = LocalStampText(static_cast<std::time_t>(
        std::filesystem::last_write_time(path).time_since_epoch().count() / 1000000000LL));
    if (const auto snapshot = RecordedSnapshot(copyFolder, name))
        m.snapshot = *snapshot;
    const std::string text = repository::ManifestText(m);
    const auto manifest = PutOnce(
        client, repository::ManifestKey(prefix, name),
        [&](const std::string& key) { return client.PutNew(key, text); },
        [&](const std::string& key) { return client.Get(key).body == text; });
    if (!manifest)
        return Result<std::string>::Failure(manifest.error());
    return manifest->key;
}

} // namespace

void OffsiteCopy::ArchiveLoop() {
    ThisThreadRunsLow();
    const std::string temp = Globals::AppPath + "Temp/offsite-archives/";
    CreateFolderPath(temp);
    std::unique_lock<std::mutex> hold(lock_);
    while (!stop_) {
        const std::optional<Work> work = work_;
        hold.unlock();
        if (work && !work->backupFolder.empty()) {
            const std::string folder = WithSlash(work->backupFolder);
            S3Config storage = work->settings.storage;
            storage.cancel = &stopping_;
            S3Client client(storage);
            // The newest first: the window a restore needs; older ones after.
            for (const auto& path : GoodArchivesNewestFirst(folder)) {
                const std::string name = path.substr(path.rfind('/') + 1);
                if (stopping_ || ArchiveOffsite(folder, name))
                    continue;
                const auto sent = SendArchive(client, work->settings.prefix, folder, name,
                                              work->copyFolder, !work->password.empty(), temp);
                if (!sent) {
                    Say([&](OffsiteOutcome& o) {
                        o.archiveWhy = "the archive " + name + " cannot be sent: " + sent.error();
                        o.Combine();
                    });
                    break;
                }
                MarkArchiveOffsite(folder, name);
                WriteProgramLog("offsite: " + name + " and its manifest are in the repository");
                const auto parsed = ParseArchiveName(name);
                Say([&](OffsiteOutcome& o) {
                    o.archiveWhy.clear();
                    o.Combine();
                    if (o.lastArchive.empty() || name > o.lastArchive) {
                        o.lastArchive = name;
                        o.lastArchiveTime = parsed ? parsed->time.StampText() : Now();
                    }
                });
            }
            ForgetGoneOffsiteMarkers(folder);
        }
        hold.lock();
        wake_.wait_for(hold, kArchivesEvery, [this] { return stop_; });
    }
}

} // namespace zenta
