#pragma once

// The pair as the monitor last saw it: the section Standby of the job record, kept here and only
// here. What status, the panel, the tray, doctor and the metrics tell of the pair comes from it.
#include "JobOutcomes.h"
#include "Pair.h"

#include <ctime>
#include <optional>
#include <string>

namespace zenta {

struct PairState {
    std::string checked;          // when the monitor last looked ("" never)
    std::optional<PairRole> role; // nothing: never looked (not on a pair)
    std::string self, partner;
    bool partnerReached = false;
    std::string partnerWhy;
    std::string fencedWhy;
    bool semiSyncOn = false;
    long long behind = -1;        // transactions the standby lacks; -1 not known
    long long behindSeconds = -1; // since the oldest of them was committed; -1 not known
    std::string standbyProblem;

    // Written by the monitor's look; read by everyone else.
    void Record() const;
    static PairState Read();
    // Fresh: written by a monitor that still looks (within the last minute).
    bool Fresh(std::time_t now) const;
    bool Is(PairRole r) const { return role == r; }
    // Sales acknowledged only once the standby holds them (SalesProtected).
    bool Protected() const;
    // Why the tray warns ("" when it does not): the standby down, behind more than
    // `warnSeconds`, semi-synchronous off (sales not protected), this server fenced or the old
    // primary.
    std::string Warning(long warnSeconds) const;
    // The panel's line.
    std::string PanelLine() const;
    // The pair's part of the metrics file (nothing without a pair).
    std::string MetricsText() const;
};

// [Standby] WarnSeconds (60).
long StandbyWarnSeconds();

} // namespace zenta
