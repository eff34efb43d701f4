#include "Commands.h"

#include "PointInTime.h"
#include "Process.h"
#include "Restore.h"
#include "Terminal.h"
#include "Verification.h"

#include <filesystem>
#include <iostream>

namespace zenta::cli {

Outcome Verify(const Options& options) {
    APersonWaits();
    const VerifyReport report = VerifyArchive(options.archive, Progress, options.passwordFile);
    // A check that ran counts as the last verification, good or bad; one that could not run
    // (no such file, not a backup, no database) leaves the last one as it was.
    const bool ran = !report.tables.empty() || report.failure == RestoreFailure::Damaged;
    if (ran)
        RecordVerification(std::filesystem::absolute(options.archive).lexically_normal().string(),
                           report);
    if (report.tables.empty()) {
        std::cerr << "Not verified: " << report.error << "\n";
        // A bad backup is told from a check that could not run.
        return report.failure == RestoreFailure::Damaged ? Outcome::NotGood : Outcome::CouldNotRun;
    }
    std::cout << (report.recorded ? "Compared with the figures recorded in the archive:\n"
                                  : "The archive records no figures; compared with the rows of "
                                    "its data files:\n");
    for (const auto& [expected, found] : report.tables) {
        const bool same = expected.Matches(found);
        std::cout << "  " << (same ? "ok       " : "DIFFERS  ") << expected.table << ": "
                  << found.rows << " rows";
        if (!same)
            std::cout << " (expected " << expected.rows << ")";
        if (expected.checksum != -1)
            std::cout << ", checksum "
                      << (expected.checksum == found.checksum ? "same" : "differs");
        std::cout << "\n";
    }
    std::cout << (report.ok ? "The archive restores whole.\n"
                            : "The archive does NOT restore as it was made.\n");
    // The copy of the binary log that brings it forward to a second.
    const ChainCheck chain = CheckChainFrom(options.archive, options.passwordFile);
    std::cout << "Copied binary log from its snapshot: " << chain.text << "\n";
    return report.ok && !chain.fault ? Outcome::Good : Outcome::NotGood;
}

} // namespace zenta::cli
