#include "JobLock.h"

#include "Globals.h"
#include "SingleInstance.h"
#include "StopRequest.h"

namespace zenta {

Result<Done> UnderJobLock(const std::function<void()>& job, const JobLockWait& wait) {
    FileLock lock(JobLockPath(Globals::AppPath, Globals::ExecutableName));
    const bool locked = lock.LockWithin(wait.limit, wait.waiting, [&] {
        if (wait.meanwhile)
            wait.meanwhile();
        return !StopRequested();
    });
    if (!locked) {
        if (!lock.error().empty())
            return Result<Done>::Failure(lock.error());
        if (StopRequested())
            return Result<Done>::Failure("interrupted while waiting for the job lock");
        return Result<Done>::Failure(
            "the other run did not finish within " +
            std::to_string(std::chrono::duration_cast<std::chrono::seconds>(wait.limit).count()) +
            " s");
    }
    job();
    return Done{};
}

} // namespace zenta
