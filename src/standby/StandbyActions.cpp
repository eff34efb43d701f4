#include "StandbyActions.h"

#include <algorithm>

namespace zenta {

const std::vector<StandbyAction>& StandbyActions() {
    static const std::vector<StandbyAction> actions = {
        {"status", "both servers as they answer", 0, ""},
        {"seed", "on the standby computer: copy the primary, then follow it", 0, ""},
        {"promote", "on the standby computer when the primary's computer is dead", 120,
         "for what was received to be applied"},
        {"open", "this server for sales when the other cannot be reached, after a person's yes", 0,
         ""},
        {"rejoin", "the old primary after a promotion, as the new primary's standby", 0, ""},
        {"switchover",
         "on the primary's computer: the standby made the primary, this one its standby, no "
         "sale lost",
         60, "for the standby to hold everything"},
        {"check", "exit 0 only on the open primary, for keepalived", 0, ""},
    };
    return actions;
}

const StandbyAction* FindStandbyAction(const std::string& name) {
    const auto& actions = StandbyActions();
    const auto found = std::find_if(actions.begin(), actions.end(),
                                    [&](const StandbyAction& a) { return name == a.name; });
    return found == actions.end() ? nullptr : &*found;
}

} // namespace zenta
