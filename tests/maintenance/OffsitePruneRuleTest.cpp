// The repository's pruning rule, decided on a branch as listed (no storage): by time, so that
// names anyone with a shop's key can add never push the real archives out; with each kept
// window the log it needs, and a new primary's chain before its first archive kept whole.
#include "OffsiteCare.h"

#include <gtest/gtest.h>

using namespace zenta;

namespace {

constexpr std::time_t kDay = 86400;

S3Object Version(const std::string& key) {
    S3Object o;
    o.key = key;
    o.versionId = "v1";
    o.size = 10;
    return o;
}

// An archive taken at `taken` whose snapshot lies at the start of `file` in `chain`, with its
// objects and the file's one segment listed.
void AddArchive(repository::HeldBranch& b, std::time_t taken, const std::string& chain,
                const std::string& file, const std::string& name) {
    repository::HeldArchive a;
    a.manifest.archive = name;
    a.manifest.snapshot.chain = chain;
    a.manifest.snapshot.file = file;
    a.manifest.snapshot.position = 4;
    a.taken = taken;
    a.manifestObject.key = repository::ManifestKey(b.prefix, name);
    a.archive = repository::Original{repository::ArchiveKey(b.prefix, name), "v1", "", 10, 1};
    b.archives.push_back(a);
    b.versions.push_back(Version(a.manifestObject.key));
    b.versions.push_back(Version(a.archive->key));
}

void AddSegment(repository::HeldBranch& b, const std::string& chain, const std::string& file) {
    b.versions.push_back(Version(repository::SegmentKey(b.prefix, chain, file, 0, 100, true)));
}

bool Gone(const PrunePlan& plan, const std::string& key) {
    for (const auto& v : plan.gone)
        if (v.key == key)
            return true;
    return false;
}

} // namespace

TEST(OffsitePruneRule, ArchivesWrittenTodayInNumbersNeverPushOutTheOlderMonthlyOnes) {
    const std::time_t now = 1796000000; // 2026-11-29
    repository::HeldBranch b;
    b.prefix = "branch-1";
    AddArchive(b, now - 90 * kDay, "chain-a", "binlog.000001", "ZentaMarket20260831020000.ZTB");
    AddSegment(b, "chain-a", "binlog.000001");
    for (int i = 0; i < 100; ++i) // a thief's, all of today
        AddArchive(b, now - i, "chain-a", "binlog.000002",
                   "ZentaMarket2026112900" + std::to_string(1000 + i) + ".ZTB");
    PruneOptions o;
    o.now = now;
    o.days = 1;
    o.weekly = 0;
    o.monthly = 12;
    const PrunePlan plan = PlanPrune(b, o);
    EXPECT_FALSE(Gone(plan, repository::ArchiveKey("branch-1", "ZentaMarket20260831020000.ZTB")));
    EXPECT_FALSE(
        Gone(plan, repository::SegmentKey("branch-1", "chain-a", "binlog.000001", 0, 100, true)))
        << "the log of a kept window went";
    EXPECT_TRUE(plan.gone.empty()) << plan.gone.front().key;
}

TEST(OffsitePruneRule, TheLogBeforeTheOldestKeptWindowGoesAndANewPrimarysChainStays) {
    const std::time_t now = 1796000000;
    repository::HeldBranch b;
    b.prefix = "branch-1";
    // An old chain no kept archive lies in; the kept archive's chain with a file before it;
    // after a promotion, a chain whose first archive has not been made yet.
    AddArchive(b, now - 400 * kDay, "chain-2025", "binlog.000001", "ZentaMarket20251025020000.ZTB");
    AddSegment(b, "chain-2025", "binlog.000001");
    AddSegment(b, "chain-2026", "binlog.000004");
    AddArchive(b, now - 2 * kDay, "chain-2026", "binlog.000005", "ZentaMarket20261127020000.ZTB");
    AddSegment(b, "chain-2026", "binlog.000005");
    AddSegment(b, "chain-2026", "binlog.000006");
    AddSegment(b, "chain-2027", "binlog.000001");
    b.versions.push_back(Version("branch-1/log/chain-2027/chain.ini"));
    PruneOptions o;
    o.now = now;
    o.days = 30;
    o.weekly = 0;
    o.monthly = 0;
    const PrunePlan plan = PlanPrune(b, o);
    auto segment = [](const std::string& chain, const std::string& file) {
        return repository::SegmentKey("branch-1", chain, file, 0, 100, true);
    };
    EXPECT_TRUE(Gone(plan, repository::ArchiveKey("branch-1", "ZentaMarket20251025020000.ZTB")));
    EXPECT_TRUE(Gone(plan, segment("chain-2025", "binlog.000001")));
    EXPECT_TRUE(Gone(plan, segment("chain-2026", "binlog.000004")));
    EXPECT_FALSE(Gone(plan, segment("chain-2026", "binlog.000005")));
    EXPECT_FALSE(Gone(plan, segment("chain-2026", "binlog.000006")));
    EXPECT_FALSE(Gone(plan, segment("chain-2027", "binlog.000001")));
    EXPECT_FALSE(Gone(plan, "branch-1/log/chain-2027/chain.ini"));
    EXPECT_EQ(plan.goneSegments, 2);
}
