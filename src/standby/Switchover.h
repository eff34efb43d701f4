#pragma once

// A planned move of the primary to the standby's computer.
#include "StandbyReport.h"

namespace zenta {

// On the primary's computer, both servers alive (a planned move): this server closed to every
// writer and its sessions ended, the standby waited for until it holds everything, promoted,
// and this server made its standby. Run again, it goes on where an earlier one stopped. The
// standby is waited for `waitSeconds` at most; then this server opens again.
StandbyReport SwitchOver(long waitSeconds, const Say& say);

} // namespace zenta
