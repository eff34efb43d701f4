#include "Describe.h"
#include "StandbySteps.h"

#include "PairState.h"

#include <ctime>

namespace zenta {

StandbyReport DescribePair(const Say& say) {
    PairConnections pair;
    if (!pair.Look())
        return Report(StandbyResult::CouldNotRun, kNoPair);
    const PairView& v = pair.view;
    auto server = [&](const char* label, const ServerView& s) {
        if (!s.reached) {
            say(std::string(label) + s.address + ", " + s.why, false);
            return;
        }
        std::string line = std::string(label) + s.address + ", server_id " +
                           std::to_string(s.side.serverId) + ", " +
                           (s.side.readOnly ? "read-only" : "open for sales") + ", position " +
                           (s.side.currentPos.empty() ? "(empty)" : s.side.currentPos);
        say(line, false);
        const ReplicaState& r = s.side.replica;
        if (r.configured)
            say(std::string("  replicates from ") + r.masterHost + ":" +
                    std::to_string(r.masterPort) + ": receiving " +
                    (r.ioRunning      ? "yes"
                     : r.ioConnecting ? "connecting"
                                      : "NO") +
                    ", applying " + (r.sqlRunning ? "yes" : "NO") + ", applied " + s.side.slavePos +
                    (ReplicationError(r).empty() ? std::string()
                                                 : "; last error: " + ReplicationError(r)),
                false);
    };
    server("This server:  ", v.self);
    server("Other server: ", v.partner);
    say("Role here:    " + RoleText(v.Role()) +
            (v.FencedWhy().empty() ? std::string() : " (read-only: " + v.FencedWhy() + ")"),
        false);
    if (const auto behind = v.TransactionsBehind()) {
        const PairState measured = PairState::Read();
        say("Standby lag:  " + std::to_string(*behind) + " transactions" +
                (measured.Fresh(std::time(nullptr)) && measured.behindSeconds >= 0
                     ? ", " + std::to_string(measured.behindSeconds) + " s as the monitor measured"
                     : std::string()),
            false);
    }
    const std::string problem = v.StandbyProblem();
    say(std::string("Sales protected: ") +
            (SalesProtected(v.SemiSyncOn(), problem)
                 ? "yes (semi-synchronous: a sale is acknowledged once the standby holds it)"
                 : "NO: " + (problem.empty() ? std::string("semi-synchronous replication is off "
                                                           "(no standby acknowledges)")
                                             : problem)),
        false);
    if (!v.self.reached)
        return Report(StandbyResult::CouldNotRun, "");
    return Report(StandbyResult::Done, "");
}

} // namespace zenta
