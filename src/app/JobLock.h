#pragma once

#include "Result.h"

#include <chrono>
#include <functional>

namespace zenta {

// How a job waits for the program folder's job lock, which the monitor's cycle and every
// one-shot command of the folder take, so that their jobs never overlap.
struct JobLockWait {
    std::chrono::milliseconds limit{std::chrono::minutes(30)};
    std::function<void()> waiting;   // once, when another run holds the lock
    std::function<void()> meanwhile; // every few tens of milliseconds while waiting
};

// Runs `job` under the job lock; why it did not run otherwise (the lock file cannot be opened,
// the stop was asked for while waiting, the other run did not finish within the limit).
Result<Done> UnderJobLock(const std::function<void()>& job, const JobLockWait& wait);

} // namespace zenta
