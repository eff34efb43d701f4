#include "PairState.h"

#include "LocalTime.h"
#include "Metrics.h"
#include "Settings.h"

#include <cstdlib>

namespace zenta {

namespace {

constexpr const char* kSection = "Standby";

} // namespace

void PairState::Record() const {
    RecordOutcome(kSection, {{"Checked", checked},
                             {"Role", role ? RoleText(*role) : std::string()},
                             {"Self", self},
                             {"Partner", partner},
                             {"PartnerReached", partnerReached ? "1" : "0"},
                             {"PartnerWhy", partnerWhy},
                             {"FencedWhy", fencedWhy},
                             {"SemiSync", semiSyncOn ? "on" : "off"},
                             {"Behind", std::to_string(behind)},
                             {"BehindSeconds", std::to_string(behindSeconds)},
                             {"StandbyProblem", standbyProblem}});
}

PairState PairState::Read() {
    const JobOutcome r = JobOutcome::Read(kSection);
    PairState s;
    s.checked = r["Checked"];
    s.role = ParseRole(r["Role"]);
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
    if (!role)
        return {};
    if (Is(PairRole::Fenced))
        return "双机警告：本机数据库暂不接受销售（只读）：" + fencedWhy;
    if (Is(PairRole::OldPrimary))
        return "双机警告：另一台电脑已接替为主数据库，销售应在那台电脑上进行；本机是原主数据库";
    if (Is(PairRole::Unknown))
        return "双机警告：本机数据库无法读取：" + partnerWhy;
    if (!standbyProblem.empty())
        return "双机警告：备用数据库有问题，销售未受保护：" + standbyProblem;
    if (Is(PairRole::Primary) && !semiSyncOn)
        return "双机警告：半同步复制已关闭，销售在备用数据库恢复前未受保护";
    if (behindSeconds > warnSeconds)
        return "双机警告：备用数据库落后 " + std::to_string(behindSeconds) + " 秒（" +
               std::to_string(behind) + " 笔交易）";
    return {};
}

std::string PairState::PanelLine() const {
    if (!role)
        return {};
    std::string line = "双机：本机 " + RoleText(*role);
    if (Is(PairRole::Primary) || Is(PairRole::Standby))
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

bool PairState::Protected() const {
    return SalesProtected(semiSyncOn, standbyProblem);
}

std::string PairState::MetricsText() const {
    if (!role)
        return {};
    std::string out;
    auto flag = [](bool on) { return std::string(on ? "1" : "0"); };
    auto number = [](long long v) { return v < 0 ? std::string() : std::to_string(v); };
    AddMetric(out, "zentamarket_standby_primary",
              "1 when this computer's server is the pair's primary, open for sales.",
              flag(Is(PairRole::Primary)));
    AddMetric(out, "zentamarket_standby_fenced",
              "1 when this computer's server is the recorded primary but kept read-only (the "
              "other server cannot be seen agreeing), or the old primary after a promotion.",
              flag(Is(PairRole::Fenced) || Is(PairRole::OldPrimary)));
    AddMetric(out, "zentamarket_standby_partner_up", "1 when the other server of the pair answers.",
              flag(partnerReached));
    AddMetric(out, "zentamarket_standby_protected",
              "1 when a sale is acknowledged only once the standby holds it (semi-synchronous on, "
              "the standby replicating without error).",
              flag(Protected()));
    AddMetric(out, "zentamarket_standby_behind_transactions",
              "Transactions of the primary the standby has not applied yet.", number(behind));
    AddMetric(out, "zentamarket_standby_behind_seconds",
              "How long ago the primary committed the oldest transaction the standby has not "
              "applied.",
              number(behindSeconds));
    return out;
}

namespace {

// The pair's part of every metrics file this program writes.
[[maybe_unused]] const bool kMetricsAdded =
    AddMetricsSection(kPairMetrics, "standby", [] { return PairState::Read().MetricsText(); });

} // namespace

} // namespace zenta
