#pragma once

#include "Result.h"

#include <chrono>
#include <functional>
#include <string>

namespace zenta {

// How a job waits for the program folder's job lock, which the monitor's cycle and every
// one-shot command of the folder take, so that their jobs never overlap.
struct JobLockWait {
    std::string what; // this job, told to whoever waits for it ("backup (command line)")
    std::chrono::milliseconds limit{std::chrono::minutes(30)};
    // When another run holds the lock, and again every few seconds: what that run said of
    // itself ("the monitor, pid 812, job cycle, since 02:00:03") and the seconds waited so far.
    std::function<void(const std::string& holder, long waited)> waiting;
    std::function<void()> meanwhile; // every few tens of milliseconds while waiting
};

// Runs `job` under the job lock; why it did not run otherwise (the lock file cannot be opened,
// the stop was asked for while waiting, the other run did not finish within the limit).
Result<Done> UnderJobLock(const std::function<void()>& job, const JobLockWait& wait);

} // namespace zenta
