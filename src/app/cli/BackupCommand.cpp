#include "Commands.h"

#include "AutoBackupData.h"
#include "BackupAll.h"
#include "GlobalDatabase.h"
#include "Opcion.h"
#include "Terminal.h"
#include "Text.h"

#include <chrono>
#include <iostream>

namespace zenta::cli {

Outcome Backup(const Options& options) {
    BackupReport report;
    const std::string folder = BackupFolder();
    const std::string label = OpcionText(DataBase(), "MobilBackupRestoreVolumeName", "");
    ProgressLine line;
    auto stageStarted = std::chrono::steady_clock::now();
    auto lastStage = BackupProgress::Stage::Exporting;
    BackupOptions backup;
    backup.acceptShrink = options.acceptShrink;
    // Packing a large shop takes minutes: say what is happening and how far it got.
    backup.progress = [&](const BackupProgress& p) {
        const auto now = std::chrono::steady_clock::now();
        if (p.stage != lastStage) {
            lastStage = p.stage;
            stageStarted = now;
        }
        const double seconds = std::chrono::duration<double>(now - stageStarted).count();
        switch (p.stage) {
        case BackupProgress::Stage::Exporting:
            line.Show("exporting table " + std::to_string(p.done) + " of " +
                      std::to_string(p.total) + ": " + p.what);
            break;
        case BackupProgress::Stage::Packing: {
            std::string text = "packing: " + Size(p.done) + " of " + Size(p.total);
            if (p.total > 0) {
                text += ", " + std::to_string(p.done * 100 / p.total) + " %";
                if (p.done > 0 && seconds >= 2)
                    text += ", about " +
                            std::to_string(static_cast<long long>(
                                seconds * static_cast<double>(p.total - p.done) /
                                static_cast<double>(p.done))) +
                            " s left";
            }
            line.Show(text);
            break;
        }
        case BackupProgress::Stage::Testing:
            line.Show("testing the archive");
            break;
        case BackupProgress::Stage::Copying:
            line.Show("copying to the backup drive at " + p.what + ": " + Size(p.done) + " of " +
                      Size(p.total));
            break;
        }
    };
    std::cout << "Backing up into " << folder << std::endl;
    std::string into = folder, drive = label;
    BackupAll(into, drive, &report, backup);
    line.Clear();
    if (report.Good())
        RotateBackupFiles();
    if (report.stopped) {
        std::cout << "Stopped: no archive was kept.\n";
        return Outcome::NotGood;
    }
    if (report.archiveName.empty()) {
        std::cout << "No archive was made: " << report.failure << "\n";
        return Outcome::NotGood;
    }
    std::cout << into + report.archiveName << "\n";
    if (!report.complete) {
        std::cout << "Incomplete, not counted as a backup; it lacks:";
        for (const auto& t : report.failedTables)
            std::cout << " " << t;
        std::cout << "\n";
        return Outcome::NotGood;
    }
    Outcome outcome = Outcome::Good;
    if (report.shrunk) {
        std::cout << "Kept, but NOT counted as a backup: the database holds much less than at "
                     "the last good backup:\n";
        for (const auto& why : report.shrinkReasons)
            std::cout << "  - " << why << "\n";
        std::cout << "The older archives stay; none is deleted while this lasts. If the change "
                     "is meant, take the\nnew size as good: ZentaMarketMonitor backup "
                     "--accept-shrink\n";
        outcome = Outcome::NotGood;
    } else if (!report.accepted.empty()) {
        std::cout << "Accepted as the new baseline, as asked (--accept-shrink):\n";
        for (const auto& why : report.accepted)
            std::cout << "  - " << why << "\n";
    } else if (options.acceptShrink) {
        std::cout << "Nothing to accept: the data did not fall against the last good backup.\n";
    }
    for (const auto& d : report.drives) {
        if (d.alreadyThere)
            std::cout << "already on the drive, whole: " << d.path << "\n";
        else if (d.whole)
            std::cout << "copied to " << d.path << "\n";
        else
            std::cout << "NOT copied to the backup drive at " << d.mount << ": " << d.error << "\n";
        if (!d.whole)
            outcome = Outcome::NotGood;
    }
    if (report.drives.empty() && !TrimSpaces(label).empty())
        std::cout << "The backup drive " << TrimSpaces(label)
                  << " is not plugged in: no copy was made on it.\n";
    return outcome;
}

} // namespace zenta::cli
