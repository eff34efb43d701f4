#include "Commands.h"

#include "MenuCommands.h"
#include "clsOrdenadorEjecutando.h"

#include <iostream>

namespace zenta::cli {

Outcome Workstations(const Options&) {
    clsOrdenadorEjecutando& w = OrdenadorEjecutando();
    const long count = w.Count();
    if (count == 0) {
        std::cout << "No computer is running the suite's programs.\n";
        return Outcome::Good;
    }
    std::cout << count << " running: " << w.List() << "\n";
    return Outcome::Good;
}

} // namespace zenta::cli
