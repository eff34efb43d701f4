#include "Commands.h"

#include "GlobalDatabase.h"
#include "IPUpdate.h"
#include "JobOutcomes.h"

#include <iostream>

namespace zenta::cli {

Outcome IPUpdate(const Options&) {
    if (!ServerIsLocal) {
        std::cout << "This computer does not hold the database; the IP report is made there.\n";
        return Outcome::CouldNotRun;
    }
    if (const std::string skipped = IPUpdateProc(); !skipped.empty()) {
        std::cout << "No IP report is sent: " << skipped << ".\n";
        return Outcome::Good;
    }
    const JobOutcome ip = JobOutcome::Read("IPUpdate");
    std::cout << ip["Message"] << "\n";
    if (!ip["Cause"].empty())
        std::cout << ip["Cause"] << "\n";
    return ip.result() == "done" ? Outcome::Good : Outcome::NotGood;
}

} // namespace zenta::cli
