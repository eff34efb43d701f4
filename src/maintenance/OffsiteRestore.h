#pragma once

// A branch brought back from its off-site repository, on any computer with a server and the
// repository's settings (a new computer after a fire, head office): the archive whose window
// holds the time and the log it needs are downloaded, each object checked, into a folder of the
// local copy's layout, and restored from there by the same rules as a restore from the local
// copy (windows per chain, gaps, a time no window holds refused with the windows named).
#include "OffsiteSettings.h"
#include "PointInTime.h"
#include "RepositoryReader.h"

#include <string>
#include <vector>

namespace zenta {

struct OffsiteRestoreOptions {
    std::string branch;          // the branch's prefix in the bucket ("": this shop's own)
    std::string credentialsFile; // "": [Offsite] CredentialsFile
    std::string until = "latest";
    RestoreOptions restore;
};

struct OffsiteRestoreReport {
    UntilReport until;  // until.restore.ok: restored
    std::string prefix; // the branch restored
    long long downloaded = 0;
    int segments = 0;
    std::vector<std::string> notes; // objects left aside, and why
    std::vector<std::string> held;  // the repository's windows, as its names say them
};
OffsiteRestoreReport RestoreFromOffsite(const OffsiteRestoreOptions& options);

// The repository's storage and the branch's prefix: `branch` when given, else [Offsite] Prefix,
// else the prefix of the shop's numbers in its database; why not, naming the branches the
// bucket holds when none is known.
struct OffsiteBranch {
    OffsiteSettings settings;
    std::string prefix;
};
Result<OffsiteBranch> ReachOffsiteBranch(const std::string& branch,
                                         const std::string& credentialsFile);

} // namespace zenta
