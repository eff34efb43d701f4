#pragma once

// Steps the pair's commands share (seed, promote, rejoin, switchover).
#include "Pair.h"
#include "StandbyCommands.h"

#include <cstdint>
#include <string>

namespace zenta {

StandbyReport Report(StandbyResult result, const std::string& text);
std::string Address(const std::string& host, long port);
extern const char* const kNoPair;

// Both servers of the pair, each on a connection of its own.
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

// Waits until this computer's server (the standby) holds what the other's (the primary's) log
// holds now; the report's text is that position. Gives up, saying what it waited for and what
// the standby holds, when the standby applied nothing for `stallSeconds`.
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

} // namespace zenta
