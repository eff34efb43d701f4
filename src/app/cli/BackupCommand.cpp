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

namespace {

// Packing a large shop takes minutes: what is happening and how far it got, on one line.
class BackupProgressLine {
  public:
    void operator()(const BackupProgress& p) {
        const auto now = std::chrono::steady_clock::now();
        if (p.stage != stage_) {
            stage_ = p.stage;
            started_ = now;
        }
        switch (p.stage) {
        case BackupProgress::Stage::Exporting:
            line_.Show("exporting table " + std::to_string(p.done) + " of " +
                       std::to_string(p.total) + ": " + p.what);
            break;
        case BackupProgress::Stage::Packing:
            line_.Show(Packing(p, std::chrono::duration<double>(now - started_).count()));
            break;
        case BackupProgress::Stage::Testing:
            line_.Show("testing the archive");
            break;
        case BackupProgress::Stage::Copying:
            line_.Show("copying to the backup drive at " + p.what + ": " + Size(p.done) + " of " +
                       Size(p.total));
            break;
        }
    }
    void Clear() { line_.Clear(); }

  private:
    static std::string Packing(const BackupProgress& p, double seconds) {
        std::string text = "packing: " + Size(p.done) + " of " + Size(p.total);
        if (p.total <= 0)
            return text;
        text += ", " + std::to_string(p.done * 100 / p.total) + " %";
        if (p.done > 0 && seconds >= 2)
            text += ", about " +
                    std::to_string(
                        static_cast<long long>(seconds * static_cast<double>(p.total - p.done) /
                                               static_cast<double>(p.done))) +
                    " s left";
        return text;
    }
    ProgressLine line_;
    BackupProgress::Stage stage_ = BackupProgress::Stage::Exporting;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

// A kept archive that does not count, or a fall of the data accepted: said, and what it means.
Outcome ReportShrink(const BackupReport& report, bool acceptShrink) {
    if (report.shrunk) {
        std::cout << "Kept, but NOT counted as a backup: " << ShrinkHeadline(report.shrinkBaseline)
                  << ":\n";
        for (const auto& why : report.shrinkReasons)
            std::cout << "  - " << why << "\n";
        std::cout << "The older archives stay; none is deleted while this lasts. If the change "
                     "is meant, take the\nnew size as good: ZentaMarketMonitor backup "
                     "--accept-shrink\n";
        return Outcome::NotGood;
    }
    if (!report.accepted.empty()) {
        std::cout << "Accepted as the new baseline, as asked (--accept-shrink):\n";
        for (const auto& why : report.accepted)
            std::cout << "  - " << why << "\n";
    } else if (acceptShrink) {
        std::cout << "Nothing to accept: the data did not fall against the last good backup.\n";
    }
    return Outcome::Good;
}

// Each drive's copy; a drive that did not get the archive whole makes the backup not good.
Outcome ReportDrives(const BackupReport& report, const std::string& label) {
    Outcome outcome = Outcome::Good;
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

} // namespace

Outcome Backup(const Options& options) {
    BackupReport report;
    const std::string folder = BackupFolder();
    const std::string label = OpcionText(DataBase(), "MobilBackupRestoreVolumeName", "");
    BackupProgressLine line;
    BackupOptions backup;
    backup.acceptShrink = options.acceptShrink;
    backup.progress = [&](const BackupProgress& p) { line(p); };
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
    const Outcome shrink = ReportShrink(report, options.acceptShrink);
    const Outcome drives = ReportDrives(report, label);
    return shrink == Outcome::Good && drives == Outcome::Good ? Outcome::Good : Outcome::NotGood;
}

} // namespace zenta::cli
