#pragma once

#include "Result.h"

#include <ctime>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace zenta {

// The last outcome of each job (backup, backup drive, ticket purge, stock renewal, IP report,
// verification, off-site copy), kept in one small INI file of the program folder,
// Log/JobOutcomes.ini, each job in its own section. It is written whole and renamed into place,
// so a reader never sees half of an update. The status command, the panel, the tray and the
// metrics read it; nothing else keeps its own copy.
std::string JobOutcomesPath();
using OutcomeValues = std::vector<std::pair<std::string, std::string>>;
// Replaces the given keys of the job's section (others stay: a backup that failed keeps the
// record of the last good one), then the metrics file. A record or metrics file that cannot be
// written is said in the program log (once for each new reason) and kept for RecordProblem.
void RecordOutcome(const std::string& job, const OutcomeValues& values);
// Why the job record or the metrics file could not be written the last time in this run; ""
// when they were. The command line says it where the person is.
std::string RecordProblem();

// One job's section as it stands.
class JobOutcome {
  public:
    static JobOutcome Read(const std::string& job);
    // The key's value; "" when missing.
    const std::string& operator[](const std::string& key) const;
    const std::string& time() const { return (*this)["Time"]; }
    const std::string& result() const { return (*this)["Result"]; }
    bool empty() const { return values_.empty(); }

  private:
    std::map<std::string, std::string> values_;
};

// A number that grows with every call, across the programs that share the job record: what
// happened in which order, where two things in one second of the clock cannot say. 0 when the
// counter cannot be kept.
long long NextOutcomeSequence();

// The backup's section, typed.
struct BackupOutcome {
    std::string time, result; // "good", "failed", "incomplete", "shrunk", "stopped"
    std::string archive, failure, missing, shrink, shrinkBaseline, accepted, seconds;
    long long bytes = 0;
    std::string lastGoodArchive, lastGoodTime;
    long long lastGoodBytes = 0;
    long long lastGoodSequence = 0; // NextOutcomeSequence() when its snapshot was taken
    static BackupOutcome Read();
    // The last attempt left no archive that counts: nothing may be deleted because of it.
    bool Bad() const { return result == "failed" || result == "incomplete" || result == "shrunk"; }
};

// The backup drive's section, typed (see BackupAll): its label, when a whole copy last reached
// it, the last attempt ("copied", "failed", "absent") and the last failure.
struct DriveOutcome {
    std::string label, labelSince, mount;
    std::string lastResult, lastAttemptTime;
    std::string lastGoodCopyTime, lastGoodCopy;
    std::string lastFailure, lastFailureTime;
    long long freeBytes = -1, totalBytes = -1;
    static DriveOutcome Read();
};

} // namespace zenta
