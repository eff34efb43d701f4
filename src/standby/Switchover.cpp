// A planned move of the primary to the standby's computer, run on the primary's computer (its
// settings name the standby as this computer reaches it, which the old primary needs to follow
// the new one). No acknowledged sale can be lost: the primary is closed to every writer before
// its last position is read, and the standby opens only once it holds that position.
#include "Switchover.h"
#include "StandbySteps.h"

#include "Common.h"
#include "ErrorMode.h"
#include "GlobalDatabase.h"

#include <chrono>
#include <cstdio>

namespace zenta {

namespace {

using Clock = std::chrono::steady_clock;

// Where a switchover begins: the pair as it should be, or where an earlier one stopped.
enum class SwitchStage {
    Begin,    // this server the open primary, the other its standby
    Fenced,   // stopped after this server was closed, before the other was promoted
    Promoted, // stopped after the other was promoted, before this one followed it
    Refused,
};

struct SwitchStart {
    SwitchStage stage = SwitchStage::Refused;
    std::string why;
};

SwitchStart Refuse(const std::string& why) {
    return {SwitchStage::Refused, why};
}

SwitchStart StageOf(const PairView& v) {
    const ServerView& self = v.self;
    const ServerView& other = v.partner;
    const bool otherNamesSelf = other.record && other.record->primaryServerId == self.side.serverId;
    const bool selfNamesOther = self.record && self.record->primaryServerId == other.side.serverId;
    const ReplicaState& standby = other.side.replica;
    if (self.OpenPrimary()) {
        if (!otherNamesSelf || !other.side.readOnly)
            return Refuse("the other server (" + other.address + ") is not this one's standby: " +
                          (other.side.readOnly ? "its record names another primary"
                                               : "it is open for sales"));
        if (!standby.configured || standby.sqlErrno != 0)
            return Refuse("the standby (" + other.address + ") is not in step: " +
                          v.StandbyProblem() + " (standby seed --replace on it puts that right)");
        return {SwitchStage::Begin, ""};
    }
    if (selfNamesOther && self.side.readOnly && !self.side.replica.configured) {
        if (other.OpenPrimary() && !other.record->promotionGtid.empty())
            return {SwitchStage::Promoted, ""};
        if (otherNamesSelf && other.side.readOnly && standby.configured)
            return {SwitchStage::Fenced, ""};
    }
    if (v.Role() == PairRole::Standby)
        return Refuse("this server is the standby; standby switchover runs on the primary's "
                      "computer (" +
                      other.address + ")");
    return Refuse("this server is not the open primary (it is " + RoleText(v.Role()) + ")");
}

// Every writer kept off this computer's server: its record names the standby (its monitor
// leaves it closed), read-only for the tills, a global read lock on this connection for every
// other account, its sessions ended. The position its log ends at.
Result<std::string> Fence(PairConnections& pair, const Say& say) {
    using Position = Result<std::string>;
    clsDataBase& db = pair.self;
    PairRecord record = *pair.view.self.record;
    record.primaryServerId = pair.view.partner.side.serverId;
    if (auto written = WritePairRecord(db, record); !written)
        return Position::Failure(written.error());
    // A long statement holding tables ends the try instead of holding the shop.
    db.SQLExecute("SET SESSION lock_wait_timeout = 10;");
    if (!SetReadOnly(db, true))
        return Position::Failure("read_only could not be turned on: " + db.LastError().Text());
    db.SQLExecute("FLUSH TABLES WITH READ LOCK;");
    if (!db.ConnectionStatus())
        return Position::Failure("the writes could not be held (FLUSH TABLES WITH READ LOCK): " +
                                 db.LastError().Text());
    const auto ended = EndOtherSessions(db);
    if (!ended)
        return Position::Failure(ended.error());
    const auto side = ReadServerSide(db);
    if (!side)
        return Position::Failure(side.error());
    say("this server is closed (read-only, " + std::to_string(*ended) +
            " sessions ended); its log ends at " + side->binlogPos,
        false);
    return side->binlogPos;
}

// This computer's server open for sales again as the primary, as before the switchover.
std::string Reopen(PairConnections& pair) {
    clsDataBase& db = pair.self;
    db.SQLExecute("UNLOCK TABLES;");
    PairRecord record = *pair.view.self.record;
    record.primaryServerId = pair.view.self.side.serverId;
    if (auto written = WritePairRecord(db, record); !written)
        return "it could not be opened again: " + written.error();
    if (!SetReadOnly(db, false))
        return "it could not be opened again: " + db.LastError().Text();
    return "it is open for sales again, the primary as before";
}

std::string Shown(const std::string& position) {
    return position.empty() ? "(nothing)" : position;
}

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

// From a fenced primary on: the standby holds everything, is promoted, and this server follows
// it. On a failure before the standby opens, this server opens again.
StandbyReport MoveThePrimary(PairConnections& pair, long waitSeconds, const Say& say) {
    const auto closed = Clock::now();
    const auto last = Fence(pair, say);
    if (!last)
        return Report(StandbyResult::CouldNotRun,
                      "Not switched over: " + last.error() + "; " + Reopen(pair) + ".");
    const auto applied = WaitUntilHolds(pair.other, *last, waitSeconds);
    if (!applied || !applied->reached)
        return Report(applied ? StandbyResult::Refused : StandbyResult::CouldNotRun,
                      "Not switched over: " +
                          (applied ? "the standby did not apply this server's last transactions "
                                     "(" +
                                         Shown(*last) + ") within " + std::to_string(waitSeconds) +
                                         " s (" + applied->Said() + ")"
                                   : applied.error()) +
                          "; " + Reopen(pair) + ".");
    const auto promoted = OpenPromoted(pair.other);
    if (!promoted)
        return Report(StandbyResult::CouldNotRun,
                      "Not switched over: the standby could not be promoted (" + promoted.error() +
                          "; it may no longer replicate: standby seed --replace on it); " +
                          Reopen(pair) + ".");
    say("the other server (" + pair.view.partner.address + ") is the primary, open for sales at " +
            promoted->record.promotionGtid + ", " +
            Seconds(std::chrono::duration<double>(Clock::now() - closed).count()) +
            " s after this one closed",
        false);
    return Report(StandbyResult::Done, promoted->record.promotionGtid);
}

// The old primary (this server) follows the new one, once nothing it holds is missing there.
StandbyReport FollowAfterSwitch(PairConnections& pair, const std::string& point, long waitSeconds,
                                const Say& say) {
    pair.self.SQLExecute("UNLOCK TABLES;");
    const auto side = ReadServerSide(pair.self);
    if (!side)
        return Report(StandbyResult::CouldNotRun, side.error());
    const auto extra = TransactionsAfterPoint(side->binlogPos, point);
    if (!extra || *extra > 0)
        return Report(StandbyResult::Refused,
                      "The primary moved, but this server does not follow it: it holds " +
                          (extra ? std::to_string(*extra) : std::string("unknown")) +
                          " transactions after the switchover point " + point + " (its log ends " +
                          "at " + side->binlogPos +
                          "); standby rejoin lists them, standby seed --replace makes it the "
                          "standby.");
    if (auto followed = FollowNewPrimary(pair); !followed)
        return Report(StandbyResult::CouldNotRun,
                      "The primary moved, but this server does not follow it: " + followed.error() +
                          "; standby switchover again here retries, standby seed --replace "
                          "rebuilds it.");
    if (auto written = WritePairRecord(pair.self, *pair.view.partner.record); !written)
        return Report(StandbyResult::CouldNotRun, written.error());
    const StandbyReport caught = WaitCaughtUp(pair, waitSeconds, say);
    if (caught.result != StandbyResult::Done)
        return Report(caught.result, "The primary moved (the other server is open for sales), "
                                     "but this server is not in step with it: " +
                                         caught.text + ".");
    return caught;
}

} // namespace

StandbyReport SwitchOver(long waitSeconds, const Say& say) {
    const auto started = Clock::now();
    PairConnections pair;
    if (!pair.Look(waitSeconds + 60))
        return Report(StandbyResult::CouldNotRun, kNoPair);
    for (const ServerView* s : {&pair.view.self, &pair.view.partner})
        if (!s->reached)
            return Report(StandbyResult::CouldNotRun,
                          "Not switched over: " + s->address + " " + s->why);
    const SwitchStart start = StageOf(pair.view);
    if (start.stage == SwitchStage::Refused)
        return Report(StandbyResult::Refused, "Not switched over: " + start.why + ".");
    std::string point = pair.view.partner.record ? pair.view.partner.record->promotionGtid : "";
    if (start.stage != SwitchStage::Promoted) {
        // Near the primary before it closes: the tills wait for the last few only.
        if (start.stage == SwitchStage::Begin)
            if (const auto near =
                    WaitUntilHolds(pair.other, pair.view.self.side.binlogPos, waitSeconds);
                !near || !near->reached)
                return Report(near ? StandbyResult::Refused : StandbyResult::CouldNotRun,
                              "Not switched over: " +
                                  (near ? "the standby did not catch up with this server (" +
                                              Shown(pair.view.self.side.binlogPos) + ") within " +
                                              std::to_string(waitSeconds) + " s (" + near->Said() +
                                              ")"
                                        : near.error()) +
                                  "; nothing was changed.");
        const StandbyReport moved = MoveThePrimary(pair, waitSeconds, say);
        if (moved.result != StandbyResult::Done)
            return moved;
        point = moved.text;
        pair.Look(waitSeconds + 60);
    }
    const StandbyReport followed = FollowAfterSwitch(pair, point, waitSeconds, say);
    if (followed.result != StandbyResult::Done)
        return followed;
    WriteProgramLog("standby: switched over to " + pair.view.partner.address + " at " + point);
    return Report(StandbyResult::Done,
                  "Switched over in " +
                      Seconds(std::chrono::duration<double>(Clock::now() - started).count()) +
                      " s: the other server (" + pair.view.partner.address +
                      ") is the primary, open for sales; this one is its standby and in step "
                      "with it (" +
                      followed.text + "). " + TillsReach(pair.partner.host, pair.partner.port));
}

} // namespace zenta
