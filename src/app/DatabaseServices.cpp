#include "DatabaseServices.h"

#include "BackupFolders.h"
#include "BinlogChain.h"
#include "GlobalDatabase.h"
#include "MonitorFigures.h"
#include "OffsiteSettings.h"

namespace zenta {

void DatabaseServices::Start() {
    binlog_.Tick();
    standby_.Start();
}

void DatabaseServices::Stop() {
    offsite_.Stop();
    standby_.Stop();
    binlog_.Stop();
}

DatabaseServices::After DatabaseServices::Look() {
    After after;
    binlog_.Tick();
    ++looks_;
    after.healthChanged = binlog_.StateChanged() || looks_ % 30 == 0;
    after.healthChanged = standby_.Publish() || after.healthChanged;
    after.runCycle = standby_.TakeBecamePrimary();
    // The jobs came here: the copy starts on this server first, so that the cycle's backup is
    // made for the chain it copies into.
    if (after.runCycle)
        binlog_.Tick();
    // The off-site copy's settings and folders now and then, and at once when the jobs came.
    if (OffsiteConfigured() && (after.runCycle || looks_ % 15 == 1) &&
        DataBase().ConnectionStatus())
        if (const auto folder = ResolveBackupFolder(DataBase()))
            offsite_.Look(DataBase(), DatabaseJobsHere(), *folder, BinlogFolder(*folder));
    offsite_.Watch();
    // The figures for head office, rewritten while nothing else changes them: a file that
    // stops changing then means a monitor that stopped.
    if (const std::time_t now = std::time(nullptr); MetricsDue(now)) {
        if (DataBase().ConnectionStatus())
            if (const auto folder = ResolveBackupFolder(DataBase()))
                NoteBackupFolder(*folder);
        RewriteMetrics(now);
    }
    return after;
}

void DatabaseServices::Finish() {
    binlog_.FinishCopied();
}

} // namespace zenta
