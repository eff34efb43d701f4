#include "JobLock.h"

#include "Globals.h"
#include "SingleInstance.h"
#include "StopRequest.h"
#include "Variant.h"

#include <unistd.h>

namespace zenta {

Result<Done> UnderJobLock(const std::function<void()>& job, const JobLockWait& wait) {
    const std::string path = JobLockPath(Globals::AppPath, Globals::ExecutableName);
    FileLock lock(path);
    const auto started = std::chrono::steady_clock::now();
    long told = -1;
    auto tell = [&] {
        const long waited = static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(
                                                  std::chrono::steady_clock::now() - started)
                                                  .count());
        if (wait.waiting && (told < 0 || waited >= told + 5)) {
            told = waited;
            wait.waiting(FileLock::Holder(path), waited);
        }
    };
    const bool locked = lock.LockWithin(wait.limit, tell, [&] {
        tell();
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
    lock.Describe(
        (Globals::ExecutableName.empty() ? std::string("the program") : Globals::ExecutableName) +
        ", pid " + std::to_string(::getpid()) + ", " +
        (wait.what.empty() ? std::string("a job") : wait.what) + ", since " +
        DateTime::Now().TimeText());
    job();
    return Done{};
}

} // namespace zenta
