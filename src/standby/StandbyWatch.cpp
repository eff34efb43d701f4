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

OutcomeValues PairState::Values() const {
    return {{"Checked", checked},
            {"Role", role},
            {"Self", self},
            {"Partner", partner},
            {"PartnerReached", partnerReached ? "1" : "0"},
            {"PartnerWhy", partnerWhy},
            {"FencedWhy", fencedWhy},
            {"SemiSync", semiSyncOn ? "on" : "off"},
            {"Behind", std::to_string(behind)},
            {"BehindSeconds", std::to_string(behindSeconds)},
            {"StandbyProblem", standbyProblem}};
}

PairState PairState::Read() {
    const JobOutcome r = JobOutcome::Read("Standby");
    PairState s;
    s.checked = r["Checked"];
    s.role = r["Role"];
    s.self = r["Self"];
    s.partner = r["Partner"];
    s.partnerReached = r["PartnerReached"] == "1";
    s.partnerWhy = r["PartnerWhy"];
    s.fencedWhy = r["FencedWhy"];
    s.semiSyncOn = r["SemiSync"] == "on";
    s.behind = r["Behind"].empty() ? -1 : std::atoll(r["Behind"].c_str());
    s.behindSeconds = r["BehindSeconds"].empty() ? -1 : std::atoll(r["BehindSeconds"].c_str());
    s.standbyProblem = r["StandbyProblem"];
    return s;
}

bool PairState::Fresh(std::time_t now) const {
    const long long at = StampSeconds(checked);
    return at > 0 && now - at <= 60;
}

std::string PairState::Warning(long warnSeconds) const {
    if (role.empty())
        return {};
    if (role == "fenced")
        return "双机警告：本机数据库暂不接受销售（只读）：" + fencedWhy;
    if (role == "old primary")
        return "双机警告：另一台电脑已接替为主数据库，销售应在那台电脑上进行；本机是原主数据库";
    if (role == "unknown")
        return "双机警告：本机数据库无法读取：" + partnerWhy;
    if (!standbyProblem.empty())
        return "双机警告：备用数据库有问题，销售未受保护：" + standbyProblem;
    if (role == "primary" && !semiSyncOn)
        return "双机警告：半同步复制已关闭，销售在备用数据库恢复前未受保护";
    if (behindSeconds > warnSeconds)
        return "双机警告：备用数据库落后 " + std::to_string(behindSeconds) + " 秒（" +
               std::to_string(behind) + " 笔交易）";
    return {};
}

std::string PairState::PanelLine() const {
    if (role.empty())
        return {};
    std::string line = "双机：本机 " + role;
    if (role == "primary" || role == "standby")
        line +=
            std::string("，半同步 ") + (semiSyncOn ? "开" : "关") +
            (behind >= 0 ? "，备用落后 " + std::to_string(behind) + " 笔" : std::string()) +
            (behindSeconds >= 0 ? "（" + std::to_string(behindSeconds) + " 秒）" : std::string());
    if (!partnerReached)
        line += "，另一台 " + partner + " 无法连接";
    return line;
}

long StandbyWarnSeconds() {
    return GetSettingNumber("Standby", "WarnSeconds", 60, 1);
}

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
    if (state.role == "primary" || state.role == "standby")
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
    const std::string role = view.Role();
    if ((role == "standby" || role == "old primary") && !view.self.side.readOnly) {
        // A sale taken here would be on no primary: the server is closed again.
        if (SetReadOnly(*self_, true)) {
            view.self.side.readOnly = true;
            note("standby: this server is the " + role +
                 " but was open for sales (read_only OFF): made read-only");
        } else {
            note("standby: this server is the " + role +
                 " and open for sales, and could not be made read-only: " +
                 self_->LastError().Text());
        }
    }
    const ReplicaState& r = view.self.side.replica;
    if (role == "standby" && r.configured && !r.ioRunning && !r.ioConnecting && !r.sqlRunning &&
        ReplicationError(r).empty()) {
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
        if (state.role == "unknown")
            WriteProgramLog("standby: this computer's server cannot be read: " + state.partnerWhy);
        else
            WriteProgramLog("standby: this server is " + state.role +
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
    RecordOutcome("Standby", state.Values());
    return changed;
}

bool StandbyWatch::TakeBecamePrimary() {
    std::lock_guard<std::mutex> hold(lock_);
    const bool became = becamePrimary_;
    becamePrimary_ = false;
    return became;
}

std::string OpenRiskText() {
    return "The other server cannot be reached. If it was promoted while this one was away, "
           "opening this one makes two primaries: sales on both, which cannot be joined again. "
           "Open only when you know that the other computer was not promoted (it is switched "
           "off, or nobody ran standby promote there).";
}

OpenAnswer OpenThisServer(bool partnerAwayConfirmed) {
    OpenAnswer answer;
    const auto partner = ConfiguredPartner();
    if (!partner) {
        answer.text = "This computer is not in a pair ([Standby] Host is not set).";
        return answer;
    }
    clsDataBase self, other;
    PairView view;
    view.self = LookAtServer(self, OwnAddress(), ConnectToOwnServer(self));
    view.partner = LookAtServer(other, Address(partner->host, partner->port),
                                ConnectToServer(other, partner->host, partner->port));
    if (!view.self.reached) {
        answer.text = "This computer's server (" + view.self.address + ") " + view.self.why;
        return answer;
    }
    const std::string role = view.Role();
    answer.unsafe = true;
    if (role == "primary") {
        answer.unsafe = false;
        answer.opened = true;
        answer.text = "This server is already open for sales.";
        return answer;
    }
    if (role == "standby") {
        answer.text = "This server is the standby (its record names server_id " +
                      std::to_string(view.self.record->primaryServerId) +
                      " the primary); a standby becomes the primary with standby promote.";
        return answer;
    }
    if (role == "old primary") {
        answer.text = "The other server (" + view.partner.address + ") was promoted at " +
                      view.partner.record->promotedAt +
                      ": sales go to the other computer; this one stays read-only.";
        return answer;
    }
    if (view.partner.reached && !view.partner.side.readOnly) {
        answer.text = "The other server (" + view.partner.address +
                      ") is open for sales: two open servers would take sales apart.";
        return answer;
    }
    if (!view.partner.reached && !partnerAwayConfirmed) {
        answer.needsConfirmation = true;
        answer.text = "The other server (" + view.partner.address + ") " + view.partner.why + ". " +
                      OpenRiskText();
        return answer;
    }
    if (view.partner.reached && view.partner.record &&
        view.partner.record->primaryServerId != view.self.side.serverId) {
        answer.text = "The other server's record names server_id " +
                      std::to_string(view.partner.record->primaryServerId) +
                      " the primary, not this one; this one stays read-only.";
        return answer;
    }
    answer.unsafe = false;
    PairRecord record = view.self.record.value_or(PairRecord{});
    record.primaryServerId = view.self.side.serverId;
    if (const auto written = WritePairRecord(self, record); !written) {
        answer.text = written.error();
        return answer;
    }
    if (!SetReadOnly(self, false)) {
        answer.text = "The server could not be opened: " + self.LastError().Text();
        return answer;
    }
    answer.opened = true;
    answer.text = "This server (" + view.self.address + ", server_id " +
                  std::to_string(view.self.side.serverId) + ") is open for sales" +
                  (view.partner.reached ? "."
                                        : ", opened by a person while the other server "
                                          "cannot be reached.");
    WriteProgramLog("standby: " + answer.text);
    return answer;
}

} // namespace zenta
