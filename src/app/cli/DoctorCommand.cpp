#include "Commands.h"

#include "Common.h"
#include "Doctor.h"
#include "Globals.h"

#include <iostream>

namespace zenta::cli {

Outcome Doctor(const Options&) {
    if (!IsFolder(Globals::AppPath)) {
        std::cerr << "Not checked: the program folder " << Globals::AppPath
                  << " does not exist; install the package (sudo apt install "
                     "./zentamarket-monitor_<version>_amd64.deb).\n";
        return Outcome::CouldNotRun;
    }
    const auto checks = RunDoctor();
    bool fine = true;
    for (const auto& c : checks) {
        const char* level = c.level == DoctorCheck::Level::Good      ? "good    "
                            : c.level == DoctorCheck::Level::Warning ? "WARNING "
                                                                     : "FAULT   ";
        std::cout << level << c.what << ": " << c.text << "\n";
        if (c.level != DoctorCheck::Level::Good) {
            fine = false;
            if (!c.fix.empty())
                std::cout << "         fix: " << c.fix << "\n";
        }
    }
    std::cout << (fine ? "Nothing needs fixing.\n" : "Something needs fixing (above).\n");
    return fine ? Outcome::Good : Outcome::NotGood;
}

} // namespace zenta::cli
