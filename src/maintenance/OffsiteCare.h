#pragma once

// The care of the off-site repository, away from the shop: its check, and its pruning with a
// key that may delete (a shop's key never may).
#include "OffsiteRestore.h"

#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace zenta {

using SayLine = std::function<void(const std::string&)>;

// Every archive downloaded and compared with its manifest, every chain's segments fetched and
// joined, each one checked; the newest window's reach.
struct CheckReport {
    bool whole = false;             // every object whole, every chain joining
    std::vector<std::string> lines; // what was found, for people
    std::string error;              // it could not be checked at all
};
CheckReport CheckRepository(const OffsiteBranch& branch, const std::string& passwordFile,
                            const SayLine& progress);

// The drill a chain runs nightly: the branch's newest archive restored from the repository into a
// scratch database and every table compared with the figures it recorded, then its newest window
// restored to the latest (the whole log replayed) into another; both dropped after. Recorded
// for the metrics ([Monitor] MetricsFolder, zentamarket_repository.prom, one set of lines per
// branch): when it last ran and whether it was good.
struct RestoreTestReport {
    bool good = false;
    std::vector<std::string> lines;
};
RestoreTestReport RestoreTestRepository(const OffsiteBranch& branch,
                                        const std::string& passwordFile, const SayLine& progress);

// What a pruning keeps, by time (never by count: whoever holds a shop's key can write new
// archives, and a count would let him push the real ones out): every archive of the last
// `days` days, the newest of each of the last `weekly` calendar weeks and `monthly` calendar
// months, and always the branch's newest archive; with each archive kept the log its window
// needs (its chain from its snapshot's file on, and every later chain).
struct PruneOptions {
    std::string branch; // "": every branch in the bucket
    std::string credentialsFile;
    bool dryRun = false;
    long days = 30, weekly = 8, monthly = 12;
    std::time_t now = 0; // 0: the clock's
};
struct PruneReport {
    std::string error;    // it could not run
    bool refused = false; // the storage refused a removal this key may not make
};
// One line per branch through `say`, and one per archive that goes or is left.
PruneReport PruneRepository(const PruneOptions& options, const SayLine& say);

// What a pruning of one branch decides, without removing anything.
struct PrunePlan {
    std::vector<std::string> keptArchives, goneArchives; // names, with why
    std::vector<S3Object> gone;                          // every version to remove
    long long goneBytes = 0;
    int goneSegments = 0;
};
PrunePlan PlanPrune(const repository::HeldBranch& branch, const PruneOptions& options);

} // namespace zenta
