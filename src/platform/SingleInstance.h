#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace zenta {

// An exclusive lock (flock) on one file, held while the object lives. The file is made
// readable and writable by its owner and group only.
class FileLock {
  public:
    explicit FileLock(std::string path);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Takes the lock if it is free. False when another holds it or the file cannot be opened
    // (see error()).
    [[nodiscard]] bool TryLock();
    // Waits for the lock up to `limit`, calling `waiting` once when it has to wait and
    // `keepWaiting` every few tens of milliseconds meanwhile (false gives up). False on
    // time-out, giving up or error.
    [[nodiscard]] bool LockWithin(std::chrono::milliseconds limit,
                                  const std::function<void()>& waiting = {},
                                  const std::function<bool()>& keepWaiting = {});
    void Unlock();
    // While locked: a line saying who holds the lock, kept in the lock file for whoever waits.
    void Describe(const std::string& holder);
    // What the holder of the lock at `path` said of itself; "" when nothing.
    static std::string Holder(const std::string& path);
    bool locked() const { return locked_; }
    const std::string& path() const { return path_; }
    // Why the file could not be opened; "" when it could.
    const std::string& error() const { return error_; }

  private:
    bool Open();
    std::string path_;
    std::string error_;
    int fd_ = -1;
    bool locked_ = false;
};

// One monitor per program folder, whatever the environment it was started in: the lock file
// "<name>.lock" lives in the program folder itself.
class SingleInstanceLock {
  public:
    SingleInstanceLock(const std::string& programFolder, const std::string& name);
    bool acquired() const { return acquired_; }
    // Could not even be tried (no write access to the folder): error() says why.
    bool unavailable() const { return !lock_.error().empty(); }
    const std::string& error() const { return lock_.error(); }
    const std::string& path() const { return lock_.path(); }

  private:
    FileLock lock_;
    bool acquired_ = false;
};

// Whether a monitor of this program folder holds its single-instance lock now.
[[nodiscard]] bool MonitorRunningIn(const std::string& programFolder, const std::string& name);

// The lock every job of a program folder runs under: the monitor's cycles and every one-shot
// command of the command line share it, so two of them never work on the shop at once.
std::string JobLockPath(const std::string& programFolder, const std::string& name);

} // namespace zenta
