#include "Commands.h"

#include "Common.h"
#include "LocalTime.h"
#include "OffsiteRestore.h"
#include "PairRecord.h"
#include "PointInTime.h"
#include "Process.h"
#include "Restore.h"
#include "Seed.h"
#include "Terminal.h"

#include <iostream>

namespace zenta::cli {

namespace {

// On a pair the live database is restored only with the standby seeded again right after: the
// restore's statements stay out of the binary log (a restore to a second must not replay
// them), so the standby would go on with the data as it was, silently. Why not, "" when it may.
std::string PairRefusal(const Options& options) {
    if (!options.intoLive || !ConfiguredPartner())
        return {};
    if (!options.reseedStandby)
        return "this computer is in a pair of servers ([Standby] Host), and a restore into the "
               "live database reaches neither server's binary log: the standby would silently "
               "keep the data as it was. Give --reseed-standby to seed the standby again from "
               "this server right after the restore (sales are not protected until it is in "
               "step), or restore into a new database (without --into-live)";
    if (const std::string why = StandbyReseedRefusal(); !why.empty())
        return "the standby could not be seeded again after it: " + why;
    return {};
}

Outcome ReseedStandby() {
    ProgressLine progress;
    const StandbyReport report = ReseedStandbyFromHere(SayOn(progress));
    progress.Clear();
    (report.result == StandbyResult::Done ? std::cout : std::cerr) << report.text << "\n";
    if (report.result == StandbyResult::Done)
        return Outcome::Good;
    std::cerr << "The restore is done, but the standby is not in step: sales are not protected "
                 "until standby seed --replace runs on the standby computer.\n";
    return Outcome::NotGood;
}

Outcome RestoreFromRepository(const Options& options) {
    OffsiteRestoreOptions o;
    o.branch = options.branch;
    o.credentialsFile = options.credentialsFile;
    o.until = options.until;
    o.restore.database = options.database;
    o.restore.intoLive = options.intoLive;
    o.restore.passwordFile = options.passwordFile;
    o.restore.progress = Progress;
    const OffsiteRestoreReport report = RestoreFromOffsite(o);
    for (const auto& note : report.notes)
        std::cerr << "Left aside: " << note << "\n";
    const UntilReport& until = report.until;
    if (!until.restore.ok) {
        std::cerr << "Not restored: " << until.restore.error << "\n";
        if (!report.held.empty()) {
            std::cerr << "What the repository holds of " << report.prefix << ":\n";
            for (const auto& w : report.held)
                std::cerr << "  " << w << "\n";
        }
        return Outcome::CouldNotRun;
    }
    std::cout << "Restored " << until.archive.substr(until.archive.rfind('/') + 1)
              << " from the off-site repository (" << report.prefix << ") into the database "
              << until.restore.database << " and replayed " << until.transactions
              << " transactions of its log"
              << (until.reached ? ", the last committed at " + InstantText(until.reached)
                                : std::string(" (none after the archive)"))
              << ".\n";
    std::cout << "Downloaded " << Megabytes(report.downloaded) << ": the archive and "
              << report.segments << " segments of the log, each checked.\n";
    std::cout << "The window restored in: " << WindowText(until.window) << "\n";
    if (!until.restore.savedLive.empty())
        std::cout << "The live database's tables before the restore are in "
                  << until.restore.savedLive << ".\n";
    if (options.intoLive)
        std::cout << "The monitor's next cycle makes a full backup, where a new window starts "
                     "(and the off-site copy goes on from it).\n";
    return Outcome::Good;
}

Outcome RestoreHere(const Options& options) {
    if (options.fromOffsite)
        return RestoreFromRepository(options);
    RestoreOptions restore;
    restore.database = options.database;
    restore.intoLive = options.intoLive;
    restore.passwordFile = options.passwordFile;
    restore.progress = Progress;
    if (!options.until.empty()) {
        const UntilReport until = RestoreUntil(options.archive, options.until, restore);
        if (!until.restore.ok) {
            std::cerr << "Not restored: " << until.restore.error << "\n";
            return Outcome::CouldNotRun;
        }
        std::cout << "Restored " << until.archive << " into the database " << until.restore.database
                  << " and replayed " << until.transactions << " transactions of the binary log"
                  << (until.reached ? ", the last committed at " + InstantText(until.reached)
                                    : std::string(" (none after the archive)"))
                  << ".\n";
        std::cout << "The window restored in: " << WindowText(until.window) << "\n";
        for (const auto& w : until.others)
            std::cout << "Another window of the copy (another server's log, restored from an "
                         "archive of its own): "
                      << WindowText(w) << "\n";
        if (!until.restore.savedLive.empty())
            std::cout << "The live database's tables before the restore are in "
                      << until.restore.savedLive
                      << ". The copied binary log cannot be replayed across this restore: the "
                         "next cycle makes a full backup, where a new window starts.\n";
        return Outcome::Good;
    }
    const RestoreReport report = RestoreArchive(options.archive, restore);
    if (!report.ok) {
        std::cerr << "Not restored: " << report.error << "\n";
        return Outcome::CouldNotRun;
    }
    long long rows = 0;
    for (const auto& t : report.tables)
        rows += t.rows;
    std::cout << "Restored " << report.tables.size() << " tables, " << rows
              << " rows, into the database " << report.database << ".\n";
    if (!report.savedLive.empty())
        std::cout << "The live database's tables before the restore are in " << report.savedLive
                  << ".\n";
    return Outcome::Good;
}

} // namespace

Outcome Restore(const Options& options) {
    APersonWaits();
    if (const std::string why = PairRefusal(options); !why.empty()) {
        std::cerr << "Not restored: " << why << ".\n";
        return Outcome::CouldNotRun;
    }
    const Outcome restored = RestoreHere(options);
    if (restored != Outcome::Good || !options.intoLive || !ConfiguredPartner())
        return restored;
    return ReseedStandby();
}

} // namespace zenta::cli
