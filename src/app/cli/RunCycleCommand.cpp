#include "Commands.h"

#include "AutoRunProc.h"
#include "GlobalDatabase.h"
#include "JobNotes.h"
#include "JobOutcomes.h"
#include "PairRecord.h"
#include "StopRequest.h"

#include <algorithm>
#include <iostream>

namespace zenta::cli {

Outcome RunCycleOnce(const Options&) {
    TakeJobNotes();
    RunCycle();
    // Which jobs ran, and why the others did not.
    for (const auto& [job, what] : TakeJobNotes()) {
        std::string label = job + ":";
        label.resize(std::max<size_t>(label.size() + 1, 23), ' ');
        std::cout << "  " << label << what << "\n";
    }
    if (StopRequested()) {
        std::cout << "Stopped.\n";
        return Outcome::NotGood;
    }
    if (!ServerIsLocal) {
        std::cout << "This computer does not hold the database: only the recordings' clean-up "
                     "ran.\n";
        return Outcome::Good;
    }
    if (!DatabaseJobsHere()) {
        std::cout << "This computer's server is the pair's standby (read-only): the database's "
                     "jobs run on the primary; only the recordings' clean-up ran.\n";
        return Outcome::Good;
    }
    const BackupOutcome backup = BackupOutcome::Read();
    std::cout << "Cycle done. Last backup: " << backup.result << " " << backup.time << "\n";
    return backup.Bad() ? Outcome::NotGood : Outcome::Good;
}

} // namespace zenta::cli
