#pragma once

// What a person's command on the pair says: its outcome and its words, and how it tells the
// person as it goes on.
#include <functional>
#include <string>

namespace zenta {

// Done, refused because it would be unsafe (with why), or could not run.
enum class StandbyResult { Done, Refused, CouldNotRun };

struct StandbyReport {
    StandbyResult result = StandbyResult::CouldNotRun;
    std::string text; // the last words: what was done, or why not
};

// Lines for the person as the command goes on; a progress line (rewritten in place on a
// terminal) when `progress` is true.
using Say = std::function<void(const std::string& line, bool progress)>;

} // namespace zenta
