#include "BackupHealth.h"

#include "BinlogCopyRecord.h"
#include "JobOutcomes.h"
#include "LocalTime.h"
#include "OffsiteRecord.h"
#include "OffsiteSettings.h"
#include "PairRecord.h"
#include "PairState.h"
#include "Settings.h"

namespace zenta {

namespace {

void Add(std::string& text, const std::string& line) {
    text += (text.empty() ? "" : "\n") + line;
}

std::string Hours(std::time_t now, long long since) {
    return std::to_string(static_cast<long>((now - since) / 3600)) + " 小时前";
}

// The backup drive's part: the reason to warn ("" none) and the panel's line.
void DriveHealth(std::time_t now, std::string& reason, std::string& panel) {
    const DriveOutcome drive = DriveOutcome::Read();
    if (drive.label.empty())
        return; // a shop without a drive sees nothing about drives
    const long days = GetSettingNumber("Monitor", "DriveWarnDays", 7, 1);
    const long long good = StampSeconds(drive.lastGoodCopyTime);
    const long long since = StampSeconds(drive.labelSince);
    const bool failed = drive.lastResult == "failed";
    panel = "备份盘 " + drive.label + "：" +
            (good > 0 ? "最近一次复制 " + drive.lastGoodCopyTime + "（" + Hours(now, good) + "）"
                      : std::string("还没有复制")) +
            (failed ? "，上次复制失败" : "");
    if (failed)
        reason = "备份盘警告：最近一次复制到备份盘 " + drive.label + " 失败（" +
                 drive.lastFailureTime + "）：" + drive.lastFailure;
    else if (good > 0 && now - good > days * 86400LL)
        reason = "备份盘警告：已经 " + std::to_string((now - good) / 86400) +
                 " 天没有复制到备份盘 " + drive.label + "（最近一次：" + drive.lastGoodCopyTime +
                 "）";
    else if (good <= 0 && since > 0 && now - since > days * 86400LL)
        reason = "备份盘警告：备份盘 " + drive.label + " 上还没有备份";
}

// The copy of the binary log: its line on the panel; a warning when its disk cannot take it,
// when it has been down or behind for [Monitor] BinlogWarnMinutes (10), or for a gap no backup
// has covered yet.
void CopyHealth(std::time_t now, const BackupOutcome& backup, BackupHealth& health) {
    const BinlogCopyOutcome copy = BinlogCopyOutcome::Read();
    if (copy.GapUncovered(backup))
        Add(health.reason, "备份警告：复制的二进制日志有缺口（" + copy.lastGapTime +
                               "），下一次维护会做一次完整备份：" + copy.lastGap);
    if (copy.state == CopyState::NotStarted)
        return;
    const long warnMinutes = GetSettingNumber("Monitor", "BinlogWarnMinutes", 10, 1);
    const long long down = copy.DownSeconds(now);
    if (copy.state == CopyState::Off)
        Add(health.panel,
            "二进制日志复制：关闭" + (copy.why.empty() ? std::string() : "（" + copy.why + "）"));
    else if (copy.Streaming(now))
        Add(health.panel,
            "二进制日志复制：实时" +
                (copy.reach.empty() ? std::string() : "，已复制到 " + copy.reach + " 的交易"));
    else
        Add(health.panel,
            "二进制日志复制：中断（自 " + copy.DownSince(now) + "）：" + copy.DownWhy(now));
    if (!copy.problem.empty())
        Add(health.reason, "备份警告：二进制日志的复制出错：" + copy.problem);
    else if (down >= warnMinutes * 60LL)
        Add(health.reason, "备份警告：二进制日志的复制已中断 " + std::to_string(down / 60) +
                               " 分钟：" + copy.Text(now));
}

// The off-site repository, when it is on: its line on the panel and its warning.
void RepositoryHealth(std::time_t now, BackupHealth& health) {
    const OffsiteOutcome o = OffsiteOutcome::Read();
    if (o.state == RepositoryState::NotStarted || !OffsiteConfigured())
        return;
    Add(health.panel, "异地副本：" + o.Text(now) +
                          (o.reach.empty() ? std::string() : "，已送出到 " + o.reach + " 的交易"));
    Add(health.reason, o.Warning(now, GetSettingNumber("Offsite", "WarnMinutes", 10, 1)));
}

} // namespace

namespace {

// The pair of servers, when there is one: its panel line and warning. Whether the backups are
// this computer's to watch (not on the standby: they are made on the primary).
bool PairHealth(BackupHealth& health) {
    if (!ConfiguredPartner())
        return true;
    const PairState pair = PairState::Read();
    if (pair.checked.empty())
        return true;
    Add(health.panel, pair.PanelLine());
    Add(health.reason, pair.Warning(StandbyWarnSeconds()));
    return pair.Is(PairRole::Primary) || pair.Is(PairRole::NotPaired);
}

} // namespace

BackupHealth CurrentBackupHealth(std::time_t now) {
    BackupHealth pairOnly;
    if (!PairHealth(pairOnly)) {
        pairOnly.warn = !pairOnly.reason.empty();
        return pairOnly;
    }
    BackupHealth health;
    const long days = GetSettingNumber("Monitor", "BackupWarnDays", 2, 1);
    const BackupOutcome backup = BackupOutcome::Read();
    health.lastGood = backup.lastGoodTime;
    const long long good = StampSeconds(health.lastGood);
    if (good > 0)
        health.ageHours = static_cast<long>((now - good) / 3600);
    health.panel = good > 0 ? "最近一次成功的备份：" + health.lastGood + "（" +
                                  std::to_string(health.ageHours) + " 小时前）"
                            : std::string("最近一次成功的备份：无");
    if (backup.result == "shrunk") {
        health.reason = "备份警告：数据库的数据比上次成功的备份少得多，最近一次备份（" +
                        backup.time + "）未计为备份：" + backup.shrink;
        Add(health.panel, "最近一次备份（" + backup.time + "）：数据明显减少，未计为备份");
    } else if (backup.Bad()) {
        health.reason = "备份警告：最近一次备份失败（" + backup.time + "）" +
                        (backup.failure.empty() ? "" : "：" + backup.failure);
    } else if (good <= 0) {
        health.reason = "备份警告：还没有成功的备份";
    } else if (now - good > days * 86400LL) {
        health.reason = "备份警告：已经 " + std::to_string((now - good) / 86400) +
                        " 天没有成功的备份（最近一次：" + health.lastGood + "）";
    }
    // Without the server's binary log a failure loses the day: said on the panel, every day.
    if (JobOutcome::Read("BinaryLog")["LogBin"] == "0")
        Add(health.panel,
            "时间点恢复：关闭（服务器未开启二进制日志），故障会丢失上次备份" +
                (health.lastGood.empty() ? std::string() : "（" + health.lastGood + "）") +
                "之后的全部数据");
    CopyHealth(now, BackupOutcome::Read(), health);
    RepositoryHealth(now, health);
    std::string driveReason, drivePanel;
    DriveHealth(now, driveReason, drivePanel);
    if (!drivePanel.empty())
        Add(health.panel, drivePanel);
    if (!driveReason.empty())
        Add(health.reason, driveReason);
    if (!pairOnly.panel.empty())
        Add(health.panel, pairOnly.panel);
    if (!pairOnly.reason.empty())
        Add(health.reason, pairOnly.reason);
    health.warn = !health.reason.empty();
    return health;
}

} // namespace zenta
