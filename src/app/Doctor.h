#pragma once

#include <string>
#include <vector>

namespace zenta {

// One check of the computer's set-up, as `doctor` prints it.
struct DoctorCheck {
    enum class Level { Good, Warning, Fault };
    Level level = Level::Good;
    std::string what; // "program folder", "export folder"
    std::string text; // what was found
    std::string fix;  // the exact fix when not good
};

// Everything a shop's set-up needs on this computer, each checked for real where it can be
// (a row written by the server into the export folder, the lock taken): the program's folders
// and lock, the suite's ODBC driver names, the database and its accounts, the export folder,
// local_infile, the binary log, free space, the archive password file, the clocks and the
// recorded job days, the helper programs, the metrics folder and the post-backup command, the
// last good backup and the last verification.
std::vector<DoctorCheck> RunDoctor();

} // namespace zenta
