#include "StandbySteps.h"

#include "Common.h"
#include "GlobalDatabase.h"
#include "LocalTime.h"
#include "Settings.h"
#include "Text.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <sys/wait.h>
#include <thread>

namespace zenta {

using Clock = std::chrono::steady_clock;

StandbyReport Report(StandbyResult result, const std::string& text) {
    return {result, text};
}

std::string Address(const std::string& host, long port) {
    return host + ":" + std::to_string(port);
}

bool PairConnections::Look(long readSeconds) {
    const auto configured = ConfiguredPartner();
    if (!configured)
        return false;
    partner = *configured;
    view.self = LookAtServer(self, Address(ConfiguredMySQLHost(), ConfiguredMySQLPort()),
                             ConnectToOwnServer(self, readSeconds));
    view.partner = LookAtServer(other, Address(partner.host, partner.port),
                                ConnectToServer(other, partner.host, partner.port));
    for (clsDataBase* db : {&self, &other})
        if (db->ConnectionStatus())
            HoldPairCommandLock(*db);
    return true;
}

const char* const kNoPair = "This computer is not in a pair: set [Standby] Host (and Port) in "
                            "zentamarket.ini to the other computer's server.";

std::string TillsReach(const std::string& host, long port) {
    const std::string floating = TrimBlanks(GetSetting("Standby", "FloatingAddress", ""));
    if (!floating.empty())
        return "The tills reach it by the shop's floating address " + floating +
               ": keepalived moves it to that computer once its check (ZentaMarketMonitor "
               "standby check) says healthy.";
    return "No floating address is set ([Standby] FloatingAddress), so the tills do not follow "
           "by themselves: on every computer of the shop but the pair's two, set in "
           "zentamarket.ini [MySQL] MySQLHost=" +
           host + " and MySQLPort=" + std::to_string(port) +
           ", then start the suite's programs again.";
}

int WaitForProgram(int pid, const std::function<void()>& tick,
                   const std::function<long long()>& progress) {
    long long last = -1;
    auto moved = Clock::now();
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (done < 0 && errno != EINTR)
            return -1;
        if (const long long now = progress(); now != last) {
            last = now;
            moved = Clock::now();
        } else if (Clock::now() - moved > std::chrono::seconds(kProgramStallSeconds)) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return kStalled;
        }
        tick();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
}

std::string ProgramEnded(const std::string& program, int status) {
    if (status == kStalled)
        return program + " did nothing for " + std::to_string(kProgramStallSeconds) +
               " s and was stopped";
    return program + " failed (exit status " + std::to_string(status) + ")";
}

std::string FileTail(const std::string& path, size_t bytes) {
    const std::string text = ReadWholeFile(path).value_or("");
    return text.size() > bytes ? text.substr(text.size() - bytes) : text;
}

StandbyReport WaitCaughtUp(clsDataBase& standby, clsDataBase& primary, long stallSeconds,
                           const Say& say) {
    const auto target = ReadServerSide(primary);
    if (!target)
        return Report(StandbyResult::CouldNotRun, target.error());
    const std::string goal = target->binlogPos;
    const std::string shown = goal.empty() ? "(nothing)" : goal;
    std::uint64_t fewest = UINT64_MAX;
    auto progressed = Clock::now();
    for (;;) {
        const auto wait = WaitUntilHolds(standby, goal, 2);
        if (!wait)
            return Report(StandbyResult::CouldNotRun, wait.error());
        if (wait->reached)
            return Report(StandbyResult::Done, goal);
        if (!wait->stopped.empty())
            return Report(StandbyResult::CouldNotRun,
                          "the replication stopped before it held " + shown + ": " + wait->stopped);
        if (wait->behind < fewest) {
            fewest = wait->behind;
            progressed = Clock::now();
        } else if (Clock::now() - progressed >= std::chrono::seconds(stallSeconds)) {
            return Report(StandbyResult::CouldNotRun,
                          "waited for the standby to hold the primary's last transactions (" +
                              shown + "), but it applied nothing for " +
                              std::to_string(stallSeconds) + " s: " + wait->Said() + ", " +
                              std::to_string(wait->behind) + " transactions short");
        }
        say("catching up: " + std::to_string(wait->behind) + " transactions to apply", true);
    }
}

StandbyReport WaitCaughtUp(PairConnections& pair, long stallSeconds, const Say& say) {
    return WaitCaughtUp(pair.self, pair.other, stallSeconds, say);
}

Result<Promoted> OpenPromoted(clsDataBase& db) {
    if (auto forgot = ForgetMaster(db); !forgot)
        return Result<Promoted>::Failure(forgot.error());
    const auto point = ReadServerSide(db);
    if (!point)
        return Result<Promoted>::Failure(point.error());
    Promoted p;
    p.record.primaryServerId = point->serverId;
    p.record.promotionGtid = point->currentPos;
    p.record.promotedAt = LocalStampText(std::time(nullptr));
    p.applied = point->slavePos;
    // Recorded first: an open server whose record names another is closed again by its monitor.
    if (auto written = WritePairRecord(db, p.record); !written)
        return Result<Promoted>::Failure("the promotion cannot be recorded, so the server was "
                                         "not opened: " +
                                         written.error());
    if (!SetReadOnly(db, false))
        return Result<Promoted>::Failure("read_only could not be turned off: " +
                                         db.LastError().Text());
    return p;
}

// How many transactions a server whose log ends at `mine` holds that the history up to `point`
// does not: by domain, those numbered after the point, and the last one itself when it has the
// point's number but another server's (two histories that went apart at the same number).
Result<std::uint64_t> TransactionsAfterPoint(const std::string& mine, const std::string& point) {
    const auto held = ParseGtidText(mine);
    const auto at = ParseGtidText(point);
    if (!held || !at)
        return Result<std::uint64_t>::Failure("The positions cannot be read (" + mine + ", " +
                                              point + ").");
    std::uint64_t extra = 0;
    for (const auto& [key, sequence] : *held) {
        std::uint64_t pointSequence = 0;
        std::uint32_t pointServer = 0;
        for (const auto& [p, s] : *at)
            if (p.first == key.first && s >= pointSequence) {
                pointSequence = s;
                pointServer = p.second;
            }
        if (sequence > pointSequence)
            extra += sequence - pointSequence;
        else if (sequence == pointSequence && key.second != pointServer)
            extra += 1;
    }
    return extra;
}

// Replication from the new primary where this server's own log ends; a server whose history
// went another way is told by the new primary at once (1236): then it replicates from nothing.
Result<Done> FollowNewPrimary(PairConnections& pair) {
    clsDataBase& self = pair.self;
    if (auto pointed =
            PointReplicaAt(self, pair.partner.host, pair.partner.port, ReplicaStart::OwnLog);
        !pointed)
        return pointed;
    if (!StartReplica(self))
        return Result<Done>::Failure("START SLAVE failed: " + self.LastError().Text());
    for (int i = 0; i < 50; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const auto side = ReadServerSide(self);
        if (!side)
            return Result<Done>::Failure(side.error());
        if (side->replica.ioErrno != 0 || side->replica.sqlErrno != 0) {
            const std::string why = ReplicationError(side->replica);
            const auto forgot = ForgetMaster(self);
            return Result<Done>::Failure("the new primary refused this server's history: " + why +
                                         (forgot ? std::string() : "; " + forgot.error()));
        }
        if (side->replica.ioRunning && side->replica.sqlRunning && i >= 5)
            return Done{};
    }
    return Done{};
}

} // namespace zenta
