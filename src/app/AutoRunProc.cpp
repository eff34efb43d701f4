#include "AutoRunProc.h"

#include "AutoBackupData.h"
#include "AutoTicket.h"
#include "BusyFlag.h"
#include "GlobalDatabase.h"
#include "Process.h"
#include "Recordings.h"
#include "RenovarDatos.h"

namespace zenta {

namespace {
MaintenanceJobs& Jobs() {
    static MaintenanceJobs jobs = DefaultMaintenanceJobs();
    return jobs;
}
} // namespace

MaintenanceJobs DefaultMaintenanceJobs() {
    return {CleanMasterData,   RenovarStock,      AutoBackup,
            AutoDeleteTickets, RotateBackupFiles, AutoEliminarVideosProc};
}

void SetMaintenanceJobs(MaintenanceJobs jobs) {
    Jobs() = std::move(jobs);
}

void AutoRunProc() {
    static bool busy = false;
    BusyGuard guard(busy);
    if (!guard.acquired())
        return;
    if (!EnsureConnected())
        return;
    const MaintenanceJobs& jobs = Jobs();
    // A stop asked for during the cycle skips the jobs that have not started yet.
    auto run = [](const std::function<void()>& job) {
        if (!StopRequested())
            job();
    };
    if (ServerIsLocal) {
        run(jobs.cleanMasterData);
        run(jobs.renovarStock);
        run(jobs.autoBackup);
        run(jobs.autoDeleteTickets);
        run(jobs.rotateBackupFiles);
    }
    run(jobs.autoEliminarVideos);
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
