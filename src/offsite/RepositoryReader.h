#pragma once

// The branch's part of the bucket read back, as a restore, a check and the pruning read it. Of
// every name only its original counts: the oldest version that is an object. Whatever was
// written over a name or deleted later (a delete marker) leaves the original, and the shop
// writes every name once, so the original is the shop's. A thief with the shop's key can still
// write new names: a segment counts only where it joins the bytes before it, its bytes are the
// digest it was sent with and its events are whole with good checksums; what does not is left
// aside and said.
#include "Repository.h"
#include "S3Client.h"

#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zenta::repository {

// The original of a name.
struct Original {
    std::string key, versionId, lastModified;
    long long size = 0;
    int versions = 1; // of the name, delete markers included: more than one, it was touched
};

struct HeldArchive {
    Manifest manifest;
    Original manifestObject;
    std::optional<Original> archive; // nothing when the storage lacks it
    std::time_t taken = 0;           // its snapshot's moment (else the time in its name)
};

struct HeldSegment {
    SegmentName name;
    Original object;
};

struct HeldFile {
    std::string name;                  // "binlog.000012"
    std::vector<HeldSegment> segments; // by first offset, then when written (originals first)
};

struct HeldChain {
    std::string name;
    std::string openingText;        // chain.ini ("" when the repository lacks it)
    std::map<long, HeldFile> files; // by number
};

struct HeldBranch {
    std::string prefix;
    std::vector<HeldArchive> archives;       // oldest snapshot first
    std::map<std::string, HeldChain> chains; // by name
    std::vector<S3Object> versions;          // every version and delete marker under the prefix
    std::vector<std::string> notes;          // names not understood, left aside
};

// Everything the repository holds under `prefix` (the manifests read, nothing else
// downloaded). A failure with the storage's words.
Result<HeldBranch> ReadBranch(S3Client& client, const std::string& prefix);
// The branches in the bucket: the prefixes that hold archives or a log.
Result<std::vector<std::string>> BranchesIn(S3Client& client);

// What one file's segments came to.
struct FetchedFile {
    std::string name, path;
    long long size = 0;
    int segments = 0;
};
struct FetchedChain {
    std::vector<FetchedFile> files; // from the file asked for on, in order
    long long bytes = 0;            // downloaded
    std::vector<std::string> notes; // segments left aside, and why
    std::string endsAt;             // where the joined log ends: "binlog.000014 at 81234"
};
using Say = std::function<void(const std::string&)>;

// The chain's log from `fromFile` on, fetched into a copy's folder (`copyFolder`, a chain
// folder of the local layout, so that the local restore reads it as its own copy): each file
// from its first byte, segment after segment, each one checked; the chain's opening recorded.
// A file ends where no segment joins it; the fetch ends at a file that does not begin where
// the one before ended. A failure when the file is not there at all or the storage fails.
Result<FetchedChain> FetchChain(S3Client& client, const HeldBranch& branch,
                                const std::string& chain, const std::string& fromFile,
                                const std::string& copyFolder, const std::string& password,
                                const Say& say);

// The archive's original, downloaded to `path` and checked against its manifest (size and
// SHA-256); a failure naming what is wrong.
Result<Done> FetchArchive(S3Client& client, const HeldArchive& archive, const std::string& path);

// A window of the repository as the names say it, without downloading the log: from an
// archive's snapshot to the end of the segments that follow each other after it in its chain,
// and when the last of them was written (its "last-event", 0 when it does not say).
struct NamedWindow {
    std::string archive, chain;
    std::time_t from = 0, to = 0;
    std::string endsAt;  // "binlog.000014 at 81234"
    std::string problem; // the archive is missing, or its snapshot lies in no chain held
};
std::vector<NamedWindow> WindowsByName(S3Client& client, const HeldBranch& branch);
std::string NamedWindowText(const NamedWindow& window);

} // namespace zenta::repository
