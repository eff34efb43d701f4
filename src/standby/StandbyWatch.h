#pragma once

#include "Pair.h"
#include "PairState.h"

#include <atomic>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zenta {

// The monitor's look at the pair, every two seconds on a thread of its own (a computer that is
// switched off answers nothing for seconds; the tray must not wait for it), on connections of
// its own. It opens this computer's server when it is the recorded primary and the other server
// is reached, read-only and agrees (never because the other cannot be seen); starts a standby's
// replication after its server restarted (skip_slave_start); measures the standby's lag from the
// primary's positions as it sees them change; and decides whether the database computer's jobs
// run here (ServerIsStandby).
class StandbyWatch {
  public:
    StandbyWatch() = default;
    ~StandbyWatch();
    StandbyWatch(const StandbyWatch&) = delete;
    StandbyWatch& operator=(const StandbyWatch&) = delete;
    // Starts the looks when the settings name a pair.
    void Start();
    void Stop();
    // In the caller's thread: records what the looks found since the last call and logs what
    // they did. Whether the tray's words may have changed.
    bool Publish();
    // The database computer's jobs came here since the last call (this server was the standby,
    // fenced or not yet paired, and is the open primary now): they start here at once, a backup
    // first (the restore to a second needs an archive in this server's log).
    bool TakeBecamePrimary();

  private:
    void Run();
    void Look();
    void Act(PairView& view);
    void MeasureLag(const PairView& view, PairState& state);

    std::thread thread_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false;
    // Filled by the looks, taken by Publish.
    bool fresh_ = false;
    PairState state_;
    std::vector<std::string> events_;
    // The looks' own.
    std::unique_ptr<clsDataBase> self_, partner_;
    std::deque<std::pair<std::time_t, GtidPosition>> samples_;
    std::string published_;
    std::time_t publishedAt_ = 0;
    std::optional<PairRole> lastRole_;
    bool becamePrimary_ = false;
};

} // namespace zenta
