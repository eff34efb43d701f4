#include "RepositoryReader.h"

#include "BinlogChain.h"
#include "BinlogEvents.h"
#include "Common.h"
#include "IniFile.h"
#include "LocalTime.h"
#include "SegmentPacking.h"
#include "Text.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace zenta::repository {

namespace {

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The original of every name (its oldest version that is an object), from a listing of
// versions that is oldest first within a name.
std::map<std::string, Original> Originals(const std::vector<S3Object>& versions) {
    std::map<std::string, Original> originals;
    std::map<std::string, int> count;
    for (const auto& v : versions) {
        ++count[v.key];
        if (v.deleteMarker || originals.count(v.key))
            continue;
        Original o;
        o.key = v.key;
        o.versionId = v.versionId;
        o.lastModified = v.lastModified;
        o.size = v.size;
        originals[v.key] = o;
    }
    for (auto& [key, o] : originals)
        o.versions = count[key];
    return originals;
}

// A storage that did not answer, or answered with a trouble of its own: the whole read fails
// (tried again later), unlike an object that is not what it should be.
bool StorageTrouble(const S3Answer& a) {
    return a.status == 0 || a.status >= 500 || a.status == 403;
}

std::string Where(const std::string& file, long long at) {
    return file + " at " + std::to_string(at);
}

// Whether the bytes of `path` from `first` on are whole events with good checksums that end
// exactly at `end`; why not.
std::string EventsProblem(const std::string& path, long long first, long long end) {
    BinlogReader reader(path);
    if (!reader.IsBinaryLog())
        return "the file does not begin as a binary log";
    if (first > kBinlogFirstEvent)
        reader.Seek(first);
    for (BinlogEvent e; reader.Next(e);) {
    }
    if (reader.Position() != end || reader.stop() != BinlogReader::Stop::End)
        return "its events are not whole and good up to its end (" +
               (reader.Problem().empty()
                    ? std::string("they end at ") + std::to_string(reader.Position())
                    : reader.Problem()) +
               ")";
    return {};
}

Result<Done> WriteAt(int fd, const std::string& bytes, long long at) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done,
                                   static_cast<off_t>(at + static_cast<long long>(done)));
        if (n <= 0)
            return Result<Done>::Failure(std::string("cannot write: ") + std::strerror(errno));
        done += static_cast<size_t>(n);
    }
    return Done{};
}

// A segment downloaded and opened: its bytes and the digest it was sent with, or why not.
struct Opened {
    std::string bytes, sha256, why;
    long long downloaded = 0;
};
constexpr size_t kBatch = 64;

// From `from` on, the next segments of a file that may still join (none before `at`), each
// downloaded (the original version) and the encrypted ones opened by one run of 7-Zip. A
// failure when the storage fails.
Result<std::map<size_t, Opened>> OpenBatch(S3Client& client,
                                           const std::vector<HeldSegment>& segments, size_t from,
                                           long long at, const std::string& password,
                                           const std::string& temp) {
    using Batch = Result<std::map<size_t, Opened>>;
    std::map<size_t, Opened> batch;
    std::vector<size_t> sealed;
    std::vector<std::string> packed;
    for (size_t i = from; i < segments.size() && batch.size() < kBatch; ++i) {
        const HeldSegment& s = segments[i];
        if (s.name.first < at)
            continue;
        const S3Answer got = client.Get(s.object.key, s.object.versionId);
        Opened& o = batch[i];
        if (!got.Ok()) {
            if (StorageTrouble(got))
                return Batch::Failure(client.Why(got));
            o.why = "cannot be read: " + client.Why(got);
            continue;
        }
        o.downloaded = static_cast<long long>(got.body.size());
        o.sha256 = got.Header("x-amz-meta-sha256");
        if (!s.name.encrypted) {
            o.bytes = got.body;
        } else if (password.empty()) {
            o.why = "no password to open it";
        } else {
            sealed.push_back(i);
            packed.push_back(got.body);
        }
    }
    const auto plain = UnpackSegments(packed, password, temp);
    for (size_t k = 0; k < sealed.size(); ++k) {
        if (plain[k])
            batch[sealed[k]].bytes = *plain[k];
        else
            batch[sealed[k]].why = plain[k].error();
    }
    return batch;
}

} // namespace

Result<HeldBranch> ReadBranch(S3Client& client, const std::string& prefix) {
    HeldBranch branch;
    branch.prefix = prefix;
    auto versions = client.ListVersions(prefix + "/");
    if (!versions)
        return Result<HeldBranch>::Failure(versions.error());
    branch.versions = std::move(*versions);
    const auto originals = Originals(branch.versions);
    const std::string archives = prefix + "/archives/", log = prefix + "/log/";
    for (const auto& [key, o] : originals) {
        if (key.rfind(archives, 0) == 0) {
            if (!EndsWith(key, ".manifest"))
                continue; // an archive: found through its manifest
            const S3Answer got = client.Get(key, o.versionId);
            if (!got.Ok()) {
                if (StorageTrouble(got))
                    return Result<HeldBranch>::Failure(client.Why(got));
                branch.notes.push_back(key + " cannot be read: " + client.Why(got));
                continue;
            }
            auto manifest = ParseManifest(got.body);
            if (!manifest || !manifest->snapshot.known()) {
                branch.notes.push_back(key + " is no manifest of an archive with its snapshot");
                continue;
            }
            HeldArchive a;
            a.manifest = *manifest;
            a.manifestObject = o;
            if (const auto it = originals.find(ArchiveKey(prefix, manifest->archive));
                it != originals.end())
                a.archive = it->second;
            a.taken = SnapshotTime(manifest->snapshot);
            branch.archives.push_back(a);
        } else if (const auto s = ParseSegmentKey(prefix, key)) {
            const long number = LogFileNumber(s->file);
            if (number < 0) {
                branch.notes.push_back(key + " names no log file");
                continue;
            }
            HeldChain& chain = branch.chains[s->chain];
            chain.name = s->chain;
            HeldFile& file = chain.files[number];
            file.name = s->file;
            file.segments.push_back(HeldSegment{*s, o});
        } else if (key.rfind(log, 0) == 0 && EndsWith(key, "/chain.ini")) {
            const std::string name = key.substr(log.size(), key.size() - log.size() - 10);
            if (name.find('/') != std::string::npos)
                continue;
            const S3Answer got = client.Get(key, o.versionId);
            if (!got.Ok() && StorageTrouble(got))
                return Result<HeldBranch>::Failure(client.Why(got));
            branch.chains[name].name = name;
            branch.chains[name].openingText = got.Ok() ? got.body : std::string();
        } else {
            branch.notes.push_back(key + " is not a name the shop writes: left aside");
        }
    }
    for (auto& [name, chain] : branch.chains)
        for (auto& [number, file] : chain.files)
            std::sort(file.segments.begin(), file.segments.end(),
                      [](const HeldSegment& a, const HeldSegment& b) {
                          if (a.name.first != b.name.first)
                              return a.name.first < b.name.first;
                          if (a.object.lastModified != b.object.lastModified)
                              return a.object.lastModified < b.object.lastModified;
                          return a.name.variant < b.name.variant;
                      });
    std::sort(branch.archives.begin(), branch.archives.end(),
              [](const HeldArchive& a, const HeldArchive& b) {
                  return a.taken != b.taken ? a.taken < b.taken
                                            : a.manifest.archive < b.manifest.archive;
              });
    return branch;
}

Result<std::vector<std::string>> BranchesIn(S3Client& client) {
    const auto top = client.ListPrefixes("");
    if (!top)
        return Result<std::vector<std::string>>::Failure(top.error());
    std::vector<std::string> branches;
    for (const auto& p : *top) {
        const auto inside = client.ListPrefixes(p);
        if (!inside)
            return Result<std::vector<std::string>>::Failure(inside.error());
        for (const auto& q : *inside)
            if (q == p + "archives/" || q == p + "log/") {
                branches.push_back(p.substr(0, p.size() - 1));
                break;
            }
    }
    return branches;
}

namespace {

// The chain's opening, as its chain.ini in the repository says it, into the local records.
void RecordChainOpening(const BinlogChain& local, const std::string& text) {
    if (text.empty())
        return;
    BinlogOpening opening;
    opening.serverId = static_cast<std::uint32_t>(
        std::atoll(IniFile::ReadFrom(text, "Chain", "ServerId").c_str()));
    opening.time =
        static_cast<std::time_t>(std::atoll(IniFile::ReadFrom(text, "Chain", "Opened").c_str()));
    local.RecordOpening(IniFile::ReadFrom(text, "Chain", "FirstFile"), opening);
}

// How far a fetch has come, for the person waiting.
struct FetchProgress {
    int seen = 0, total = 0;
    const Say& say;
};

// Why a segment's bytes, opened, cannot be the bytes `first` to `end` of the shop's file; ""
// when they can (written at `first`, its events then read back from the file).
std::string SegmentProblem(int fd, const std::string& path, const HeldSegment& s, const Opened& got,
                           std::string& failure) {
    if (static_cast<long long>(got.bytes.size()) != s.name.end - s.name.first)
        return "it holds " + std::to_string(got.bytes.size()) + " bytes, its name says " +
               std::to_string(s.name.end - s.name.first);
    if (got.sha256 != Sha256Hex(got.bytes))
        return "its bytes are not the digest it was sent with";
    if (auto written = WriteAt(fd, got.bytes, s.name.first); !written) {
        failure = path + ": " + written.error();
        return {};
    }
    return EventsProblem(path, s.name.first, s.name.end);
}

// One file from its first byte, segment after segment while one joins: where it ends (0 when
// nothing joined). A failure when the storage or the disk fails.
Result<long long> FetchFile(S3Client& client, const HeldFile& held, const std::string& path,
                            const std::string& password, const std::string& temp, FetchedFile& file,
                            FetchedChain& fetched, FetchProgress& progress) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return Result<long long>::Failure("cannot write " + path + ": " + std::strerror(errno));
    long long at = 0;
    std::string failure;
    // Segments are downloaded and opened a batch at a time (one run of 7-Zip for a batch).
    std::map<size_t, Opened> opened;
    for (size_t index = 0; index < held.segments.size() && failure.empty(); ++index) {
        const HeldSegment& s = held.segments[index];
        ++progress.seen;
        if (s.name.first < at)
            continue; // another segment at an offset already joined
        if (s.name.first > at) {
            fetched.notes.push_back(s.object.key + " begins at " + std::to_string(s.name.first) +
                                    ", after a hole at " + std::to_string(at) + ": left aside");
            continue;
        }
        if (!opened.count(index)) {
            auto batch = OpenBatch(client, held.segments, index, at, password, temp);
            if (!batch) {
                failure = batch.error();
                break;
            }
            for (const auto& [i, o] : *batch)
                opened.emplace(i, o);
        }
        const Opened got = std::move(opened[index]);
        opened.erase(index);
        fetched.bytes += got.downloaded;
        const std::string why =
            got.why.empty() ? SegmentProblem(fd, path, s, got, failure) : got.why;
        if (!failure.empty())
            break;
        if (!why.empty()) {
            if (::ftruncate(fd, static_cast<off_t>(at)) != 0)
                failure = "cannot cut " + path + " back";
            fetched.notes.push_back(s.object.key + ": " + why + ": left aside");
            continue;
        }
        at = s.name.end;
        ++file.segments;
        if (progress.say && (file.segments % 50 == 0))
            progress.say("downloaded " + std::to_string(progress.seen) + " of " +
                         std::to_string(progress.total) + " segments (" + Megabytes(fetched.bytes) +
                         ")");
    }
    ::close(fd);
    if (!failure.empty())
        return Result<long long>::Failure(failure);
    return at;
}

} // namespace

Result<FetchedChain> FetchChain(S3Client& client, const HeldBranch& branch,
                                const std::string& chainName, const std::string& fromFile,
                                const std::string& copyFolder, const std::string& password,
                                const Say& say) {
    using Fetched = Result<FetchedChain>;
    const auto held = branch.chains.find(chainName);
    const long from = LogFileNumber(fromFile);
    if (held == branch.chains.end() || !held->second.files.count(from))
        return Fetched::Failure("the repository holds no log of " + fromFile + " in " + chainName);
    const HeldChain& chain = held->second;
    const BinlogChain local(copyFolder, chainName);
    if (!CreateFolderPath(local.path()))
        return Fetched::Failure("cannot create " + local.path());
    RecordChainOpening(local, chain.openingText);
    const std::string temp = local.path() + ".unpack/";
    CreateFolderPath(temp);
    ::chmod(temp.c_str(), 0700);
    FetchedChain fetched;
    FetchProgress progress{0, 0, say};
    for (auto it = chain.files.find(from); it != chain.files.end(); ++it)
        progress.total += static_cast<int>(it->second.segments.size());
    std::optional<BinlogFileFacts> before; // of the file fetched last
    for (auto it = chain.files.find(from); it != chain.files.end(); ++it) {
        if (it->first != from + static_cast<long>(fetched.files.size()))
            break; // a file the repository lacks: nothing after it joins
        FetchedFile file{it->second.name, local.path() + it->second.name, 0, 0};
        const auto end =
            FetchFile(client, it->second, file.path, password, temp, file, fetched, progress);
        if (!end)
            return Fetched::Failure(end.error());
        file.size = *end;
        if (file.size == 0) {
            std::remove(file.path.c_str());
            break;
        }
        const BinlogFileFacts facts = ReadBinlogFile(file.path);
        if (before && !before->ContinuedBy(facts)) {
            fetched.notes.push_back(file.name + " does not begin where " +
                                    fetched.files.back().name + " ends: the log stops before it");
            std::remove(file.path.c_str());
            break;
        }
        fetched.files.push_back(file);
        fetched.endsAt = Where(file.name, file.size);
        if (!facts.closed)
            break; // the rest of this file is not in the repository: nothing after it joins
        before = facts;
    }
    std::filesystem::remove_all(temp);
    if (fetched.files.empty())
        return Fetched::Failure(
            "no segment of " + fromFile + " in " + chainName + " checks out" +
            (fetched.notes.empty() ? std::string() : ": " + fetched.notes.front()));
    return fetched;
}

Result<Done> FetchArchive(S3Client& client, const HeldArchive& archive, const std::string& path) {
    if (!archive.archive)
        return Result<Done>::Failure("the repository lacks the archive " +
                                     archive.manifest.archive + " its manifest names");
    const S3Answer got = client.GetToFile(archive.archive->key, archive.archive->versionId, path);
    if (!got.Ok())
        return Result<Done>::Failure("the archive " + archive.manifest.archive +
                                     " cannot be downloaded: " + client.Why(got));
    const FileDigests d = DigestsOfFile(path);
    if (d.size != archive.manifest.size || d.sha256Hex != archive.manifest.sha256) {
        std::remove(path.c_str());
        return Result<Done>::Failure("the archive " + archive.manifest.archive +
                                     " in the repository is damaged: " + std::to_string(d.size) +
                                     " bytes that are not the " +
                                     std::to_string(archive.manifest.size) +
                                     " bytes its manifest records (SHA-256 differs)");
    }
    return Done{};
}

std::vector<NamedWindow> WindowsByName(S3Client& client, const HeldBranch& branch) {
    std::vector<NamedWindow> windows;
    std::map<std::string, size_t> byEnd;
    for (const auto& a : branch.archives) {
        NamedWindow w;
        w.archive = a.manifest.archive;
        w.chain = a.manifest.snapshot.chain;
        w.from = w.to = a.taken;
        const auto chain = branch.chains.find(w.chain);
        const long from = LogFileNumber(a.manifest.snapshot.file);
        if (!a.archive)
            w.problem = "the archive itself is missing";
        else if (chain == branch.chains.end() || !chain->second.files.count(from))
            w.problem = "the repository holds no log of " + a.manifest.snapshot.file + " in " +
                        (w.chain.empty() ? std::string("its chain") : w.chain);
        if (!w.problem.empty()) {
            windows.push_back(w);
            continue;
        }
        const HeldSegment* lastSegment = nullptr;
        long expected = from;
        for (auto it = chain->second.files.find(from);
             it != chain->second.files.end() && it->first == expected; ++it, ++expected) {
            long long at = 0;
            for (const auto& s : it->second.segments)
                if (s.name.first == at) {
                    at = s.name.end;
                    lastSegment = &s;
                }
            if (at == 0)
                break;
            w.endsAt = Where(it->second.name, at);
        }
        if (!lastSegment) {
            w.problem = "no segment of " + a.manifest.snapshot.file + " joins from its start";
            windows.push_back(w);
            continue;
        }
        const S3Answer head = client.Head(lastSegment->object.key, lastSegment->object.versionId);
        w.to = std::max<std::time_t>(w.from, static_cast<std::time_t>(std::atoll(
                                                 head.Header("x-amz-meta-last-event").c_str())));
        const std::string key = w.chain + "/" + w.endsAt;
        if (const auto it = byEnd.find(key); it != byEnd.end())
            continue; // the same stretch as an older archive's window
        byEnd[key] = windows.size();
        windows.push_back(w);
    }
    return windows;
}

std::string NamedWindowText(const NamedWindow& w) {
    if (!w.problem.empty())
        return w.archive + ": " + w.problem;
    return "from " + InstantText(w.from) + " (" + w.archive + ") to " + InstantText(w.to) + " in " +
           w.chain + " (its log ends in " + w.endsAt + ")";
}

} // namespace zenta::repository
