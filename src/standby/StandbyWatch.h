#pragma once

#include "JobOutcomes.h"
#include "Pair.h"

#include <atomic>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zenta {

// The pair as the monitor last saw it (section Standby of the job record): what status, the
// panel, the tray and the metrics tell.
struct PairState {
    std::string checked; // when the monitor last looked ("" never)
    std::string role;    // PairView::Role()
    std::string self, partner;
    bool partnerReached = false;
    std::string partnerWhy;
    std::string fencedWhy;
    bool semiSyncOn = false;
    long long behind = -1;        // transactions the standby lacks; -1 not known
    long long behindSeconds = -1; // since the oldest of them was committed; -1 not known
    std::string standbyProblem;
    OutcomeValues Values() const;
    static PairState Read();
    // Fresh: written by a monitor that still looks (within the last minute).
    bool Fresh(std::time_t now) const;
    // Why the tray warns ("" when it does not): the standby down, behind more than
    // `warnSeconds`, semi-synchronous off (sales not protected), this server fenced or the old
    // primary.
    std::string Warning(long warnSeconds) const;
    // The panel's line.
    std::string PanelLine() const;
};

// [Standby] WarnSeconds (60).
long StandbyWarnSeconds();

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
    std::string lastRole_;
    bool becamePrimary_ = false;
};

// A person opens this computer's server for sales (standby open, the tray's menu): refused when
// it is the standby, when the other server was promoted or is open, or when the other server
// cannot be reached and `partnerAwayConfirmed` is false. What was done, or why not.
struct OpenAnswer {
    bool opened = false;
    bool unsafe = false; // refused because it would be unsafe (else: could not run)
    bool needsConfirmation = false;
    std::string text;
};
OpenAnswer OpenThisServer(bool partnerAwayConfirmed);
// The risk a person accepts by opening a server whose partner cannot be reached.
std::string OpenRiskText();

} // namespace zenta
