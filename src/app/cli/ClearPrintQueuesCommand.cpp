#include "Commands.h"

#include "Printers.h"

#include <iostream>
#include <unistd.h>

namespace zenta::cli {

Outcome ClearPrintQueues(const Options& options) {
    if (!options.yes) {
        if (!::isatty(0)) {
            std::cerr << "clear-print-queues asks first; say --yes when there is no terminal.\n";
            return Outcome::BadUsage;
        }
        std::cout << "Cancel every unprinted job of every print queue? [y/N] " << std::flush;
        std::string answer;
        std::getline(std::cin, answer);
        if (answer != "y" && answer != "Y" && answer != "yes") {
            std::cout << "Nothing cancelled.\n";
            return Outcome::Good;
        }
    }
    const PrintQueuesCleared cleared = CancelAllPrinterJobs();
    if (!cleared.error.empty()) {
        std::cerr << "Nothing was cancelled: " << cleared.error << ".\n";
        return Outcome::NotGood;
    }
    if (cleared.queues == 0) {
        std::cout << "There is no print queue on this computer: nothing to cancel.\n";
        return Outcome::Good;
    }
    for (const auto& f : cleared.failures)
        std::cout << "NOT cancelled: " << f << "\n";
    std::cout << "Every unprinted job of " << cleared.cleared << " of " << cleared.queues
              << " print queues was cancelled.\n";
    return cleared.Done() ? Outcome::Good : Outcome::NotGood;
}

} // namespace zenta::cli
