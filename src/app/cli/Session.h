#pragma once

#include "Options.h"
#include "Result.h"

#include <functional>
#include <string>

namespace zenta::cli {

// A one-shot command logs like the monitor, but its words for the user go to standard output;
// the log lines on standard error are only for a terminal that wants them. Whether the
// database could be reached (why not is said).
bool Connect();
// The folder whose owner the program's files must stay readable for: Log/, where the job
// record and the log are, else the program folder.
std::string RecordFolder();
// How to make a file the monitor cannot use usable again, in one line.
std::string OwnerFix(const std::string& path);
// A command run by another user than the one the program folder belongs to would leave files
// (the job record, the log, archives) the monitor can neither read nor write. With the
// folder's set-group bit (as the package sets it) the files are made readable and writable by
// the folder's group instead; without it the command says so before doing anything.
Result<Done> CheckFolderOwner(const std::string& command);
// Runs `job` under the folder's job lock, telling the user when it has to wait for the monitor.
bool WithJobLock(const Options& options, const std::function<void()>& job);

} // namespace zenta::cli
