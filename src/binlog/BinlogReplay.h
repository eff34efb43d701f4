#pragma once

#include "Result.h"

#include <functional>
#include <string>
#include <vector>

namespace zenta {

// Replays copied binary-log files from `start` in the first to `stop` in the last into the
// database `target`, in one session with binary logging off: mariadb-binlog reads them (the
// live database's name rewritten to the target's), ReplayFilter makes the text ready and the
// client runs it, stopping at the first statement that fails. `transactions` is how many to
// expect, for the progress lines `say` hears. All or a failure that names the program that
// failed and how.
Result<Done> ReplayBinlog(const std::vector<std::string>& files, long long start, long long stop,
                          long long transactions, const std::string& target,
                          const std::function<void(const std::string&)>& say);

} // namespace zenta
