#pragma once

#include <string>
#include <utility>
#include <vector>

namespace zenta {

// What each job of a maintenance cycle did, or why it did not run ("not due: backups are
// weekly, on Monday"), kept in memory for the command that runs one cycle and says so.
void NoteJob(const std::string& job, const std::string& what);
// The notes since the last call, in the order the jobs ran.
std::vector<std::pair<std::string, std::string>> TakeJobNotes();

} // namespace zenta
