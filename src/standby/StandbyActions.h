#pragma once

// The actions of `standby`: one table that the command line's parser, its usage text and its
// dispatcher all read.
#include <string>
#include <vector>

namespace zenta {

struct StandbyAction {
    const char* name;
    const char* help;     // what it does, for the usage text
    long waitSeconds;     // --wait's default; 0: the action takes no --wait
    const char* waitHelp; // what --wait bounds for it
};
const std::vector<StandbyAction>& StandbyActions();
// The action of that name; nothing when there is none.
const StandbyAction* FindStandbyAction(const std::string& name);

} // namespace zenta
