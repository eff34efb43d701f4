#pragma once

#include <string>
#include <utility>
#include <vector>

namespace zenta {

// The last outcome of each job (backup, ticket purge, stock renewal, IP report), kept in one
// small INI file of the program folder, Log/JobOutcomes.ini, each job in its own section. It is
// written whole and renamed into place, so a reader never sees half of an update. The status
// command and the panel read it; nothing else keeps its own copy.
std::string JobOutcomesPath();
using OutcomeValues = std::vector<std::pair<std::string, std::string>>;
// Replaces the given keys of the job's section (others stay: a backup that failed keeps the
// record of the last good one).
void RecordOutcome(const std::string& job, const OutcomeValues& values);
std::string OutcomeValue(const std::string& job, const std::string& key);

} // namespace zenta
