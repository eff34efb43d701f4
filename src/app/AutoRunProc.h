#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace zenta {

// The maintenance cycle: reconnects once when the connection was lost, then runs, on the
// computer with the database, CleanMasterData, RenovarStock, AutoBackup, AutoDeleteTickets and
// RotateBackupFiles, and everywhere AutoEliminarVideosProc. A call made while a cycle runs
// returns at once. The cycle runs under the program folder's job lock (waiting for a one-shot
// command of the same folder to finish).
void AutoRunProc();
// The cycle itself, for a caller that holds the job lock.
void RunCycle();

// Runs a job under the program folder's job lock, waiting for it up to `limit` with the wait
// hook called meanwhile (the tray keeps answering); a stop request gives up the wait. False,
// with a line in the log, when the job could not run.
bool RunUnderJobLock(const std::string& what, const std::function<void()>& job,
                     std::chrono::milliseconds limit = std::chrono::minutes(30));

// Whether a job runs under the job lock in this program now (a timer that fires during one of
// its long waits must leave the database connection to it).
bool JobInProgress();

// The two one-minute counters of the form: the maintenance cycle on every 721st tick, the IP
// update on every 61st. The tick source (a timer on the GUI thread in the program, direct calls
// in tests) calls the two tick functions.
class JobDispatcher {
  public:
    static constexpr int kIntervalMs = 60000;
    static constexpr int kAutoRunThreshold = 720;
    static constexpr int kIPUpdateThreshold = 60;

    JobDispatcher(std::function<void()> autoRun, std::function<void()> ipUpdate)
        : autoRun_(std::move(autoRun)), ipUpdate_(std::move(ipUpdate)) {}

    void AutoRunTick();
    void IPUpdateTick();
    void AutoRunEnabled(bool enabled) { autoRunEnabled_ = enabled; }
    void IPUpdateEnabled(bool enabled) { ipUpdateEnabled_ = enabled; }
    bool AutoRunEnabled() const { return autoRunEnabled_; }
    bool IPUpdateEnabled() const { return ipUpdateEnabled_; }
    int AutoRunCount() const { return autoRunCount_; }
    int IPUpdateCount() const { return ipUpdateCount_; }

  private:
    std::function<void()> autoRun_, ipUpdate_;
    short autoRunCount_ = 0;
    short ipUpdateCount_ = 0;
    bool autoRunEnabled_ = false;
    bool ipUpdateEnabled_ = false;
};

// The jobs the cycle runs, in order; replaceable so that tests can watch the order.
struct MaintenanceJobs {
    std::function<void()> cleanMasterData, renovarStock, autoBackup, autoDeleteTickets,
        rotateBackupFiles, autoEliminarVideos, autoVerifyArchive;
};
MaintenanceJobs DefaultMaintenanceJobs();
void SetMaintenanceJobs(MaintenanceJobs jobs);

} // namespace zenta
