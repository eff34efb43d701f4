#include "AutoRunProc.h"

#include "AutoBackupData.h"
#include "AutoTicket.h"
#include "BusyFlag.h"
#include "CleanMasterData.h"
#include "ErrorMode.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "JobLock.h"
#include "PairRecord.h"
#include "Process.h"
#include "Recordings.h"
#include "RenovarDatos.h"
#include "Restore.h"
#include "SingleInstance.h"
#include "Verification.h"

namespace zenta {

namespace {
MaintenanceJobs& Jobs() {
    static MaintenanceJobs jobs = DefaultMaintenanceJobs();
    return jobs;
}
} // namespace

MaintenanceJobs DefaultMaintenanceJobs() {
    return {CleanMasterData,   RenovarStock,           AutoBackup,       AutoDeleteTickets,
            RotateBackupFiles, AutoEliminarVideosProc, AutoVerifyArchive};
}

void SetMaintenanceJobs(MaintenanceJobs jobs) {
    Jobs() = std::move(jobs);
}

namespace {
bool jobInProgress = false;
} // namespace

bool JobInProgress() {
    return jobInProgress;
}

bool RunUnderJobLock(const std::string& what, const std::function<void()>& job,
                     std::chrono::milliseconds limit) {
    const auto ran = UnderJobLock(
        [&] {
            BusyGuard busy(jobInProgress);
            job();
        },
        {"the monitor's " + what, limit,
         [&](const std::string& holder, long waited) {
             if (waited == 0)
                 WriteProgramLog(what + ": another run of this program folder is at work" +
                                 (holder.empty() ? std::string() : " (" + holder + ")") +
                                 "; waiting for it");
         },
         CallWaitHook});
    if (!ran && !StopRequested())
        WriteProgramLog(what + ": skipped: " + ran.error());
    return static_cast<bool>(ran);
}

void AutoRunProc() {
    static bool busy = false;
    BusyGuard guard(busy);
    if (!guard.acquired())
        return;
    RunUnderJobLock("job cycle", RunCycle);
}

void RunCycle() {
    if (!EnsureConnected())
        return;
    const MaintenanceJobs& jobs = Jobs();
    // A stop asked for during the cycle skips the jobs that have not started yet.
    auto run = [](const std::function<void()>& job) {
        if (job && !StopRequested())
            job();
    };
    // On a pair, the database computer's jobs run on the open primary only.
    if (DatabaseJobsHere()) {
        run(jobs.cleanMasterData);
        run(jobs.renovarStock);
        run(jobs.autoBackup);
        run(jobs.autoDeleteTickets);
        run(jobs.rotateBackupFiles);
    }
    run(jobs.autoEliminarVideos);
    if (DatabaseJobsHere())
        run(jobs.autoVerifyArchive);
}

void JobDispatcher::AutoRunTick() {
    if (!autoRunEnabled_)
        return;
    if (autoRunCount_ >= kAutoRunThreshold) {
        autoRunCount_ = 0;
        autoRun_();
    } else {
        ++autoRunCount_;
    }
}

void JobDispatcher::IPUpdateTick() {
    if (!ipUpdateEnabled_)
        return;
    if (ipUpdateCount_ >= kIPUpdateThreshold) {
        ipUpdateCount_ = 0;
        ipUpdate_();
    } else {
        ++ipUpdateCount_;
    }
}

} // namespace zenta
