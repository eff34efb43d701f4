// How many seconds of sales a loss would cost, from the records of what protects them: the
// figure head office sorts its branches by, so a protection that stopped must never look current.
#include "LocalTime.h"
#include "MonitorFigures.h"

#include <gtest/gtest.h>

using namespace zenta;

namespace {

const std::time_t kNow = 1'800'000'000;

std::string Ago(long long seconds) {
    return LocalStampText(kNow - seconds);
}

BackupOutcome BackupAgo(long long seconds) {
    BackupOutcome b;
    b.lastGoodTime = Ago(seconds);
    return b;
}

BinlogCopyOutcome Copy(CopyState state, long long lookedAgo, long long lag,
                       long long currentAgo = -1) {
    BinlogCopyOutcome c;
    c.state = state;
    c.checked = Ago(lookedAgo);
    c.since = Ago(lookedAgo + 100);
    c.lagSeconds = lag;
    if (currentAgo >= 0)
        c.currentAt = Ago(currentAgo);
    return c;
}

OffsiteOutcome Offsite(RepositoryState state, long long lookedAgo, long long sinceAgo,
                       long long lag) {
    OffsiteOutcome o;
    o.state = state;
    o.checked = Ago(lookedAgo);
    o.since = Ago(sinceAgo);
    o.lagSeconds = lag;
    return o;
}

PairState Primary(bool partnerReached, bool semiSync) {
    PairState p;
    p.role = PairRole::Primary;
    p.checked = Ago(5);
    p.partnerReached = partnerReached;
    p.semiSyncOn = semiSync;
    return p;
}

} // namespace

TEST(RecoveryPoint, TheLastGoodBackupAloneCostsItsAgeAndNothingAtAllIsUnknown) {
    EXPECT_EQ(RecoveryPointSeconds(BackupAgo(3 * 3600), {}, {}, {}, kNow), 3 * 3600);
    EXPECT_EQ(RecoveryPointSeconds({}, {}, {}, {}, kNow), -1);
}

TEST(RecoveryPoint, TheBestCurrentProtectionCountsAndAStoppedOneCountsFromWhenItWasCurrent) {
    const BackupOutcome dayOld = BackupAgo(86400);
    // Streaming: its lag, even in a quiet shop whose last sale is hours old.
    EXPECT_EQ(RecoveryPointSeconds(dayOld, Copy(CopyState::Streaming, 3, 2), {}, {}, kNow), 2);
    // Down: everything since it last held all the server had.
    EXPECT_EQ(RecoveryPointSeconds(dayOld, Copy(CopyState::Down, 3, 0, 400), {}, {}, kNow), 400);
    // A record its monitor stopped writing says streaming but protects nothing since.
    EXPECT_EQ(RecoveryPointSeconds(dayOld, Copy(CopyState::Streaming, 900, 1, 900), {}, {}, kNow),
              900);
    // The off-site copy current beside a copy that is down: the off-site lag.
    EXPECT_EQ(RecoveryPointSeconds(dayOld, Copy(CopyState::Down, 3, 0, 400), {},
                                   Offsite(RepositoryState::Current, 5, 600, 4), kNow),
              4);
    // Behind since two minutes, 3 s behind then.
    EXPECT_EQ(
        RecoveryPointSeconds(dayOld, {}, {}, Offsite(RepositoryState::Behind, 5, 120, 3), kNow),
        123);
    // A stale "current" from a monitor that stopped: from when it said so.
    EXPECT_EQ(RecoveryPointSeconds(dayOld, {}, {}, Offsite(RepositoryState::Current, 1000, 5000, 0),
                                   kNow),
              5000);
}

TEST(RecoveryPoint, AProtectedStandbyLosesNothingAndOneAwayOrAsynchronousProtectsNothing) {
    const BackupOutcome dayOld = BackupAgo(86400);
    EXPECT_EQ(RecoveryPointSeconds(dayOld, {}, Primary(true, true), {}, kNow), 0);
    EXPECT_EQ(RecoveryPointSeconds(dayOld, {}, Primary(false, true), {}, kNow), 86400);
    EXPECT_EQ(RecoveryPointSeconds(dayOld, {}, Primary(true, false), {}, kNow), 86400);
}
