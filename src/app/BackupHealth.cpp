#include "BackupHealth.h"

#include "JobOutcomes.h"
#include "Metrics.h"
#include "Settings.h"

#include <cstdlib>

namespace zenta {

BackupHealth CurrentBackupHealth(std::time_t now) {
    BackupHealth health;
    long days = std::atol(GetSetting("Monitor", "BackupWarnDays", "2").c_str());
    if (days < 1)
        days = 2;
    health.lastGood = OutcomeValue("Backup", "LastGoodTime");
    const long long good = StampSeconds(health.lastGood);
    if (good > 0)
        health.ageHours = static_cast<long>((now - good) / 3600);
    const std::string last = OutcomeValue("Backup", "Result");
    if (last == "failed" || last == "incomplete") {
        health.warn = true;
        health.reason = "备份警告：最近一次备份失败（" + OutcomeValue("Backup", "Time") + "）";
    } else if (good <= 0) {
        health.warn = true;
        health.reason = "备份警告：还没有成功的备份";
    } else if (now - good > days * 24 * 3600) {
        health.warn = true;
        health.reason = "备份警告：已经 " + std::to_string((now - good) / 86400) +
                        " 天没有成功的备份（最近一次：" + health.lastGood + "）";
    }
    return health;
}

} // namespace zenta
