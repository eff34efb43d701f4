#pragma once

// The continuous off-site copy, a service of the monitor on the database computer: every good
// archive with its manifest, and the binary log as the local copy grows, in segments every
// [Offsite] LogSeconds, into the shop's repository (Repository.h). The local copy is the queue:
// what the storage has acknowledged is written down beside it (files.ini, the archives'
// markers), and nothing is counted sent before that; the storage away, a network cut or a slow
// line leave it behind, never lost. Two threads of its own, each with its own connection to the
// storage: the log's segments never wait behind an archive that takes an hour on a slow line.
#include "OffsiteSettings.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace zenta {

class OffsiteCopy {
  public:
    OffsiteCopy() = default;
    ~OffsiteCopy();
    OffsiteCopy(const OffsiteCopy&) = delete;
    OffsiteCopy& operator=(const OffsiteCopy&) = delete;

    // From the monitor's looks, now and then: whether this computer sends (the database
    // computer's jobs run here), the settings (read with `db`), the backup folder and the
    // copy's folder. Starts the senders the first time they have something to do.
    void Look(clsDataBase& db, bool here, const std::string& backupFolder,
              const std::string& copyFolder);
    void Stop();
    // From every look: a round of the log's sender still running well past LogSeconds (a slow
    // line, a busy computer, a storage that takes the bytes and does not answer) while the local
    // copy holds more than the repository is said behind, with its lag, instead of standing on
    // the last round's "current" until it ends.
    void Watch();

  private:
    struct Work {
        OffsiteSettings settings;
        std::string password; // the archives' ("" none: sent in the clear, and said)
        std::string backupFolder, copyFolder;
    };
    std::optional<Work> Current();
    void LogLoop();
    void ArchiveLoop();
    void Say(const std::function<void(struct OffsiteOutcome&)>& change);
    void SayHeld(const std::function<void(struct OffsiteOutcome&)>& change); // lock_ held

    std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::atomic<bool> stopping_{false}; // read by the senders between transfers
    std::optional<Work> work_;
    std::string off_; // why nothing is sent ("" while it is)
    std::thread log_, archives_;
    // The log's round under way (the epoch: none), its LogSeconds, and when Watch last said so.
    std::chrono::steady_clock::time_point roundBegan_{}, roundWatched_{};
    std::string roundBeganAt_; // the same as the local time said
    long roundSeconds_ = 10;
};

} // namespace zenta
