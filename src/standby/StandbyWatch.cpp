#include "StandbyWatch.h"

#include "ErrorMode.h"
#include "GlobalDatabase.h"
#include "LocalTime.h"
#include "Settings.h"

#include <chrono>

namespace zenta {

namespace {

std::string Address(const std::string& host, long port) {
    return host + ":" + std::to_string(port);
}

std::string OwnAddress() {
    return Address(ConfiguredMySQLHost(), ConfiguredMySQLPort());
}

} // namespace

StandbyWatch::~StandbyWatch() {
    Stop();
}

void StandbyWatch::Start() {
    if (!ConfiguredPartner() || thread_.joinable())
        return;
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
}

void StandbyWatch::Stop() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void StandbyWatch::Run() {
    std::unique_lock<std::mutex> hold(lock_);
    while (!stop_) {
        hold.unlock();
        Look();
        hold.lock();
        wake_.wait_for(hold, std::chrono::seconds(2), [this] { return stop_; });
    }
}

void StandbyWatch::Look() {
    const auto partner = ConfiguredPartner();
    if (!partner)
        return;
    if (!self_ || !self_->ConnectionStatus()) {
        self_ = std::make_unique<clsDataBase>();
        ConnectToOwnServer(*self_, 5);
    }
    if (!partner_ || !partner_->ConnectionStatus()) {
        partner_ = std::make_unique<clsDataBase>();
        // A frozen computer answers nothing: the look waits for it briefly.
        ConnectToServer(*partner_, partner->host, partner->port, 3);
    }
    PairView view;
    view.self = LookAtServer(*self_, OwnAddress(), self_->ConnectionStatus());
    view.partner = LookAtServer(*partner_, Address(partner->host, partner->port),
                                partner_->ConnectionStatus());
    // While a person's command changes the pair, its steps are not undone here.
    if (view.self.reached && !PairCommandRunning(*self_))
        Act(view);
    PairState state;
    state.checked = LocalStampText(std::time(nullptr));
    state.role = view.Role();
    state.self = view.self.address;
    state.partner = view.partner.address;
    state.partnerReached = view.partner.reached;
    state.partnerWhy = view.self.reached ? view.partner.why : view.self.why;
    state.fencedWhy = view.FencedWhy();
    state.semiSyncOn = view.SemiSyncOn();
    if (state.Is(PairRole::Primary) || state.Is(PairRole::Standby))
        state.standbyProblem = view.StandbyProblem();
    MeasureLag(view, state);
    // The database computer's jobs run here only on the open primary; when they come here (a
    // promotion, a person's open, a switchover) they run at once, a backup first.
    bool cameHere = false;
    if (view.self.reached) {
        const bool standby = !view.self.OpenPrimary() || view.PartnerPromotedSince();
        cameHere = ServerIsStandby.exchange(standby) && !standby;
    }
    std::lock_guard<std::mutex> hold(lock_);
    state_ = state;
    fresh_ = true;
    becamePrimary_ = becamePrimary_ || cameHere;
}

void StandbyWatch::Act(PairView& view) {
    auto note = [this](const std::string& text) {
        std::lock_guard<std::mutex> hold(lock_);
        events_.push_back(text);
    };
    if (MayOpen(view)) {
        if (SetReadOnly(*self_, false)) {
            view.self.side.readOnly = false;
            note("standby: this server (server_id " + std::to_string(view.self.side.serverId) +
                 ") is the recorded primary and the other server (" + view.partner.address +
                 ") is read-only and agrees: opened for sales");
        } else {
            note("standby: this server could not be opened for sales: " +
                 self_->LastError().Text());
        }
        return;
    }
    const PairRole role = view.Role();
    if ((role == PairRole::Standby || role == PairRole::OldPrimary) && !view.self.side.readOnly) {
        // A sale taken here would be on no primary: the server is closed again.
        if (SetReadOnly(*self_, true)) {
            view.self.side.readOnly = true;
            note("standby: this server is the " + RoleText(role) +
                 " but was open for sales (read_only OFF): made read-only");
        } else {
            note("standby: this server is the " + RoleText(role) +
                 " and open for sales, and could not be made read-only: " +
                 self_->LastError().Text());
        }
    }
    const ReplicaState& r = view.self.side.replica;
    if (role == PairRole::Standby && r.configured && !r.ioRunning && !r.ioConnecting &&
        !r.sqlRunning && ReplicationError(r).empty()) {
        // A standby's server starts without replicating (skip_slave_start): started here.
        if (StartReplica(*self_))
            note("standby: this server's replication from " + r.masterHost + ":" +
                 std::to_string(r.masterPort) + " started");
        else
            note("standby: this server's replication could not be started: " +
                 self_->LastError().Text());
    }
}

void StandbyWatch::MeasureLag(const PairView& view, PairState& state) {
    const auto behind = view.TransactionsBehind();
    state.behind = behind ? static_cast<long long>(*behind) : -1;
    const ServerView* primary = view.Primary();
    const ServerView* standby = view.Standby();
    if (!behind || !primary || !standby) {
        samples_.clear();
        return;
    }
    // The moments the primary's position was first seen; the lag is the age of the oldest the
    // standby does not hold yet (nothing is written anywhere to measure it).
    const std::time_t now = std::time(nullptr);
    const auto ahead = ParseGtidPosition(primary->side.binlogPos);
    const auto held = ParseGtidPosition(standby->side.currentPos);
    if (!ahead || !held)
        return;
    if (samples_.empty() || samples_.back().second != *ahead)
        samples_.emplace_back(now, *ahead);
    while (!samples_.empty() && zenta::TransactionsBehind(samples_.front().second, *held) == 0)
        samples_.pop_front();
    if (samples_.size() > 4000)
        samples_.pop_front();
    state.behindSeconds =
        samples_.empty() ? 0 : static_cast<long long>(now - samples_.front().first);
}

bool StandbyWatch::Publish() {
    PairState state;
    std::vector<std::string> events;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!fresh_)
            return false;
        fresh_ = false;
        state = state_;
        events.swap(events_);
    }
    for (const auto& e : events)
        WriteProgramLog(e);
    if (state.role != lastRole_) {
        if (state.Is(PairRole::Unknown))
            WriteProgramLog("standby: this computer's server cannot be read: " + state.partnerWhy);
        else
            WriteProgramLog("standby: this server is " +
                            RoleText(state.role.value_or(PairRole::Unknown)) +
                            (state.fencedWhy.empty() ? std::string() : ": " + state.fencedWhy));
        lastRole_ = state.role;
    }
    // Recorded when what the tray says changes, and every half minute for the lag.
    const std::string said = state.Warning(StandbyWarnSeconds()) + "|" + state.PanelLine();
    const std::time_t now = std::time(nullptr);
    if (said == published_ && now - publishedAt_ < 30)
        return false;
    const bool changed = said != published_;
    published_ = said;
    publishedAt_ = now;
    state.Record();
    return changed;
}

bool StandbyWatch::TakeBecamePrimary() {
    std::lock_guard<std::mutex> hold(lock_);
    const bool became = becamePrimary_;
    becamePrimary_ = false;
    return became;
}

} // namespace zenta
