#pragma once

namespace zenta::cli {

// What a command came to. ExitStatus is the one place that turns it into the exit status.
enum class Outcome {
    Good,        // done, and all is well
    NotGood,     // done, but not good: a backup that does not count, a structure that differs
    CouldNotRun, // no database, the job lock not had, the archive missing or foreign
    BadUsage,
};

// The exit status of an outcome, as the README's table of commands gives it: 0 done, 1 done
// but not good, 2 could not run or bad usage.
int ExitStatus(Outcome outcome);

} // namespace zenta::cli
