#pragma once

// Steps the pair's commands share (seed, promote, rejoin, switchover, open): both servers on
// connections of their own, the waits, the promotion itself, the old primary following.
#include "Pair.h"
#include "StandbyReport.h"

#include <cstdint>
#include <functional>
#include <string>

namespace zenta {

StandbyReport Report(StandbyResult result, const std::string& text);
std::string Address(const std::string& host, long port);
extern const char* const kNoPair;

// Both servers of the pair, each on a connection of its own, each holding the pair's command
// lock once looked at (the monitors then leave them alone).
struct PairConnections {
    PartnerAddress partner;
    clsDataBase self, other;
    PairView view;
    // Reads both; false when the settings name no pair.
    bool Look(long readSeconds = 15);
};

// How the tills reach the new primary (at `host`:`port` as the shop's computers reach it), in
// words for the person: the floating address, or the settings to change where there is none.
std::string TillsReach(const std::string& host, long port);

// Waits until `standby` holds what `primary`'s log holds now; the report's text is that
// position. Gives up, saying what it waited for and what the standby holds, when the standby
// applied nothing for `stallSeconds`.
StandbyReport WaitCaughtUp(clsDataBase& standby, clsDataBase& primary, long stallSeconds,
                           const Say& say);
// The same for this computer's server (the standby) and the other (the primary).
StandbyReport WaitCaughtUp(PairConnections& pair, long stallSeconds, const Say& say);
// A standby catching up after a seed or a rejoin gives up after this long without progress.
constexpr long kCatchUpStallSeconds = 120;

// The standby made the primary: it forgets its primary, the promotion point is read before it
// takes its first sale, its record says so, and it opens.
struct Promoted {
    PairRecord record;
    std::string applied; // its gtid_slave_pos at the promotion point
};
Result<Promoted> OpenPromoted(clsDataBase& db);

// How many transactions a server whose log ends at `mine` holds that the history up to `point`
// does not.
Result<std::uint64_t> TransactionsAfterPoint(const std::string& mine, const std::string& point);

// This computer's server replicates from the other (the new primary) where its own log ends.
Result<Done> FollowNewPrimary(PairConnections& pair);

// A program of a pipeline (the seed's dump and load, the rejoin's listing) waited for, telling
// `tick` every half second; `progress` counts what it did so far (bytes). Its exit status, -1
// when it did not end normally, kStalled when it moved no byte for kProgramStallSeconds (it is
// then killed).
constexpr int kProgramStallSeconds = 600;
constexpr int kStalled = -2;
int WaitForProgram(int pid, const std::function<void()>& tick,
                   const std::function<long long()>& progress);
// The words for a program's end that was not a success.
std::string ProgramEnded(const std::string& program, int status);
// The last `bytes` of a file (a program's errors).
std::string FileTail(const std::string& path, size_t bytes);

} // namespace zenta
