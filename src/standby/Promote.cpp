#include "Promote.h"
#include "StandbySteps.h"

#include "Common.h"
#include "ComputerIdentity.h"
#include "ErrorMode.h"
#include "GlobalDatabase.h"
#include "TodoSobreMySQLServer.h"

#include <chrono>
#include <cstdio>
#include <optional>

namespace zenta {

namespace {

using Clock = std::chrono::steady_clock;

// What the standby received from the primary, applied; or the report that ends the promotion
// (not applied in time: refused, the standby as it was).
struct ReceivedAndApplied {
    std::string position;
    std::optional<StandbyReport> end;
};
ReceivedAndApplied ApplyReceived(PairConnections& pair, bool force, long waitSeconds,
                                 const Say& say) {
    ReceivedAndApplied r;
    if (!StopReplicaReceiving(pair.self)) {
        r.end = Report(StandbyResult::CouldNotRun,
                       "STOP SLAVE IO_THREAD failed: " + pair.self.LastError().Text());
        return r;
    }
    const auto stopped = ReadServerSide(pair.self);
    if (!stopped) {
        r.end = Report(StandbyResult::CouldNotRun, stopped.error());
        return r;
    }
    r.position = stopped->replica.received;
    say("applying what was received from the primary (" + r.position + ")", false);
    // With --force over a stopped applying nothing more will be applied: not waited for.
    if (!stopped->replica.sqlRunning && force)
        return r;
    const auto applied = WaitUntilHolds(pair.self, r.position, waitSeconds);
    if (!applied || !applied->reached) {
        StartReplica(pair.self); // back as it was: a standby
        r.end = Report(applied ? StandbyResult::Refused : StandbyResult::CouldNotRun,
                       applied ? "Not promoted: not everything received (" + r.position +
                                     ") was applied within " + std::to_string(waitSeconds) +
                                     " s (" + applied->Said() + "); give a longer --wait."
                               : applied.error());
    }
    return r;
}

} // namespace

namespace {

// Why this server must not be promoted now (nothing when it may): it is no standby, the primary
// still answers, or its replication stopped on an error and `force` was not given.
std::optional<StandbyReport> PromoteRefusal(const PairView& view, bool force) {
    const ServerView& self = view.self;
    if (!self.reached)
        return Report(StandbyResult::CouldNotRun,
                      "This computer's server (" + self.address + ") " + self.why);
    if (self.OpenPrimary())
        return Report(StandbyResult::Done, "This server is already the primary.");
    const ReplicaState& replica = self.side.replica;
    if (!replica.configured)
        return Report(StandbyResult::Refused,
                      "Not promoted: this server is not a standby (it replicates from nothing).");
    if (view.partner.reached)
        return Report(StandbyResult::Refused,
                      "Not promoted: the primary (" + view.partner.address +
                          ") still answers. Promoting now would make two primaries; a planned "
                          "move of the primary is a switchover.");
    if (replica.sqlErrno != 0 && !force)
        return Report(StandbyResult::Refused,
                      "Not promoted: the standby's replication stopped on an error, so it may "
                      "lack sales: " +
                          ReplicationError(replica) + "\nGive --force to promote it as it is.");
    return std::nullopt;
}

} // namespace

StandbyReport PromoteStandby(bool force, long waitSeconds, const Say& say) {
    const auto started = Clock::now();
    PairConnections pair;
    if (!pair.Look(waitSeconds + 60))
        return Report(StandbyResult::CouldNotRun, kNoPair);
    if (auto refused = PromoteRefusal(pair.view, force))
        return *refused;
    const ServerView& self = pair.view.self;
    const ReplicaState& replica = self.side.replica;
    const std::string error = ReplicationError(replica);
    const auto before = ParseGtidPosition(self.side.slavePos);
    const ReceivedAndApplied received = ApplyReceived(pair, force, waitSeconds, say);
    if (received.end)
        return *received.end;
    const auto opened = OpenPromoted(pair.self);
    if (!opened)
        return Report(StandbyResult::CouldNotRun,
                      "The promotion stopped half-way (this server no longer replicates and is "
                      "still read-only): " +
                          opened.error());
    const PairRecord& record = opened->record;
    const auto after = ParseGtidPosition(opened->applied);
    const auto got = ParseGtidPosition(received.position);
    if (got && after)
        if (const auto dropped = TransactionsBehind(*got, *after); dropped > 0)
            say("Warning: " + std::to_string(dropped) +
                    " transactions received from the primary were not applied (promoted by "
                    "--force over: " +
                    error + ")",
                false);
    const long long appliedCount =
        before && after ? static_cast<long long>(TransactionsBehind(*after, *before)) : -1;
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    // Forced over only what --force lets through: a receiving error after a power cut is the
    // dead primary itself.
    WriteProgramLog(
        "standby: promoted to primary at " + record.promotionGtid +
        (force && replica.sqlErrno != 0 ? " (forced over: " + error + ")" : std::string()));
    char took[32];
    std::snprintf(took, sizeof took, "%.1f", seconds);
    return Report(StandbyResult::Done,
                  "Promoted in " + std::string(took) + " s: this server (" + self.address +
                      ", server_id " + std::to_string(self.side.serverId) +
                      ") is the primary, open for sales, at " + record.promotionGtid + "; " +
                      (appliedCount >= 0 ? std::to_string(appliedCount) : std::string("?")) +
                      " transactions were applied while promoting. " +
                      TillsReach(IsMySQLServerLocal(ConfiguredMySQLHost()) ? GetLocalIP()
                                                                           : ConfiguredMySQLHost(),
                                 ConfiguredMySQLPort()));
}

} // namespace zenta
