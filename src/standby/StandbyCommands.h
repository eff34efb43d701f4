#pragma once

#include <functional>
#include <string>

namespace zenta {

// What a person's command on the pair came to: done, refused because it would be unsafe (with
// why), or could not run.
enum class StandbyResult { Done, Refused, CouldNotRun };

struct StandbyReport {
    StandbyResult result = StandbyResult::CouldNotRun;
    std::string text; // the last words: what was done, or why not
};

// Lines for the person as the command goes on; a progress line (rewritten in place on a
// terminal) when `progress` is true.
using Say = std::function<void(const std::string& line, bool progress)>;

// On the standby computer: a fresh consistent copy of the primary's databases, loaded without
// writing this server's binary log, then replication from the copy's position on, until the
// standby holds what the primary had when replication began. Refused over a server that holds
// data unless `replace`, and on the open primary.
StandbyReport SeedStandby(bool replace, const Say& say);

// On the primary's computer, after its live database was replaced (a restore into it reaches no
// binary log, so the standby would silently keep the old data): the standby emptied and seeded
// again from this server, then waited for until in step. The refusal, "" when it can be done,
// is asked before the restore.
std::string StandbyReseedRefusal();
StandbyReport ReseedStandbyFromHere(const Say& say);

// On the standby computer when the primary's computer is dead: refused while the primary still
// answers, or while the standby's replication stopped on an error unless `force`; everything
// received is applied (waiting at most `waitSeconds`), then this server forgets its primary,
// opens for sales and records the promotion.
StandbyReport PromoteStandby(bool force, long waitSeconds, const Say& say);

// On the old primary after a promotion: it follows the new primary when its own log ends at
// the promotion point or before; a server holding transactions written after it is refused, and
// they are listed in a file of Log/ for a person.
StandbyReport RejoinOldPrimary(const Say& say);

// On the primary's computer, both servers alive (a planned move): this server closed to every
// writer and its sessions ended, the standby waited for until it holds everything, promoted,
// and this server made its standby. Run again, it goes on where an earlier one stopped. The
// standby is waited for `waitSeconds` at most; then this server opens again.
StandbyReport SwitchOver(long waitSeconds, const Say& say);

// For keepalived's check: Done only when this computer's server is the recorded primary and
// open for sales (the one that may hold the shop's floating address).
StandbyReport CheckHealthy();

// `standby status`: both servers as they stand, printed.
StandbyReport DescribePair(const Say& say);

} // namespace zenta
