#pragma once

#include "Result.h"

#include <functional>
#include <string>
#include <vector>

namespace zenta {

class clsDataBase;

// Replaces the live database with the tables of `database`: the live one is backed up first,
// then one statement moves its tables aside into "zentasupermarket_before_restore_<stamp>" and
// those of `database` into it (all or none). The copied binary log is told, since the log
// cannot be replayed across the change. Where the live tables went, or why nothing was done.
Result<std::string> ReplaceLiveDatabase(clsDataBase& admin, const std::string& database,
                                        const std::vector<std::string>& tables,
                                        const std::function<void(const std::string&)>& say);

} // namespace zenta
